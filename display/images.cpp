// The six instrument images: decoded from the PNG data compiled into the program, each made into
// a rotatable sprite. An image that fails leaves its pair absent and the frame goes on without it.
#include "display/display.h"
#include "display/embedded_assets.h"

namespace korvalis {

InstrumentImages instrument_images;

void load_instrument_images() {
    InstrumentImages& images = instrument_images;
    images.dial_face_image = load_sprite_image(assets::dial_face);
    images.airspeed_needle_image = load_sprite_image(assets::airspeed_needle);
    images.max_speed_needle_image = load_sprite_image(assets::max_speed_needle);
    images.offline_dot_image = load_sprite_image(assets::offline_dot);
    images.light_overlay_image = load_sprite_image(assets::light_overlay);
    images.offline_halo_image = load_sprite_image(assets::offline_halo);

    images.airspeed_needle = make_rotatable_sprite(images.airspeed_needle_image);
    images.max_speed_needle = make_rotatable_sprite(images.max_speed_needle_image);
    images.dial_face = make_rotatable_sprite(images.dial_face_image);
    images.offline_dot = make_rotatable_sprite(images.offline_dot_image);
    images.light_overlay = make_rotatable_sprite(images.light_overlay_image);
    images.offline_halo = make_rotatable_sprite(images.offline_halo_image);
}

}  // namespace korvalis
