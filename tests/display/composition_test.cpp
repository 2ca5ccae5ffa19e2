// Whole frames of the instrument from draw_instrument_frame on the real renderer, compared with
// the reference compositor running the fifteen steps over the same embedded images, plus checks
// that do not lean on the reference: where the needles point, the marker, the overlay's
// conditions, the darkened margin, and frames after an overlay frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "app/app.h"
#include "display/display.h"
#include "display/embedded_assets.h"
#include "tests/display/display_testing.h"

namespace korvalis::testing {
namespace {

constexpr int32_t size = 266;
constexpr Rgb background{15, 15, 15};
// Bilinear weights and blending round to 8 bits on the device; a frame stacks up to eight passes,
// and the lighting pass squares what lies below.
constexpr int frame_tolerance = 4;

struct FrameState {
    float airspeed_angle = 0.0f;
    int16_t max_speed_angle = 0;
    uint16_t lights = 0;
    int8_t light_enabled = 1;
    bool offline = false;
};

class CompositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(open_test_surface(size, size, &why)) << why;
        load_instrument_images();
        set_sprite_quality(1);
        reset_instrument_state();
        dial = decode_or_die(assets::dial_face);
        airspeed = decode_or_die(assets::airspeed_needle);
        max_speed = decode_or_die(assets::max_speed_needle);
        dot = decode_or_die(assets::offline_dot);
        halo = decode_or_die(assets::offline_halo);
        overlay = decode_or_die(assets::light_overlay);
    }
    void TearDown() override { close_test_surface(); }

    static DecodedImage draw(const FrameState& state) {
        InstrumentState& s = instrument_state;
        s.airspeed_angle = state.airspeed_angle;
        s.max_speed_angle = state.max_speed_angle;
        s.lights.store(state.lights, std::memory_order_relaxed);
        s.light_enabled = state.light_enabled;
        draw_instrument_frame(state.offline);
        return read_frame(size, size);
    }

    // The fifteen steps, from the formulas. `without` names an image left out (absent).
    DecodedImage expected(const FrameState& state, const DecodedImage* without = nullptr) const {
        Reference r(size, size);
        r.clear(background);
        auto draw = [&](const DecodedImage& image, int32_t x, float degrees, uint8_t alpha,
                        Blend blend) {
            if (&image != without) r.draw(image, x, x, degrees, alpha, blend, true);
        };
        draw(dial, 10, 0.0f, 255, Blend::Normal);
        const auto max_degrees = static_cast<float>(state.max_speed_angle);
        draw(max_speed, 13, max_degrees, 100, Blend::Shadow);
        draw(max_speed, 10, max_degrees, 255, Blend::Normal);
        draw(airspeed, 16, state.airspeed_angle, 100, Blend::Shadow);
        draw(airspeed, 10, state.airspeed_angle, 255, Blend::Normal);
        if (state.offline) {
            draw(dot, 50, 0.0f, 255, Blend::Normal);
            draw(halo, 50, 0.0f, 255, Blend::Normal);
        }
        if ((state.lights & 0x20) != 0 && state.light_enabled != 0) {
            draw(overlay, 0, 0.0f, 200, Blend::Lighting);
        }
        return r.frame();
    }

    // Brightness of a pixel, 0..765.
    static int brightness(const DecodedImage& frame, int32_t x, int32_t y) {
        const Rgb p = pixel(frame, x, y);
        return p.red + p.green + p.blue;
    }

    DecodedImage dial, airspeed, max_speed, dot, halo, overlay;
};

TEST_F(CompositionTest, FramesFollowTheReference) {
    struct Case {
        const char* name;
        FrameState state;
    };
    const Case cases[] = {
        {"start", {}},
        {"max-90", {0.0f, 90}},
        {"max-minus-90", {0.0f, -90}},
        {"airspeed-90", {90.0f, 0}},
        {"airspeed-183.642", {183.642f, 294}},
        {"offline", {114.0f, 235, 0, 1, true}},
        {"overlay", {60.5f, 337, 0x0020, 1, false}},
        {"overlay-offline", {60.5f, 337, 0x0020, 1, true}},
        {"lights-all-but-0x20", {60.5f, 337, 0xFFDF, 1, false}},
        {"overlay-not-allowed", {60.5f, 337, 0xFFFF, 0, false}},
    };
    for (const Case& c : cases) {
        expect_frames_match(expected(c.state), draw(c.state), frame_tolerance, c.name);
    }
}

TEST_F(CompositionTest, NeedlesPointWhereTheirAnglesSay) {
    // Independent of the reference: along the ray from the dial centre (133, 133) in the needle's
    // direction the frame changes from the frame at rest (the blade), along the opposite ray
    // beyond the counterweight it does not.
    auto changed_along = [](const DecodedImage& a, const DecodedImage& b, int32_t dx, int32_t dy) {
        int changed = 0;
        for (int32_t r = 60; r <= 100; ++r) {
            const Rgb p = pixel(a, 133 + dx * r, 133 + dy * r);
            const Rgb q = pixel(b, 133 + dx * r, 133 + dy * r);
            if (std::max({std::abs(p.red - q.red), std::abs(p.green - q.green),
                          std::abs(p.blue - q.blue)}) > 60) {
                ++changed;
            }
        }
        return changed;
    };
    const DecodedImage rest = draw(FrameState{});
    struct Case {
        float airspeed_angle;
        int16_t max_speed_angle;
        int32_t dx;
        int32_t dy;
    };
    for (const Case c : {Case{0.0f, 90, 1, 0}, Case{0.0f, -90, -1, 0}, Case{0.0f, 180, 0, 1},
                         Case{90.0f, 0, 1, 0}, Case{-90.0f, 0, -1, 0}}) {
        const DecodedImage frame = draw(FrameState{c.airspeed_angle, c.max_speed_angle});
        EXPECT_GT(changed_along(frame, rest, c.dx, c.dy), 30)
            << "blade along (" << c.dx << ", " << c.dy << ") for angles " << c.airspeed_angle
            << ", " << c.max_speed_angle;
        EXPECT_LT(changed_along(frame, rest, -c.dx, -c.dy), 3)
            << "nothing opposite for angles " << c.airspeed_angle << ", " << c.max_speed_angle;
    }
    // At rest the white airspeed blade lies straight up, over the striped one.
    EXPECT_GT(pixel(rest, 133, 133 - 80).red, 240);
    EXPECT_GT(pixel(rest, 133, 133 - 80).blue, 240);
}

TEST_F(CompositionTest, FullTurnLooksLikeZero) {
    const DecodedImage zero = draw(FrameState{0.0f, 0});
    const DecodedImage full = draw(FrameState{360.0f, 360});
    expect_frames_match(zero, full, 1, "360");
}

TEST_F(CompositionTest, OfflineMarkerOnlyInItsSquare) {
    const FrameState online{200.0f, 280};
    FrameState offline = online;
    offline.offline = true;
    const DecodedImage without = draw(online);
    const DecodedImage with = draw(offline);
    int changed_inside = 0;
    for (int32_t y = 0; y < size; ++y) {
        for (int32_t x = 0; x < size; ++x) {
            const bool inside = x >= 50 && x < 80 && y >= 50 && y < 80;
            if (!(pixel(with, x, y) == pixel(without, x, y))) {
                EXPECT_TRUE(inside) << "marker reaches (" << x << ", " << y << ")";
                ++changed_inside;
            }
        }
    }
    EXPECT_GT(changed_inside, 150);
    const Rgb centre = pixel(with, 64, 66);
    EXPECT_GT(centre.red, 200) << "red dot at (65, 65)";
    EXPECT_LT(centre.green, 60);
}

TEST_F(CompositionTest, OverlayConditions) {
    struct Case {
        uint16_t lights;
        int8_t light_enabled;
        bool overlay;
    };
    for (const Case c : {Case{0x0020, 1, true}, Case{0xFFDF, 1, false}, Case{0x0020, 0, false},
                         Case{0xFFFF, 0, false}, Case{0xFFFF, -1, true}, Case{0x0000, 1, false}}) {
        const DecodedImage frame = draw(FrameState{0.0f, 0, c.lights, c.light_enabled});
        // The margin: background 15 alone, or squared under the overlay's transparent part.
        const Rgb margin = pixel(frame, 2, 2);
        if (c.overlay) {
            EXPECT_LE(margin.red, 1) << "lights " << c.lights << ": margin almost black";
            EXPECT_LE(margin.green, 1);
            EXPECT_LE(margin.blue, 1);
            EXPECT_GT(pixel(frame, 190, 70).red, 60) << "olive glow on the face";
        } else {
            EXPECT_EQ(margin, background)
                << "lights " << c.lights << " light " << int{c.light_enabled};
        }
    }
}

TEST_F(CompositionTest, FrameAfterAnOverlayFrameIsAsWithout) {
    const FrameState plain{150.0f, 250, 0, 1};
    const DecodedImage fresh = draw(plain);
    draw(FrameState{150.0f, 250, 0x20, 1});
    expect_frames_match(fresh, draw(plain), 0, "after-overlay");
}

TEST_F(CompositionTest, ShadowKeeps155Of255UnderTheNeedlesOpaqueBody) {
    // The shadow pass alone with the real needle, over a light grey: under the needle's opaque
    // texels 155/255 of the brightness remains, under its transparent ones all of it.
    RotatableSprite* needle = instrument_images.airspeed_needle;
    ASSERT_NE(needle, nullptr);
    rotate_sprite_to(needle, 0.0f);
    clear_surface(200, 200, 200);
    begin_sprite_batch();
    set_blend_factors(BlendFactor::Zero, BlendFactor::InvSrcAlpha);
    draw_sprite(needle, 16, 16, 100);
    set_blend_factors(BlendFactor::SrcAlpha, BlendFactor::InvSrcAlpha);
    end_sprite_batch();
    present_surface();
    const DecodedImage frame = read_frame(size, size);
    ASSERT_EQ(frame.width, size);
    int opaque = 0;
    int clear = 0;
    for (int32_t y = 0; y < airspeed.height && y + 16 < size; ++y) {
        for (int32_t x = 0; x < airspeed.width && x + 16 < size; ++x) {
            const uint8_t a = alpha_at(airspeed, x, y);
            const Rgb got = pixel(frame, x + 16, y + 16);
            if (a == 255) {
                ++opaque;
                EXPECT_NEAR(got.red, 200.0 * 155 / 255, 1.0) << "texel " << x << ", " << y;
            } else if (a == 0) {
                ++clear;
                EXPECT_EQ(got, (Rgb{200, 200, 200})) << "texel " << x << ", " << y;
            }
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(opaque, 500) << "the needle has an opaque body";
    EXPECT_GT(clear, 40000) << "and transparent borders";
}

TEST_F(CompositionTest, AbsentSpriteLeavesTheRestOfTheFrame) {
    const FrameState state{120.0f, 300, 0x20, 1, true};
    struct Case {
        const char* name;
        RotatableSprite** sprite;
        const DecodedImage* image;
    };
    const Case cases[] = {
        {"no-dial", &instrument_images.dial_face, &dial},
        {"no-halo", &instrument_images.offline_halo, &halo},
        {"no-overlay", &instrument_images.light_overlay, &overlay},
        {"no-airspeed-needle", &instrument_images.airspeed_needle, &airspeed},
    };
    for (const Case& c : cases) {
        RotatableSprite* kept = *c.sprite;
        *c.sprite = nullptr;
        expect_frames_match(expected(state, c.image), draw(state), frame_tolerance, c.name);
        *c.sprite = kept;
    }
}

}  // namespace
}  // namespace korvalis::testing
