// The frame loop's iteration: which frames it draws, how long it sleeps, when it starts and
// stops the poll worker, what a move or a close does, and when the needles are recomputed.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "simlink/simlink.h"
#include "tests/app/frame_loop_doubles.h"

namespace korvalis {
namespace {

using testing::count_calls;
using testing::loop_world;
using Calls = std::vector<std::string>;

class FrameLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_instrument_state();
        testing::reset_loop_world();
    }
    static void set_link(bool connected, int32_t airspeed_raw, int32_t max_speed_raw) {
        instrument_state.connected.store(connected ? 1 : 0);
        instrument_state.airspeed_raw.store(airspeed_raw);
        instrument_state.max_speed_raw.store(max_speed_raw);
    }
    FrameLoop loop;
};

TEST_F(FrameLoopTest, FramesAndDelaysPerIteration) {
    struct Case {
        const char* name;
        bool online;
        bool changed;
        Calls expected;
    };
    const Case cases[] = {
        {"online, no change",
         true,
         false,
         {"poll_worker start", "draw online", "poll event", "delay 10"}},
        {"online, change",
         true,
         true,
         {"poll_worker start", "draw online", "poll event", "draw online", "delay 10"}},
        {"offline, no change",
         false,
         false,
         {"draw offline", "delay 10", "poll event", "delay 10"}},
        {"offline, change",
         false,
         true,
         {"draw offline", "delay 10", "poll event", "draw online", "delay 10"}},
    };
    for (const Case& c : cases) {
        SetUp();
        set_link(c.online, c.changed ? 100 * 128 : 0, 0);
        loop = FrameLoop{};
        EXPECT_TRUE(run_frame_loop_iteration(loop)) << c.name;
        EXPECT_EQ(loop_world.calls, c.expected) << c.name;
    }
}

TEST_F(FrameLoopTest, OneRawUnitIsAChange) {
    set_link(true, 259 * 128, 0);
    run_frame_loop_iteration(loop);
    const float before = instrument_state.airspeed_angle;
    loop_world.calls.clear();
    instrument_state.airspeed_raw.store(259 * 128 + 1);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(count_calls("draw online"), 2);
    EXPECT_GT(instrument_state.airspeed_angle, before);
    EXPECT_FLOAT_EQ(instrument_state.airspeed_knots, 259.0f + 1.0f / 128.0f);
}

TEST_F(FrameLoopTest, SteadyMaximumSpeedIsRecomputedOnce) {
    set_link(true, 0, 33152);  // 259 kt
    run_frame_loop_iteration(loop);
    EXPECT_EQ(instrument_state.max_speed_angle, 294);
    EXPECT_EQ(count_calls("draw online"), 2);
    for (int i = 0; i < 5; ++i) {
        loop_world.calls.clear();
        run_frame_loop_iteration(loop);
        EXPECT_EQ(count_calls("draw online"), 1) << "iteration " << i;
    }
}

TEST_F(FrameLoopTest, AirspeedBeyond2To24ChangesEveryIteration) {
    set_link(true, (1 << 24) + 1, 0);
    for (int i = 0; i < 3; ++i) {
        loop_world.calls.clear();
        run_frame_loop_iteration(loop);
        EXPECT_EQ(count_calls("draw online"), 2) << "iteration " << i;
    }
    // Exactly 2^24 is held exactly and found changed only once.
    instrument_state.airspeed_raw.store(1 << 24);
    run_frame_loop_iteration(loop);
    loop_world.calls.clear();
    run_frame_loop_iteration(loop);
    EXPECT_EQ(count_calls("draw online"), 1);
}

TEST_F(FrameLoopTest, NeedlesStartAtZeroAndFollowTheRawValues) {
    set_link(false, 0, 0);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(instrument_state.airspeed_angle, 0.0f);
    EXPECT_EQ(instrument_state.max_speed_angle, 0);

    set_link(true, 150 * 128, -150 * 128);
    run_frame_loop_iteration(loop);
    EXPECT_NEAR(instrument_state.airspeed_angle, 183.6420, 1e-4);
    EXPECT_EQ(instrument_state.max_speed_angle, -184);
    EXPECT_EQ(instrument_state.last_max_speed_raw, -150 * 128);
    EXPECT_EQ(instrument_state.last_airspeed_raw, 150.0f * 128.0f);
}

TEST_F(FrameLoopTest, MaximumSpeedAngleWrapsTo16Bits) {
    // 30000 kt: about 33700 degrees, beyond the 16-bit range.
    set_link(true, 0, 30000 * 128);
    run_frame_loop_iteration(loop);
    const float exact = needle_angle(30000.0f);
    EXPECT_EQ(
        instrument_state.max_speed_angle,
        static_cast<int16_t>(static_cast<uint16_t>(static_cast<int32_t>(std::nearbyint(exact)))));
    EXPECT_LT(instrument_state.max_speed_angle, 0);
}

TEST_F(FrameLoopTest, PollWorkerFollowsTheLink) {
    set_link(true, 0, 0);
    run_frame_loop_iteration(loop);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(loop_world.worker_starts, 1) << "a running worker is not started twice";

    instrument_state.connected.store(0);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(loop_world.worker_stops, 1);
    EXPECT_EQ(loop.poll_worker, no_worker);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(loop_world.worker_stops, 1) << "nothing to stop the second time";

    instrument_state.connected.store(1);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(loop_world.worker_starts, 2);
    EXPECT_EQ(loop.poll_worker, 2u) << "a new identity for every start";
}

TEST_F(FrameLoopTest, LostLinkWithUntakenValuesDrawsOneFrameWithoutTheMarker) {
    set_link(false, 200 * 128, 250 * 128);
    run_frame_loop_iteration(loop);
    EXPECT_EQ(loop_world.calls,
              (Calls{"draw offline", "delay 10", "poll event", "draw online", "delay 10"}));
    loop_world.calls.clear();
    run_frame_loop_iteration(loop);
    EXPECT_EQ(loop_world.calls, (Calls{"draw offline", "delay 10", "poll event", "delay 10"}));
}

TEST_F(FrameLoopTest, MovesUpdateThePositionFromTheReadBack) {
    loop_world.events = {WindowEvent::Moved, WindowEvent::None, WindowEvent::Moved};
    loop_world.frame_left = -1200;
    loop_world.frame_top = 40;
    run_frame_loop_iteration(loop);
    EXPECT_EQ(instrument_state.window_x, -1200);
    EXPECT_EQ(instrument_state.window_y, 40);
    EXPECT_EQ(loop.last_event, 3);

    loop_world.frame_left = 5000;
    loop_world.frame_top = 5001;
    run_frame_loop_iteration(loop);
    EXPECT_EQ(instrument_state.window_x, -1200) << "no move, no read-back";
    run_frame_loop_iteration(loop);
    EXPECT_EQ(instrument_state.window_x, 5000);
    EXPECT_EQ(instrument_state.window_y, 5001);
    EXPECT_EQ(count_calls("frame left"), 2);
}

TEST_F(FrameLoopTest, CloseRequestStillFinishesItsIteration) {
    set_link(true, 0, 0);
    loop_world.events = {WindowEvent::CloseRequested};
    instrument_state.airspeed_raw.store(120 * 128);
    EXPECT_FALSE(run_frame_loop_iteration(loop));
    EXPECT_EQ(loop_world.calls,
              (Calls{"poll_worker start", "draw online", "poll event", "draw online", "delay 10"}));
    EXPECT_NEAR(instrument_state.airspeed_angle, 146.0, 1e-4);
}

TEST_F(FrameLoopTest, OtherEventCodesAreIgnored) {
    loop_world.events = {static_cast<WindowEvent>(15), WindowEvent::Control,
                         static_cast<WindowEvent>(513)};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(run_frame_loop_iteration(loop));
    EXPECT_EQ(count_calls("frame left"), 0);
}

}  // namespace
}  // namespace korvalis
