// The window icon of the Windows program: the three miniatures of the dial (48, 32 and 16 pixels)
// packed into one .ico file as opaque 256-colour palette images, the form the window system
// picks a title-bar or task-bar size from. korvalis-make-icon writes windows/korvalis.ico from
// assets/icon_*.png; the resource script embeds it as icon 1.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Images in and out
// ---------------------------------------------------------------------------------------------
struct IconImage {
    int32_t width = 0;          // 1..256 pixels
    int32_t height = 0;         // 1..256 pixels
    std::vector<uint8_t> rgba;  // width x height pixels, top row first, straight alpha
};

// The same image with at most 256 colours: a palette and one palette index per pixel.
struct IndexedImage {
    int32_t width = 0;
    int32_t height = 0;
    std::array<uint32_t, 256> palette{};  // red + green x 256 + blue x 65536; unused entries 0
    size_t colours = 0;                   // palette entries in use
    std::vector<uint8_t> indices;         // one per pixel, top row first
};

inline constexpr uint8_t icon_backdrop_grey = 14;  // the square behind the dial: red, green, blue

// ---------------------------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------------------------

// Makes the image opaque over the backdrop grey and reduces it to 256 colours: exactly when it
// has no more, by median cut otherwise. Deterministic.
IndexedImage index_icon_colours(const IconImage& image);

// The bytes of an .ico file holding the images in the given order, each as an 8-bit palette
// bitmap with an all-opaque mask. Empty when an image's size or pixel buffer is out of bounds.
std::vector<uint8_t> make_icon_file(std::span<const IconImage> images);

// Reads a PNG file as 8-bit RGBA; false with an empty image when it cannot.
bool read_png_rgba(const std::string& path, IconImage& image);

}  // namespace korvalis
