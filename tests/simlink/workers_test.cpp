// The link workers against the in-process module, with the module coming and going. The sleep
// is a double that shortens the workers' one-second pause, so these run in well under a second
// each; ThreadSanitizer watches the locking and the four shared fields.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "app/app.h"
#include "simlink/in_process_module.h"
#include "simlink/module.h"
#include "simlink/simlink.h"
#include "tests/support/link_polling.h"

namespace korvalis {

namespace {
std::atomic<int> long_pauses{0};   // delay_ms(1000) calls: passes of connection_worker
std::atomic<int> short_pauses{0};  // delay_ms(1) calls: passes of poll_worker
}  // namespace

// The workers' sleep, shortened: 1,000 ms becomes 5 ms.
void delay_ms(uint32_t milliseconds) {
    (milliseconds >= 1000 ? long_pauses : short_pauses).fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds >= 1000 ? 5 : milliseconds));
}

namespace {

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& condition, int timeout_ms = 5000) {
    return testing::eventually(condition, timeout_ms, 1);
}

template <typename F>
void with_module(F change) {
    std::lock_guard hold(in_process_module_lock());
    change(in_process_module());
}

void set_values(int32_t airspeed, int32_t max_speed, uint16_t lights) {
    with_module([&](InProcessModule& m) {
        space_put_u32(m.space, airspeed_offset, static_cast<uint32_t>(airspeed));
        space_put_u32(m.space, max_speed_offset, static_cast<uint32_t>(max_speed));
        space_put_u16(m.space, lights_offset, lights);
    });
}

size_t blocks_made() {
    std::lock_guard hold(in_process_module_lock());
    return in_process_module().block_names.size();
}

class WorkersTest : public ::testing::Test {
protected:
    void SetUp() override {
        simlink_close();
        use_ipc_services(&in_process_ipc_services());
        reset_in_process_module();
        reset_instrument_state();
        create_link_lock();
    }
    void TearDown() override {
        stop_poll_worker(poll);
        stop_connection_worker(connection);
        EXPECT_FALSE(poll_worker_running(poll));
        simlink_close();
        with_module([](InProcessModule& m) {
            EXPECT_EQ(m.live_atoms, 0);
            EXPECT_EQ(m.live_blocks, 0);
            EXPECT_EQ(m.live_views, 0);
        });
        use_ipc_services(nullptr);
    }
    // What the frame loop does each iteration: one poll_worker while connected, none otherwise.
    void frame_loop_step() {
        const bool connected = state.connected.load(std::memory_order_relaxed) != 0;
        if (connected && !poll_worker_running(poll)) poll = start_poll_worker();
        if (!connected && poll_worker_running(poll)) {
            stop_poll_worker(poll);
            poll = no_worker;
        }
    }
    bool until(const std::function<bool()>& condition, int timeout_ms = 5000) {
        return eventually(
            [&] {
                frame_loop_step();
                return condition();
            },
            timeout_ms);
    }

    InstrumentState& state = instrument_state;
    WorkerId connection = no_worker;
    WorkerId poll = no_worker;
};

TEST_F(WorkersTest, WithoutAModuleTheLinkStaysDownAndNothingIsAcquired) {
    in_process_close_window();
    connection = start_connection_worker();
    ASSERT_NE(connection, no_worker);
    const int before = long_pauses.load();
    EXPECT_TRUE(until([&] { return long_pauses.load() >= before + 5; }));
    EXPECT_EQ(state.connected.load(), 0);
    EXPECT_EQ(poll, no_worker) << "no poll_worker without a link";
    EXPECT_EQ(blocks_made(), 0u) << "link_no_server makes no block name";
}

TEST_F(WorkersTest, ConnectsPollsAndFollowsTheValues) {
    set_values(100 * 128, 250 * 128, 0x20);
    connection = start_connection_worker();
    EXPECT_TRUE(until([&] { return state.airspeed_raw.load() == 100 * 128; }));
    EXPECT_EQ(state.max_speed_raw.load(), 250 * 128);
    EXPECT_EQ(state.lights.load(), 0x20);
    EXPECT_TRUE(poll_worker_running(poll));

    set_values(-5, 33152, 0);
    EXPECT_TRUE(until([&] {
        return state.airspeed_raw.load() == -5 && state.max_speed_raw.load() == 33152 &&
               state.lights.load() == 0;
    }));
    // While connected, connection_worker keeps its pace without opening again.
    const int passes = long_pauses.load();
    EXPECT_TRUE(until([&] { return long_pauses.load() >= passes + 3; }));
    EXPECT_EQ(blocks_made(), 1u);
}

TEST_F(WorkersTest, LosesTheModuleKeepsTheValuesAndReconnects) {
    set_values(150 * 128, 260 * 128, 0x20);
    connection = start_connection_worker();
    ASSERT_TRUE(until([&] { return state.airspeed_raw.load() == 150 * 128; }));

    in_process_close_window();
    EXPECT_TRUE(until([&] { return state.connected.load() == 0 && poll == no_worker; }));
    EXPECT_EQ(state.airspeed_raw.load(), 150 * 128);
    EXPECT_EQ(state.max_speed_raw.load(), 260 * 128);
    EXPECT_EQ(state.lights.load(), 0x20);

    set_values(170 * 128, 260 * 128, 0);
    in_process_open_window("FS98MAIN");
    EXPECT_TRUE(until([&] { return state.airspeed_raw.load() == 170 * 128; }));
    EXPECT_EQ(state.lights.load(), 0);
    EXPECT_EQ(blocks_made(), 2u) << "the reconnection uses a new block name";
}

TEST_F(WorkersTest, FailedHandshakeIsRetriedWithANewNameEachPass) {
    with_module([](InProcessModule& m) {
        space_put_u32(m.space, handshake_module_version_offset, 0x19980004);
    });
    connection = start_connection_worker();
    EXPECT_TRUE(until([&] { return blocks_made() >= 4; }));
    EXPECT_EQ(state.connected.load(), 0);
    with_module([](InProcessModule& m) {
        space_put_u32(m.space, handshake_module_version_offset, 0x19980005);
    });
    EXPECT_TRUE(until([&] { return state.connected.load() == 1; }));
}

TEST_F(WorkersTest, AReadTheModuleDropsLeavesItsFieldAlone) {
    set_values(80 * 128, 240 * 128, 0x20);
    connection = start_connection_worker();
    ASSERT_TRUE(until([&] { return state.lights.load() == 0x20; }));
    with_module([](InProcessModule& m) {
        // From now on the lights read (the last request) comes back under an unknown kind.
        m.tamper = [](std::span<uint8_t> block) { wire::put_u32(block.data() + 40, 0x4B56); };
    });
    set_values(90 * 128, 241 * 128, 0);
    EXPECT_TRUE(until([&] { return state.airspeed_raw.load() == 90 * 128; }));
    EXPECT_EQ(state.max_speed_raw.load(), 241 * 128);
    EXPECT_EQ(state.lights.load(), 0x20);
    EXPECT_EQ(state.connected.load(), 1) << "the exchange itself succeeded";
}

TEST_F(WorkersTest, AtMostOnePollWorkerAndIdentitiesAreNeverReused) {
    EXPECT_FALSE(poll_worker_running(no_worker));
    stop_poll_worker(no_worker);                 // nothing to stop
    const WorkerId first = start_poll_worker();  // idles: nothing is connected
    ASSERT_NE(first, no_worker);
    EXPECT_TRUE(poll_worker_running(first));
    EXPECT_EQ(start_poll_worker(), first) << "a second start gives no second worker";
    stop_poll_worker(first);
    EXPECT_FALSE(poll_worker_running(first));
    stop_poll_worker(first);  // stopping it again does nothing
    poll = start_poll_worker();
    EXPECT_NE(poll, no_worker);
    EXPECT_NE(poll, first);
    EXPECT_FALSE(poll_worker_running(first));
}

TEST_F(WorkersTest, ModuleComingAndGoingUnderLoad) {
    connection = start_connection_worker();
    std::atomic<bool> done{false};
    std::thread weather([&] {
        int round = 0;
        while (!done.load()) {
            ++round;
            set_values(round * 128, 250 * 128 + round, static_cast<uint16_t>(round & 0x20));
            if (round % 7 == 0) in_process_close_window();
            if (round % 7 == 3) in_process_open_window(round % 2 ? "UIPCMAIN" : "FS98MAIN");
            if (round % 11 == 0) with_module([](InProcessModule& m) { m.failing_sends = 9; });
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    int connected_iterations = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(1500);
    while (Clock::now() < end) {
        frame_loop_step();
        // What the frame loop and the frame composition read, without the lock.
        connected_iterations += state.connected.load(std::memory_order_relaxed);
        (void)state.airspeed_raw.load(std::memory_order_relaxed);
        (void)state.max_speed_raw.load(std::memory_order_relaxed);
        (void)state.lights.load(std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done.store(true);
    weather.join();
    EXPECT_GT(connected_iterations, 0) << "the link came up at least once";
}

}  // namespace
}  // namespace korvalis
