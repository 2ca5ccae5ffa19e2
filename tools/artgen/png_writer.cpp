// Writes straight RGBA images as 8-bit RGBA, non-interlaced PNG files through libpng, with no
// time stamp or other chunk that would make two runs differ.
#include <png.h>

#include <cstdio>
#include <filesystem>

#include "tools/artgen/artgen.h"

namespace korvalis {

RgbaImage make_image(int32_t width, int32_t height) {
    RgbaImage image;
    if (width <= 0 || height <= 0) return image;
    image.width = width;
    image.height = height;
    image.pixels.assign(static_cast<size_t>(width) * height * 4, 0);
    return image;
}

namespace {

// libpng reports errors by longjmp; everything that needs cleaning up lives outside the jump.
bool write_png_stream(std::FILE* file, const RgbaImage& image) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int32_t y = 0; y < image.height; ++y) {
        png_write_row(png, &image.pixels[static_cast<size_t>(y) * image.width * 4]);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool write_png_file(const std::string& path, const RgbaImage& image) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<size_t>(image.width) * image.height * 4) {
        return false;
    }
    // Written beside the target and renamed over it, so a failed run never leaves half a file.
    const std::string temporary = path + ".part";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = write_png_stream(file, image);
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
