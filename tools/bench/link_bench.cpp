// What one exchange of the instrument's three values costs over the stand-in transport, next to
// the floor any socket transport has: a bare Unix-socket ping-pong carrying the same bytes each
// way (the 62 bytes of the queued block out, and back with the data filled in). Both peers are
// separate processes, as the simulator's module is. Prints the ratio at the end. Each benchmark
// also counts the heap allocations of one exchange in this process, once the link is open.
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/simlink.h"
#include "tools/bench/alloc_counter.h"

namespace {

using namespace korvalis;

// Three reads (16 + 4, 16 + 4, 16 + 2) and the end marker.
constexpr size_t exchange_bytes = 3 * read_header_size + 4 + 4 + 2 + 4;

ModuleSpace space{};

void report_allocations(benchmark::State& state, const bench::AllocationCount& before) {
    const bench::AllocationCount spent = bench::allocations_so_far() - before;
    state.counters["allocs_own"] =
        benchmark::Counter(static_cast<double>(spent.own), benchmark::Counter::kAvgIterations);
    state.counters["allocs_libraries"] = benchmark::Counter(static_cast<double>(spent.libraries),
                                                            benchmark::Counter::kAvgIterations);
}

std::optional<uint32_t> serve(void*, std::span<uint8_t> block) {
    return serve_request_block(block, space).answer;
}

// Runs the module in a child process until the parent goes away.
pid_t start_module() {
    int alive[2];
    if (pipe(alive) != 0) return -1;
    const pid_t child = fork();
    if (child != 0) {
        close(alive[0]);
        return child;  // the write end stays open for as long as the benchmark runs
    }
    close(alive[1]);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    space_install_handshake(space, 0x40000000, 14);
    space_put_u32(space, airspeed_offset, 250 * 128);
    space_put_u32(space, max_speed_offset, 280 * 128);
    space_put_u16(space, lights_offset, 0x20);
    ModuleServer* server = open_module_server(primary_window_class);
    if (server == nullptr) _exit(1);
    const int watch[] = {alive[0]};
    for (;;) {
        const int ready = serve_module_events(server, 1000, watch, serve, nullptr);
        if (ready != 0) break;  // the parent closed the pipe (or the wait failed)
    }
    close_module_server(server);
    _exit(0);
}

void BM_LinkExchange(benchmark::State& state) {
    SimLinkResult result = SimLinkResult::link_ok;
    for (int tries = 0; tries < 100 && !simlink_open(0, &result); ++tries)
        usleep(10000);
    int32_t airspeed = 0, max_speed = 0;
    uint16_t lights = 0;
    const bench::AllocationCount before = bench::allocations_so_far();
    for (auto _ : state) {
        simlink_read(airspeed_offset, 4, &airspeed, &result);
        simlink_read(max_speed_offset, 4, &max_speed, &result);
        simlink_read(lights_offset, 2, &lights, &result);
        if (!simlink_process(&result)) {
            state.SkipWithError("exchange failed");
            break;
        }
        benchmark::DoNotOptimize(airspeed);
    }
    report_allocations(state, before);
    simlink_close();
    state.SetLabel(airspeed == 250 * 128 ? "values arrived" : "wrong values");
}

void BM_SocketPingPong(benchmark::State& state) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    const pid_t echo = fork();
    if (echo == 0) {
        close(pair[0]);
        uint8_t buffer[256];
        for (;;) {
            const ssize_t got = recv(pair[1], buffer, sizeof buffer, 0);
            if (got <= 0) _exit(0);
            std::memset(buffer + 16, 0x5A, 4);  // "the data filled in"
            if (send(pair[1], buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) _exit(0);
        }
    }
    close(pair[1]);
    uint8_t request[exchange_bytes] = {1};
    uint8_t reply[256];
    const bench::AllocationCount before = bench::allocations_so_far();
    for (auto _ : state) {
        if (send(pair[0], request, sizeof request, MSG_NOSIGNAL) !=
                static_cast<ssize_t>(sizeof request) ||
            recv(pair[0], reply, sizeof reply, 0) != static_cast<ssize_t>(sizeof request)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    report_allocations(state, before);
    close(pair[0]);
    waitpid(echo, nullptr, 0);
}

BENCHMARK(BM_LinkExchange)->UseRealTime();
BENCHMARK(BM_SocketPingPong)->UseRealTime();

// The console report, remembering each benchmark's time per iteration for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                times[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    // Every peer on one processor: a round trip is then two switches on that processor for both
    // benchmarks, instead of wake-ups across processors whose cost depends on what else runs.
    cpu_set_t one{};
    CPU_ZERO(&one);
    CPU_SET(static_cast<int>(sched_getcpu() < 0 ? 0 : sched_getcpu()), &one);
    sched_setaffinity(0, sizeof one, &one);
    set_ipc_namespace(("bench" + std::to_string(getpid())).c_str());
    const pid_t module = start_module();
    if (module < 0) return 1;
    // Both peers share the machine with whatever else runs: interleaved repetitions give the two
    // benchmarks the same conditions, and the medians the ratio. Flags given here come later and
    // win.
    std::vector<char*> args = {argv[0]};
    char repetitions[] = "--benchmark_repetitions=10";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_report_aggregates_only=true";
    char min_time[] = "--benchmark_min_time=0.2";
    args.insert(args.end(), {repetitions, interleaving, aggregates, min_time});
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double link = reporter.times["BM_LinkExchange"];
    const double floor = reporter.times["BM_SocketPingPong"];
    if (link > 0 && floor > 0) {
        std::printf("exchange / ping-pong = %.2f (goal: at most 1.50)\n", link / floor);
    }
    kill(module, SIGTERM);
    waitpid(module, nullptr, 0);
    return 0;
}
