// korvalis-fgbridge: an interface module whose values come from FlightGear. FlightGear streams
// one text line per UDP datagram with its generic protocol (korvalis.xml); the bridge checks each
// line, turns it into the instrument's three values and serves them over the stand-in transport,
// but only while lines keep arriving. No platform calls here: main.cpp owns the sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "simlink/module.h"

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// The stream: one line per datagram, as korvalis.xml makes FlightGear write it
//
//     korvalis1,<ias kt>,<vne kt>,<panel-norm>,<instruments-norm>\n
//
// Every number is fixed-point decimal ("%.3f"): an optional '-', digits, optionally '.' and
// digits. A property the aircraft does not have arrives as 0 (FlightGear creates it empty).
// ---------------------------------------------------------------------------------------------
inline constexpr const char* fg_packet_tag = "korvalis1";  // first field; a new layout, a new tag
inline constexpr size_t fg_packet_fields = 5;              // the tag and four numbers
inline constexpr size_t fg_max_packet_size = 256;          // longer datagrams are not ours
inline constexpr size_t fg_max_number_length = 24;         // characters of one number
inline constexpr uint16_t fg_default_port = 27266;         // UDP, on 127.0.0.1 only

struct FgPacket {
    double ias_kt = 0;            // /instrumentation/airspeed-indicator/indicated-speed-kt
    double vne_kt = 0;            // /limits/vne: never-exceed speed; 0 = the aircraft has none
    double panel_norm = 0;        // /controls/lighting/panel-norm, 0..1
    double instruments_norm = 0;  // /controls/lighting/instruments-norm, 0..1
};

// The packet in these bytes (one datagram), or nothing when it is not exactly one well-formed
// line of ours: wrong tag, field count, number syntax, a missing or extra line end, a NUL, more
// than fg_max_packet_size bytes. A packet that does not parse gives no value at all.
std::optional<FgPacket> parse_fg_packet(std::span<const char> bytes);

// ---------------------------------------------------------------------------------------------
// From FlightGear's values to the module's space
// ---------------------------------------------------------------------------------------------
inline constexpr uint16_t panel_lights_bit = 0x20;  // of the lights word at 0x0D0C

struct ModuleValues {
    int32_t airspeed_raw = 0;   // 0x02BC, knots x 128
    int32_t max_speed_raw = 0;  // 0x02C4, knots x 128
    uint16_t lights = 0;        // 0x0D0C
};

// knots x 128, rounded to nearest (ties to even), clamped to the 32-bit range.
int32_t raw_from_knots(double knots);
// The maximum allowable speed is the aircraft's never-exceed speed, or fallback_max_kt for an
// aircraft that declares none. The panel lights bit is set when either the panel or the
// instrument lights are turned up at all.
ModuleValues module_values_from(const FgPacket& packet, double fallback_max_kt);
// Writes the three values at their offsets; the handshake words are not touched.
void space_put_values(ModuleSpace& space, const ModuleValues& values);

// ---------------------------------------------------------------------------------------------
// Living and dying with the simulator: the bridge serves the class only while packets arrive
// ---------------------------------------------------------------------------------------------
inline constexpr int64_t fg_default_silence_ms = 2000;  // no packet for this long: withdraw

struct Presence {
    int64_t silence_ms = fg_default_silence_ms;  // how long a gap may last while serving
    bool heard = false;                          // a packet has arrived at least once
    int64_t last_packet_ms = 0;                  // monotonic time of the latest good packet
};

void presence_on_packet(Presence& presence, int64_t now_ms);  // a packet that parsed
// True while the latest packet is less than silence_ms old.
bool presence_alive(const Presence& presence, int64_t now_ms);
// Milliseconds until presence_alive turns false (0 when it is already false); what a wait may
// last without missing the moment to withdraw.
int64_t presence_ms_left(const Presence& presence, int64_t now_ms);

}  // namespace korvalis
