// The bridge's logic without sockets: which datagrams count as FlightGear's lines, what they put
// at the module's offsets, and when the bridge serves or withdraws.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simlink/module.h"
#include "tools/fgbridge/fgbridge.h"

namespace korvalis {
namespace {

std::optional<FgPacket> parse(const std::string& bytes) {
    return parse_fg_packet(std::span<const char>(bytes.data(), bytes.size()));
}

TEST(FgPacketTest, WellFormedLinesGiveTheirNumbers) {
    struct Case {
        const char* name;
        std::string line;
        FgPacket expected;
    };
    const Case cases[] = {
        {"c172p cruising, lights off",
         "korvalis1,101.337,158.000,0.000,0.000\n",
         {101.337, 158.0, 0.0, 0.0}},
        {"instrument lights up", "korvalis1,0.000,158.000,0.000,0.750\n", {0.0, 158.0, 0.0, 0.75}},
        {"no limit, panel lights", "korvalis1,250.5,0.000,1.000,0.000\n", {250.5, 0.0, 1.0, 0.0}},
        {"negative airspeed", "korvalis1,-3.250,158.000,0.000,0.000\n", {-3.25, 158.0, 0.0, 0.0}},
        {"integers without a point", "korvalis1,120,158,0,1\n", {120.0, 158.0, 0.0, 1.0}},
        {"negative zero", "korvalis1,-0.000,0.000,0.000,0.000\n", {0.0, 0.0, 0.0, 0.0}},
        {"huge but finite",
         "korvalis1,99999999999999.000,0.000,0.000,0.000\n",
         {99999999999999.0, 0.0, 0.0, 0.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<FgPacket> got = parse(c.line);
        ASSERT_TRUE(got.has_value()) << "expected the line to parse: " << c.line;
        EXPECT_DOUBLE_EQ(got->ias_kt, c.expected.ias_kt);
        EXPECT_DOUBLE_EQ(got->vne_kt, c.expected.vne_kt);
        EXPECT_DOUBLE_EQ(got->panel_norm, c.expected.panel_norm);
        EXPECT_DOUBLE_EQ(got->instruments_norm, c.expected.instruments_norm);
    }
}

TEST(FgPacketTest, AnythingElseIsRefusedWhole) {
    const std::string good = "korvalis1,101.337,158.000,0.000,0.000\n";
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty datagram", ""},
        {"only a line end", "\n"},
        {"no line end", "korvalis1,101.337,158.000,0.000,0.000"},
        {"carriage return before the line end", "korvalis1,101.337,158.000,0.000,0.000\r\n"},
        {"two lines in one datagram", good + good},
        {"blank line after", good + "\n"},
        {"NUL inside", std::string("korvalis1,101.337,158.000,0.000\0,0.000\n", 39)},
        {"NUL at the end", good + std::string(1, '\0')},
        {"another tag", "korvalis2,101.337,158.000,0.000,0.000\n"},
        {"tag in capitals", "KORVALIS1,101.337,158.000,0.000,0.000\n"},
        {"no tag", "101.337,158.000,0.000,0.000\n"},
        {"a field short", "korvalis1,101.337,158.000,0.000\n"},
        {"a field too many", "korvalis1,101.337,158.000,0.000,0.000,0.000\n"},
        {"empty field", "korvalis1,101.337,,0.000,0.000\n"},
        {"trailing comma", "korvalis1,101.337,158.000,0.000,0.000,\n"},
        {"nan", "korvalis1,nan,158.000,0.000,0.000\n"},
        {"-nan", "korvalis1,-nan,158.000,0.000,0.000\n"},
        {"inf", "korvalis1,101.337,inf,0.000,0.000\n"},
        {"-inf", "korvalis1,-inf,158.000,0.000,0.000\n"},
        {"exponent", "korvalis1,1e2,158.000,0.000,0.000\n"},
        {"hexadecimal", "korvalis1,0x10,158.000,0.000,0.000\n"},
        {"plus sign", "korvalis1,+101.337,158.000,0.000,0.000\n"},
        {"blank before a number", "korvalis1, 101.337,158.000,0.000,0.000\n"},
        {"blank after a number", "korvalis1,101.337 ,158.000,0.000,0.000\n"},
        {"point without digits after", "korvalis1,101.,158.000,0.000,0.000\n"},
        {"point without digits before", "korvalis1,.5,158.000,0.000,0.000\n"},
        {"two points", "korvalis1,101.3.37,158.000,0.000,0.000\n"},
        {"lone minus", "korvalis1,-,158.000,0.000,0.000\n"},
        {"double minus", "korvalis1,--1,158.000,0.000,0.000\n"},
        {"decimal comma", "korvalis1,101;337,158.000,0.000,0.000\n"},
        {"units", "korvalis1,101.337kt,158.000,0.000,0.000\n"},
        {"number too long", "korvalis1,1234567890123456789012345,158.000,0.000,0.000\n"},
        {"another protocol's line", "XGPS,-122.3576,37.6135,1234.5,270.000,51.444\n"},
        {"oversized datagram", "korvalis1,101.337,158.000,0.000," + std::string(300, '0') + "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(parse(c.bytes).has_value()) << c.name;
    }
    EXPECT_TRUE(parse(good).has_value()) << "the reference line itself must parse";
}

TEST(FgPacketTest, NumbersMayFillTheirWholeLength) {
    // Every number at its longest: the longest line of ours, well inside one datagram.
    const std::string longest_number = "-" + std::string(fg_max_number_length - 3, '9') + ".9";
    ASSERT_EQ(longest_number.size(), fg_max_number_length);
    std::string line = fg_packet_tag;
    for (size_t i = 1; i < fg_packet_fields; ++i)
        line += "," + longest_number;
    line += "\n";
    ASSERT_LE(line.size(), fg_max_packet_size);
    EXPECT_TRUE(parse(line).has_value()) << line;
    line.insert(line.size() - 1, "9");  // the last number one character too long
    EXPECT_FALSE(parse(line).has_value()) << line;
}

TEST(FgMappingTest, KnotsBecomeRawUnitsRoundedAndClamped) {
    struct Case {
        double knots;
        int32_t raw;
    };
    const Case cases[] = {
        {0.0, 0},
        {100.0, 12800},
        {101.337, 12971},  // 12971.136
        {-3.25, -416},
        {0.00390625, 0},  // 0.5 raw: ties to even
        {0.01171875, 2},  // 1.5 raw: ties to even
        {16777215.99, INT32_MAX},
        {1e300, INT32_MAX},
        {-1e300, INT32_MIN},
        {-16777216.0, INT32_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(raw_from_knots(c.knots), c.raw) << "knots " << c.knots;
    }
}

TEST(FgMappingTest, LimitAndLightsFollowTheAircraft) {
    struct Case {
        const char* name;
        FgPacket packet;
        double fallback_kt;
        ModuleValues expected;
    };
    const Case cases[] = {
        {"c172p, lights off", {101.337, 158.0, 0.0, 0.0}, 0.0, {12971, 158 * 128, 0}},
        {"instrument lights at their lowest", {90.0, 158.0, 0.0, 0.001}, 0.0, {11520, 20224, 0x20}},
        {"panel lights", {90.0, 158.0, 1.0, 0.0}, 0.0, {11520, 20224, 0x20}},
        {"no vne: the fallback", {90.0, 0.0, 0.0, 0.0}, 200.0, {11520, 25600, 0}},
        {"no vne and no fallback: needle at rest", {90.0, 0.0, 0.0, 0.0}, 0.0, {11520, 0, 0}},
        {"negative vne is no limit", {90.0, -5.0, 0.0, 0.0}, 200.0, {11520, 25600, 0}},
        {"negative dimmer is off", {90.0, 158.0, -1.0, -0.5}, 0.0, {11520, 20224, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ModuleValues got = module_values_from(c.packet, c.fallback_kt);
        EXPECT_EQ(got.airspeed_raw, c.expected.airspeed_raw);
        EXPECT_EQ(got.max_speed_raw, c.expected.max_speed_raw);
        EXPECT_EQ(got.lights, c.expected.lights);
    }
}

TEST(FgMappingTest, ValuesLandAtTheInstrumentsOffsetsAndSpareTheHandshake) {
    ModuleSpace space{};
    space_install_handshake(space, 0x40000000, 14);
    space_put_values(space, {-416, 158 * 128, 0x20});
    EXPECT_EQ(space_get_u32(space, airspeed_offset), static_cast<uint32_t>(-416));
    EXPECT_EQ(space_get_u32(space, max_speed_offset), 20224u);
    EXPECT_EQ(space_get_u16(space, lights_offset), 0x20);
    EXPECT_EQ(space_get_u32(space, handshake_module_version_offset), 0x40000000u);
    EXPECT_EQ(space_get_u32(space, handshake_sim_word_offset), 0xFADE000Eu);
}

TEST(FgPresenceTest, ServesOnlyWhilePacketsArrive) {
    Presence presence;  // 2000 ms of silence allowed
    struct Step {
        int64_t at_ms;
        bool packet;  // a good packet arrives at this moment
        bool alive;   // expected afterwards
        int64_t ms_left;
    };
    const Step steps[] = {
        {0, false, false, 0},        // nothing heard yet: not a module
        {5000, false, false, 0},     // still nothing
        {10000, true, true, 2000},   // the first packet: serve at once
        {10050, true, true, 2000},   // 20 Hz stream
        {11000, false, true, 1050},  // a hiccup is tolerated
        {12049, false, true, 1},     // one millisecond before the deadline
        {12050, false, false, 0},    // two seconds of silence: withdraw
        {20000, false, false, 0},    // stays withdrawn
        {20001, true, true, 2000},   // FlightGear is back
        {19000, false, true, 2000},  // a clock reading older than the packet counts as fresh
    };
    for (const Step& s : steps) {
        if (s.packet) presence_on_packet(presence, s.at_ms);
        EXPECT_EQ(presence_alive(presence, s.at_ms), s.alive) << "at " << s.at_ms << " ms";
        EXPECT_EQ(presence_ms_left(presence, s.at_ms), s.ms_left) << "at " << s.at_ms << " ms";
    }
}

TEST(FgPresenceTest, SilenceIsConfigurable) {
    Presence presence;
    presence.silence_ms = 500;
    presence_on_packet(presence, 1000);
    EXPECT_TRUE(presence_alive(presence, 1499));
    EXPECT_FALSE(presence_alive(presence, 1500));
}

}  // namespace
}  // namespace korvalis
