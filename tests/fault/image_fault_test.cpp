// Damaged copies of the images the program embeds, fed to the decoder behind load_sprite_image:
// every one is refused, or decoded whole into a buffer that matches the size it states. No
// window is needed, so this runs in every build.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "display/display.h"
#include "display/embedded_assets.h"
#include "tests/fault/png_damage.h"

namespace korvalis::testing {
namespace {

struct Art {
    const char* name;
    std::span<const uint8_t> png;
    int32_t side;  // every image of the program is square
};

const Art art[] = {
    {"dial_face", assets::dial_face, 246},
    {"airspeed_needle", assets::airspeed_needle, 246},
    {"max_speed_needle", assets::max_speed_needle, 246},
    {"offline_dot", assets::offline_dot, 30},
    {"offline_halo", assets::offline_halo, 30},
    {"light_overlay", assets::light_overlay, 300},
    {"icon_48", assets::icon_48, 48},
    {"icon_32", assets::icon_32, 32},
    {"icon_16", assets::icon_16, 16},
};

TEST(DamagedArt, EveryDamagedCopyIsRefusedOrDecodedWhole) {
    for (const Art& a : art) {
        SCOPED_TRACE(a.name);
        const std::optional<DecodedImage> pristine = decode_png(a.png);
        ASSERT_TRUE(pristine) << "the undamaged image decodes";
        ASSERT_EQ(pristine->width, a.side);

        const std::vector<Damage> copies = damaged_copies(a.png);
        ASSERT_GT(copies.size(), 30u) << "the file's chunks were found";
        int refused = 0;
        for (const Damage& d : copies) {
            SCOPED_TRACE(d.name);
            // Each copy sits in a heap block of exactly its size: AddressSanitizer reports a
            // read past it.
            const std::optional<DecodedImage> got = decode_png(d.bytes);
            if (!got) {
                ++refused;
                continue;
            }
            EXPECT_FALSE(d.never_decodes) << "a picture from data that cannot be complete";
            EXPECT_GT(got->width, 0);
            EXPECT_GT(got->height, 0);
            EXPECT_LE(static_cast<int64_t>(got->width) * got->height, png_max_pixels);
            EXPECT_EQ(got->bgra.size(), static_cast<size_t>(got->width) * got->height * 4);
            if (d.keeps_size) {
                EXPECT_EQ(got->width, a.side);
                EXPECT_EQ(got->height, a.side);
            }
        }
        // Most damage is caught; what decodes is damage in places a decoder may skip.
        EXPECT_GT(refused, static_cast<int>(copies.size()) * 3 / 4);
    }
}

}  // namespace
}  // namespace korvalis::testing
