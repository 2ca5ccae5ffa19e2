// What the link tests share: one exchange of the instrument's three values, queued as the poll
// worker queues them, and a bounded wait for a condition that another process or thread makes
// true. Header-only, so that the Windows tests take it without the POSIX support library.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "simlink/module.h"
#include "simlink/simlink.h"

namespace korvalis::testing {

// Starts at values no exchange produces by accident, so that a read that never landed shows.
struct PolledValues {
    int32_t airspeed = -1;
    int32_t max_speed = -1;
    uint16_t lights = 0xFFFF;
};

inline bool poll_values(PolledValues& v, SimLinkResult* result) {
    simlink_read(airspeed_offset, 4, &v.airspeed, result);
    simlink_read(max_speed_offset, 4, &v.max_speed, result);
    simlink_read(lights_offset, 2, &v.lights, result);
    return simlink_process(result);
}

// Retries until the condition holds or the time is up: a generous bound that only catches hangs.
inline bool eventually(const std::function<bool()>& condition, int timeout_ms = 5000,
                       int step_ms = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return condition();
}

}  // namespace korvalis::testing
