// One frame of the instrument, composed from scratch on the sprite surface and presented: the
// dial, each needle over its drop shadow, the not-connected marker while offline, and the
// lighting overlay when the simulator's lights and the user's setting both ask for it.
#include <atomic>

#include "app/app.h"
#include "display/display.h"

namespace korvalis {

namespace {

constexpr uint8_t background_red = 15;
constexpr uint8_t background_green = 15;
constexpr uint8_t background_blue = 15;
constexpr int32_t dial_position = 10;              // dial and both needles, x and y
constexpr int32_t max_speed_shadow_position = 13;  // 3 pixels right of and below the needle
constexpr int32_t airspeed_shadow_position = 16;   // 6 pixels right of and below the needle
constexpr int32_t marker_position = 50;            // the dot and its halo
constexpr int32_t overlay_position = 0;
constexpr uint8_t opaque = 255;
constexpr uint8_t shadow_alpha = 100;
constexpr uint8_t overlay_alpha = 200;
constexpr uint16_t panel_lights_bit = 0x20;

void use_normal_blend() {
    set_blend_factors(BlendFactor::SrcAlpha, BlendFactor::InvSrcAlpha);
}
void use_shadow_blend() {
    set_blend_factors(BlendFactor::Zero, BlendFactor::InvSrcAlpha);
}
void use_lighting_blend() {
    set_blend_factors(BlendFactor::SrcAlpha, BlendFactor::DestColor);
}

// A needle's shadow is the same rotated sprite, drawn first and offset, darkening what lies under
// its silhouette; then the needle itself.
void draw_needle(RotatableSprite* needle, float degrees, int32_t shadow_position) {
    rotate_sprite_to(needle, degrees);
    use_shadow_blend();
    draw_sprite(needle, shadow_position, shadow_position, shadow_alpha);
    use_normal_blend();
    draw_sprite(needle, dial_position, dial_position, opaque);
}

}  // namespace

void draw_instrument_frame(bool offline) {
    const InstrumentState& state = instrument_state;
    const InstrumentImages& images = instrument_images;
    const auto max_speed_degrees = static_cast<float>(state.max_speed_angle);
    const float airspeed_degrees = state.airspeed_angle;
    const uint16_t lights = state.lights.load(std::memory_order_relaxed);
    const bool overlay = (lights & panel_lights_bit) != 0 && state.light_enabled != 0;

    clear_surface(background_red, background_green, background_blue);
    begin_sprite_batch();
    // Drawn with the pair left in force: the normal one, restored at the end of every frame.
    draw_sprite(images.dial_face, dial_position, dial_position, opaque);
    draw_needle(images.max_speed_needle, max_speed_degrees, max_speed_shadow_position);
    draw_needle(images.airspeed_needle, airspeed_degrees, airspeed_shadow_position);
    if (offline) {
        draw_sprite(images.offline_dot, marker_position, marker_position, opaque);
        draw_sprite(images.offline_halo, marker_position, marker_position, opaque);
    }
    if (overlay) {
        use_lighting_blend();
        draw_sprite(images.light_overlay, overlay_position, overlay_position, overlay_alpha);
    }
    use_normal_blend();
    end_sprite_batch();
    present_surface();
}

}  // namespace korvalis
