// Fuzzes the settings reader with arbitrary file bytes. Beyond not crashing, whatever it reads
// must survive a save and a second read unchanged, and every value it finds must be a piece of
// the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const StoredSettings first = parse_settings(text);
    const std::string saved = format_settings(first);
    const StoredSettings second = parse_settings(saved);
    if (second.light_enabled != first.light_enabled || second.window_x != first.window_x ||
        second.window_y != first.window_y) {
        std::abort();
    }
    if (auto value = find_ini_value(text, "system", "PosWindowX")) {
        const bool inside = value->empty() || (value->data() >= text.data() &&
                                               value->data() + value->size() <= text.data() + size);
        if (!inside) std::abort();
    }
    return 0;
}
