// The Windows build's drawing platform under test: SDL2 from our prefix must offer its Direct3D 9
// renderer, open it on a window, and give the pixel results the frame composition relies on for
// its three blend pairs (normal, shadow, lighting). Runs under Wine with an X server.
#include <gtest/gtest.h>

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct Rgb {
    int r, g, b;
};

class D3d9RendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        SDL_SetHint(SDL_HINT_RENDER_DRIVER, "direct3d");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        window_ = SDL_CreateWindow("Korvalis - test", 100, 100, 266, 266, SDL_WINDOW_SHOWN);
        ASSERT_NE(window_, nullptr) << SDL_GetError();
        renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_ACCELERATED);
        ASSERT_NE(renderer_, nullptr) << SDL_GetError();
    }
    void TearDown() override {
        if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
        if (window_ != nullptr) SDL_DestroyWindow(window_);
        SDL_Quit();
    }

    // A 1 x 1 texture of the given straight-alpha colour, drawn over a cleared background with
    // the blend mode; returns the pixel read back.
    Rgb draw_over(Rgb background, Rgb colour, int alpha, SDL_BlendMode mode) {
        SDL_Texture* texture =
            SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, 1, 1);
        EXPECT_NE(texture, nullptr) << SDL_GetError();
        if (texture == nullptr) return {-1, -1, -1};
        const uint32_t texel =
            (static_cast<uint32_t>(alpha) << 24) | (static_cast<uint32_t>(colour.r) << 16) |
            (static_cast<uint32_t>(colour.g) << 8) | static_cast<uint32_t>(colour.b);
        SDL_UpdateTexture(texture, nullptr, &texel, 4);
        EXPECT_EQ(SDL_SetTextureBlendMode(texture, mode), 0) << SDL_GetError();
        SDL_SetRenderDrawColor(renderer_, static_cast<uint8_t>(background.r),
                               static_cast<uint8_t>(background.g),
                               static_cast<uint8_t>(background.b), 255);
        SDL_RenderClear(renderer_);
        const SDL_Rect where{20, 20, 8, 8};
        SDL_RenderCopy(renderer_, texture, nullptr, &where);
        uint32_t pixel = 0;
        const SDL_Rect probe{24, 24, 1, 1};
        EXPECT_EQ(SDL_RenderReadPixels(renderer_, &probe, SDL_PIXELFORMAT_ARGB8888, &pixel, 4), 0)
            << SDL_GetError();
        SDL_RenderPresent(renderer_);
        SDL_DestroyTexture(texture);
        return {static_cast<int>((pixel >> 16) & 0xFF), static_cast<int>((pixel >> 8) & 0xFF),
                static_cast<int>(pixel & 0xFF)};
    }

    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
};

TEST_F(D3d9RendererTest, OpensTheDirect3D9Renderer) {
    SDL_RendererInfo info{};
    ASSERT_EQ(SDL_GetRendererInfo(renderer_, &info), 0) << SDL_GetError();
    EXPECT_EQ(std::string(info.name), "direct3d");
    EXPECT_NE(info.flags & SDL_RENDERER_ACCELERATED, 0u);
    int width = 0, height = 0;
    ASSERT_EQ(SDL_GetRendererOutputSize(renderer_, &width, &height), 0);
    EXPECT_EQ(width, 266);
    EXPECT_EQ(height, 266);
}

// The three blend pairs of the frame composition, per channel with colours and alphas as
// fractions: normal d = c a + d (1 - a); shadow d = d (1 - a); lighting d = c a + d d.
TEST_F(D3d9RendererTest, GivesTheBlendPairsOfTheFrame) {
    const SDL_BlendMode normal = SDL_ComposeCustomBlendMode(
        SDL_BLENDFACTOR_SRC_ALPHA, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD,
        SDL_BLENDFACTOR_SRC_ALPHA, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD);
    const SDL_BlendMode shadow = SDL_ComposeCustomBlendMode(
        SDL_BLENDFACTOR_ZERO, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD,
        SDL_BLENDFACTOR_ZERO, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD);
    const SDL_BlendMode lighting = SDL_ComposeCustomBlendMode(
        SDL_BLENDFACTOR_SRC_ALPHA, SDL_BLENDFACTOR_DST_COLOR, SDL_BLENDOPERATION_ADD,
        SDL_BLENDFACTOR_SRC_ALPHA, SDL_BLENDFACTOR_DST_COLOR, SDL_BLENDOPERATION_ADD);

    struct Case {
        const char* name;
        SDL_BlendMode mode;
        Rgb background;
        Rgb colour;
        int alpha;
        Rgb expected;
    };
    auto blend = [](int c, int a, int d, int mode) {
        const double cf = c / 255.0, af = a / 255.0, df = d / 255.0;
        double out = 0;
        if (mode == 0) out = cf * af + df * (1 - af);
        if (mode == 1) out = df * (1 - af);
        if (mode == 2) out = cf * af + df * df;
        return static_cast<int>(std::min(out, 1.0) * 255.0 + 0.5);
    };
    auto expect = [&](Rgb d, Rgb c, int a, int mode) {
        return Rgb{blend(c.r, a, d.r, mode), blend(c.g, a, d.g, mode), blend(c.b, a, d.b, mode)};
    };
    const Rgb dial{40, 40, 40}, white{255, 255, 255}, red{255, 0, 0}, olive{118, 116, 7};
    const Case cases[] = {
        {"normal, opaque", normal, dial, red, 255, expect(dial, red, 255, 0)},
        {"normal, half", normal, dial, white, 128, expect(dial, white, 128, 0)},
        {"shadow at alpha 100 darkens to 155/255", shadow, white, red, 100,
         expect(white, red, 100, 1)},
        {"lighting over a dark face", lighting, dial, olive, 200, expect(dial, olive, 200, 2)},
        {"lighting keeps white white", lighting, white, olive, 200, expect(white, olive, 200, 2)},
    };
    for (const Case& c : cases) {
        const Rgb got = draw_over(c.background, c.colour, c.alpha, c.mode);
        const int tolerance = 2;
        EXPECT_LE(std::abs(got.r - c.expected.r), tolerance) << c.name << ": red " << got.r;
        EXPECT_LE(std::abs(got.g - c.expected.g), tolerance) << c.name << ": green " << got.g;
        EXPECT_LE(std::abs(got.b - c.expected.b), tolerance) << c.name << ": blue " << got.b;
    }
}

}  // namespace
