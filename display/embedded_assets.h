// The PNG files of assets/, compiled into the program by assets/CMakeLists.txt: nothing is read
// from disk at run time.
#pragma once

#include <cstdint>
#include <span>

namespace korvalis::assets {

extern const std::span<const uint8_t> dial_face;         // 246 x 246
extern const std::span<const uint8_t> airspeed_needle;   // 246 x 246
extern const std::span<const uint8_t> max_speed_needle;  // 246 x 246
extern const std::span<const uint8_t> offline_dot;       // 30 x 30
extern const std::span<const uint8_t> offline_halo;      // 30 x 30
extern const std::span<const uint8_t> light_overlay;     // 300 x 300
extern const std::span<const uint8_t> icon_48;           // window icons, 48, 32 and 16 square
extern const std::span<const uint8_t> icon_32;
extern const std::span<const uint8_t> icon_16;

}  // namespace korvalis::assets
