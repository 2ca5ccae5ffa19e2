// The settings file "Movrelin.ini": three values that survive from one run to the next. The
// reader's grammar and the writer's bytes live here; the program calls load_settings once at
// start-up and save_settings once at shut-down.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalis {

inline constexpr const char* settings_file_name = "Movrelin.ini";

// The stored values, with the defaults used when the file, the group or a key is absent.
struct StoredSettings {
    int8_t light_enabled = 1;  // lighting overlay allowed when nonzero; the low 8 bits of "light"
    int32_t window_x = 0;      // "PosWindowX"
    int32_t window_y = 0;      // "PosWindowY"
};

// ---------------------------------------------------------------------------------------------
// The program's two calls, on instrument_state (settings.cpp)
// ---------------------------------------------------------------------------------------------
void load_settings();  // never fails: stored values or defaults
void save_settings();  // replaces the file whole; on any failure the old file stays untouched

// ---------------------------------------------------------------------------------------------
// The pieces they are made of, usable on their own
// ---------------------------------------------------------------------------------------------

// Looks up a key in a group of an INI text, both ASCII-case-insensitively; first group and
// first key win. Empty when the group or the key is absent.
std::optional<std::string_view> find_ini_value(std::string_view text, std::string_view group,
                                               std::string_view key);
int32_t scan_decimal(std::string_view value);  // the "%d" conversion; 0 without digits

StoredSettings parse_settings(std::span<const char> file_bytes);
std::string format_settings(const StoredSettings& settings);  // exact bytes, CR LF

StoredSettings read_settings_file(const char* path);                         // defaults on failure
bool write_settings_file(const char* path, const StoredSettings& settings);  // atomic replace

}  // namespace korvalis
