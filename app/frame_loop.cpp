// The frame loop's iteration and its change detection: which frames are drawn, when the poll
// worker runs, and when the needle angles are recomputed. It runs in tests without a display or
// a simulator: everything it calls is reached by name and can be replaced at link time.
#include "app/app.h"
#include "display/display.h"
#include "simlink/simlink.h"

namespace korvalis {

bool recompute_needles_if_changed() {
    InstrumentState& s = instrument_state;
    const int32_t airspeed = s.airspeed_raw.load(std::memory_order_relaxed);
    const int32_t max_speed = s.max_speed_raw.load(std::memory_order_relaxed);
    // Compared as exact numbers: beyond 2^24 the float copy cannot hold the raw value, so such a
    // speed is found changed at every iteration.
    const bool changed =
        static_cast<double>(airspeed) != static_cast<double>(s.last_airspeed_raw) ||
        max_speed != s.last_max_speed_raw;
    if (!changed) return false;

    s.airspeed_knots = static_cast<float>(static_cast<double>(airspeed) / raw_per_knot);
    s.last_airspeed_raw = static_cast<float>(airspeed);
    s.last_max_speed_raw = max_speed;
    s.airspeed_angle = needle_angle(s.airspeed_knots);
    const auto max_speed_knots = static_cast<float>(static_cast<double>(max_speed) / raw_per_knot);
    s.max_speed_angle = whole_degrees(needle_angle(max_speed_knots));
    return true;
}

bool run_frame_loop_iteration(FrameLoop& loop) {
    InstrumentState& s = instrument_state;
    if (s.connected.load(std::memory_order_relaxed) != 0) {
        if (!poll_worker_running(loop.poll_worker)) loop.poll_worker = start_poll_worker();
        draw_instrument_frame(false);
    } else {
        if (poll_worker_running(loop.poll_worker)) {
            stop_poll_worker(loop.poll_worker);
            loop.poll_worker = no_worker;
        }
        draw_instrument_frame(true);
        delay_ms(frame_delay_ms);
    }

    const WindowEvent event = poll_window_event();
    loop.last_event = static_cast<int32_t>(event);
    if (event == WindowEvent::Moved) {
        s.window_x = window_frame_left(loop.window);
        s.window_y = window_frame_top(loop.window);
    }

    if (recompute_needles_if_changed()) draw_instrument_frame(false);
    delay_ms(frame_delay_ms);
    return event != WindowEvent::CloseRequested;
}

}  // namespace korvalis
