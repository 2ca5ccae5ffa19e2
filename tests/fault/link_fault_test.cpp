// The simulator's module misbehaving while the instrument runs: killed, hung and resumed, hung
// for good, restarted, refusing, answering late, scribbling over the request block. The real
// frame loop, the real link workers and the real transport run against korvalis-sim in another
// process; only the display is replaced, by doubles that count frames. Each case checks what the
// instrument shows (the marker, the needles' values), that the main thread never waits for the
// link (no iteration comes near a time-out), and that the link comes back when the module does.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "simlink/ipc_services.h"
#include "simlink/simlink.h"
#include "tests/simlink/sim_process.h"

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// The display, as the frame loop sees it: frames are counted, no event ever comes.
// ---------------------------------------------------------------------------------------------
namespace {
struct Frames {
    int online = 0;
    int offline = 0;
    bool last_offline = false;
};
Frames frames;
}  // namespace

void draw_instrument_frame(bool offline) {
    (offline ? frames.offline : frames.online) += 1;
    frames.last_offline = offline;
}

WindowEvent poll_window_event() {
    return WindowEvent::None;
}

int32_t window_frame_left(InstrumentWindow*) {
    return 0;
}

int32_t window_frame_top(InstrumentWindow*) {
    return 0;
}

namespace {

using testing::shm_objects_with_prefix;
using testing::SimProcess;
using testing::test_namespace;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A loop iteration is 10 to 20 ms plus its frames. One that waited for the link would take a
// whole 2 s time-out; this bound only catches that, never a slow machine.
constexpr auto iteration_bound = milliseconds(1000);

int32_t raw(double knots) {
    return static_cast<int32_t>(knots * 128.0);
}

std::string own_block_prefix() {
    char prefix[40];
    std::snprintf(prefix, sizeof prefix, "FsasmLib:IPC:%X:", static_cast<unsigned>(getpid()));
    return prefix;
}

// What the frame loop went through while a case ran it.
struct LoopRecord {
    int iterations = 0;
    Clock::duration longest = Clock::duration::zero();
    int online_frames = 0;
    int offline_frames = 0;
    int disconnects = 0;  // iterations that found the link gone after one that found it up
    int connects = 0;
    int poll_worker_starts = 0;
};

class LinkFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_namespace();  // this process's own modules only
        use_ipc_services(nullptr);
        simlink_close();
        reset_instrument_state();
        frames = Frames{};
        create_link_lock();
        connection_ = start_connection_worker();
        ASSERT_NE(connection_, no_worker);
    }

    void TearDown() override {
        // A vanished module fails every wait at once, so the workers end promptly.
        sim.kill_hard();
        stop_poll_worker(loop_.poll_worker);
        stop_connection_worker(connection_);
        simlink_close();
        EXPECT_TRUE(shm_objects_with_prefix(own_block_prefix()).empty())
            << "a shared-memory object outlived the link";
    }

    // One real frame-loop iteration, timed and recorded.
    void iterate() {
        const bool was_connected = connected_;
        const WorkerId before = loop_.poll_worker;
        const Frames seen = frames;
        const auto start = Clock::now();
        ASSERT_TRUE(run_frame_loop_iteration(loop_)) << "no close was asked for";
        const auto took = Clock::now() - start;
        record_.iterations += 1;
        record_.longest = std::max(record_.longest, took);
        record_.online_frames += frames.online - seen.online;
        record_.offline_frames += frames.offline - seen.offline;
        if (loop_.poll_worker != no_worker && loop_.poll_worker != before) {
            record_.poll_worker_starts += 1;
        }
        // The iteration's first frame tells which branch it took.
        connected_ = frames.online - seen.online > 0 && frames.offline == seen.offline;
        if (was_connected && !connected_) record_.disconnects += 1;
        if (!was_connected && connected_) record_.connects += 1;
    }

    bool run_until(const std::function<bool()>& done, milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            iterate();
            if (::testing::Test::HasFatalFailure()) return false;
            if (done()) return true;
        }
        return done();
    }

    void run_for(milliseconds span) {
        run_until([] { return false; }, span);
    }

    void restart_record() { record_ = LoopRecord{}; }

    // Online, with the poll worker running and the needles on the module's airspeed.
    bool showing(double knots) const {
        return connected_ && poll_worker_running(loop_.poll_worker) &&
               state.airspeed_raw.load() == raw(knots) &&
               state.last_airspeed_raw == static_cast<float>(raw(knots)) && !frames.last_offline;
    }

    // Offline: the marker drawn, no poll worker, the link closed.
    bool showing_marker() const {
        return !connected_ && loop_.poll_worker == no_worker && frames.last_offline &&
               state.connected.load() == 0;
    }

    void expect_never_waited_for_the_link() const {
        EXPECT_LT(record_.longest, iteration_bound)
            << "the longest iteration took "
            << std::chrono::duration_cast<milliseconds>(record_.longest).count() << " ms";
    }

    void send_signal(int number) const { ASSERT_EQ(kill(sim.pid(), number), 0); }

    InstrumentState& state = instrument_state;
    SimProcess sim;
    LoopRecord record_;
    FrameLoop loop_;
    bool connected_ = false;
    WorkerId connection_ = no_worker;
};

// ---------------------------------------------------------------------------------------------

TEST_F(LinkFaultTest, KilledModuleShowsTheMarkerKeepsTheNeedlesAndReconnectsToItsSuccessor) {
    ASSERT_TRUE(sim.start({"--ias", "150", "--max", "259", "--lights", "0x20"}));
    ASSERT_TRUE(run_until([&] { return showing(150); }, milliseconds(5000)));
    const float angle = state.airspeed_angle;
    EXPECT_EQ(state.max_speed_raw.load(), raw(259));
    EXPECT_EQ(state.lights.load(), 0x20);

    restart_record();
    sim.kill_hard();
    const auto killed = Clock::now();
    // Nine attempts that fail at once, with their 100 ms pauses.
    ASSERT_TRUE(run_until([&] { return showing_marker(); }, milliseconds(5000)));
    EXPECT_LT(Clock::now() - killed, milliseconds(3000));
    EXPECT_EQ(state.airspeed_raw.load(), raw(150)) << "the last values stay";
    EXPECT_EQ(state.airspeed_angle, angle) << "the needles stay where they were";
    run_for(milliseconds(1500));  // the connection worker's attempts find nobody
    EXPECT_TRUE(showing_marker());

    ASSERT_TRUE(sim.start({"--ias", "250", "--max", "280"}));
    ASSERT_TRUE(run_until([&] { return showing(250); }, milliseconds(5000)));
    EXPECT_EQ(state.max_speed_raw.load(), raw(280));
    EXPECT_EQ(record_.disconnects, 1);
    EXPECT_EQ(record_.connects, 1);
    expect_never_waited_for_the_link();
}

TEST_F(LinkFaultTest, ModuleStoppedForLessThanTheTimeOutsKeepsTheLinkAndCatchesUp) {
    ASSERT_TRUE(sim.start({"--stdin", "--ias", "120", "--max", "250"}));
    ASSERT_TRUE(run_until([&] { return showing(120); }, milliseconds(5000)));

    restart_record();
    send_signal(SIGSTOP);  // a hang: the module neither answers nor goes away
    run_for(milliseconds(3000));
    // The frame loop went on at its own pace while the poll worker sat in its exchange.
    EXPECT_GT(record_.iterations, 50);
    EXPECT_EQ(record_.offline_frames, 0) << "a hang shows as connected with the last values";
    EXPECT_EQ(state.airspeed_raw.load(), raw(120));

    ASSERT_TRUE(sim.send_line("ias=180"));  // read once the module runs again
    send_signal(SIGCONT);
    EXPECT_TRUE(run_until([&] { return showing(180); }, milliseconds(5000)));
    EXPECT_EQ(record_.disconnects, 0);
    EXPECT_EQ(record_.poll_worker_starts, 0) << "the same poll worker carried on";
    expect_never_waited_for_the_link();
}

// The one slow case: nine time-outs of 2 s before the link is given up.
TEST_F(LinkFaultTest, ModuleHungForGoodIsGivenUpAfterNineTimeOutsAndFoundAgainWhenItResumes) {
    ASSERT_TRUE(sim.start({"--stdin", "--ias", "90", "--max", "200"}));
    ASSERT_TRUE(run_until([&] { return showing(90); }, milliseconds(5000)));

    restart_record();
    send_signal(SIGSTOP);
    const auto stopped = Clock::now();
    ASSERT_TRUE(run_until([&] { return showing_marker(); }, milliseconds(40000)));
    const auto given_up_after = Clock::now() - stopped;
    EXPECT_GE(given_up_after, milliseconds(9 * 2000 - 500)) << "nine whole time-outs first";
    EXPECT_EQ(state.airspeed_raw.load(), raw(90));
    // Until then the instrument showed the last values as connected, frame after frame.
    EXPECT_GT(record_.online_frames, 400);
    EXPECT_EQ(record_.disconnects, 1);
    expect_never_waited_for_the_link();

    ASSERT_TRUE(sim.send_line("ias=95"));
    send_signal(SIGCONT);
    EXPECT_TRUE(run_until([&] { return showing(95); }, milliseconds(6000)));
    expect_never_waited_for_the_link();
}

TEST_F(LinkFaultTest, RefusingModuleDropsTheLinkAndIsRetriedUntilItServesAgain) {
    ASSERT_TRUE(sim.start({"--stdin", "--ias", "140", "--max", "260"}));
    ASSERT_TRUE(run_until([&] { return showing(140); }, milliseconds(5000)));

    restart_record();
    ASSERT_TRUE(sim.send_line("fault=refuse"));
    // A refusal is final at the first answer: no retries, the link closes at once.
    ASSERT_TRUE(run_until([&] { return showing_marker(); }, milliseconds(3000)));
    // Each second's attempt is refused in its handshake; the marker stays.
    run_for(milliseconds(2500));
    EXPECT_TRUE(showing_marker());
    EXPECT_EQ(record_.connects, 0);
    EXPECT_EQ(state.airspeed_raw.load(), raw(140));

    ASSERT_TRUE(sim.send_line("fault=none ias=145"));
    EXPECT_TRUE(run_until([&] { return showing(145); }, milliseconds(5000)));
    expect_never_waited_for_the_link();
}

TEST_F(LinkFaultTest, ModuleAnsweringJustInsideTheTimeOutStaysConnected) {
    ASSERT_TRUE(sim.start({"--stdin", "--fault", "late", "--ias", "100", "--max", "250"}));
    // The handshake and the first exchange take 1.9 s each.
    ASSERT_TRUE(run_until([&] { return showing(100); }, milliseconds(12000)));

    restart_record();
    ASSERT_TRUE(sim.send_line("ias=110"));
    EXPECT_TRUE(run_until([&] { return showing(110); }, milliseconds(12000)));
    EXPECT_EQ(record_.disconnects, 0) << "every exchange is answered in time";
    EXPECT_EQ(record_.offline_frames, 0);
    // Each exchange holds the link for 1.9 s; the loop never noticed.
    EXPECT_GT(record_.iterations, 40);
    expect_never_waited_for_the_link();
}

struct GarbageCase {
    const char* fault;
    bool connects;       // the handshake survives the damage
    bool lights_arrive;  // the last read of each exchange is delivered
};

// The module rewrites the block after serving it. Reads the client can no longer match to its
// own record are not delivered; nothing else is harmed, and the link stays up when the
// handshake's reads came through.
TEST_F(LinkFaultTest, ModuleScribblingOverTheBlockCostsOnlyTheReadsItSpoiled) {
    const GarbageCase cases[] = {
        {"garbage-kind", true, false},          // an unknown kind over the last request
        {"garbage-length", true, false},        // a huge length in the last request
        {"garbage-destination", false, false},  // every read's token scrambled
    };
    for (const GarbageCase& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(
            sim.start({"--fault", c.fault, "--ias", "150", "--max", "259", "--lights", "0x20"}));
        restart_record();
        if (c.connects) {
            ASSERT_TRUE(run_until([&] { return showing(150); }, milliseconds(5000)));
            run_for(milliseconds(300));
            EXPECT_TRUE(showing(150));
            EXPECT_EQ(state.max_speed_raw.load(), raw(259));
            EXPECT_EQ(state.airspeed_angle, needle_angle(150.0f));
            EXPECT_EQ(state.lights.load(), c.lights_arrive ? 0x20 : 0);
            EXPECT_EQ(record_.disconnects, 0);
        } else {
            // The handshake's values never arrive: the module is refused as a bad one, every
            // second, and the instrument stays offline with its needles at rest.
            run_for(milliseconds(2500));
            EXPECT_TRUE(showing_marker());
            EXPECT_EQ(record_.connects, 0);
            EXPECT_EQ(record_.poll_worker_starts, 0);
            EXPECT_EQ(state.airspeed_raw.load(), 0);
            EXPECT_EQ(state.airspeed_angle, 0.0f);
        }
        expect_never_waited_for_the_link();

        // Back to a clean slate for the next module.
        sim.kill_hard();
        ASSERT_TRUE(run_until([&] { return showing_marker(); }, milliseconds(5000)));
        state.airspeed_raw.store(0);
        state.max_speed_raw.store(0);
        state.lights.store(0);
        ASSERT_TRUE(run_until([&] { return state.airspeed_angle == 0.0f; }, milliseconds(1000)));
    }
}

}  // namespace
}  // namespace korvalis
