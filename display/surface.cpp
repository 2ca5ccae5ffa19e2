// The sprite surface over an accelerated SDL renderer. Everything is drawn into a target texture
// of the surface's size, the back buffer; presenting copies it to the window, so the back buffer
// survives a present and a repaint shows the last frame again without composing a new one.
// Sprites are two textured triangles with a per-corner colour (white, alpha = draw alpha), under
// custom blend modes composed from the surface's blend pair.
#include <SDL.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "display/platform.h"

namespace korvalis {

struct SpriteImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgra;  // kept to rebuild the texture after the device is reset
    SDL_Texture* texture = nullptr;
    bool linear = false;  // the texture's current sampling
};

struct RotatableSprite {
    SpriteImage* image = nullptr;         // shared, owned by the surface
    float angle = 0.0f;                   // radians
    std::array<SDL_Vertex, 4> corners{};  // top-left, top-right, bottom-left, bottom-right
    bool corners_valid = false;
};

namespace {

// The strip of two triangles: top-left, top-right, bottom-left; top-right, bottom-left,
// bottom-right.
constexpr std::array<int, 6> strip_indices{0, 1, 2, 1, 2, 3};

struct Surface {
    bool system_ready = false;  // init_sprite_system has run
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* back_buffer = nullptr;  // everything is drawn here
    SDL_Rect placement{};                // the surface's area in the window's client area
    bool open = false;
    bool presenting = false;  // off for good after the device is gone, until opened again
    bool device_gone = false;
    bool scene_open = false;
    bool batch_begun = false;
    // Drawing state of the device: batch state (corner colour applied, chosen sampling) or the
    // default state (texture alone, nearest sampling).
    bool corner_colour = false;
    bool linear = false;
    int32_t quality = 0;
    BlendFactor source = BlendFactor::SrcAlpha;
    BlendFactor destination = BlendFactor::InvSrcAlpha;
    SDL_BlendMode blend = SDL_BLENDMODE_BLEND;
    std::vector<std::unique_ptr<SpriteImage>> images;
    std::vector<std::unique_ptr<RotatableSprite>> sprites;
};

Surface surface;

SDL_BlendFactor colour_factor(BlendFactor factor) {
    switch (factor) {
        case BlendFactor::Zero:
            return SDL_BLENDFACTOR_ZERO;
        case BlendFactor::SrcAlpha:
            return SDL_BLENDFACTOR_SRC_ALPHA;
        case BlendFactor::InvSrcAlpha:
            return SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA;
        case BlendFactor::DestColor:
            return SDL_BLENDFACTOR_DST_COLOR;
    }
    return SDL_BLENDFACTOR_ONE;
}

// The alpha channel is blended with the same factors; for the destination colour factor that
// means the destination's alpha. The surface's alpha is never shown.
SDL_BlendFactor alpha_factor(BlendFactor factor) {
    return factor == BlendFactor::DestColor ? SDL_BLENDFACTOR_DST_ALPHA : colour_factor(factor);
}

bool known_factor(BlendFactor factor) {
    switch (factor) {
        case BlendFactor::Zero:
        case BlendFactor::SrcAlpha:
        case BlendFactor::InvSrcAlpha:
        case BlendFactor::DestColor:
            return true;
    }
    return false;
}

SDL_BlendMode compose_blend(BlendFactor source, BlendFactor destination) {
    return SDL_ComposeCustomBlendMode(colour_factor(source), colour_factor(destination),
                                      SDL_BLENDOPERATION_ADD, alpha_factor(source),
                                      alpha_factor(destination), SDL_BLENDOPERATION_ADD);
}

// The renderer must do every pair the frame uses, or the picture would silently differ.
bool renderer_blends_all_pairs(SDL_Renderer* renderer) {
    SDL_Texture* probe =
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, 1, 1);
    if (probe == nullptr) return false;
    const std::array<SDL_BlendMode, 3> pairs{
        compose_blend(BlendFactor::SrcAlpha, BlendFactor::InvSrcAlpha),
        compose_blend(BlendFactor::Zero, BlendFactor::InvSrcAlpha),
        compose_blend(BlendFactor::SrcAlpha, BlendFactor::DestColor)};
    bool all = true;
    for (SDL_BlendMode pair : pairs)
        all = all && SDL_SetTextureBlendMode(probe, pair) == 0;
    SDL_DestroyTexture(probe);
    return all;
}

SDL_Texture* make_texture(SDL_Renderer* renderer, const SpriteImage& image) {
    SDL_Texture* texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888,
                                             SDL_TEXTUREACCESS_STATIC, image.width, image.height);
    if (texture == nullptr) return nullptr;
    // ARGB8888 is blue, green, red, alpha in memory on little-endian machines, like the decoder.
    if (SDL_UpdateTexture(texture, nullptr, image.bgra.data(), image.width * 4) != 0 ||
        SDL_SetTextureScaleMode(texture, SDL_ScaleModeNearest) != 0) {
        SDL_DestroyTexture(texture);
        return nullptr;
    }
    return texture;
}

void destroy_textures() {
    for (auto& image : surface.images) {
        if (image->texture != nullptr) SDL_DestroyTexture(image->texture);
        image->texture = nullptr;
        image->linear = false;
    }
    if (surface.back_buffer != nullptr) SDL_DestroyTexture(surface.back_buffer);
    surface.back_buffer = nullptr;
}

void clear_back_buffer(uint8_t red, uint8_t green, uint8_t blue) {
    SDL_SetRenderDrawBlendMode(surface.renderer, SDL_BLENDMODE_NONE);
    SDL_SetRenderDrawColor(surface.renderer, red, green, blue, 255);
    SDL_RenderClear(surface.renderer);
}

// The back buffer and every image's texture, from the kept pixels. False if the renderer cannot
// make them.
bool make_textures() {
    SDL_Renderer* renderer = surface.renderer;
    surface.back_buffer =
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET,
                          surface.placement.w, surface.placement.h);
    if (surface.back_buffer == nullptr) return false;
    // The copy to the window replaces pixels: the back buffer's alpha plays no part in it.
    if (SDL_SetTextureBlendMode(surface.back_buffer, SDL_BLENDMODE_NONE) != 0 ||
        SDL_SetRenderTarget(renderer, surface.back_buffer) != 0) {
        return false;
    }
    clear_back_buffer(0, 0, 0);
    for (auto& image : surface.images) {
        image->texture = make_texture(renderer, *image);
        if (image->texture == nullptr) return false;
    }
    return true;
}

// The platform's accelerated driver by name; any accelerated one when it is not there.
int render_driver_index() {
    const int drivers = SDL_GetNumRenderDrivers();
    for (int i = 0; i < drivers; ++i) {
        SDL_RendererInfo info;
        if (SDL_GetRenderDriverInfo(i, &info) == 0 &&
            SDL_strcmp(info.name, platform_render_driver()) == 0) {
            return i;
        }
    }
    return -1;
}

SDL_Renderer* create_renderer(SDL_Window* window) {
    // A window made without what the driver needs would be destroyed and made again by SDL,
    // losing its place and frame style: no surface on it instead.
    const Uint32 needed = platform_window_flags();
    if ((SDL_GetWindowFlags(window) & needed) != needed) return nullptr;
    SDL_Renderer* renderer = SDL_CreateRenderer(
        window, render_driver_index(),
        SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC | SDL_RENDERER_TARGETTEXTURE);
    if (renderer == nullptr) return nullptr;
    SDL_RendererInfo info;
    if (SDL_GetRendererInfo(renderer, &info) != 0 || (info.flags & SDL_RENDERER_ACCELERATED) == 0 ||
        !renderer_blends_all_pairs(renderer)) {
        SDL_DestroyRenderer(renderer);
        return nullptr;
    }
    return renderer;
}

void close_surface() {
    destroy_textures();
    if (surface.renderer != nullptr) SDL_DestroyRenderer(surface.renderer);
    surface.renderer = nullptr;
    surface.window = nullptr;
    surface.open = false;
    surface.presenting = false;
    surface.device_gone = false;
    surface.scene_open = false;
    surface.batch_begun = false;
    surface.corner_colour = false;
    surface.linear = false;
}

// After the device was reset: new textures from the kept pixels, and if the renderer itself
// cannot make them any more, a new renderer. Only when that fails too is the device gone.
bool rebuild_device() {
    destroy_textures();
    if (make_textures()) return true;
    destroy_textures();
    SDL_DestroyRenderer(surface.renderer);
    surface.renderer = create_renderer(surface.window);
    if (surface.renderer != nullptr && make_textures()) return true;
    destroy_textures();
    if (surface.renderer != nullptr) SDL_DestroyRenderer(surface.renderer);
    surface.renderer = nullptr;
    return false;
}

void device_is_gone() {
    surface.device_gone = true;
    surface.presenting = false;
}

// Copies the back buffer to the window and shows it, in step with the vertical retrace.
bool show_back_buffer() {
    SDL_Renderer* renderer = surface.renderer;
    bool shown = SDL_SetRenderTarget(renderer, nullptr) == 0;
    if (shown) {
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_RenderClear(renderer);
        shown = SDL_RenderCopy(renderer, surface.back_buffer, nullptr, &surface.placement) == 0;
        SDL_RenderPresent(renderer);
    }
    return SDL_SetRenderTarget(renderer, surface.back_buffer) == 0 && shown;
}

void apply_sampling_for_quality() {
    if (surface.quality == 1) surface.linear = true;
    if (surface.quality == 0) surface.linear = false;
    // Any other value leaves the sampling as it is.
}

void compute_corners(RotatableSprite& sprite) {
    const float w = static_cast<float>(sprite.image->width);
    const float h = static_cast<float>(sprite.image->height);
    // Pixel-edge coordinates: pixel (i, j) covers the square from (i, j) to (i + 1, j + 1).
    const std::array<SDL_FPoint, 4> unrotated{{{0.0f, 0.0f}, {w, 0.0f}, {0.0f, h}, {w, h}}};
    const float angle = sprite.angle;
    for (size_t i = 0; i < unrotated.size(); ++i)
        sprite.corners[i].position = unrotated[i];
    if (angle != 0.0f) {
        const float c = std::cos(angle);
        const float s = std::sin(angle);
        const float cx = (unrotated[0].x + unrotated[1].x + unrotated[2].x + unrotated[3].x) / 4.0f;
        const float cy = (unrotated[0].y + unrotated[1].y + unrotated[2].y + unrotated[3].y) / 4.0f;
        for (size_t i = 0; i < unrotated.size(); ++i) {
            const float dx = unrotated[i].x - cx;
            const float dy = unrotated[i].y - cy;
            sprite.corners[i].position = SDL_FPoint{cx + c * dx - s * dy, cy + s * dx + c * dy};
        }
    }
    sprite.corners_valid = true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Set-up and tear-down
// ---------------------------------------------------------------------------------------------
bool init_sprite_system() {
    surface.source = BlendFactor::SrcAlpha;
    surface.destination = BlendFactor::InvSrcAlpha;
    surface.blend = compose_blend(surface.source, surface.destination);
    surface.batch_begun = false;
    surface.system_ready = false;
    if (SDL_WasInit(SDL_INIT_VIDEO) == 0) return false;
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, platform_render_driver());
    // Each draw goes to the device at once, in order with the sampling changes between draws.
    SDL_SetHint(SDL_HINT_RENDER_BATCHING, "0");
    bool accelerated = false;
    const int drivers = SDL_GetNumRenderDrivers();
    for (int i = 0; i < drivers; ++i) {
        SDL_RendererInfo info;
        if (SDL_GetRenderDriverInfo(i, &info) == 0 &&
            (info.flags & SDL_RENDERER_ACCELERATED) != 0) {
            accelerated = true;
        }
    }
    surface.system_ready = accelerated;
    return accelerated;
}

bool open_surface(void* native_window, int32_t x, int32_t y, int32_t width, int32_t height) {
    if (surface.open || surface.renderer != nullptr) close_surface();
    auto* window = static_cast<SDL_Window*>(native_window);
    if (window == nullptr || !surface.system_ready || width <= 0 || height <= 0) return false;

    surface.window = window;
    surface.placement = SDL_Rect{x, y, width, height};
    surface.renderer = create_renderer(window);
    if (surface.renderer == nullptr || !make_textures()) {
        close_surface();
        return false;
    }
    platform_stop_erasing(window);
    surface.open = true;
    surface.presenting = true;
    surface.scene_open = true;
    surface.batch_begun = true;
    surface.corner_colour = false;
    surface.linear = false;
    return true;
}

void release_sprite_system() {
    close_surface();
    surface.sprites.clear();
    surface.images.clear();
    instrument_images = InstrumentImages{};
    surface.system_ready = false;
}

void surface_detach_window(SDL_Window* window) {
    if (window != nullptr && surface.window == window) close_surface();
}

// ---------------------------------------------------------------------------------------------
// One frame
// ---------------------------------------------------------------------------------------------
void clear_surface(uint8_t red, uint8_t green, uint8_t blue) {
    if (surface.renderer == nullptr || surface.device_gone) return;
    clear_back_buffer(red, green, blue);
}

bool begin_sprite_batch() {
    if (surface.renderer == nullptr || surface.device_gone) return false;
    surface.scene_open = true;
    surface.batch_begun = true;
    surface.corner_colour = true;
    apply_sampling_for_quality();
    return true;
}

void end_sprite_batch() {
    if (!surface.batch_begun) return;
    surface.batch_begun = false;
    surface.corner_colour = false;
    surface.linear = false;
}

bool present_surface() {
    if (!surface.open) return false;
    if (!surface.presenting) return true;
    surface.scene_open = false;
    if (!show_back_buffer()) surface.presenting = false;
    return true;
}

void set_sprite_quality(int32_t quality) {
    surface.quality = quality;
    if (surface.batch_begun) apply_sampling_for_quality();
}

void set_blend_factors(BlendFactor source, BlendFactor destination) {
    if (!known_factor(source) || !known_factor(destination)) return;
    surface.source = source;
    surface.destination = destination;
    surface.blend = compose_blend(source, destination);
}

void rotate_sprite_to(RotatableSprite* sprite, float degrees) {
    if (sprite == nullptr) return;
    const double pi = std::acos(-1.0);
    sprite->angle = static_cast<float>(pi * static_cast<double>(degrees) * 2.0 / 360.0);
    sprite->corners_valid = false;
}

void draw_sprite(RotatableSprite* sprite, int32_t x, int32_t y, uint8_t alpha) {
    if (sprite == nullptr || surface.renderer == nullptr || surface.device_gone ||
        !surface.scene_open) {
        return;
    }
    SpriteImage& image = *sprite->image;
    if (image.texture == nullptr) return;
    if (!sprite->corners_valid) compute_corners(*sprite);

    std::array<SDL_Vertex, 4> corners = sprite->corners;
    const uint8_t corner_alpha = surface.corner_colour ? alpha : 255;
    for (SDL_Vertex& corner : corners) {
        corner.position.x += static_cast<float>(x);
        corner.position.y += static_cast<float>(y);
        corner.color = SDL_Color{255, 255, 255, corner_alpha};
    }
    if (image.linear != surface.linear) {
        // Changed right before this texture's draw: the renderer binds it for the change.
        SDL_SetTextureScaleMode(image.texture,
                                surface.linear ? SDL_ScaleModeLinear : SDL_ScaleModeNearest);
        image.linear = surface.linear;
    }
    SDL_SetTextureBlendMode(image.texture, surface.blend);
    SDL_RenderGeometry(surface.renderer, image.texture, corners.data(),
                       static_cast<int>(corners.size()), strip_indices.data(),
                       static_cast<int>(strip_indices.size()));
}

// ---------------------------------------------------------------------------------------------
// Images and sprites
// ---------------------------------------------------------------------------------------------
SpriteImage* make_sprite_image(const DecodedImage& decoded) {
    if (surface.renderer == nullptr || surface.device_gone || decoded.width <= 0 ||
        decoded.height <= 0 ||
        decoded.bgra.size() != static_cast<size_t>(decoded.width) * decoded.height * 4) {
        return nullptr;
    }
    auto image = std::make_unique<SpriteImage>();
    image->width = decoded.width;
    image->height = decoded.height;
    image->bgra = decoded.bgra;
    image->texture = make_texture(surface.renderer, *image);
    if (image->texture == nullptr) return nullptr;
    surface.images.push_back(std::move(image));
    return surface.images.back().get();
}

SpriteImage* load_sprite_image(std::span<const uint8_t> png_data) {
    if (surface.renderer == nullptr) return nullptr;
    const std::optional<DecodedImage> decoded = decode_png(png_data);
    return decoded ? make_sprite_image(*decoded) : nullptr;
}

RotatableSprite* make_rotatable_sprite(SpriteImage* image) {
    if (image == nullptr) return nullptr;
    auto sprite = std::make_unique<RotatableSprite>();
    sprite->image = image;
    const std::array<SDL_FPoint, 4> texture_corners{
        {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}, {1.0f, 1.0f}}};
    for (size_t i = 0; i < texture_corners.size(); ++i) {
        sprite->corners[i].tex_coord = texture_corners[i];
        sprite->corners[i].color = SDL_Color{255, 255, 255, 255};
    }
    surface.sprites.push_back(std::move(sprite));
    return surface.sprites.back().get();
}

bool read_back_buffer(std::span<uint8_t> bgra) {
    const SDL_Rect& area = surface.placement;
    if (surface.renderer == nullptr || surface.back_buffer == nullptr ||
        bgra.size() != static_cast<size_t>(area.w) * area.h * 4) {
        return false;
    }
    if (SDL_RenderReadPixels(surface.renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, bgra.data(),
                             area.w * 4) != 0) {
        return false;
    }
    // The surface's alpha is never shown: report every pixel as it appears, opaque.
    for (size_t i = 3; i < bgra.size(); i += 4)
        bgra[i] = 255;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Notifications from the window
// ---------------------------------------------------------------------------------------------
void surface_repaint() {
    if (!surface.open || !surface.presenting) return;
    if (!show_back_buffer()) surface.presenting = false;
}

void surface_handle_render_event(uint32_t type) {
    if (!surface.open || surface.device_gone) return;
    if (type == SDL_RENDER_TARGETS_RESET) {
        // The back buffer's pixels are lost; the next frame draws them all again.
        clear_back_buffer(0, 0, 0);
        return;
    }
    if (type == SDL_RENDER_DEVICE_RESET && !rebuild_device()) device_is_gone();
}

}  // namespace korvalis
