// How long a change of the simulator's airspeed takes to reach the needle: from the moment a line
// "ias=..." is written to korvalis-sim's standard input to the moment the frame loop has
// recomputed the needle angle from it. Everything between is the program's own: korvalis-sim in
// another process over the stand-in transport, the real link workers, and the real frame loop
// with its real drawing, on a window under an X server. Both ends are stamped on the same
// monotonic clock, in this process: the writer thread before it writes the line, and the frame
// loop's next draw_instrument_frame after the recomputation. A third stamp splits the way in
// two: the poll worker's pause right after the exchange that brought the value (the link's
// part), then the frame loop's wait for its next change detection (the loop's part). Both stamps
// come from link-time wrappers of draw_instrument_frame and delay_ms; nothing in the instrument
// knows. The writer sleeps until the change is taken up instead of polling, so the benchmark
// takes no processor time from what it measures.
//
// Prints one line "result {...}" with the latencies, their parts and the loop's iteration times.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "simlink/ipc_services.h"
#include "simlink/simlink.h"
#include "tests/support/child_process.h"

namespace {

using namespace korvalis;

int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The change the writer waits for, and when the frame loop had taken it up.
std::atomic<int32_t> awaited_raw{INT32_MIN};
std::atomic<int64_t> arrived_at{0};   // the poll worker has stored it
std::atomic<int64_t> taken_up_at{0};  // the frame loop has recomputed the needle from it

// korvalis-sim as a child, fed through a pipe; ready once it has said it serves.
bool start_simulator(testing::ChildProcess& sim, const std::string& ns) {
    return sim.start({KORVALIS_SIM_PATH, "--namespace", ns, "--quiet", "--stdin", "--ias", "100",
                      "--max", "250"},
                     testing::ChildInput::piped) &&
           !sim.read_line(10000).empty();  // "korvalis-sim: serving ..."
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

// The frame loop's draw, seen on its way: the first draw after the awaited value was taken up
// stamps the time and wakes the writer. Every other draw passes straight through.
extern "C" void __real__ZN8korvalis21draw_instrument_frameEb(bool offline);
extern "C" void __wrap__ZN8korvalis21draw_instrument_frameEb(bool offline) {
    const int32_t awaited = awaited_raw.load(std::memory_order_acquire);
    if (awaited != INT32_MIN && taken_up_at.load(std::memory_order_relaxed) == 0 &&
        instrument_state.last_airspeed_raw == static_cast<float>(awaited)) {
        taken_up_at.store(now_ns(), std::memory_order_release);
        taken_up_at.notify_one();
    }
    __real__ZN8korvalis21draw_instrument_frameEb(offline);
}

// The poll worker's 1 ms pause follows each exchange: the first one after the awaited value was
// stored stamps its arrival. The frame loop's 10 ms sleeps pass straight through.
extern "C" void __real__ZN8korvalis8delay_msEj(uint32_t milliseconds);
extern "C" void __wrap__ZN8korvalis8delay_msEj(uint32_t milliseconds) {
    if (milliseconds == 1) {
        const int32_t awaited = awaited_raw.load(std::memory_order_acquire);
        if (awaited != INT32_MIN && arrived_at.load(std::memory_order_relaxed) == 0 &&
            instrument_state.airspeed_raw.load(std::memory_order_relaxed) == awaited) {
            arrived_at.store(now_ns(), std::memory_order_release);
        }
    }
    __real__ZN8korvalis8delay_msEj(milliseconds);
}

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string ns = "latency" + std::to_string(getpid());
    set_ipc_namespace(ns.c_str());
    testing::ChildProcess sim;
    if (!start_simulator(sim, ns)) {
        std::fprintf(stderr, "latency_bench: korvalis-sim did not start\n");
        sim.stop();
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    // The instrument's start-up, minus the settings file.
    reset_instrument_state();
    FrameLoop loop;
    init_window_system();
    create_link_lock();
    const WorkerId connection = start_connection_worker();
    init_sprite_system();
    loop.window = open_instrument_window(0, 0, client_width, client_height, "Korvalis - latency");
    if (loop.window == nullptr ||
        !open_surface(native_window_handle(loop.window), 0, 0, client_width, client_height)) {
        std::fprintf(stderr, "latency_bench: no window with accelerated drawing\n");
        sim.stop();
        return 1;
    }
    set_window_topmost(loop.window, true);
    load_instrument_images();
    set_sprite_quality(1);

    struct Change {
        double total_ms, link_ms, loop_ms;
    };
    std::vector<Change> measured;
    measured.reserve(static_cast<size_t>(changes));
    int missed = 0;
    std::atomic<bool> writer_done{false};
    std::atomic<bool> connected_once{false};

    std::thread writer([&] {
        while (!connected_once.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::mt19937 random(12345);
        // Longer than any loop iteration, so that changes fall on every phase of the loop, not
        // just early in the iteration after the one that took up the last change.
        std::uniform_int_distribution<int> pause_us(0, 50000);
        for (int i = 1; i <= changes; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
            const double knots = 100.0 + i * 0.125;  // every value distinct and exact
            char line[64];
            const int length = std::snprintf(line, sizeof line, "ias=%.3f\n", knots);
            taken_up_at.store(0, std::memory_order_relaxed);
            arrived_at.store(0, std::memory_order_relaxed);
            awaited_raw.store(static_cast<int32_t>(knots * 128.0), std::memory_order_release);
            const int64_t written_at = now_ns();
            if (!sim.send(std::string_view(line, static_cast<size_t>(length)))) break;
            // Woken by the frame loop's stamp; a change never taken up ends the whole run.
            taken_up_at.wait(0, std::memory_order_acquire);
            const int64_t taken = taken_up_at.load(std::memory_order_acquire);
            const int64_t arrived = arrived_at.load(std::memory_order_acquire);
            if (arrived == 0 || arrived > taken) {
                ++missed;  // the stamps cannot be split; not seen with a running poll worker
                continue;
            }
            measured.push_back({static_cast<double>(taken - written_at) / 1e6,
                                static_cast<double>(arrived - written_at) / 1e6,
                                static_cast<double>(taken - arrived) / 1e6});
        }
        writer_done.store(true);
    });

    // The frame loop, timed iteration by iteration.
    std::vector<double> iteration_ms, quiet_iteration_ms, change_iteration_ms;
    iteration_ms.reserve(1 << 20);
    quiet_iteration_ms.reserve(1 << 20);
    change_iteration_ms.reserve(1 << 20);
    const int64_t give_up = now_ns() + static_cast<int64_t>(changes) * 60'000'000 + 30'000'000'000;
    while (!writer_done.load() && now_ns() < give_up) {
        const float before = instrument_state.last_airspeed_raw;
        const int64_t start = now_ns();
        run_frame_loop_iteration(loop);
        const double took = static_cast<double>(now_ns() - start) / 1e6;
        if (instrument_state.connected.load() != 0 && poll_worker_running(loop.poll_worker) &&
            instrument_state.last_airspeed_raw == 100.0f * 128.0f) {
            connected_once.store(true);
        }
        if (!connected_once.load()) continue;
        iteration_ms.push_back(took);
        (instrument_state.last_airspeed_raw == before ? quiet_iteration_ms : change_iteration_ms)
            .push_back(took);
    }
    if (!writer_done.load()) {
        std::fprintf(stderr, "latency_bench: gave up waiting for the changes\n");
        std::_Exit(1);  // the writer still waits for a change that never came
    }
    writer.join();

    stop_poll_worker(loop.poll_worker);
    sim.stop();
    stop_connection_worker(connection);
    simlink_close();
    release_sprite_system();
    close_instrument_window(loop.window);
    shutdown_window_system();

    // The slowest hundredth of the changes, and how their time divides.
    std::vector<double> total, link, loop_part;
    for (const Change& c : measured) {
        total.push_back(c.total_ms);
        link.push_back(c.link_ms);
        loop_part.push_back(c.loop_ms);
    }
    std::sort(measured.begin(), measured.end(),
              [](const Change& a, const Change& b) { return a.total_ms > b.total_ms; });
    const size_t slowest = std::max<size_t>(1, measured.size() / 100);
    double slow_link = 0, slow_loop = 0;
    for (size_t i = 0; i < slowest && i < measured.size(); ++i) {
        slow_link += measured[i].link_ms / static_cast<double>(slowest);
        slow_loop += measured[i].loop_ms / static_cast<double>(slowest);
    }
    auto quantiles = [](const char* name, const std::vector<double>& v) {
        std::printf("\"%s\": {\"p50\": %.3f, \"p99\": %.3f, \"min\": %.3f, \"max\": %.3f}, ", name,
                    percentile(v, 50), percentile(v, 99), percentile(v, 0), percentile(v, 100));
    };
    std::printf("result {\"changes\": %d, \"missed\": %d, ", changes, missed);
    quantiles("latency_ms", total);
    quantiles("link_ms", link);
    quantiles("loop_ms", loop_part);
    quantiles("iteration_ms", iteration_ms);
    quantiles("quiet_iteration_ms", quiet_iteration_ms);
    quantiles("change_iteration_ms", change_iteration_ms);
    std::printf(
        "\"slowest_percent\": {\"link_ms\": %.3f, \"loop_ms\": %.3f}, \"iterations\": %zu}\n",
        slow_link, slow_loop, iteration_ms.size());
    return missed == 0 ? 0 : 1;
}
