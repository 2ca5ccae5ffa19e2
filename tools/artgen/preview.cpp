// A software stand-in for the instrument's drawing of one frame: the same draw positions,
// rotations about the sprite centre, bilinear sampling of straight-alpha texels and the three
// blend pairs (normal, shadow, lighting), so the art can be judged as the instrument shows it.
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "app/app.h"
#include "tools/artgen/artgen.h"

namespace korvalis {

namespace {

enum class Blend : uint8_t { Normal, Shadow, Lighting };

struct Surface {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<std::array<double, 3>> pixels;  // colour, 0..1
};

// Texel (i, j) clamped to the image, as four fractions.
std::array<double, 4> texel(const RgbaImage& image, int32_t i, int32_t j) {
    i = std::clamp(i, 0, image.width - 1);
    j = std::clamp(j, 0, image.height - 1);
    const uint8_t* p = &image.pixels[(static_cast<size_t>(j) * image.width + i) * 4];
    return {p[0] / 255.0, p[1] / 255.0, p[2] / 255.0, p[3] / 255.0};
}

// Bilinear sample at texture position (u, v) in pixels; texel centres lie at half pixels.
std::array<double, 4> sample(const RgbaImage& image, double u, double v) {
    const double fu = u - 0.5;
    const double fv = v - 0.5;
    const int32_t i = static_cast<int32_t>(std::floor(fu));
    const int32_t j = static_cast<int32_t>(std::floor(fv));
    const double tu = fu - i;
    const double tv = fv - j;
    const auto a = texel(image, i, j);
    const auto b = texel(image, i + 1, j);
    const auto c = texel(image, i, j + 1);
    const auto d = texel(image, i + 1, j + 1);
    std::array<double, 4> out{};
    for (int k = 0; k < 4; ++k) {
        out[k] = (a[k] * (1 - tu) + b[k] * tu) * (1 - tv) + (c[k] * (1 - tu) + d[k] * tu) * tv;
    }
    return out;
}

void draw(Surface& surface, const RgbaImage& image, int32_t x, int32_t y, int alpha, float degrees,
          Blend blend) {
    if (image.width <= 0) return;
    // The sprite turns about its own centre by the float angle the instrument computes.
    const float angle = static_cast<float>(std::acos(-1.0) * degrees * 2 / 360);
    const double c = static_cast<float>(std::cos(angle));
    const double s = static_cast<float>(std::sin(angle));
    const double cx = x + image.width / 2.0;
    const double cy = y + image.height / 2.0;
    const double draw_alpha = alpha / 255.0;
    for (int32_t py = 0; py < surface.height; ++py) {
        for (int32_t px = 0; px < surface.width; ++px) {
            const double dx = px + 0.5 - cx;
            const double dy = py + 0.5 - cy;
            // Inverse rotation: which point of the unrotated image lands on this pixel centre.
            const double u = image.width / 2.0 + c * dx + s * dy;
            const double v = image.height / 2.0 - s * dx + c * dy;
            if (u < 0 || v < 0 || u >= image.width || v >= image.height) continue;
            const auto t = sample(image, u, v);
            const double a = t[3] * draw_alpha;
            auto& d = surface.pixels[static_cast<size_t>(py) * surface.width + px];
            for (int k = 0; k < 3; ++k) {
                double result = d[k];
                switch (blend) {
                    case Blend::Normal:
                        result = t[k] * a + d[k] * (1 - a);
                        break;
                    case Blend::Shadow:
                        result = d[k] * (1 - a);
                        break;
                    case Blend::Lighting:
                        result = t[k] * a + d[k] * d[k];
                        break;
                }
                d[k] = std::min(result, 1.0);
            }
        }
    }
}

}  // namespace

RgbaImage compose_preview(const PreviewImages& images, const PreviewFrame& frame) {
    Surface surface{client_width, client_height, {}};
    surface.pixels.assign(static_cast<size_t>(client_width) * client_height,
                          {15 / 255.0, 15 / 255.0, 15 / 255.0});
    const float max_angle = static_cast<float>(frame.max_speed_angle);
    // See-through needles cast no shadow, so the marks beneath stay clear.
    const int shadow_alpha = frame.needle_alpha == 255 ? 100 : 0;
    draw(surface, images.dial_face, 10, 10, 255, 0.0f, Blend::Normal);
    draw(surface, images.max_speed_needle, 13, 13, shadow_alpha, max_angle, Blend::Shadow);
    draw(surface, images.max_speed_needle, 10, 10, frame.needle_alpha, max_angle, Blend::Normal);
    draw(surface, images.airspeed_needle, 16, 16, shadow_alpha, frame.airspeed_angle,
         Blend::Shadow);
    draw(surface, images.airspeed_needle, 10, 10, frame.needle_alpha, frame.airspeed_angle,
         Blend::Normal);
    if (frame.offline) {
        draw(surface, images.offline_dot, 50, 50, 255, 0.0f, Blend::Normal);
        draw(surface, images.offline_halo, 50, 50, 255, 0.0f, Blend::Normal);
    }
    if (frame.lit) draw(surface, images.light_overlay, 0, 0, 200, 0.0f, Blend::Lighting);

    RgbaImage image = make_image(surface.width, surface.height);
    for (size_t i = 0; i < surface.pixels.size(); ++i) {
        for (int k = 0; k < 3; ++k) {
            image.pixels[i * 4 + k] = static_cast<uint8_t>(std::lround(surface.pixels[i][k] * 255));
        }
        image.pixels[i * 4 + 3] = 255;
    }
    return image;
}

RgbaImage magnify(const RgbaImage& image, int32_t x, int32_t y, int32_t width, int32_t height,
                  int32_t factor) {
    RgbaImage out = make_image(width * factor, height * factor);
    for (int32_t j = 0; j < out.height; ++j) {
        for (int32_t i = 0; i < out.width; ++i) {
            const int32_t sx = std::clamp(x + i / factor, 0, image.width - 1);
            const int32_t sy = std::clamp(y + j / factor, 0, image.height - 1);
            const uint8_t* p = &image.pixels[(static_cast<size_t>(sy) * image.width + sx) * 4];
            std::copy(p, p + 4, &out.pixels[(static_cast<size_t>(j) * out.width + i) * 4]);
        }
    }
    return out;
}

}  // namespace korvalis
