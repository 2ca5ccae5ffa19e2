// Writes the window icon for the Windows build: one .ico file holding each size as an 8-bit
// palette bitmap (256 colours, as the window system expects of this icon), fully opaque.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "tools/artgen/artgen.h"

namespace korvalis {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

uint32_t rgb_of(const uint8_t* pixel) {
    return pixel[0] | (static_cast<uint32_t>(pixel[1]) << 8) |
           (static_cast<uint32_t>(pixel[2]) << 16);
}

// The image's colours as a palette of at most 256 entries and one index per pixel. The icons
// hold far fewer colours than that; should one ever hold more, the colours are coarsened one
// bit at a time until they fit.
bool palettise(const RgbaImage& image, std::vector<uint32_t>& palette,
               std::vector<uint8_t>& indices) {
    for (int dropped_bits = 0; dropped_bits < 8; ++dropped_bits) {
        const uint32_t keep = (0xffu << dropped_bits) & 0xffu;
        const uint32_t mask = keep | (keep << 8) | (keep << 16);
        std::map<uint32_t, uint32_t> index_of;
        palette.clear();
        indices.clear();
        bool fits = true;
        for (size_t i = 0; i < image.pixels.size() / 4; ++i) {
            const uint32_t colour = rgb_of(&image.pixels[i * 4]) & mask;
            auto found = index_of.find(colour);
            if (found == index_of.end()) {
                if (palette.size() == 256) {
                    fits = false;
                    break;
                }
                found = index_of.emplace(colour, static_cast<uint32_t>(palette.size())).first;
                palette.push_back(colour);
            }
            indices.push_back(static_cast<uint8_t>(found->second));
        }
        if (fits) return true;
    }
    return false;
}

// One icon image: a bitmap header (height doubled for the mask), the palette, the colour rows
// bottom-up, then the 1-bit transparency mask (all clear: the icon is opaque).
bool icon_bitmap(const RgbaImage& image, std::vector<uint8_t>& out) {
    std::vector<uint32_t> palette;
    std::vector<uint8_t> indices;
    if (!palettise(image, palette, indices)) return false;
    const uint32_t width = static_cast<uint32_t>(image.width);
    const uint32_t height = static_cast<uint32_t>(image.height);
    const uint32_t colour_stride = (width + 3) / 4 * 4;
    const uint32_t mask_stride = (width + 31) / 32 * 4;

    put32(out, 40);  // header size
    put32(out, width);
    put32(out, height * 2);
    put16(out, 1);  // planes
    put16(out, 8);  // bits per pixel
    put32(out, 0);  // no compression
    put32(out, (colour_stride + mask_stride) * height);
    put32(out, 0);
    put32(out, 0);
    put32(out, 256);  // colours used
    put32(out, 0);
    for (size_t i = 0; i < 256; ++i) {
        const uint32_t colour = i < palette.size() ? palette[i] : 0;
        out.push_back(static_cast<uint8_t>(colour >> 16));  // blue, green, red, reserved
        out.push_back(static_cast<uint8_t>(colour >> 8));
        out.push_back(static_cast<uint8_t>(colour));
        out.push_back(0);
    }
    for (uint32_t row = height; row-- > 0;) {
        for (uint32_t x = 0; x < colour_stride; ++x) {
            out.push_back(x < width ? indices[row * width + x] : 0);
        }
    }
    out.insert(out.end(), static_cast<size_t>(mask_stride) * height, 0);
    return true;
}

}  // namespace

bool write_ico_file(const std::string& path, const std::vector<RgbaImage>& icons) {
    if (icons.empty() || icons.size() > 16) return false;
    std::vector<std::vector<uint8_t>> bitmaps;
    for (const RgbaImage& icon : icons) {
        if (icon.width <= 0 || icon.width > 256 || icon.height != icon.width) return false;
        bitmaps.emplace_back();
        if (!icon_bitmap(icon, bitmaps.back())) return false;
    }
    std::vector<uint8_t> out;
    put16(out, 0);  // reserved
    put16(out, 1);  // an icon, not a cursor
    put16(out, static_cast<uint32_t>(icons.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(icons.size());
    for (size_t i = 0; i < icons.size(); ++i) {
        const uint32_t size = static_cast<uint32_t>(icons[i].width);
        out.push_back(static_cast<uint8_t>(size == 256 ? 0 : size));
        out.push_back(static_cast<uint8_t>(size == 256 ? 0 : size));
        out.push_back(0);  // 256 colours are written as 0
        out.push_back(0);
        put16(out, 1);  // planes
        put16(out, 8);  // bits per pixel
        put32(out, static_cast<uint32_t>(bitmaps[i].size()));
        put32(out, offset);
        offset += static_cast<uint32_t>(bitmaps[i].size());
    }
    for (const auto& bitmap : bitmaps)
        out.insert(out.end(), bitmap.begin(), bitmap.end());

    const std::string temporary = path + ".part";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    const bool closed = std::fclose(file) == 0;
    std::error_code error;
    if (!written || !closed) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace korvalis
