// The sprite surface on the real renderer (Mesa's software OpenGL under Xvfb), compared pixel by
// pixel with the reference compositor: clearing, exact unrotated copies, draw alpha, rotation,
// sampling quality, the blend pairs and their persistence, clipping, the back buffer surviving a
// present, a device reset, and absent sprites.
#include <gtest/gtest.h>

#include <SDL.h>

#include "display/display.h"
#include "tests/display/display_testing.h"

namespace korvalis::testing {
namespace {

// Not square, so that a swapped x and y shows.
constexpr int32_t surface_width = 120;
constexpr int32_t surface_height = 100;
constexpr Rgb grey{90, 120, 150};

// 8-bit rounding in the device's blending and its fixed-point bilinear weights.
constexpr int blend_tolerance = 2;
constexpr int bilinear_tolerance = 3;

class SurfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(open_test_surface(surface_width, surface_height, &why)) << why;
        set_blend_factors(BlendFactor::SrcAlpha, BlendFactor::InvSrcAlpha);
        set_sprite_quality(0);
    }
    void TearDown() override { close_test_surface(); }

    static RotatableSprite* sprite_of(const DecodedImage& image) {
        SpriteImage* sprite_image = make_sprite_image(image);
        EXPECT_NE(sprite_image, nullptr);
        return make_rotatable_sprite(sprite_image);
    }

    // Clears to `background`, draws in one batch through `draws`, presents and reads back.
    template <typename Draws>
    static DecodedImage frame_of(Rgb background, Draws draws) {
        clear_surface(static_cast<uint8_t>(background.red), static_cast<uint8_t>(background.green),
                      static_cast<uint8_t>(background.blue));
        begin_sprite_batch();
        draws();
        end_sprite_batch();
        present_surface();
        return read_frame(surface_width, surface_height);
    }

    static Reference reference(Rgb background) {
        Reference r(surface_width, surface_height);
        r.clear(background);
        return r;
    }
};

TEST_F(SurfaceTest, ClearFillsEveryPixelExactly) {
    for (const Rgb colour : {Rgb{15, 15, 15}, Rgb{255, 0, 128}, Rgb{0, 0, 0}}) {
        const DecodedImage frame = frame_of(colour, [] {});
        ASSERT_EQ(frame.width, surface_width);
        expect_frames_match(reference(colour).frame(), frame, 0, "clear");
    }
}

TEST_F(SurfaceTest, UnrotatedOpaqueSpriteReproducesItsTexelsExactly) {
    const DecodedImage image = pattern_image(37, 23, 255);
    RotatableSprite* sprite = sprite_of(image);
    struct Case {
        int32_t quality;
        int32_t x;
        int32_t y;
    };
    for (const Case c : {Case{0, 5, 7}, Case{1, 5, 7}, Case{1, 60, 70}, Case{0, 0, 0}}) {
        set_sprite_quality(c.quality);
        const DecodedImage frame = frame_of(grey, [&] { draw_sprite(sprite, c.x, c.y, 255); });
        Reference expected = reference(grey);
        expected.draw(image, c.x, c.y, 0.0f, 255, Blend::Normal, c.quality == 1);
        expect_frames_match(expected.frame(), frame, 0,
                            "unrotated-q" + std::to_string(c.quality) + "-" + std::to_string(c.x));
        EXPECT_EQ(pixel(frame, c.x, c.y), pixel(image, 0, 0)) << "texel (0, 0) at the position";
    }
}

TEST_F(SurfaceTest, DrawAlphaScalesTheTexelsAlpha) {
    const DecodedImage image = pattern_image(40, 30, 255);
    const DecodedImage half_transparent = pattern_image(40, 30, 128);
    RotatableSprite* opaque = sprite_of(image);
    RotatableSprite* translucent = sprite_of(half_transparent);

    const DecodedImage untouched = frame_of(grey, [&] { draw_sprite(opaque, 10, 10, 0); });
    expect_frames_match(reference(grey).frame(), untouched, 0, "alpha-0");

    struct Case {
        RotatableSprite* sprite;
        const DecodedImage* image;
        uint8_t alpha;
    };
    for (const Case c : {Case{opaque, &image, 100}, Case{translucent, &half_transparent, 100},
                         Case{translucent, &half_transparent, 255}}) {
        const DecodedImage frame = frame_of(grey, [&] { draw_sprite(c.sprite, 10, 10, c.alpha); });
        Reference expected = reference(grey);
        expected.draw(*c.image, 10, 10, 0.0f, c.alpha, Blend::Normal, false);
        expect_frames_match(expected.frame(), frame, blend_tolerance,
                            "alpha-" + std::to_string(c.alpha));
    }
    // Spot check against the formula itself: c * a + d * (1 - a) with a = 100 / 255.
    const DecodedImage frame = frame_of(grey, [&] { draw_sprite(opaque, 10, 10, 100); });
    const double a = 100.0 / 255.0;
    const Rgb texel = pixel(image, 3, 4);
    const Rgb got = pixel(frame, 13, 14);
    EXPECT_NEAR(got.red, texel.red * a + grey.red * (1 - a), 1.0);
    EXPECT_NEAR(got.green, texel.green * a + grey.green * (1 - a), 1.0);
    EXPECT_NEAR(got.blue, texel.blue * a + grey.blue * (1 - a), 1.0);
}

TEST_F(SurfaceTest, PositiveAnglesTurnClockwiseAboutTheCentre) {
    const DecodedImage arrow = arrow_image(64);
    RotatableSprite* sprite = sprite_of(arrow);
    constexpr int32_t x = 20;
    constexpr int32_t y = 10;
    const int32_t centre_x = x + 32;
    const int32_t centre_y = y + 32;
    struct Case {
        float degrees;
        int32_t tip_dx;  // where the arrow's red head must be, from the centre
        int32_t tip_dy;
    };
    for (const Case c : {Case{0.0f, 0, -27}, Case{90.0f, 27, 0}, Case{-90.0f, -27, 0},
                         Case{180.0f, 0, 27}, Case{30.0f, 14, -23}}) {
        rotate_sprite_to(sprite, c.degrees);
        const DecodedImage frame = frame_of(grey, [&] { draw_sprite(sprite, x, y, 255); });
        Reference expected = reference(grey);
        expected.draw(arrow, x, y, c.degrees, 255, Blend::Normal, false);
        expect_frames_match(expected.frame(), frame, 0,
                            "rotation-" + std::to_string(static_cast<int>(c.degrees)));
        // Independent of the reference: the head lies where a clockwise turn puts it.
        const Rgb head = pixel(frame, centre_x + c.tip_dx, centre_y + c.tip_dy);
        EXPECT_EQ(head, (Rgb{255, 0, 0})) << "at " << c.degrees << " degrees";
        const Rgb opposite = pixel(frame, centre_x - c.tip_dx, centre_y - c.tip_dy);
        EXPECT_EQ(opposite, grey) << "at " << c.degrees << " degrees";
    }
}

TEST_F(SurfaceTest, RotationIsAbsolute) {
    RotatableSprite* sprite = sprite_of(arrow_image(48));
    set_sprite_quality(1);
    rotate_sprite_to(sprite, 30.0f);
    const DecodedImage once = frame_of(grey, [&] { draw_sprite(sprite, 30, 20, 255); });
    rotate_sprite_to(sprite, 30.0f);
    const DecodedImage twice = frame_of(grey, [&] { draw_sprite(sprite, 30, 20, 255); });
    expect_frames_match(once, twice, 0, "rotate-30-twice");
    rotate_sprite_to(sprite, 360.0f);
    const DecodedImage full_turn = frame_of(grey, [&] { draw_sprite(sprite, 30, 20, 255); });
    rotate_sprite_to(sprite, 0.0f);
    const DecodedImage none = frame_of(grey, [&] { draw_sprite(sprite, 30, 20, 255); });
    expect_frames_match(none, full_turn, 1, "rotate-360");
}

TEST_F(SurfaceTest, BilinearSamplingOfARotatedSpriteFollowsTheReference) {
    // A smooth pattern inside a transparent border, so that the quad's own edge plays no part.
    DecodedImage image = pattern_image(50, 50, 255);
    for (int32_t y = 0; y < 50; ++y) {
        for (int32_t x = 0; x < 50; ++x) {
            if (x < 3 || y < 3 || x > 46 || y > 46) image.bgra[(y * 50 + x) * 4 + 3] = 0;
        }
    }
    RotatableSprite* sprite = sprite_of(image);
    for (const float degrees : {17.0f, 45.0f, -123.5f}) {
        rotate_sprite_to(sprite, degrees);
        for (const int32_t quality : {0, 1}) {
            set_sprite_quality(quality);
            const DecodedImage frame = frame_of(grey, [&] { draw_sprite(sprite, 35, 25, 255); });
            Reference expected = reference(grey);
            expected.draw(image, 35, 25, degrees, 255, Blend::Normal, quality == 1);
            // Nearest sampling picks a neighbouring texel where a pixel centre falls on a texel
            // boundary within the device's precision; compare it loosely, bilinear tightly.
            if (quality == 1) {
                expect_frames_match(expected.frame(), frame, bilinear_tolerance,
                                    "bilinear-" + std::to_string(static_cast<int>(degrees)));
            } else {
                const FrameDifference d = compare_frames(expected.frame(), frame, 8);
                EXPECT_LT(d.pixels_over, 20) << "nearest at " << degrees << ": " << d.first_over;
            }
        }
    }
}

TEST_F(SurfaceTest, QualityOtherThanZeroOrOneLeavesSamplingUnchanged) {
    DecodedImage image = pattern_image(40, 40, 255);
    RotatableSprite* sprite = sprite_of(image);
    rotate_sprite_to(sprite, 33.0f);
    auto frame_with_quality = [&](int32_t quality) {
        set_sprite_quality(quality);
        return frame_of(grey, [&] { draw_sprite(sprite, 40, 30, 255); });
    };
    const DecodedImage nearest = frame_with_quality(0);
    const DecodedImage bilinear = frame_with_quality(1);
    EXPECT_GT(compare_frames(nearest, bilinear, 0).pixels_over, 100) << "qualities must differ";
    // Recorded between frames: the next batch keeps the default nearest sampling.
    expect_frames_match(nearest, frame_with_quality(7), 0, "quality-7");

    // Inside a batch that chose bilinear, an unknown value keeps bilinear.
    set_sprite_quality(1);
    const DecodedImage kept = frame_of(grey, [&] {
        set_sprite_quality(7);
        draw_sprite(sprite, 40, 30, 255);
    });
    expect_frames_match(bilinear, kept, 0, "quality-7-in-batch");
    // And 0 inside a batch takes effect at once.
    set_sprite_quality(1);
    const DecodedImage switched = frame_of(grey, [&] {
        set_sprite_quality(0);
        draw_sprite(sprite, 40, 30, 255);
    });
    expect_frames_match(nearest, switched, 0, "quality-0-in-batch");
}

TEST_F(SurfaceTest, ShadowPairDarkensUnderTheSilhouetteOnly) {
    // Zero, inverse source alpha: d * (1 - a_img * alpha); the sprite's colour plays no part.
    DecodedImage image = solid_image(30, 20, Rgb{255, 0, 255}, 255);
    for (int32_t x = 0; x < 30; ++x)
        image.bgra[(10 * 30 + x) * 4 + 3] = 0;  // a clear row
    RotatableSprite* sprite = sprite_of(image);
    set_blend_factors(BlendFactor::Zero, BlendFactor::InvSrcAlpha);
    const Rgb light{200, 200, 200};
    const DecodedImage frame = frame_of(light, [&] { draw_sprite(sprite, 40, 40, 100); });
    Reference expected = reference(light);
    expected.draw(image, 40, 40, 0.0f, 100, Blend::Shadow, false);
    expect_frames_match(expected.frame(), frame, blend_tolerance, "shadow");
    const int kept = 200 * 155 / 255;  // 121.6
    EXPECT_NEAR(pixel(frame, 45, 45).red, kept, 1) << "155/255 of the brightness is kept";
    EXPECT_NEAR(pixel(frame, 45, 45).green, kept, 1);
    EXPECT_EQ(pixel(frame, 45, 50), light) << "a transparent texel changes nothing";
    EXPECT_EQ(pixel(frame, 39, 45), light) << "outside the sprite nothing changes";
}

TEST_F(SurfaceTest, LightingPairAddsTheGlowToTheSquaredDestination) {
    // Source alpha, destination colour: c * a + d * d, limited to 1.
    DecodedImage image = solid_image(60, 40, Rgb{174, 170, 11}, 255);
    for (int32_t x = 30; x < 60; ++x) {
        for (int32_t y = 0; y < 40; ++y)
            image.bgra[(y * 60 + x) * 4 + 3] = 0;  // right half clear
    }
    RotatableSprite* sprite = sprite_of(image);
    set_blend_factors(BlendFactor::SrcAlpha, BlendFactor::DestColor);
    for (const Rgb background : {Rgb{15, 15, 15}, Rgb{128, 200, 255}}) {
        const DecodedImage frame = frame_of(background, [&] { draw_sprite(sprite, 10, 10, 200); });
        Reference expected = reference(background);
        expected.draw(image, 10, 10, 0.0f, 200, Blend::Lighting, false);
        expect_frames_match(expected.frame(), frame, blend_tolerance, "lighting");
        const double a = 200.0 / 255.0;
        const double d = background.red / 255.0;
        EXPECT_NEAR(pixel(frame, 15, 15).red, std::min(1.0, 174 / 255.0 * a + d * d) * 255, 1.0);
        EXPECT_NEAR(pixel(frame, 50, 15).red, d * d * 255, 1.0) << "transparent: only squaring";
    }
}

TEST_F(SurfaceTest, BlendPairIsSurfaceStateAcrossBatchesAndFrames) {
    RotatableSprite* sprite = sprite_of(solid_image(20, 20, Rgb{255, 255, 255}, 255));
    const Rgb light{200, 200, 200};
    set_blend_factors(BlendFactor::Zero, BlendFactor::InvSrcAlpha);  // set outside any batch
    const DecodedImage frame = frame_of(light, [&] { draw_sprite(sprite, 5, 5, 100); });
    EXPECT_NEAR(pixel(frame, 10, 10).red, 200 * 155 / 255, 1) << "still the shadow pair";
    const DecodedImage next = frame_of(light, [&] { draw_sprite(sprite, 5, 5, 100); });
    EXPECT_NEAR(pixel(next, 10, 10).red, 200 * 155 / 255, 1) << "and in the next frame";
    set_blend_factors(BlendFactor::SrcAlpha, BlendFactor::InvSrcAlpha);
    const DecodedImage normal = frame_of(light, [&] { draw_sprite(sprite, 5, 5, 100); });
    EXPECT_NEAR(pixel(normal, 10, 10).red, 255 * 100 / 255.0 + 200 * 155 / 255.0, 1);
}

TEST_F(SurfaceTest, SecondBeginBeforePresentChangesNothing) {
    const DecodedImage image = pattern_image(30, 30, 200);
    RotatableSprite* sprite = sprite_of(image);
    const DecodedImage single = frame_of(grey, [&] { draw_sprite(sprite, 20, 20, 255); });
    const DecodedImage doubled = frame_of(grey, [&] {
        begin_sprite_batch();
        draw_sprite(sprite, 20, 20, 255);
    });
    expect_frames_match(single, doubled, 0, "begin-twice");
}

TEST_F(SurfaceTest, LargerSpriteIsClippedAtTheSurfaceEdgeNotScaled) {
    const DecodedImage big = pattern_image(150, 130, 255);
    RotatableSprite* sprite = sprite_of(big);
    for (const int32_t quality : {0, 1}) {
        set_sprite_quality(quality);
        const DecodedImage frame = frame_of(grey, [&] { draw_sprite(sprite, 0, 0, 255); });
        Reference expected = reference(grey);
        expected.draw(big, 0, 0, 0.0f, 255, Blend::Normal, quality == 1);
        expect_frames_match(expected.frame(), frame, 0, "clipped");
        EXPECT_EQ(pixel(frame, surface_width - 1, surface_height - 1),
                  pixel(big, surface_width - 1, surface_height - 1));
    }
}

TEST_F(SurfaceTest, BackBufferSurvivesAPresent) {
    RotatableSprite* sprite = sprite_of(pattern_image(40, 40, 255));
    const DecodedImage first = frame_of(grey, [&] { draw_sprite(sprite, 10, 10, 255); });
    ASSERT_TRUE(present_surface());
    ASSERT_TRUE(present_surface());
    expect_frames_match(first, read_frame(surface_width, surface_height), 0, "after-presents");
}

TEST_F(SurfaceTest, DeviceResetRebuildsTexturesFromTheKeptPixels) {
    const DecodedImage image = pattern_image(40, 30, 255);
    RotatableSprite* sprite = sprite_of(image);
    rotate_sprite_to(sprite, 20.0f);
    set_sprite_quality(1);
    const DecodedImage before = frame_of(grey, [&] { draw_sprite(sprite, 30, 30, 255); });
    for (const uint32_t notice : {SDL_RENDER_DEVICE_RESET, SDL_RENDER_TARGETS_RESET}) {
        SDL_Event event{};
        event.type = notice;
        ASSERT_EQ(SDL_PushEvent(&event), 1);
        EXPECT_EQ(poll_window_event(), WindowEvent::None) << "a reset is no window event";
        const DecodedImage after = frame_of(grey, [&] { draw_sprite(sprite, 30, 30, 255); });
        expect_frames_match(before, after, 0, "after-reset");
        EXPECT_TRUE(present_surface()) << "presenting stays on";
    }
}

TEST_F(SurfaceTest, AbsentSpritesAndImagesAreNoOps) {
    const DecodedImage image = pattern_image(30, 30, 255);
    RotatableSprite* sprite = sprite_of(image);
    EXPECT_EQ(make_rotatable_sprite(nullptr), nullptr);
    const std::vector<uint8_t> not_png{'n', 'o', 't', ' ', 'p', 'n', 'g', '!', 0, 1, 2, 3};
    SpriteImage* broken = load_sprite_image(not_png);
    EXPECT_EQ(broken, nullptr);
    RotatableSprite* absent = make_rotatable_sprite(broken);
    EXPECT_EQ(absent, nullptr);
    rotate_sprite_to(absent, 45.0f);
    const DecodedImage with_absent = frame_of(grey, [&] {
        draw_sprite(absent, 0, 0, 255);
        draw_sprite(sprite, 10, 10, 255);
        draw_sprite(absent, 10, 10, 255);
    });
    const DecodedImage without = frame_of(grey, [&] { draw_sprite(sprite, 10, 10, 255); });
    expect_frames_match(without, with_absent, 0, "absent");
}

TEST_F(SurfaceTest, ImagesNeedExactlyTheirPixels) {
    DecodedImage short_of_pixels = pattern_image(10, 10, 255);
    short_of_pixels.bgra.pop_back();
    EXPECT_EQ(make_sprite_image(short_of_pixels), nullptr);
    EXPECT_EQ(make_sprite_image(DecodedImage{}), nullptr);
    std::vector<uint8_t> wrong_size(static_cast<size_t>(surface_width) * surface_height * 4 - 4);
    EXPECT_FALSE(read_back_buffer(wrong_size));
}

}  // namespace
}  // namespace korvalis::testing
