// The reference compositor and the surface fixture of display_testing.h.
#include "tests/display/display_testing.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace korvalis::testing {

DecodedImage solid_image(int32_t width, int32_t height, Rgb colour, uint8_t alpha) {
    DecodedImage image{width, height, {}};
    image.bgra.reserve(static_cast<size_t>(width) * height * 4);
    for (int32_t i = 0; i < width * height; ++i) {
        image.bgra.push_back(static_cast<uint8_t>(colour.blue));
        image.bgra.push_back(static_cast<uint8_t>(colour.green));
        image.bgra.push_back(static_cast<uint8_t>(colour.red));
        image.bgra.push_back(alpha);
    }
    return image;
}

DecodedImage pattern_image(int32_t width, int32_t height, uint8_t alpha) {
    DecodedImage image{width, height, {}};
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            image.bgra.push_back(static_cast<uint8_t>((x ^ y) * 3));
            image.bgra.push_back(static_cast<uint8_t>(y * 5 + 11));
            image.bgra.push_back(static_cast<uint8_t>(x * 7 + 3));
            image.bgra.push_back(alpha);
        }
    }
    return image;
}

DecodedImage arrow_image(int32_t size) {
    DecodedImage image = solid_image(size, size, Rgb{0, 0, 0}, 0);
    const int32_t centre = size / 2;
    auto set = [&](int32_t x, int32_t y, Rgb c) {
        uint8_t* p = &image.bgra[(static_cast<size_t>(y) * size + x) * 4];
        p[0] = static_cast<uint8_t>(c.blue);
        p[1] = static_cast<uint8_t>(c.green);
        p[2] = static_cast<uint8_t>(c.red);
        p[3] = 255;
    };
    // Keep a transparent border so that rotated copies have no hard edge at the quad's boundary.
    for (int32_t y = 2; y < centre; ++y) {
        for (int32_t x = centre - 2; x < centre + 2; ++x)
            set(x, y, Rgb{255, 255, 255});
    }
    for (int32_t y = 2; y < 2 + size / 8; ++y) {
        for (int32_t x = centre - 4; x < centre + 4; ++x)
            set(x, y, Rgb{255, 0, 0});
    }
    return image;
}

Rgb pixel(const DecodedImage& image, int32_t x, int32_t y) {
    const uint8_t* p = &image.bgra[(static_cast<size_t>(y) * image.width + x) * 4];
    return Rgb{p[2], p[1], p[0]};
}

uint8_t alpha_at(const DecodedImage& image, int32_t x, int32_t y) {
    return image.bgra[(static_cast<size_t>(y) * image.width + x) * 4 + 3];
}

DecodedImage decode_or_die(std::span<const uint8_t> png) {
    std::optional<DecodedImage> decoded = decode_png(png);
    EXPECT_TRUE(decoded.has_value()) << "an embedded image failed to decode";
    return decoded ? std::move(*decoded) : DecodedImage{};
}

// ---------------------------------------------------------------------------------------------
// Reference compositor
// ---------------------------------------------------------------------------------------------
Reference::Reference(int32_t w, int32_t h)
    : width(w), height(h), bgra(static_cast<size_t>(w) * h * 4, 0) {
    for (size_t i = 3; i < bgra.size(); i += 4)
        bgra[i] = 255;
}

void Reference::clear(Rgb colour) {
    for (size_t i = 0; i < bgra.size(); i += 4) {
        bgra[i] = static_cast<uint8_t>(colour.blue);
        bgra[i + 1] = static_cast<uint8_t>(colour.green);
        bgra[i + 2] = static_cast<uint8_t>(colour.red);
        bgra[i + 3] = 255;
    }
}

namespace {

struct Sample {
    std::array<double, 3> colour;  // red, green, blue, 0..1
    double alpha;
};

std::array<double, 4> texel(const DecodedImage& image, int32_t x, int32_t y) {
    x = std::clamp(x, 0, image.width - 1);
    y = std::clamp(y, 0, image.height - 1);
    const uint8_t* p = &image.bgra[(static_cast<size_t>(y) * image.width + x) * 4];
    return {p[2] / 255.0, p[1] / 255.0, p[0] / 255.0, p[3] / 255.0};
}

// Texture coordinates (u, v) in 0..1; texel centres at (i + 0.5) / width. Edges clamp.
Sample sample(const DecodedImage& image, double u, double v, bool bilinear) {
    const double s = u * image.width;
    const double t = v * image.height;
    if (!bilinear) {
        const auto t0 =
            texel(image, static_cast<int32_t>(std::floor(s)), static_cast<int32_t>(std::floor(t)));
        return Sample{{t0[0], t0[1], t0[2]}, t0[3]};
    }
    const double sx = s - 0.5;
    const double sy = t - 0.5;
    const auto x0 = static_cast<int32_t>(std::floor(sx));
    const auto y0 = static_cast<int32_t>(std::floor(sy));
    const double fx = sx - x0;
    const double fy = sy - y0;
    const auto a = texel(image, x0, y0);
    const auto b = texel(image, x0 + 1, y0);
    const auto c = texel(image, x0, y0 + 1);
    const auto d = texel(image, x0 + 1, y0 + 1);
    std::array<double, 4> mixed{};
    for (size_t i = 0; i < 4; ++i) {
        mixed[i] = (a[i] * (1 - fx) + b[i] * fx) * (1 - fy) + (c[i] * (1 - fx) + d[i] * fx) * fy;
    }
    return Sample{{mixed[0], mixed[1], mixed[2]}, mixed[3]};
}

}  // namespace

void Reference::draw(const DecodedImage& image, int32_t x, int32_t y, float degrees, uint8_t alpha,
                     Blend blend, bool bilinear) {
    // The corners exactly as the surface computes them, in 32-bit floats.
    const auto angle =
        static_cast<float>(std::acos(-1.0) * static_cast<double>(degrees) * 2.0 / 360.0);
    const float w = static_cast<float>(image.width);
    const float h = static_cast<float>(image.height);
    std::array<std::array<float, 2>, 4> corner{{{0.0f, 0.0f}, {w, 0.0f}, {0.0f, h}, {w, h}}};
    if (angle != 0.0f) {
        const float c = std::cos(angle);
        const float s = std::sin(angle);
        const float cx = w / 2.0f;
        const float cy = h / 2.0f;
        for (auto& p : corner) {
            const float dx = p[0] - cx;
            const float dy = p[1] - cy;
            p = {cx + c * dx - s * dy, cy + s * dx + c * dy};
        }
    }
    for (auto& p : corner) {
        p[0] += static_cast<float>(x);
        p[1] += static_cast<float>(y);
    }
    // Position = top-left + u * (top-right - top-left) + v * (bottom-left - top-left).
    const double ox = corner[0][0];
    const double oy = corner[0][1];
    const double ux = corner[1][0] - ox;
    const double uy = corner[1][1] - oy;
    const double vx = corner[2][0] - ox;
    const double vy = corner[2][1] - oy;
    const double determinant = ux * vy - uy * vx;
    if (determinant == 0.0) return;

    double min_x = 1e30, min_y = 1e30, max_x = -1e30, max_y = -1e30;
    for (const auto& p : corner) {
        min_x = std::min<double>(min_x, p[0]);
        min_y = std::min<double>(min_y, p[1]);
        max_x = std::max<double>(max_x, p[0]);
        max_y = std::max<double>(max_y, p[1]);
    }
    const int32_t first_x = std::max(0, static_cast<int32_t>(std::floor(min_x)));
    const int32_t first_y = std::max(0, static_cast<int32_t>(std::floor(min_y)));
    const int32_t last_x = std::min(width - 1, static_cast<int32_t>(std::ceil(max_x)));
    const int32_t last_y = std::min(height - 1, static_cast<int32_t>(std::ceil(max_y)));
    const double draw_alpha = alpha / 255.0;

    for (int32_t j = first_y; j <= last_y; ++j) {
        for (int32_t i = first_x; i <= last_x; ++i) {
            const double qx = i + 0.5 - ox;
            const double qy = j + 0.5 - oy;
            const double u = (qx * vy - qy * vx) / determinant;
            const double v = (ux * qy - uy * qx) / determinant;
            if (u < 0.0 || u >= 1.0 || v < 0.0 || v >= 1.0) continue;
            const Sample src = sample(image, u, v, bilinear);
            const double a = src.alpha * draw_alpha;
            uint8_t* d = &bgra[(static_cast<size_t>(j) * width + i) * 4];
            // Channels in memory: blue, green, red.
            const std::array<double, 3> source{src.colour[2], src.colour[1], src.colour[0]};
            for (size_t k = 0; k < 3; ++k) {
                const double dst = d[k] / 255.0;
                double result = 0.0;
                switch (blend) {
                    case Blend::Normal:
                        result = source[k] * a + dst * (1.0 - a);
                        break;
                    case Blend::Shadow:
                        result = dst * (1.0 - a);
                        break;
                    case Blend::Lighting:
                        result = source[k] * a + dst * dst;
                        break;
                }
                result = std::clamp(result, 0.0, 1.0);
                d[k] = static_cast<uint8_t>(std::lround(result * 255.0));
            }
        }
    }
}

DecodedImage Reference::frame() const {
    return DecodedImage{width, height, bgra};
}

// ---------------------------------------------------------------------------------------------
// Comparison
// ---------------------------------------------------------------------------------------------
FrameDifference compare_frames(const DecodedImage& expected, const DecodedImage& got,
                               int tolerance) {
    FrameDifference result;
    if (expected.width != got.width || expected.height != got.height ||
        expected.bgra.size() != got.bgra.size()) {
        result.max_difference = 256;
        result.pixels_over = 1;
        result.first_over = "sizes differ";
        return result;
    }
    for (int32_t y = 0; y < expected.height; ++y) {
        for (int32_t x = 0; x < expected.width; ++x) {
            const Rgb e = pixel(expected, x, y);
            const Rgb g = pixel(got, x, y);
            const int difference = std::max(
                {std::abs(e.red - g.red), std::abs(e.green - g.green), std::abs(e.blue - g.blue)});
            result.max_difference = std::max(result.max_difference, difference);
            if (difference > tolerance) {
                if (result.pixels_over == 0) {
                    char text[160];
                    std::snprintf(text, sizeof(text),
                                  "(%d, %d): expected (%d, %d, %d), got (%d, %d, %d)", x, y, e.red,
                                  e.green, e.blue, g.red, g.green, g.blue);
                    result.first_over = text;
                }
                ++result.pixels_over;
            }
        }
    }
    return result;
}

void save_for_inspection(const DecodedImage& image, const std::string& name) {
    const std::vector<uint8_t> png = encode_png(image);
    const std::string path = name + ".png";
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(png.data(), 1, png.size(), file);
        std::fclose(file);
    }
}

void expect_frames_match(const DecodedImage& expected, const DecodedImage& got, int tolerance,
                         const std::string& name) {
    ASSERT_EQ(got.width, expected.width) << name << ": no frame read back";
    ASSERT_EQ(got.height, expected.height) << name;
    const FrameDifference d = compare_frames(expected, got, tolerance);
    EXPECT_EQ(d.pixels_over, 0) << name << ": " << d.pixels_over << " pixels off by more than "
                                << tolerance << " (max " << d.max_difference << "); first "
                                << d.first_over;
    if (d.pixels_over != 0) {
        save_for_inspection(expected, name + "-expected");
        save_for_inspection(got, name + "-got");
    }
}

// ---------------------------------------------------------------------------------------------
// Surface fixture
// ---------------------------------------------------------------------------------------------
namespace {

InstrumentWindow* test_window = nullptr;

// The OpenGL libraries SDL loads for a window and its renderer.
int note_driver(dl_phdr_info* info, size_t, void* names) {
    const char* name = info->dlpi_name;
    if (name != nullptr &&
        (std::strstr(name, "_dri.so") != nullptr || std::strstr(name, "libGLX") != nullptr ||
         std::strstr(name, "libGL.so") != nullptr)) {
        static_cast<std::vector<std::string>*>(names)->push_back(name);
    }
    return 0;
}

}  // namespace

bool open_test_surface(int32_t width, int32_t height, std::string* why) {
    if (!init_window_system()) {
        *why = std::string("no window system: ") + SDL_GetError();
        return false;
    }
    if (!init_sprite_system()) {
        *why = std::string("no accelerated renderer: ") + SDL_GetError();
        return false;
    }
    test_window = open_hidden_window(width, height);
    if (test_window == nullptr) {
        *why = std::string("no window: ") + SDL_GetError();
        return false;
    }
    if (!open_surface(native_window_handle(test_window), 0, 0, width, height)) {
        *why = std::string("no surface: ") + SDL_GetError();
        return false;
    }
    keep_graphics_driver_loaded();
    return true;
}

void close_test_surface() {
    release_sprite_system();
    close_instrument_window(test_window);
    test_window = nullptr;
    shutdown_window_system();
}

// Mesa leaks a little when SDL unloads the OpenGL libraries at SDL_Quit, and once unloaded their
// frames show as unknown modules that tests/lsan.supp cannot name. Kept loaded to the end of the
// process, their leaks are named and suppressed like those of the other system libraries.
void keep_graphics_driver_loaded() {
    std::vector<std::string> names;
    dl_iterate_phdr(note_driver, &names);
    for (const std::string& name : names) {
        dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

DecodedImage read_frame(int32_t width, int32_t height) {
    DecodedImage frame{width, height,
                       std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
    if (!read_back_buffer(frame.bgra)) return DecodedImage{};
    return frame;
}

}  // namespace korvalis::testing
