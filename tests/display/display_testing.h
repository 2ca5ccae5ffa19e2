// Test support for the display: a reference compositor written from the per-pixel formulas
// (sampling, rotation about the centre, the normal, shadow and lighting blends), a surface
// fixture over a hidden window, and frame comparison with "expected / got" messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "display/display.h"

namespace korvalis::testing {

// ---------------------------------------------------------------------------------------------
// Images and frames in memory (blue, green, red, alpha bytes like the decoder's)
// ---------------------------------------------------------------------------------------------
struct Rgb {
    int red = 0;
    int green = 0;
    int blue = 0;
    bool operator==(const Rgb&) const = default;
};

DecodedImage solid_image(int32_t width, int32_t height, Rgb colour, uint8_t alpha);
// Every texel different: red = x * 7 + 3, green = y * 5 + 11, blue = (x ^ y) * 3, alpha given.
DecodedImage pattern_image(int32_t width, int32_t height, uint8_t alpha);
// An upward arrow on a transparent square: a vertical opaque white bar from the top edge to the
// centre, and a red head at the top. Points straight up like the needles.
DecodedImage arrow_image(int32_t size);
Rgb pixel(const DecodedImage& image, int32_t x, int32_t y);
uint8_t alpha_at(const DecodedImage& image, int32_t x, int32_t y);
DecodedImage decode_or_die(std::span<const uint8_t> png);  // fails the test on a decode error

// ---------------------------------------------------------------------------------------------
// Reference compositor
// ---------------------------------------------------------------------------------------------
enum class Blend { Normal, Shadow, Lighting };

struct Reference {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgra;  // opaque; alpha is not modelled (it is never shown)

    Reference(int32_t w, int32_t h);
    void clear(Rgb colour);
    // Draws `image` with its unrotated top-left at (x, y), turned by `degrees` about its centre
    // exactly as the surface computes the corners, sampled nearest or bilinear, blended per
    // channel with the pass's formula and rounded to 8 bits like the render target.
    void draw(const DecodedImage& image, int32_t x, int32_t y, float degrees, uint8_t alpha,
              Blend blend, bool bilinear);
    DecodedImage frame() const;
};

// ---------------------------------------------------------------------------------------------
// Comparison
// ---------------------------------------------------------------------------------------------
struct FrameDifference {
    int max_difference = 0;
    int pixels_over = 0;     // pixels with a channel off by more than the tolerance
    std::string first_over;  // "(x, y): expected (r, g, b), got (r, g, b)"
};

FrameDifference compare_frames(const DecodedImage& expected, const DecodedImage& got,
                               int tolerance);
// Writes a PNG next to the test for a look when a comparison fails.
void save_for_inspection(const DecodedImage& image, const std::string& name);
// A test failure, with both frames saved for a look, when any pixel is off by more than the
// tolerance.
void expect_frames_match(const DecodedImage& expected, const DecodedImage& got, int tolerance,
                         const std::string& name);

// ---------------------------------------------------------------------------------------------
// The real surface on a hidden window
// ---------------------------------------------------------------------------------------------
// Opens the window system, a hidden window and a surface of the given size; false (with the SDL
// error in `why`) when there is no usable display.
bool open_test_surface(int32_t width, int32_t height, std::string* why);
void close_test_surface();
DecodedImage read_frame(int32_t width, int32_t height);  // empty image when reading fails
// Pins the OpenGL libraries SDL has loaded so far (see display_testing.cpp); tests that open
// windows call it, so that the sanitizer's leak check can name what Mesa leaks.
void keep_graphics_driver_loaded();

}  // namespace korvalis::testing
