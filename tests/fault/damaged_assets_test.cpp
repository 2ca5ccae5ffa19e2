// The program's own start-up path with damaged embedded images. This test binary defines the
// embedded-image symbols itself, over copies of the PNG files that each case damages in place,
// so the linker leaves the build's embedded copies out and load_instrument_images() reads the
// damaged bytes exactly as the program would. Every damaged image must leave its pair absent
// and the frames must be composed from the rest, pixel for pixel as if the pair had never been
// there, online, offline and under the lighting overlay.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "display/embedded_assets.h"
#include "tests/fault/png_damage.h"

namespace korvalis::testing {
namespace {

// The bytes behind one embedded image: the file as committed, and the copy the program reads.
// The copy keeps its size, so the span the program holds stays valid whatever a case does.
struct EmbeddedCopy {
    Bytes pristine;
    Bytes live;
};

EmbeddedCopy& embedded(const std::string& name) {
    static std::map<std::string, EmbeddedCopy> copies;
    auto found = copies.find(name);
    if (found == copies.end()) {
        std::ifstream in(std::string(KORVALIS_ASSETS_DIR) + "/" + name + ".png", std::ios::binary);
        Bytes bytes{std::istreambuf_iterator<char>(in), {}};
        found = copies.emplace(name, EmbeddedCopy{bytes, bytes}).first;
    }
    return found->second;
}

std::span<const uint8_t> live_bytes(const char* name) {
    return embedded(name).live;
}

}  // namespace
}  // namespace korvalis::testing

namespace korvalis::assets {
const std::span<const uint8_t> dial_face = testing::live_bytes("dial_face");
const std::span<const uint8_t> airspeed_needle = testing::live_bytes("airspeed_needle");
const std::span<const uint8_t> max_speed_needle = testing::live_bytes("max_speed_needle");
const std::span<const uint8_t> offline_dot = testing::live_bytes("offline_dot");
const std::span<const uint8_t> offline_halo = testing::live_bytes("offline_halo");
const std::span<const uint8_t> light_overlay = testing::live_bytes("light_overlay");
const std::span<const uint8_t> icon_48 = testing::live_bytes("icon_48");
const std::span<const uint8_t> icon_32 = testing::live_bytes("icon_32");
const std::span<const uint8_t> icon_16 = testing::live_bytes("icon_16");
}  // namespace korvalis::assets

namespace korvalis::testing {
namespace {

constexpr int32_t size = 266;

// The real surface over a window that is never shown, as the tools draw off-screen. The window
// lives as long as the process: closing the last one would unload the graphics driver, and its
// leftovers would then show up in the leak check under no library's name.
InstrumentWindow* window = nullptr;

bool open_hidden_surface() {
    if (window == nullptr) {
        if (!init_window_system()) return false;
        window = open_hidden_window(size, size);
        if (window == nullptr) return false;
    }
    return init_sprite_system() && open_surface(native_window_handle(window), 0, 0, size, size);
}

void close_hidden_surface() {
    release_sprite_system();
}

using Frame = std::vector<uint8_t>;  // blue, green, red, alpha per pixel, top row first

// Pixels whose colour differs, and the first of them.
struct FrameDifference {
    int pixels = 0;
    std::string first;
};

FrameDifference compare(const Frame& expected, const Frame& got) {
    FrameDifference d;
    for (size_t i = 0; i + 3 < expected.size() && i + 3 < got.size(); i += 4) {
        if (std::equal(&expected[i], &expected[i] + 3, &got[i])) continue;
        if (d.pixels++ == 0) {
            const size_t p = i / 4;
            d.first = "(" + std::to_string(p % size) + ", " + std::to_string(p / size) + ")";
        }
    }
    return d;
}

struct Pair {
    const char* asset;
    SpriteImage* InstrumentImages::*image;
    RotatableSprite* InstrumentImages::*sprite;
};

const Pair pairs[] = {
    {"dial_face", &InstrumentImages::dial_face_image, &InstrumentImages::dial_face},
    {"airspeed_needle", &InstrumentImages::airspeed_needle_image,
     &InstrumentImages::airspeed_needle},
    {"max_speed_needle", &InstrumentImages::max_speed_needle_image,
     &InstrumentImages::max_speed_needle},
    {"offline_dot", &InstrumentImages::offline_dot_image, &InstrumentImages::offline_dot},
    {"offline_halo", &InstrumentImages::offline_halo_image, &InstrumentImages::offline_halo},
    {"light_overlay", &InstrumentImages::light_overlay_image, &InstrumentImages::light_overlay},
};

// Damage in place: a shorter copy is padded with zeros to the embedded size.
void damage(const char* asset, const std::string& damage_name) {
    EmbeddedCopy& copy = embedded(asset);
    for (const Damage& d : damaged_copies(copy.pristine)) {
        if (d.name.rfind(damage_name, 0) != 0) continue;
        std::fill(copy.live.begin(), copy.live.end(), 0);
        std::copy_n(d.bytes.begin(), std::min(d.bytes.size(), copy.live.size()), copy.live.begin());
        return;
    }
    ADD_FAILURE() << "no damage named " << damage_name << " for " << asset;
}

void restore_all() {
    for (const Pair& p : pairs) {
        EmbeddedCopy& copy = embedded(p.asset);
        std::copy(copy.pristine.begin(), copy.pristine.end(), copy.live.begin());
    }
}

struct FrameState {
    const char* name;
    float airspeed_angle;
    int16_t max_speed_angle;
    uint16_t lights;
    bool offline;
};

const FrameState frame_states[] = {
    {"online", 137.0f, 259, 0x0000, false},
    {"offline", -30.0f, 200, 0x0000, true},
    {"overlay", 300.0f, 90, 0x0020, true},
};

Frame draw(const FrameState& f) {
    InstrumentState& s = instrument_state;
    s.airspeed_angle = f.airspeed_angle;
    s.max_speed_angle = f.max_speed_angle;
    s.lights.store(f.lights, std::memory_order_relaxed);
    s.light_enabled = 1;
    draw_instrument_frame(f.offline);
    Frame frame(static_cast<size_t>(size) * size * 4);
    if (!read_back_buffer(frame)) frame.clear();
    return frame;
}

struct DamagedImage {
    const char* asset;
    const char* damage;  // the start of a name from damaged_copies()
};

struct Case {
    const char* name;
    std::vector<DamagedImage> damaged;
};

class DamagedAssetsTest : public ::testing::Test {
protected:
    void SetUp() override { reset_instrument_state(); }
    void TearDown() override { restore_all(); }

    void check(const Case& c) {
        SCOPED_TRACE(c.name);
        restore_all();
        for (const DamagedImage& d : c.damaged)
            damage(d.asset, d.damage);
        ASSERT_TRUE(open_hidden_surface()) << "no display with accelerated drawing";

        // The start-up path: six loads, six sprites; nothing is checked on the way.
        load_instrument_images();
        set_sprite_quality(1);
        const InstrumentImages damaged_set = instrument_images;
        for (const Pair& p : pairs) {
            const bool is_damaged =
                std::any_of(c.damaged.begin(), c.damaged.end(),
                            [&](const DamagedImage& d) { return std::string(d.asset) == p.asset; });
            EXPECT_EQ(damaged_set.*p.image == nullptr, is_damaged) << p.asset;
            EXPECT_EQ(damaged_set.*p.sprite == nullptr, is_damaged) << p.asset;
        }

        // The same frames from the undamaged images with those pairs taken away by hand.
        restore_all();
        load_instrument_images();
        InstrumentImages reference_set = instrument_images;
        for (const Pair& p : pairs) {
            if (damaged_set.*p.sprite == nullptr) reference_set.*p.sprite = nullptr;
        }
        for (const FrameState& f : frame_states) {
            instrument_images = reference_set;
            const Frame expected = draw(f);
            instrument_images = damaged_set;
            const Frame got = draw(f);
            ASSERT_FALSE(got.empty()) << f.name << ": no frame read back";
            const FrameDifference d = compare(expected, got);
            EXPECT_EQ(d.pixels, 0) << f.name << ": first difference at " << d.first;
        }
        close_hidden_surface();
    }
};

TEST_F(DamagedAssetsTest, EachDamagedImageLeavesItsPairAbsentAndTheRestOfTheFrame) {
    for (const Pair& p : pairs) {
        check({p.asset, {{p.asset, "image data scrambled at 2"}}});
        if (HasFatalFailure()) return;
    }
}

TEST_F(DamagedAssetsTest, EveryImageDamagedLeavesTheBackgroundAlone) {
    const Case all{"all six",
                   {{"dial_face", "all zeros"},
                    {"airspeed_needle", "zeroed from a third"},
                    {"max_speed_needle", "header says 20000 square"},
                    {"offline_dot", "bit 0 of byte 16"},
                    {"offline_halo", "image data length 2147483647"},
                    {"light_overlay", "colour type 5"}}};
    check(all);
    if (HasFatalFailure()) return;

    // Nothing is left to draw: every frame is the background colour, corner to corner.
    restore_all();
    for (const DamagedImage& d : all.damaged)
        damage(d.asset, d.damage);
    ASSERT_TRUE(open_hidden_surface()) << "no display with accelerated drawing";
    load_instrument_images();
    const Frame background = [] {
        Frame f(static_cast<size_t>(size) * size * 4, 15);
        for (size_t i = 3; i < f.size(); i += 4)
            f[i] = 255;
        return f;
    }();
    for (const FrameState& f : frame_states) {
        const Frame frame = draw(f);
        ASSERT_FALSE(frame.empty()) << f.name << ": no frame read back";
        const FrameDifference d = compare(background, frame);
        EXPECT_EQ(d.pixels, 0) << f.name << ": pixels other than the background, first at "
                               << d.first;
    }
    close_hidden_surface();
}

}  // namespace
}  // namespace korvalis::testing
