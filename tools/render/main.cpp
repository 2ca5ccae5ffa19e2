// korvalis-render: draws one frame of the instrument through the program's own display code
// (hidden window, sprite surface, draw_instrument_frame) from a given state and writes the back
// buffer to a PNG file. The README's pictures and several tests are made with it.
//
//   korvalis-render [--ias KT] [--max KT] [--lights HEX] [--light-enabled N] [--offline] -o FILE
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "display/display.h"

namespace {

using namespace korvalis;

struct Options {
    double ias_knots = 0.0;
    double max_knots = 0.0;
    uint16_t lights = 0;
    int8_t light_enabled = 1;
    bool offline = false;
    std::string output;
};

constexpr const char* usage =
    "usage: korvalis-render [--ias KT] [--max KT] [--lights HEX] [--light-enabled N] [--offline] "
    "-o FILE\n"
    "  --ias KT           indicated airspeed in knots (default 0)\n"
    "  --max KT           maximum allowable speed in knots (default 0)\n"
    "  --lights HEX       the simulator's lights word, e.g. 0x20 (default 0)\n"
    "  --light-enabled N  the settings file's \"light\" value (default 1)\n"
    "  --offline          draw the not-connected marker\n"
    "  -o FILE            the PNG file to write\n";

bool parse_number(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value)) return false;
    *out = value;
    return true;
}

bool parse_integer(const char* text, int base, long* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, base);
    if (end == text || *end != '\0' || errno != 0) return false;
    *out = value;
    return true;
}

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--offline") {
            options->offline = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        long integer = 0;
        if (flag == "--ias") {
            if (!parse_number(value, &options->ias_knots)) return false;
        } else if (flag == "--max") {
            if (!parse_number(value, &options->max_knots)) return false;
        } else if (flag == "--lights") {
            if (!parse_integer(value, 16, &integer) || integer < 0 || integer > 0xFFFF)
                return false;
            options->lights = static_cast<uint16_t>(integer);
        } else if (flag == "--light-enabled") {
            if (!parse_integer(value, 10, &integer)) return false;
            // Like the settings file: the low 8 bits, as a signed byte.
            options->light_enabled = static_cast<int8_t>(static_cast<uint8_t>(integer & 0xFF));
        } else if (flag == "-o") {
            options->output = value;
        } else {
            return false;
        }
    }
    return !options->output.empty();
}

// Knots to the simulator's raw value (knots x 128), held to the raw field's range.
int32_t raw_speed(double knots) {
    const double raw = std::nearbyint(knots * 128.0);
    if (raw >= 2147483647.0) return 2147483647;
    if (raw <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int32_t>(raw);
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

int render(const Options& options) {
    if (!init_window_system()) {
        std::fprintf(stderr, "korvalis-render: no window system (is DISPLAY set?)\n");
        return 1;
    }
    init_sprite_system();
    InstrumentWindow* window = open_hidden_window(client_width, client_height);
    if (window == nullptr ||
        !open_surface(native_window_handle(window), 0, 0, client_width, client_height)) {
        std::fprintf(stderr, "korvalis-render: cannot open an accelerated drawing surface\n");
        close_instrument_window(window);
        shutdown_window_system();
        return 1;
    }
    load_instrument_images();
    set_sprite_quality(1);

    reset_instrument_state();
    InstrumentState& s = instrument_state;
    s.airspeed_raw.store(raw_speed(options.ias_knots), std::memory_order_relaxed);
    s.max_speed_raw.store(raw_speed(options.max_knots), std::memory_order_relaxed);
    s.lights.store(options.lights, std::memory_order_relaxed);
    s.light_enabled = options.light_enabled;
    recompute_needles_if_changed();  // the frame loop's own change detection
    draw_instrument_frame(options.offline);

    DecodedImage frame;
    frame.width = client_width;
    frame.height = client_height;
    frame.bgra.resize(static_cast<size_t>(client_width) * client_height * 4);
    const bool read = read_back_buffer(frame.bgra);
    release_sprite_system();
    close_instrument_window(window);
    // SDL stays up until the process ends: unloading the OpenGL driver gains nothing here, and
    // Mesa leaks on unload where the sanitizer builds can no longer name it.
    if (!read) {
        std::fprintf(stderr, "korvalis-render: cannot read the frame back\n");
        return 1;
    }
    const std::vector<uint8_t> png = encode_png(frame);
    if (png.empty() || !write_file(options.output, png)) {
        std::fprintf(stderr, "korvalis-render: cannot write %s\n", options.output.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::fputs(usage, stderr);
        return 2;
    }
    return render(options);
}
