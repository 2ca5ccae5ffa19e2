// The frame loop's iteration and its change detection: which frames are drawn, when the poll
// worker runs, and when the needle angles are recomputed. It runs in tests without a display or
// a simulator: everything it calls is reached by name and can be replaced at link time.
#include "app/app.h"
#include "display/display.h"
#include "simlink/simlink.h"

namespace korvalis {

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
