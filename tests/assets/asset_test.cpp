// Contract tests of the committed artwork: what the frame composition relies on, not how the
// art looks. Sizes and format; the dial transparent outside its circle, opaque on its face, with
// its graduations at the calibrated angles; each needle pointing up from the pivot with nothing
// beyond blade, shaft, hub and counterweight; the halo's alpha profile; the overlay's disc; the
// icons opaque.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "app/app.h"

namespace {

struct Png {
    bool ok = false;
    uint32_t width = 0;
    uint32_t height = 0;
    int bit_depth = 0;
    int colour_type = 0;
    int interlace = 0;
    std::vector<uint8_t> rgba;  // only when the file is 8-bit RGBA

    const uint8_t* at(int32_t x, int32_t y) const {
        return &rgba[(static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 4];
    }
    int alpha(int32_t x, int32_t y) const { return at(x, y)[3]; }
};

bool read_png_stream(std::FILE* file, Png& png) {
    png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (reader == nullptr) return false;
    png_infop info = png_create_info_struct(reader);
    if (info == nullptr || setjmp(png_jmpbuf(reader))) {
        png_destroy_read_struct(&reader, &info, nullptr);
        return false;
    }
    png_init_io(reader, file);
    png_read_info(reader, info);
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    png_get_IHDR(reader, info, &width, &height, &png.bit_depth, &png.colour_type, &png.interlace,
                 nullptr, nullptr);
    png.width = width;
    png.height = height;
    if (png.bit_depth == 8 && png.colour_type == PNG_COLOR_TYPE_RGBA &&
        png.interlace == PNG_INTERLACE_NONE && width <= 4096 && height <= 4096) {
        png.rgba.resize(static_cast<size_t>(width) * height * 4);
        std::vector<png_bytep> rows(height);
        for (png_uint_32 y = 0; y < height; ++y)
            rows[y] = &png.rgba[y * width * 4];
        png_read_image(reader, rows.data());
        png_read_end(reader, nullptr);
    }
    png_destroy_read_struct(&reader, &info, nullptr);
    return true;
}

Png load(const std::string& name) {
    Png png;
    const std::string path = std::string(KORVALIS_ASSETS_DIR) + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return png;
    png.ok = read_png_stream(file, png);
    std::fclose(file);
    return png;
}

// Distance of pixel (x, y)'s centre from a point in pixel-edge coordinates.
double distance(int32_t x, int32_t y, double cx, double cy) {
    return std::hypot(x + 0.5 - cx, y + 0.5 - cy);
}

// ---------------------------------------------------------------------------------------------
// Format
// ---------------------------------------------------------------------------------------------

struct FormatCase {
    const char* file;
    uint32_t size;
};

TEST(AssetFormat, EveryImageIsEightBitRgbaNonInterlacedOfItsExactSize) {
    const FormatCase cases[] = {
        {"dial_face.png", 246},  {"airspeed_needle.png", 246}, {"max_speed_needle.png", 246},
        {"offline_dot.png", 30}, {"offline_halo.png", 30},     {"light_overlay.png", 300},
        {"icon_48.png", 48},     {"icon_32.png", 32},          {"icon_16.png", 16},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.file);
        const Png png = load(c.file);
        ASSERT_TRUE(png.ok) << "cannot read " << c.file;
        EXPECT_EQ(png.width, c.size);
        EXPECT_EQ(png.height, c.size);
        EXPECT_EQ(png.bit_depth, 8);
        EXPECT_EQ(png.colour_type, PNG_COLOR_TYPE_RGBA);
        EXPECT_EQ(png.interlace, PNG_INTERLACE_NONE);
        EXPECT_EQ(png.rgba.size(), static_cast<size_t>(c.size) * c.size * 4);
    }
}

// ---------------------------------------------------------------------------------------------
// Dial face
// ---------------------------------------------------------------------------------------------

constexpr double dial_centre = 123.0;

class DialFace : public ::testing::Test {
protected:
    void SetUp() override {
        dial = load("dial_face.png");
        ASSERT_EQ(dial.rgba.size(), 246u * 246u * 4u) << "dial_face.png missing or not RGBA";
    }

    // How white the dial is at a point (bilinear between pixel centres): the smallest of its
    // three channels, so that the red and blue lines count as dark.
    double whiteness(double x, double y) const {
        const double fx = x - 0.5;
        const double fy = y - 0.5;
        const int32_t i = static_cast<int32_t>(std::floor(fx));
        const int32_t j = static_cast<int32_t>(std::floor(fy));
        const double tx = fx - i;
        const double ty = fy - j;
        const auto white = [&](int32_t px, int32_t py) {
            const uint8_t* p = dial.at(std::clamp(px, 0, 245), std::clamp(py, 0, 245));
            return static_cast<double>(std::min({p[0], p[1], p[2]}));
        };
        return (white(i, j) * (1 - tx) + white(i + 1, j) * tx) * (1 - ty) +
               (white(i, j + 1) * (1 - tx) + white(i + 1, j + 1) * tx) * ty;
    }

    // Whiteness at a radius in the direction of a needle turned by `degrees`.
    double whiteness_at(double degrees, double radius) const {
        const double a = degrees * std::numbers::pi / 180.0;
        return whiteness(dial_centre + radius * std::sin(a), dial_centre - radius * std::cos(a));
    }

    Png dial;
};

TEST_F(DialFace, IsTransparentOutsideItsCircleAndOpaqueOnItsFace) {
    int transparent_outside = 0;
    int opaque_inside = 0;
    int outside = 0;
    int inside = 0;
    for (int32_t y = 0; y < 246; ++y) {
        for (int32_t x = 0; x < 246; ++x) {
            const double r = distance(x, y, dial_centre, dial_centre);
            if (r > 123.5) {
                ++outside;
                transparent_outside += dial.alpha(x, y) == 0;
            } else if (r < 121.0) {
                ++inside;
                opaque_inside += dial.alpha(x, y) == 255;
            }
        }
    }
    EXPECT_EQ(transparent_outside, outside) << "pixels outside the circle must be transparent";
    EXPECT_EQ(opaque_inside, inside) << "the face must be opaque";
    for (const auto& [x, y] : {std::pair{0, 0}, {245, 0}, {0, 245}, {245, 245}}) {
        EXPECT_EQ(dial.alpha(x, y), 0) << "corner " << x << "," << y;
    }
    // Opaque right up to the edge: the circle is about 245 pixels across.
    EXPECT_EQ(dial.alpha(2, 123), 255);
    EXPECT_EQ(dial.alpha(123, 243), 255);
}

TEST_F(DialFace, IsBlackBetweenTheMarks) {
    // Between the KNOTS label and the hub, and between the hub and the maker's mark.
    for (const auto& [x, y] : {std::pair{123, 100}, {100, 123}, {146, 123}, {123, 150}}) {
        const uint8_t* p = dial.at(x, y);
        EXPECT_LT(std::max({p[0], p[1], p[2]}), 40) << "at " << x << "," << y;
    }
}

TEST_F(DialFace, GraduationsLieAtTheCalibratedAngles) {
    // At this radius every graduation, even the 5 kt ones, is printed, and nothing else is.
    constexpr double radius = 113.5;
    constexpr double window = 1.8;  // degrees either side; the closest marks are over 4 apart
    for (int knots = 40; knots <= 300; knots += 5) {
        SCOPED_TRACE("graduation " + std::to_string(knots) + " kt");
        const double expected = korvalis::needle_angle(static_cast<float>(knots));
        double weight = 0;
        double moment = 0;
        double peak = 0;
        for (double d = -window; d <= window + 1e-9; d += 0.05) {
            const double w = whiteness_at(expected + d, radius);
            weight += w;
            moment += w * d;
            peak = std::max(peak, w);
        }
        EXPECT_GT(peak, 150.0) << "no white mark at " << expected << " degrees";
        ASSERT_GT(weight, 0.0);
        EXPECT_NEAR(moment / weight, 0.0, 0.3) << "mark off its angle of " << expected;
    }
}

TEST_F(DialFace, ScaleLeavesTheGapAtTheTopEmpty) {
    // The needle rests straight up, between the 300 mark (337 degrees) and the 40 mark (15).
    for (double degrees : {-18.0, -10.0, 0.0, 10.0}) {
        for (double radius = 100.0; radius <= 119.0; radius += 1.0) {
            EXPECT_LT(whiteness_at(degrees, radius), 60.0)
                << "mark in the gap at " << degrees << " degrees, radius " << radius;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Needles
// ---------------------------------------------------------------------------------------------

struct NeedleCase {
    const char* file;
    int32_t tip_row;  // first row the needle may touch
    bool striped;
};

constexpr NeedleCase needle_cases[] = {
    {"airspeed_needle.png", 5, false},
    {"max_speed_needle.png", 3, true},
};

TEST(Needles, AreTransparentAwayFromBladeShaftHubAndCounterweight) {
    for (const NeedleCase& c : needle_cases) {
        SCOPED_TRACE(c.file);
        const Png needle = load(c.file);
        ASSERT_EQ(needle.rgba.size(), 246u * 246u * 4u);
        for (int32_t y = 0; y < 246; ++y) {
            for (int32_t x = 0; x < 246; ++x) {
                const bool beside = std::fabs(x + 0.5 - dial_centre) > 8.5;  // hub is 15 across
                const bool above = y < c.tip_row;
                const bool below = y >= 123 + 47;  // the counterweight ends 46 below the centre
                if (beside || above || below) {
                    ASSERT_EQ(needle.alpha(x, y), 0) << "visible pixel at " << x << "," << y;
                }
            }
        }
    }
}

TEST(Needles, PointStraightUpWithTheirPivotAtTheImageCentre) {
    for (const NeedleCase& c : needle_cases) {
        SCOPED_TRACE(c.file);
        const Png needle = load(c.file);
        ASSERT_EQ(needle.rgba.size(), 246u * 246u * 4u);
        // Opaque near the top centre: the blade just below its point.
        for (int32_t y = c.tip_row + 8; y < c.tip_row + 20; ++y) {
            EXPECT_EQ(needle.alpha(122, y), 255) << "row " << y;
            EXPECT_EQ(needle.alpha(123, y), 255) << "row " << y;
        }
        // Every row is symmetric about the centre line, so the needle turns about the centre.
        double weight = 0;
        double moment = 0;
        for (int32_t y = 0; y < 246; ++y) {
            for (int32_t x = 0; x < 246; ++x) {
                weight += needle.alpha(x, y);
                moment += needle.alpha(x, y) * (x + 0.5 - dial_centre);
            }
        }
        ASSERT_GT(weight, 0.0);
        EXPECT_NEAR(moment / weight, 0.0, 0.05) << "needle off the vertical centre line";
        // The hub covers the pivot.
        for (const auto& [x, y] : {std::pair{118, 123}, {127, 123}, {123, 118}, {123, 127}}) {
            EXPECT_EQ(needle.alpha(x, y), 255) << "hub at " << x << "," << y;
        }
        // The blade reaches down to about 18 pixels above the centre; the shaft below it is black.
        const uint8_t* blade = needle.at(122, 100);
        EXPECT_EQ(blade[3], 255);
        if (!c.striped) {
            EXPECT_GT(std::min({blade[0], blade[1], blade[2]}), 240) << "white blade";
        }
        const uint8_t* shaft = needle.at(122, 112);
        EXPECT_EQ(shaft[3], 255);
        EXPECT_LT(std::max({shaft[0], shaft[1], shaft[2]}), 40) << "shaft must be black";
        // The counterweight: opaque and black down to about 46 pixels below the centre.
        for (int32_t y = 123 + 35; y < 123 + 45; ++y) {
            const uint8_t* p = needle.at(122, y);
            EXPECT_EQ(p[3], 255) << "counterweight at row " << y;
            EXPECT_LT(std::max({p[0], p[1], p[2]}), 40) << "counterweight at row " << y;
        }
    }
}

TEST(Needles, EdgesOfTheWhiteBladeAreWhiteWithStraightAlpha) {
    // The instrument loads straight alpha: a half-covered edge pixel of the white blade is white
    // at half alpha, not the grey that premultiplied data would give.
    const Png needle = load("airspeed_needle.png");
    ASSERT_EQ(needle.rgba.size(), 246u * 246u * 4u);
    int edge_pixels = 0;
    for (int32_t y = 20; y < 100; ++y) {
        for (int32_t x : {118, 127}) {
            const uint8_t* p = needle.at(x, y);
            if (p[3] == 0 || p[3] == 255) continue;
            ++edge_pixels;
            EXPECT_GT(std::min({p[0], p[1], p[2]}), 240) << "grey edge at " << x << "," << y;
        }
    }
    EXPECT_GT(edge_pixels, 0) << "expected anti-aliased edges along the blade";
}

TEST(Needles, OnlyTheMaxSpeedBladeCarriesSixRedStripes) {
    for (const NeedleCase& c : needle_cases) {
        SCOPED_TRACE(c.file);
        const Png needle = load(c.file);
        ASSERT_EQ(needle.rgba.size(), 246u * 246u * 4u);
        // Count red runs down the blade's centre column, from the point to the shaft.
        int red_runs = 0;
        int white_pixels = 0;
        bool in_red = false;
        for (int32_t y = c.tip_row; y < 123 - 18; ++y) {
            const uint8_t* p = needle.at(122, y);
            if (p[3] < 200) continue;
            const bool red = p[0] > 150 && p[1] < 90 && p[2] < 90;
            if (red && !in_red) ++red_runs;
            in_red = red;
            white_pixels += p[0] > 240 && p[1] > 240 && p[2] > 240;
        }
        EXPECT_EQ(red_runs, c.striped ? 6 : 0);
        EXPECT_GT(white_pixels, c.striped ? 20 : 80);
    }
}

// ---------------------------------------------------------------------------------------------
// Not-connected marker
// ---------------------------------------------------------------------------------------------

constexpr double marker_centre = 15.0;

TEST(OfflineDot, IsAnOpaqueRedDotOverPixelsTenToNineteenWithALightHighlight) {
    const Png dot = load("offline_dot.png");
    ASSERT_EQ(dot.rgba.size(), 30u * 30u * 4u);
    bool highlight = false;
    for (int32_t y = 0; y < 30; ++y) {
        for (int32_t x = 0; x < 30; ++x) {
            const double r = distance(x, y, marker_centre, marker_centre);
            const uint8_t* p = dot.at(x, y);
            if (x < 9 || x > 20 || y < 9 || y > 20) {
                EXPECT_EQ(p[3], 0) << "visible pixel at " << x << "," << y;
            }
            if (r < 4.0) {
                EXPECT_EQ(p[3], 255) << "dot not opaque at " << x << "," << y;
            }
            if (r < 4.0 && x >= 15 && y < 15 && p[1] > 150 && p[2] > 150) highlight = true;
        }
    }
    // Pure red away from the highlight, in the lower left of the dot.
    const uint8_t* red = dot.at(13, 16);
    EXPECT_EQ(red[0], 255);
    EXPECT_EQ(red[1], 0);
    EXPECT_EQ(red[2], 0);
    EXPECT_TRUE(highlight) << "no light-grey highlight at the upper right";
}

TEST(OfflineHalo, AlphaIsZeroAtTheCentrePeaksNearRadiusFiveAndEndsAtFifteen) {
    const Png halo = load("offline_halo.png");
    ASSERT_EQ(halo.rgba.size(), 30u * 30u * 4u);
    int peak = 0;
    double peak_radius = 0;
    for (int32_t y = 0; y < 30; ++y) {
        for (int32_t x = 0; x < 30; ++x) {
            const double r = distance(x, y, marker_centre, marker_centre);
            const uint8_t* p = halo.at(x, y);
            if (r <= 3.5) {
                EXPECT_EQ(p[3], 0) << "halo over the dot at " << x << "," << y;
            }
            if (r >= 15.0) {
                EXPECT_EQ(p[3], 0) << "halo beyond radius 15 at " << x << "," << y;
            }
            if (p[3] > 0) {
                EXPECT_EQ(p[0], 255);
                EXPECT_EQ(p[1], 0);
                EXPECT_EQ(p[2], 0);
            }
            if (p[3] > peak) {
                peak = p[3];
                peak_radius = r;
            }
        }
    }
    EXPECT_NEAR(peak, 176, 12);
    EXPECT_NEAR(peak_radius, 5.0, 0.8);
    // From the peak outwards the glow only fades (along the row through the centre).
    for (int32_t x = 21; x < 29; ++x) {
        EXPECT_LE(halo.alpha(x + 1, 15), halo.alpha(x, 15)) << "at column " << x;
    }
    EXPECT_GT(halo.alpha(25, 15), 0) << "the fall to zero must be gradual";
}

// ---------------------------------------------------------------------------------------------
// Lighting overlay
// ---------------------------------------------------------------------------------------------

TEST(LightOverlay, IsAnOpaqueDiscCentredOverTheDialAndTransparentOutside) {
    const Png overlay = load("light_overlay.png");
    ASSERT_EQ(overlay.rgba.size(), 300u * 300u * 4u);
    constexpr double cx = 134.0;
    constexpr double cy = 135.0;
    double weight = 0;
    double mx = 0;
    double my = 0;
    for (int32_t y = 0; y < 300; ++y) {
        for (int32_t x = 0; x < 300; ++x) {
            const double r = distance(x, y, cx, cy);
            const int a = overlay.alpha(x, y);
            if (r > 124.0) {
                ASSERT_EQ(a, 0) << "visible outside the disc at " << x << "," << y;
            }
            if (r < 121.0) {
                ASSERT_EQ(a, 255) << "disc not opaque at " << x << "," << y;
            }
            weight += a;
            mx += a * (x + 0.5);
            my += a * (y + 0.5);
        }
    }
    EXPECT_NEAR(mx / weight, cx, 0.5);
    EXPECT_NEAR(my / weight, cy, 0.5);
    // Diameter about 245: the coverage equals a disc of that size.
    EXPECT_NEAR(2 * std::sqrt(weight / 255.0 / std::numbers::pi), 245.0, 1.5);
}

TEST(LightOverlay, RunsFromBrightOliveAtTheUpperRightToDarkAtTheLowerLeft) {
    const Png overlay = load("light_overlay.png");
    ASSERT_EQ(overlay.rgba.size(), 300u * 300u * 4u);
    struct Stop {
        int32_t x, y;
        int red, green, blue;
        int tolerance;
    };
    const double reach = 118.0 / std::numbers::sqrt2;  // just inside the rim, on the diagonal
    const int32_t ur_x = static_cast<int32_t>(134 + reach);
    const int32_t ur_y = static_cast<int32_t>(135 - reach);
    const int32_t ll_x = static_cast<int32_t>(134 - reach);
    const int32_t ll_y = static_cast<int32_t>(135 + reach);
    const Stop stops[] = {
        {ur_x, ur_y, 174, 170, 11, 10},
        {133, 134, 118, 116, 7, 4},
        {ll_x, ll_y, 61, 60, 3, 10},
    };
    for (const Stop& s : stops) {
        const uint8_t* p = overlay.at(s.x, s.y);
        EXPECT_NEAR(p[0], s.red, s.tolerance) << "at " << s.x << "," << s.y;
        EXPECT_NEAR(p[1], s.green, s.tolerance) << "at " << s.x << "," << s.y;
        EXPECT_NEAR(p[2], s.blue, s.tolerance) << "at " << s.x << "," << s.y;
    }
}

// ---------------------------------------------------------------------------------------------
// Icon
// ---------------------------------------------------------------------------------------------

TEST(Icon, EverySizeIsAnOpaqueDialWithAWhiteNeedleUpAndARedDotAtTheUpperLeft) {
    for (int32_t size : {48, 32, 16}) {
        SCOPED_TRACE("icon " + std::to_string(size));
        const Png icon = load("icon_" + std::to_string(size) + ".png");
        ASSERT_EQ(icon.rgba.size(), static_cast<size_t>(size) * size * 4);
        for (int32_t y = 0; y < size; ++y) {
            for (int32_t x = 0; x < size; ++x)
                ASSERT_EQ(icon.alpha(x, y), 255);
        }
        const uint8_t* corner = icon.at(0, 0);
        EXPECT_EQ(corner[0], 14);
        EXPECT_EQ(corner[1], 14);
        EXPECT_EQ(corner[2], 14);
        // The needle: white in both centre columns, from near the top to the centre.
        for (int32_t y = size / 4; y < size / 2; ++y) {
            for (int32_t x : {size / 2 - 1, size / 2}) {
                const uint8_t* p = icon.at(x, y);
                EXPECT_GT(std::min({p[0], p[1], p[2]}), 230) << "needle at " << x << "," << y;
            }
        }
        bool red_dot = false;
        for (int32_t y = 0; y < size / 2; ++y) {
            for (int32_t x = 0; x < size / 2; ++x) {
                const uint8_t* p = icon.at(x, y);
                red_dot |= p[0] > 230 && p[1] < 40 && p[2] < 40;
            }
        }
        EXPECT_TRUE(red_dot);
    }
}

}  // namespace
