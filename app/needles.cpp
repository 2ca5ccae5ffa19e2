// Change detection: the needle angles are recomputed only when a raw speed has changed, never
// once per frame. The frame loop calls it every iteration; korvalis-render once, for its state.
#include "app/app.h"

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

}  // namespace korvalis
