// The not-connected marker (a red dot and its halo) and the lighting overlay. These are shapes
// with stated alpha profiles, so they are computed pixel by pixel rather than drawn.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "tools/artgen/artgen.h"
#include "tools/artgen/canvas.h"

namespace korvalis {

namespace {

constexpr int supersampling = 8;  // per axis, for the anti-aliased edges of round shapes

// Share of the pixel (x, y) covered by the disc of the given centre and radius.
double disc_coverage(int32_t x, int32_t y, double cx, double cy, double radius) {
    int inside = 0;
    for (int sy = 0; sy < supersampling; ++sy) {
        for (int sx = 0; sx < supersampling; ++sx) {
            const double px = x + (sx + 0.5) / supersampling - cx;
            const double py = y + (sy + 0.5) / supersampling - cy;
            if (px * px + py * py <= radius * radius) ++inside;
        }
    }
    return static_cast<double>(inside) / (supersampling * supersampling);
}

uint8_t to_byte(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

void set_pixel(RgbaImage& image, int32_t x, int32_t y, double r, double g, double b, double a) {
    uint8_t* p = &image.pixels[(static_cast<size_t>(y) * image.width + x) * 4];
    p[0] = to_byte(r);
    p[1] = to_byte(g);
    p[2] = to_byte(b);
    p[3] = to_byte(a);
}

// The marker's centre: between pixels 14 and 15 of the 30-pixel images.
constexpr double marker_centre = marker_size / 2.0;

}  // namespace

RgbaImage draw_offline_dot() {
    // Pure red over pixels 10 to 19, with a small soft light-grey highlight at the upper right,
    // as on a lamp lens.
    constexpr double radius = 5.0;
    constexpr double highlight_x = marker_centre + 1.9;
    constexpr double highlight_y = marker_centre - 1.9;
    constexpr double highlight_radius = 1.6;
    constexpr double highlight_grey = 215.0;
    RgbaImage image = make_image(marker_size, marker_size);
    for (int32_t y = 0; y < marker_size; ++y) {
        for (int32_t x = 0; x < marker_size; ++x) {
            const double coverage = disc_coverage(x, y, marker_centre, marker_centre, radius);
            const double dx = x + 0.5 - highlight_x;
            const double dy = y + 0.5 - highlight_y;
            const double distance = std::sqrt(dx * dx + dy * dy);
            // Full grey inside the highlight's core, fading to red over one more pixel.
            const double grey = std::clamp(highlight_radius + 0.5 - distance, 0.0, 1.0);
            set_pixel(image, x, y, 255.0 + (highlight_grey - 255.0) * grey, highlight_grey * grey,
                      highlight_grey * grey, 255.0 * coverage);
        }
    }
    bleed_edge_colours(image);
    return image;
}

RgbaImage draw_offline_halo() {
    // The alpha as a function of the distance from the centre: nothing over the dot, a sharp
    // rise to the peak at radius 5, then an even fall to nothing at radius 15.
    constexpr double inner_radius = 4.0;
    constexpr double peak_radius = 5.0;
    constexpr double outer_radius = 15.0;
    constexpr double peak_alpha = 176.0;
    RgbaImage image = make_image(marker_size, marker_size);
    for (int32_t y = 0; y < marker_size; ++y) {
        for (int32_t x = 0; x < marker_size; ++x) {
            const double dx = x + 0.5 - marker_centre;
            const double dy = y + 0.5 - marker_centre;
            const double r = std::sqrt(dx * dx + dy * dy);
            double alpha = 0;
            if (r > inner_radius && r <= peak_radius) {
                alpha = peak_alpha * (r - inner_radius) / (peak_radius - inner_radius);
            } else if (r > peak_radius && r < outer_radius) {
                alpha = peak_alpha * (outer_radius - r) / (outer_radius - peak_radius);
            }
            // Red everywhere, the transparent pixels too, so filtering never darkens the glow.
            set_pixel(image, x, y, 255, 0, 0, alpha);
        }
    }
    return image;
}

RgbaImage draw_light_overlay() {
    // An olive-yellow disc, brightest at the upper right, darkest at the lower left: a lamp
    // above and to the right of the panel. The colour runs along that diagonal through three
    // stops: lower-left edge, centre, upper-right edge.
    constexpr double radius = dial_radius;
    constexpr double lower_left[3] = {61, 60, 3};
    constexpr double centre[3] = {118, 116, 7};
    constexpr double upper_right[3] = {174, 170, 11};
    RgbaImage image = make_image(overlay_size, overlay_size);
    for (int32_t y = 0; y < overlay_size; ++y) {
        for (int32_t x = 0; x < overlay_size; ++x) {
            const double dx = x + 0.5 - overlay_centre_x;
            const double dy = y + 0.5 - overlay_centre_y;
            // Position along the diagonal, -1 at the lower-left edge, +1 at the upper right.
            const double t = std::clamp((dx - dy) / std::numbers::sqrt2 / radius, -1.0, 1.0);
            const double* far = t >= 0 ? upper_right : lower_left;
            const double s = std::fabs(t);
            const double coverage = disc_coverage(x, y, overlay_centre_x, overlay_centre_y, radius);
            set_pixel(image, x, y, centre[0] + (far[0] - centre[0]) * s,
                      centre[1] + (far[1] - centre[1]) * s, centre[2] + (far[2] - centre[2]) * s,
                      255.0 * coverage);
        }
    }
    return image;
}

}  // namespace korvalis
