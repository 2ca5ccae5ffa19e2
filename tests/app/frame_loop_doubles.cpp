// Link-time doubles of the display, the link workers and the sleep, for the frame loop's tests.
#include "tests/app/frame_loop_doubles.h"

#include <algorithm>

#include "app/app.h"
#include "simlink/simlink.h"

namespace korvalis::testing {

LoopWorld loop_world;

void reset_loop_world() {
    loop_world = LoopWorld{};
}

int count_calls(const std::string& call) {
    return static_cast<int>(std::count(loop_world.calls.begin(), loop_world.calls.end(), call));
}

}  // namespace korvalis::testing

namespace korvalis {

using testing::loop_world;

void draw_instrument_frame(bool offline) {
    loop_world.calls.push_back(offline ? "draw offline" : "draw online");
}

WindowEvent poll_window_event() {
    loop_world.calls.push_back("poll event");
    if (loop_world.events.empty()) return WindowEvent::None;
    const WindowEvent event = loop_world.events.front();
    loop_world.events.pop_front();
    return event;
}

int32_t window_frame_left(InstrumentWindow*) {
    loop_world.calls.push_back("frame left");
    return loop_world.frame_left;
}

int32_t window_frame_top(InstrumentWindow*) {
    loop_world.calls.push_back("frame top");
    return loop_world.frame_top;
}

void delay_ms(uint32_t milliseconds) {
    loop_world.calls.push_back("delay " + std::to_string(milliseconds));
}

bool poll_worker_running(WorkerId worker) {
    return worker != no_worker && loop_world.poll_worker_alive;
}

WorkerId start_poll_worker() {
    loop_world.calls.push_back("poll_worker start");
    ++loop_world.worker_starts;
    loop_world.poll_worker_alive = true;
    return loop_world.next_worker_id++;
}

void stop_poll_worker(WorkerId) {
    loop_world.calls.push_back("poll_worker stop");
    ++loop_world.worker_stops;
    loop_world.poll_worker_alive = false;
}

}  // namespace korvalis
