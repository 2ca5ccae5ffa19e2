// The instrument application: the one record of live values, the needle calibration, the sleep
// helper and the program's lifecycle. Start reading at run_instrument() in lifecycle.cpp.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Constants of the instrument
// ---------------------------------------------------------------------------------------------
inline constexpr const char* program_version = "1.006";
inline constexpr const char* window_title_prefix = "Korvalis - ";
inline constexpr int32_t client_width = 266;  // window client area and drawing surface, pixels
inline constexpr int32_t client_height = 266;
inline constexpr float raw_per_knot = 128.0f;  // simulator speeds are knots x 128
inline constexpr uint32_t frame_delay_ms = 10;

// ---------------------------------------------------------------------------------------------
// InstrumentState: live values from the link, the user's settings and the frame loop's derived
// values. One process-wide instance, every field zero at start.
// The four atomics are written by the link workers and read by the main thread without a lock;
// relaxed ordering is enough because each is read and written whole and no consistency between
// them is promised. Everything else belongs to the main thread.
// ---------------------------------------------------------------------------------------------
struct InstrumentState {
    std::atomic<uint8_t> connected{0};      // 1 while the simulator link is open
    std::atomic<int32_t> airspeed_raw{0};   // indicated airspeed, knots x 128 (offset 0x02BC)
    std::atomic<int32_t> max_speed_raw{0};  // maximum allowable airspeed, knots x 128 (0x02C4)
    std::atomic<uint16_t> lights{0};        // simulator lights word (0x0D0C); 0x20 = panel lights

    int8_t light_enabled = 0;  // user's permission for the lighting overlay; nonzero = allowed
    int32_t window_x = 0;      // window's outer top-left corner, screen pixels
    int32_t window_y = 0;

    float last_airspeed_raw = 0.0f;  // airspeed_raw at the last recomputation
    int32_t last_max_speed_raw = 0;  // max_speed_raw at the last recomputation
    float airspeed_knots = 0.0f;     // airspeed_raw / 128
    float airspeed_angle = 0.0f;     // airspeed needle rotation, degrees clockwise from up
    int16_t max_speed_angle = 0;     // maximum-speed needle rotation, whole degrees
};

extern InstrumentState instrument_state;

void reset_instrument_state();  // every field back to zero (start-up step 1, and tests)

// ---------------------------------------------------------------------------------------------
// Helpers shared by every subsystem
// ---------------------------------------------------------------------------------------------
void delay_ms(uint32_t milliseconds);  // sleeps; on Windows with a 1 ms timer resolution meanwhile

// Needle calibration: airspeed in knots -> needle rotation in degrees, clockwise from straight
// up. Signed (negative speeds mirror positive ones); pure; independent of the caller's
// floating-point rounding mode.
float needle_angle(float knots);

// The maximum-speed needle keeps whole degrees: nearest integer, ties to even, low 16 bits.
int16_t whole_degrees(float degrees);

// ---------------------------------------------------------------------------------------------
// Lifecycle and frame loop (lifecycle.cpp)
// ---------------------------------------------------------------------------------------------
struct InstrumentWindow;  // display's window, opaque here

// What the frame loop holds from start-up to shut-down besides the InstrumentState.
struct FrameLoop {
    InstrumentWindow* window = nullptr;
    uint32_t poll_worker = 0;  // identity of the running poll_worker; 0 = none
    int32_t last_event = 0;    // WindowEvent code taken in the last iteration
};

// One iteration of the frame loop; false once the window has asked to close.
bool run_frame_loop_iteration(FrameLoop& loop);

// Change detection: recomputes the needle angles from one reading of each raw speed.
// True when a change was found (the caller then draws one more frame).
bool recompute_needles_if_changed();

// The whole program: start-up, frame loop, shut-down; ends the process with exit code 0.
[[noreturn]] void run_instrument();

}  // namespace korvalis
