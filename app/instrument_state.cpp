// The one process-wide InstrumentState.
#include "app/app.h"

namespace korvalis {

InstrumentState instrument_state;

void reset_instrument_state() {
    auto& s = instrument_state;
    s.connected.store(0, std::memory_order_relaxed);
    s.airspeed_raw.store(0, std::memory_order_relaxed);
    s.max_speed_raw.store(0, std::memory_order_relaxed);
    s.lights.store(0, std::memory_order_relaxed);
    s.light_enabled = 0;
    s.window_x = 0;
    s.window_y = 0;
    s.last_airspeed_raw = 0.0f;
    s.last_max_speed_raw = 0;
    s.airspeed_knots = 0.0f;
    s.airspeed_angle = 0.0f;
    s.max_speed_angle = 0;
}

}  // namespace korvalis
