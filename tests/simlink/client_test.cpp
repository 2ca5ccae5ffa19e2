// The IPC client against the in-process module: every result code, the capacity rule, the
// handshake, the retries, and a hostile module that rewrites the block after serving it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "simlink/in_process_module.h"
#include "simlink/module.h"
#include "simlink/simlink.h"

namespace korvalis {
namespace {

InProcessModule& module() {
    return in_process_module();
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        simlink_close();
        use_ipc_services(&in_process_ipc_services());
        reset_in_process_module();
        space_put_u32(module().space, airspeed_offset, 250 * 128);
        space_put_u32(module().space, max_speed_offset, 280 * 128);
        space_put_u16(module().space, lights_offset, 0x0020);
    }
    void TearDown() override {
        simlink_close();
        EXPECT_EQ(module().live_atoms, 0) << "an atom outlived the link";
        EXPECT_EQ(module().live_blocks, 0) << "a block outlived the link";
        EXPECT_EQ(module().live_views, 0) << "a view outlived the link";
        use_ipc_services(nullptr);
    }
    void open_link() {
        SimLinkResult result = SimLinkResult::link_queue_full;
        ASSERT_TRUE(simlink_open(0, &result));
        ASSERT_EQ(result, SimLinkResult::link_ok);
        module().sleeps.clear();
        module().sends = 0;
        module().served = 0;
    }
};

uint32_t counter_of(const std::string& block_name) {
    return static_cast<uint32_t>(
        std::stoul(block_name.substr(block_name.rfind(':') + 1), nullptr, 16));
}

// --- simlink_open ----------------------------------------------------------------------------

TEST_F(ClientTest, OpenHandshakesOnceAndLeavesTheQueueEmpty) {
    SimLinkResult result = SimLinkResult::link_queue_full;
    ASSERT_TRUE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_ok);
    // Both values arrive in the first pass; the second pass stops before sending.
    EXPECT_EQ(module().served, 1u);
    EXPECT_EQ(module().sleeps, std::vector<uint32_t>{100});
    EXPECT_EQ(module().last_client_version, 2002u);
    ASSERT_EQ(module().block_names.size(), 1u);
    EXPECT_EQ(module().block_names[0].rfind("FsasmLib:IPC:1A2C:", 0), 0u)
        << module().block_names[0];

    EXPECT_FALSE(simlink_process(&result));
    EXPECT_EQ(result, SimLinkResult::link_nothing_queued);
}

TEST_F(ClientTest, OpenTwiceKeepsTheOpenLinkWorking) {
    open_link();
    SimLinkResult result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_already_open);
    int32_t airspeed = 0;
    ASSERT_TRUE(simlink_read(airspeed_offset, 4, &airspeed, &result));
    ASSERT_TRUE(simlink_process(&result));
    EXPECT_EQ(airspeed, 250 * 128);
}

struct OpenCase {
    const char* name;
    void (*arrange)(InProcessModule&);
    uint32_t requested_sim;
    SimLinkResult expected;
};

void put_sim_word(InProcessModule& m, uint32_t word) {
    space_put_u32(m.space, handshake_sim_word_offset, word);
}

const OpenCase open_cases[] = {
    {"no window", [](InProcessModule& m) { m.window_class.clear(); }, 0,
     SimLinkResult::link_no_server},
    {"other class only", [](InProcessModule& m) { m.window_class = "OTHER"; }, 0,
     SimLinkResult::link_no_server},
    {"register fails", [](InProcessModule& m) { m.fail_register = true; }, 0,
     SimLinkResult::link_no_message},
    {"atom fails", [](InProcessModule& m) { m.fail_atom = true; }, 0, SimLinkResult::link_no_atom},
    {"block fails", [](InProcessModule& m) { m.fail_create = true; }, 0,
     SimLinkResult::link_no_block},
    {"block name exists", [](InProcessModule& m) { m.name_exists = true; }, 0,
     SimLinkResult::link_no_block},
    {"map fails", [](InProcessModule& m) { m.fail_map = true; }, 0, SimLinkResult::link_no_view},
    {"version below minimum",
     [](InProcessModule& m) {
         space_put_u32(m.space, handshake_module_version_offset, 0x19980004);
     },
     0, SimLinkResult::link_bad_module},
    {"version below minimum, fallback class",
     [](InProcessModule& m) {
         m.window_class = "FS98MAIN";
         space_put_u32(m.space, handshake_module_version_offset, 0x19980004);
     },
     0, SimLinkResult::link_bad_module_fallback},
    {"version exactly the minimum",
     [](InProcessModule& m) {
         space_put_u32(m.space, handshake_module_version_offset, 0x19980005);
     },
     0, SimLinkResult::link_ok},
    {"fallback class with good values", [](InProcessModule& m) { m.window_class = "FS98MAIN"; }, 0,
     SimLinkResult::link_ok},
    {"bad signature", [](InProcessModule& m) { put_sim_word(m, 0xFADF000E); }, 0,
     SimLinkResult::link_bad_module},
    {"zeros for five passes", [](InProcessModule& m) { m.space.fill(0); }, 0,
     SimLinkResult::link_bad_module},
    {"zeros for five passes, fallback class",
     [](InProcessModule& m) {
         m.space.fill(0);
         m.window_class = "FS98MAIN";
     },
     0, SimLinkResult::link_bad_module_fallback},
    {"signature with simulator version 0", [](InProcessModule& m) { put_sim_word(m, 0xFADE0000); },
     0, SimLinkResult::link_ok},
    {"the simulator asked for", [](InProcessModule&) {}, 14, SimLinkResult::link_ok},
    {"another simulator", [](InProcessModule&) {}, 15, SimLinkResult::link_other_simulator},
    {"handshake unanswered, no error",
     [](InProcessModule& m) {
         m.sends_fail = true;
         m.send_error = 0;
     },
     0, SimLinkResult::link_no_answer},
    {"handshake unanswered, with an error", [](InProcessModule& m) { m.sends_fail = true; }, 0,
     SimLinkResult::link_send_failed},
    {"handshake refused", [](InProcessModule& m) { m.forced_answer = 0; }, 0,
     SimLinkResult::link_refused},
};

TEST_F(ClientTest, OpenResultCodes) {
    for (const OpenCase& c : open_cases) {
        SCOPED_TRACE(c.name);
        simlink_close();
        reset_in_process_module();
        c.arrange(module());
        SimLinkResult result = SimLinkResult::link_queue_full;
        const bool opened = simlink_open(c.requested_sim, &result);
        EXPECT_EQ(opened, c.expected == SimLinkResult::link_ok);
        EXPECT_EQ(result, c.expected)
            << "expected " << static_cast<int>(c.expected) << ", got " << static_cast<int>(result);
        if (!opened) {
            // Everything acquired was released again.
            EXPECT_EQ(module().live_atoms, 0);
            EXPECT_EQ(module().live_blocks, 0);
            EXPECT_EQ(module().live_views, 0);
            int32_t value = 0;
            EXPECT_FALSE(simlink_read(airspeed_offset, 4, &value, &result));
            EXPECT_EQ(result, SimLinkResult::link_not_open);
        }
    }
}

TEST_F(ClientTest, FiveHandshakePassesWriteTheClientVersionOnlyInTheFirst) {
    module().space.fill(0);
    int writes_seen = 0;
    int blocks_seen = 0;
    module().tamper = [&](std::span<uint8_t> block) {
        ++blocks_seen;
        // Requests of the handshake: read 4, read 4, and in the first pass write 2.
        if (wire::get_u32(block.data() + 40) == request_kind_write) ++writes_seen;
    };
    SimLinkResult result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(blocks_seen, 5);
    EXPECT_EQ(writes_seen, 1);
    EXPECT_EQ(module().sleeps, std::vector<uint32_t>(5, 100)) << "a pause after every pass";
}

TEST_F(ClientTest, BlockNamesCountUpAcrossFailuresButNotWithoutAServer) {
    open_link();
    simlink_close();
    module().fail_map = true;  // reaches the name, then fails
    SimLinkResult result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_open(0, &result));
    module().fail_map = false;
    module().window_class.clear();  // fails before the name
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_server);
    module().window_class = "UIPCMAIN";
    open_link();

    const auto& names = module().block_names;
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(counter_of(names[1]), counter_of(names[0]) + 1);
    EXPECT_EQ(counter_of(names[2]), counter_of(names[1]) + 1);
    // Upper-case hexadecimal without leading zeros.
    for (const std::string& name : names) {
        const std::string counter = name.substr(name.rfind(':') + 1);
        EXPECT_NE(counter[0], '0') << name;
        EXPECT_EQ(counter.find_first_of("abcdef"), std::string::npos) << name;
    }
}

// --- Queueing ----------------------------------------------------------------------------------

TEST_F(ClientTest, NothingWorksOnAClosedLink) {
    SimLinkResult result = SimLinkResult::link_ok;
    uint32_t value = 0;
    EXPECT_FALSE(simlink_read(0, 4, &value, &result));
    EXPECT_EQ(result, SimLinkResult::link_not_open);
    result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_write(0, 4, &value, &result));
    EXPECT_EQ(result, SimLinkResult::link_not_open);
    result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_process(&result));
    EXPECT_EQ(result, SimLinkResult::link_not_open);
    simlink_close();
    simlink_close();  // a second close in a row does nothing
}

struct CapacityCase {
    const char* name;
    bool is_write;
    uint32_t first_length;  // a read queued first (0 = none)
    uint32_t length;
    bool accepted;
};

const CapacityCase capacity_cases[] = {
    {"read filling the queue exactly", false, 0, 32512 - 16, true},
    {"read one byte over", false, 0, 32512 - 16 + 1, false},
    {"read after another, exactly", false, 100, 32512 - 116 - 16, true},
    {"read after another, one over", false, 100, 32512 - 116 - 16 + 1, false},
    {"write filling the queue exactly", true, 0, 32512 - 16, true},
    {"write one over though 12 + n would fit", true, 0, 32512 - 16 + 1, false},
    {"length that overflows 32 bits", false, 0, 0xFFFFFFFFu, false},
    {"write length that overflows 32 bits", true, 0, 0xFFFFFFF0u, false},
};

TEST_F(ClientTest, CapacityRule) {
    static uint8_t buffer[32768];
    for (const CapacityCase& c : capacity_cases) {
        SCOPED_TRACE(c.name);
        simlink_close();
        reset_in_process_module();
        open_link();
        SimLinkResult result = SimLinkResult::link_ok;
        uint8_t first[128] = {};
        if (c.first_length != 0) {
            ASSERT_TRUE(simlink_read(0x100, c.first_length, first, &result));
        }
        result = SimLinkResult::link_ok;
        const bool queued = c.is_write ? simlink_write(0x2000, c.length, buffer, &result)
                                       : simlink_read(0, c.length, buffer, &result);
        EXPECT_EQ(queued, c.accepted);
        EXPECT_EQ(result, c.accepted ? SimLinkResult::link_ok : SimLinkResult::link_queue_full);
        // A refused request leaves the queue as it was: what was queued before still travels.
        const bool anything_queued = queued || c.first_length != 0;
        result = SimLinkResult::link_ok;
        EXPECT_EQ(simlink_process(&result), anything_queued);
        EXPECT_EQ(result,
                  anything_queued ? SimLinkResult::link_ok : SimLinkResult::link_nothing_queued);
    }
}

// --- Exchanges -------------------------------------------------------------------------------

TEST_F(ClientTest, ProcessDeliversReadsInQueueOrderAfterWrites) {
    open_link();
    SimLinkResult result = SimLinkResult::link_queue_full;
    int32_t airspeed = 0, max_speed = 0;
    uint16_t lights = 0;
    const uint32_t written = 0x12345678;
    uint32_t read_back = 0;
    uint32_t untouched = 0xA5A5A5A5;
    ASSERT_TRUE(simlink_read(airspeed_offset, 4, &airspeed, &result));
    ASSERT_TRUE(simlink_read(max_speed_offset, 4, &max_speed, &result));
    ASSERT_TRUE(simlink_read(lights_offset, 2, &lights, &result));
    ASSERT_TRUE(simlink_write(0x4000, 4, &written, &result));
    ASSERT_TRUE(simlink_read(0x4000, 4, &read_back, &result));
    ASSERT_TRUE(simlink_read(0x4000, 0, &untouched, &result));  // length 0: nothing comes back
    ASSERT_TRUE(simlink_read(0x4000, 4, nullptr, &result));     // no destination: sent, not copied
    ASSERT_TRUE(simlink_process(&result));
    EXPECT_EQ(result, SimLinkResult::link_ok);
    EXPECT_EQ(airspeed, 250 * 128);
    EXPECT_EQ(max_speed, 280 * 128);
    EXPECT_EQ(lights, 0x0020);
    EXPECT_EQ(read_back, written);
    EXPECT_EQ(untouched, 0xA5A5A5A5u);
    EXPECT_EQ(module().sends, 1u);
    EXPECT_FALSE(simlink_process(&result)) << "the queue is empty after an exchange";
    EXPECT_EQ(result, SimLinkResult::link_nothing_queued);
}

struct SendFailureCase {
    const char* name;
    uint32_t failing_sends;
    bool all_fail;
    uint32_t error;
    std::optional<uint32_t> answer;
    SimLinkResult expected;
    uint32_t expected_sends;
};

const SendFailureCase send_failure_cases[] = {
    {"nine failures, no error", 0, true, 0, std::nullopt, SimLinkResult::link_no_answer, 9},
    {"nine time-outs", 0, true, ipc_error_timeout, std::nullopt, SimLinkResult::link_send_failed,
     9},
    {"window gone", 0, true, ipc_error_invalid_window, std::nullopt,
     SimLinkResult::link_send_failed, 9},
    {"eight failures, then through", 8, false, ipc_error_timeout, std::nullopt,
     SimLinkResult::link_ok, 9},
    {"answer 0, no retry", 0, false, 0, 0u, SimLinkResult::link_refused, 1},
    {"answer 2, no retry", 0, false, 0, 2u, SimLinkResult::link_refused, 1},
    {"answer 1 after a failure", 1, false, ipc_error_timeout, 1u, SimLinkResult::link_ok, 2},
};

TEST_F(ClientTest, SendFailuresAndRefusals) {
    for (const SendFailureCase& c : send_failure_cases) {
        SCOPED_TRACE(c.name);
        simlink_close();
        reset_in_process_module();
        space_put_u32(module().space, airspeed_offset, 99);
        open_link();
        module().failing_sends = c.failing_sends;
        module().sends_fail = c.all_fail;
        module().send_error = c.error;
        module().forced_answer = c.answer;

        int32_t airspeed = -7;
        SimLinkResult result = SimLinkResult::link_ok;
        ASSERT_TRUE(simlink_read(airspeed_offset, 4, &airspeed, &result));
        EXPECT_EQ(simlink_process(&result), c.expected == SimLinkResult::link_ok);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(module().sends, c.expected_sends);
        // A 100 ms pause after every failed attempt, none after a delivered one.
        const uint32_t failed = c.expected_sends - (c.all_fail ? 0 : 1);
        EXPECT_EQ(module().sleeps, std::vector<uint32_t>(failed, 100));
        if (c.expected != SimLinkResult::link_ok) {
            EXPECT_EQ(airspeed, -7) << "a failed exchange touches no destination";
        } else if (!c.answer.has_value()) {
            EXPECT_EQ(airspeed, 99);
        }
        // The failed exchange leaves the link open with an empty queue.
        module().sends_fail = false;
        module().forced_answer.reset();
        EXPECT_FALSE(simlink_process(&result));
        EXPECT_EQ(result, SimLinkResult::link_nothing_queued);
        ASSERT_TRUE(simlink_read(airspeed_offset, 4, &airspeed, &result));
        EXPECT_TRUE(simlink_process(&result));
        EXPECT_EQ(airspeed, 99);
    }
}

// --- A hostile module ------------------------------------------------------------------------

// A destination with guard bytes on both sides: only the middle may ever change.
struct Guarded {
    uint8_t before[16];
    uint32_t value;
    uint8_t after[16];
};

Guarded guarded() {
    Guarded g;
    std::memset(&g, 0xAA, sizeof g);
    return g;
}

bool guards_intact(const Guarded& g) {
    return std::all_of(std::begin(g.before), std::end(g.before),
                       [](uint8_t b) { return b == 0xAA; }) &&
           std::all_of(std::begin(g.after), std::end(g.after), [](uint8_t b) { return b == 0xAA; });
}

// The queued block: three 4-byte reads at positions 0, 20 and 40, the end marker at 60.
constexpr uint32_t read_at[3] = {0, 20, 40};

struct HostileCase {
    const char* name;
    void (*tamper)(std::span<uint8_t> block);
    bool copied[3];
};

void put(std::span<uint8_t> block, uint32_t at, uint32_t value) {
    wire::put_u32(block.data() + at, value);
}

const HostileCase hostile_cases[] = {
    {"honest module", [](std::span<uint8_t>) {}, {true, true, true}},
    {"unknown kind on the second request",
     [](std::span<uint8_t> b) { put(b, read_at[1], 7); },
     {true, false, false}},
    {"length grown beyond the block",
     [](std::span<uint8_t> b) { put(b, read_at[0] + 8, 0x7FFFFFFF); },
     {false, false, false}},
    {"length grown to the next request",
     [](std::span<uint8_t> b) { put(b, read_at[0] + 8, 24); },
     {false, false, true}},
    {"length shrunk",
     [](std::span<uint8_t> b) { put(b, read_at[1] + 8, 2); },
     {true, false, false}},
    {"length 32 bits wide",
     [](std::span<uint8_t> b) { put(b, read_at[2] + 8, 0xFFFFFFFF); },
     {true, true, false}},
    {"destinations swapped",
     [](std::span<uint8_t> b) {
         const uint32_t first = wire::get_u32(b.data() + read_at[0] + 12);
         put(b, read_at[0] + 12, wire::get_u32(b.data() + read_at[1] + 12));
         put(b, read_at[1] + 12, first);
     },
     {false, false, true}},
    {"destination out of range",
     [](std::span<uint8_t> b) { put(b, read_at[0] + 12, 0xFFFFFFFF); },
     {false, true, true}},
    {"destination like an address",
     [](std::span<uint8_t> b) { put(b, read_at[2] + 12, 0x7FFF1234); },
     {true, true, false}},
    {"read turned into a write",
     [](std::span<uint8_t> b) { put(b, read_at[0], request_kind_write); },
     {false, false, false}},
    {"end marker replaced by zero-length reads up to the block's end",
     [](std::span<uint8_t> b) {
         for (uint32_t at = 60; at + 16 <= b.size(); at += 16) {
             put(b, at, request_kind_read);
             put(b, at + 4, 0);
             put(b, at + 8, 0);
             put(b, at + 12, 1);
         }
     },
     {true, true, true}},
    {"writes run off the block's end",
     [](std::span<uint8_t> b) {
         for (uint32_t at = 60; at + 12 <= b.size(); at += 12) {
             put(b, at, request_kind_write);
             put(b, at + 8, 0);
         }
         put(b, static_cast<uint32_t>(b.size()) - 4, request_kind_read);  // a header cut off
     },
     {true, true, true}},
};

TEST_F(ClientTest, HostileModuleCannotSteerTheCopy) {
    for (const HostileCase& c : hostile_cases) {
        SCOPED_TRACE(c.name);
        simlink_close();
        reset_in_process_module();
        for (uint32_t i = 0; i < 3; ++i)
            space_put_u32(module().space, 0x100 + 4 * i, 0x11111111 * (i + 1));
        open_link();
        module().tamper = c.tamper;

        Guarded destinations[3] = {guarded(), guarded(), guarded()};
        SimLinkResult result = SimLinkResult::link_queue_full;
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(simlink_read(0x100 + 4 * i, 4, &destinations[i].value, &result));
        }
        EXPECT_TRUE(simlink_process(&result));
        EXPECT_EQ(result, SimLinkResult::link_ok);
        for (uint32_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(guards_intact(destinations[i])) << "bytes written beside a destination";
            EXPECT_EQ(destinations[i].value, c.copied[i] ? 0x11111111u * (i + 1) : 0xAAAAAAAAu);
        }
    }
}

TEST_F(ClientTest, UnknownKindIsClearedInTheBlock) {
    open_link();
    std::span<uint8_t> seen;
    module().tamper = [&](std::span<uint8_t> block) {
        put(block, read_at[1], 0x4B56);
        seen = block;
    };
    uint32_t a = 0, b = 0;
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_read(0x100, 4, &a, &result));
    ASSERT_TRUE(simlink_read(0x104, 4, &b, &result));
    ASSERT_TRUE(simlink_process(&result));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(wire::get_u32(seen.data() + read_at[1]), 0u);
}

}  // namespace
}  // namespace korvalis
