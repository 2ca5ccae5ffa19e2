// Test doubles for everything the frame loop calls: each call is recorded in order, and the
// answers (window events, positions, worker state) come from a script the test sets up.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "display/display.h"

namespace korvalis::testing {

struct LoopWorld {
    std::vector<std::string> calls;  // e.g. "draw offline", "delay 10", "poll_worker start"
    std::deque<WindowEvent> events;  // returned by poll_window_event, then None
    int32_t frame_left = 0;          // what window_frame_left / top answer
    int32_t frame_top = 0;
    bool poll_worker_alive = false;
    uint32_t next_worker_id = 1;
    int worker_starts = 0;
    int worker_stops = 0;
};

extern LoopWorld loop_world;

void reset_loop_world();
int count_calls(const std::string& call);

}  // namespace korvalis::testing
