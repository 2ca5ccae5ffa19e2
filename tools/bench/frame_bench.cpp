// What one frame of the instrument costs: draw_instrument_frame (clear, dial, two needles with
// their shadows, the marker, the overlay, present) against the floor of any frame on the same
// surface, a clear and a present alone. Both present without waiting for the vertical retrace,
// so the figures are the drawing's own; --vsync keeps the retrace wait the instrument ships with.
// Each benchmark also counts the heap allocations of one frame, once the surface is running.
// Needs an X server with OpenGL (scripts/bench runs it under Xvfb).
#include <SDL.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "tools/bench/alloc_counter.h"

namespace {

using namespace korvalis;
using korvalis::bench::AllocationCount;
using korvalis::bench::allocations_so_far;

void report_allocations(benchmark::State& state, const AllocationCount& before) {
    const AllocationCount spent = allocations_so_far() - before;
    state.counters["allocs_own"] =
        benchmark::Counter(static_cast<double>(spent.own), benchmark::Counter::kAvgIterations);
    state.counters["allocs_libraries"] = benchmark::Counter(static_cast<double>(spent.libraries),
                                                            benchmark::Counter::kAvgIterations);
}

// The instrument's frame in three states: online, offline (the marker), offline with the
// lighting overlay. The needles move every frame, as they do in flight.
void BM_DrawInstrumentFrame(benchmark::State& state) {
    InstrumentState& s = instrument_state;
    const bool offline = state.range(0) != 0;
    s.lights.store(state.range(0) == 2 ? 0x20 : 0x00, std::memory_order_relaxed);
    s.light_enabled = 1;
    draw_instrument_frame(offline);  // the first frame of a state may set things up
    int step = 0;
    const AllocationCount before = allocations_so_far();
    for (auto _ : state) {
        s.airspeed_angle = static_cast<float>(step % 337);
        s.max_speed_angle = static_cast<int16_t>(250 + step % 20);
        ++step;
        draw_instrument_frame(offline);
    }
    report_allocations(state, before);
}

void BM_ClearPresent(benchmark::State& state) {
    clear_surface(15, 15, 15);
    present_surface();
    const AllocationCount before = allocations_so_far();
    for (auto _ : state) {
        clear_surface(15, 15, 15);
        present_surface();
    }
    report_allocations(state, before);
}

BENCHMARK(BM_DrawInstrumentFrame)->ArgName("state")->Arg(0)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_ClearPresent)->UseRealTime();

// The renderer behind the surface, for the report.
std::string gl_renderer() {
    using GetString = const unsigned char* (*)(unsigned int);
    auto get = reinterpret_cast<GetString>(SDL_GL_GetProcAddress("glGetString"));
    constexpr unsigned int gl_renderer_name = 0x1F01;
    const unsigned char* name = get != nullptr ? get(gl_renderer_name) : nullptr;
    return name != nullptr ? reinterpret_cast<const char*>(name) : "unknown";
}

// Which libraries allocate during frames, per frame: printed as "attribution SUBJECT LIBRARY N".
template <typename Frame>
void print_attribution(const char* subject, Frame frame) {
    constexpr int frames = 200;
    frame();
    korvalis::bench::start_recording_callers();
    for (int i = 0; i < frames; ++i)
        frame();
    for (const auto& [library, count] : korvalis::bench::stop_recording_callers()) {
        std::printf("attribution %s %s %.2f\n", subject, library.c_str(),
                    static_cast<double>(count) / frames);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool vsync = false;
    std::vector<char*> args = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--vsync") == 0) {
            vsync = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    // Read by SDL when the surface's renderer is made; overrides its own retrace flag.
    SDL_SetHint(SDL_HINT_RENDER_VSYNC, vsync ? "1" : "0");

    reset_instrument_state();
    InstrumentWindow* window = nullptr;
    if (!init_window_system() || !init_sprite_system() ||
        (window = open_instrument_window(0, 0, client_width, client_height, "Korvalis - bench")) ==
            nullptr ||
        !open_surface(native_window_handle(window), 0, 0, client_width, client_height)) {
        std::fprintf(stderr, "frame_bench: no window with accelerated drawing: %s\n",
                     SDL_GetError());
        return 1;
    }
    load_instrument_images();
    set_sprite_quality(1);

    std::vector<char*> defaults = {args[0]};
    char repetitions[] = "--benchmark_repetitions=10";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    char min_time[] = "--benchmark_min_time=0.2";
    defaults.insert(defaults.end(), {repetitions, interleaving, min_time});
    defaults.insert(defaults.end(), args.begin() + 1, args.end());  // given flags come later, win
    int count = static_cast<int>(defaults.size());
    defaults.push_back(nullptr);
    benchmark::Initialize(&count, defaults.data());
    benchmark::AddCustomContext("gl_renderer", gl_renderer());
    benchmark::AddCustomContext("vsync", vsync ? "on" : "off");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_attribution("draw_instrument_frame", [] { draw_instrument_frame(false); });
    print_attribution("clear_present", [] {
        clear_surface(15, 15, 15);
        present_surface();
    });

    release_sprite_system();
    close_instrument_window(window);
    shutdown_window_system();
    return 0;
}
