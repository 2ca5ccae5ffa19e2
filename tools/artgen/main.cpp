// korvalis-artgen: draws the instrument's images and writes them as PNG files.
//
//   korvalis-artgen ASSETS_DIR                  writes the six images and the three icon sizes
//   korvalis-artgen ASSETS_DIR --preview DIR    also writes composed frames to look at
//
// Exit status 0 when every file was written, 1 otherwise.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "app/app.h"
#include "tools/artgen/artgen.h"

namespace {

using korvalis::RgbaImage;

bool write(const std::string& directory, const char* name, const RgbaImage& image) {
    const std::string path = directory + "/" + name;
    if (image.width == 0 || !korvalis::write_png_file(path, image)) {
        std::fprintf(stderr, "korvalis-artgen: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// Frames at the speeds worth checking, each needle in turn on the mark, plus close-ups of the
// tip over the scale, an offline frame and lit frames.
bool write_previews(const std::string& directory, const korvalis::PreviewImages& images) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    bool ok = true;
    const int speeds[] = {0, 40, 100, 150, 250, 300};
    for (int knots : speeds) {
        const float angle = korvalis::needle_angle(static_cast<float>(knots));
        const int16_t whole = korvalis::whole_degrees(angle);
        // The other needle is put somewhere out of the way.
        const int other_knots = knots >= 200 ? 120 : 250;
        const float other = korvalis::needle_angle(static_cast<float>(other_knots));

        const korvalis::PreviewFrame airspeed_frame{angle, korvalis::whole_degrees(other)};
        const korvalis::PreviewFrame max_frame{other, whole};
        const std::string suffix = std::to_string(knots) + ".png";
        ok &= write(directory, ("airspeed_" + suffix).c_str(),
                    korvalis::compose_preview(images, airspeed_frame));
        ok &= write(directory, ("max_speed_" + suffix).c_str(),
                    korvalis::compose_preview(images, max_frame));

        // Close-ups of the scale around the tip, with see-through needles: the mark must run
        // down the middle of the blade.
        const double a = angle * std::numbers::pi / 180.0;
        const int crop_x = static_cast<int>(std::lround(133 + 105 * std::sin(a))) - 20;
        const int crop_y = static_cast<int>(std::lround(133 - 105 * std::cos(a))) - 20;
        korvalis::PreviewFrame ghost_airspeed = airspeed_frame;
        ghost_airspeed.needle_alpha = 110;
        korvalis::PreviewFrame ghost_max = max_frame;
        ghost_max.needle_alpha = 110;
        const RgbaImage airspeed_tip = korvalis::magnify(
            korvalis::compose_preview(images, ghost_airspeed), crop_x, crop_y, 40, 40, 6);
        const RgbaImage max_tip = korvalis::magnify(korvalis::compose_preview(images, ghost_max),
                                                    crop_x, crop_y, 40, 40, 6);
        ok &= write(directory, ("tip_airspeed_" + suffix).c_str(), airspeed_tip);
        ok &= write(directory, ("tip_max_speed_" + suffix).c_str(), max_tip);
    }
    const float cruise = korvalis::needle_angle(150.0f);
    const int16_t limit = korvalis::whole_degrees(korvalis::needle_angle(220.0f));
    ok &= write(directory, "offline.png",
                korvalis::compose_preview(images, {0.0f, 0, true, false, 255}));
    ok &= write(directory, "lit.png",
                korvalis::compose_preview(images, {cruise, limit, false, true, 255}));
    ok &= write(directory, "lit_offline.png",
                korvalis::compose_preview(images, {cruise, limit, true, true, 255}));
    const RgbaImage offline = korvalis::compose_preview(images, {cruise, limit, true, false, 255});
    ok &= write(directory, "offline_marker.png", korvalis::magnify(offline, 40, 40, 50, 50, 8));
    ok &= write(directory, "dial_4x.png", korvalis::magnify(images.dial_face, 0, 0, 246, 246, 4));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--preview") == 0)) {
        std::fprintf(stderr, "usage: korvalis-artgen ASSETS_DIR [--preview DIR]\n");
        return 1;
    }
    const std::string assets = argv[1];

    korvalis::PreviewImages images;
    images.dial_face = korvalis::draw_dial_face();
    images.airspeed_needle = korvalis::draw_needle(korvalis::NeedleKind::Airspeed);
    images.max_speed_needle = korvalis::draw_needle(korvalis::NeedleKind::MaxSpeed);
    images.offline_dot = korvalis::draw_offline_dot();
    images.offline_halo = korvalis::draw_offline_halo();
    images.light_overlay = korvalis::draw_light_overlay();

    bool ok = true;
    ok &= write(assets, "dial_face.png", images.dial_face);
    ok &= write(assets, "airspeed_needle.png", images.airspeed_needle);
    ok &= write(assets, "max_speed_needle.png", images.max_speed_needle);
    ok &= write(assets, "offline_dot.png", images.offline_dot);
    ok &= write(assets, "offline_halo.png", images.offline_halo);
    ok &= write(assets, "light_overlay.png", images.light_overlay);
    for (int size : {48, 32, 16}) {
        const std::string name = "icon_" + std::to_string(size) + ".png";
        ok &= write(assets, name.c_str(), korvalis::draw_icon(size));
    }
    if (argc == 4) ok &= write_previews(argv[3], images);
    return ok ? 0 : 1;
}
