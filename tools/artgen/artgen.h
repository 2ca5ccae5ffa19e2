// The artwork generator: draws the instrument's six images and the window icon from the needle
// calibration, so that the printed scale and the needles agree by construction, and writes them
// as 8-bit RGBA PNG files. Start reading at main() in main.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Images: straight (not premultiplied) RGBA, 8 bits per channel, top row first
// ---------------------------------------------------------------------------------------------
struct RgbaImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;  // width * height * 4 bytes: red, green, blue, alpha
};

RgbaImage make_image(int32_t width, int32_t height);                   // every pixel (0, 0, 0, 0)
bool write_png_file(const std::string& path, const RgbaImage& image);  // false on any failure

// ---------------------------------------------------------------------------------------------
// Geometry shared by the images (pixel-edge coordinates: pixel (i, j) covers (i, j)-(i+1, j+1))
// ---------------------------------------------------------------------------------------------
inline constexpr int32_t dial_size = 246;          // dial face and both needle images
inline constexpr double dial_centre = 123.0;       // pivot of the needles, centre of the scale
inline constexpr double dial_radius = 122.5;       // the face is about 245 pixels across
inline constexpr int32_t marker_size = 30;         // offline dot and halo
inline constexpr int32_t overlay_size = 300;       // lighting overlay
inline constexpr double overlay_centre_x = 134.0;  // where the overlay's disc lies over the dial
inline constexpr double overlay_centre_y = 135.0;

// ---------------------------------------------------------------------------------------------
// The drawings (each returns a finished image; an empty one means the drawing failed)
// ---------------------------------------------------------------------------------------------
enum class NeedleKind : uint8_t {
    Airspeed,  // plain white blade
    MaxSpeed,  // white blade with red diagonal stripes, 2 pixels longer
};

RgbaImage draw_dial_face();              // 246 x 246, the printed scale
RgbaImage draw_needle(NeedleKind kind);  // 246 x 246, pointing up, pivot at the centre
RgbaImage draw_offline_dot();            // 30 x 30, red dot with a highlight
RgbaImage draw_offline_halo();           // 30 x 30, soft red ring around the dot
RgbaImage draw_light_overlay();          // 300 x 300, olive-yellow disc
RgbaImage draw_icon(int32_t size);       // size x size, opaque miniature of the dial

// ---------------------------------------------------------------------------------------------
// Preview: one frame composed as the instrument composes it (background, dial, needles with
// shadows, marker, overlay), for looking at the art before the real renderer draws it.
// ---------------------------------------------------------------------------------------------
struct PreviewImages {
    RgbaImage dial_face;
    RgbaImage airspeed_needle;
    RgbaImage max_speed_needle;
    RgbaImage offline_dot;
    RgbaImage offline_halo;
    RgbaImage light_overlay;
};

struct PreviewFrame {
    float airspeed_angle = 0.0f;  // degrees clockwise from straight up
    int16_t max_speed_angle = 0;  // whole degrees
    bool offline = false;         // draw the not-connected marker
    bool lit = false;             // draw the lighting overlay
    uint8_t needle_alpha = 255;   // below 255 shows the marks under the needles
};

RgbaImage compose_preview(const PreviewImages& images, const PreviewFrame& frame);  // 266 x 266
RgbaImage magnify(const RgbaImage& image, int32_t x, int32_t y, int32_t width, int32_t height,
                  int32_t factor);  // a crop scaled up by whole pixels, for close looks

}  // namespace korvalis
