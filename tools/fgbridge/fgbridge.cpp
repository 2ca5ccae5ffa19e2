// The bridge's logic without sockets: the strict reader of FlightGear's lines, the mapping to
// the module's offsets, and the clock that decides whether the bridge serves.
#include "tools/fgbridge/fgbridge.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace korvalis {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Exactly what "%.Nf" prints for a finite value, and nothing else: no exponent, no blanks, no
// "nan" or "inf", no '+', no hexadecimal. Anything else means the line is not ours.
std::optional<double> parse_fixed(std::string_view text) {
    if (text.empty() || text.size() > fg_max_number_length) return std::nullopt;
    size_t i = 0;
    if (text[i] == '-') ++i;
    const size_t int_start = i;
    while (i < text.size() && is_digit(text[i]))
        ++i;
    if (i == int_start) return std::nullopt;
    if (i < text.size()) {
        if (text[i] != '.') return std::nullopt;
        ++i;
        const size_t frac_start = i;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        if (i == frac_start || i != text.size()) return std::nullopt;
    }
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<FgPacket> parse_fg_packet(std::span<const char> bytes) {
    if (bytes.size() < 2 || bytes.size() > fg_max_packet_size) return std::nullopt;
    if (bytes.back() != '\n') return std::nullopt;
    const std::string_view line(bytes.data(), bytes.size() - 1);
    // One line per datagram: a second line end, a carriage return or a NUL is not ours.
    if (line.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) {
        return std::nullopt;
    }

    std::string_view fields[fg_packet_fields];
    size_t count = 0;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        if (count == fg_packet_fields) return std::nullopt;  // too many fields
        fields[count++] = line.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count != fg_packet_fields || fields[0] != fg_packet_tag) return std::nullopt;

    double numbers[fg_packet_fields - 1];
    for (size_t i = 1; i < fg_packet_fields; ++i) {
        const std::optional<double> number = parse_fixed(fields[i]);
        if (!number.has_value()) return std::nullopt;
        numbers[i - 1] = *number;
    }
    FgPacket packet;
    packet.ias_kt = numbers[0];
    packet.vne_kt = numbers[1];
    packet.panel_norm = numbers[2];
    packet.instruments_norm = numbers[3];
    return packet;
}

int32_t raw_from_knots(double knots) {
    if (!std::isfinite(knots)) return 0;
    const double raw = std::nearbyint(knots * 128.0);
    if (raw >= 2147483647.0) return INT32_MAX;
    if (raw <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(raw);
}

ModuleValues module_values_from(const FgPacket& packet, double fallback_max_kt) {
    ModuleValues values;
    values.airspeed_raw = raw_from_knots(packet.ias_kt);
    // A limit of 0 or below is a property the aircraft does not set, not a real limit.
    values.max_speed_raw = raw_from_knots(packet.vne_kt > 0 ? packet.vne_kt : fallback_max_kt);
    if (packet.panel_norm > 0 || packet.instruments_norm > 0) values.lights |= panel_lights_bit;
    return values;
}

void space_put_values(ModuleSpace& space, const ModuleValues& values) {
    space_put_u32(space, airspeed_offset, static_cast<uint32_t>(values.airspeed_raw));
    space_put_u32(space, max_speed_offset, static_cast<uint32_t>(values.max_speed_raw));
    space_put_u16(space, lights_offset, values.lights);
}

void presence_on_packet(Presence& presence, int64_t now_ms) {
    presence.heard = true;
    presence.last_packet_ms = now_ms;
}

bool presence_alive(const Presence& presence, int64_t now_ms) {
    return presence_ms_left(presence, now_ms) > 0;
}

int64_t presence_ms_left(const Presence& presence, int64_t now_ms) {
    if (!presence.heard) return 0;
    const int64_t age = std::max<int64_t>(0, now_ms - presence.last_packet_ms);
    return age >= presence.silence_ms ? 0 : presence.silence_ms - age;
}

}  // namespace korvalis
