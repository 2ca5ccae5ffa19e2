// Needle calibration. The printed scale is not linear, so the needle angle comes from a table of
// bands: each band interpolates the ratio knots / degrees linearly and divides the speed by it.
// The band is chosen by the speed rounded to whole knots, so a speed exactly half a knot above a
// band's upper breakpoint still belongs to that band; the angle steps a little there, as the
// printed dial does.
//
// The arithmetic is fixed: 32-bit float constants, the ratio and the quotient in double, the
// quotient rounded once to float. This file is compiled with -frounding-math and switches to
// round-to-nearest itself, so a caller's rounding mode cannot change a needle's position.
#include <array>
#include <cfenv>
#include <cmath>

#include "app/app.h"

namespace korvalis {

namespace {

struct CalibrationBand {
    float upper_knots;  // last whole-knot selector value of the band (inclusive)
    float lower_knots;  // L: the band's lower breakpoint
    float slope;        // change of the ratio per knot above L
    float base;         // ratio at L
};

constexpr float low_speed_ratio = 2.6666667f;   // 40 / 15, below 40 kt
constexpr float high_speed_ratio = 0.8902077f;  // 300 / 337, above 300 kt

constexpr std::array<CalibrationBand, 17> calibration_bands{{
    {50.0f, 40.0f, -0.08809524f, 2.6666667f},
    {60.0f, 50.0f, -0.039036546f, 1.7857143f},
    {70.0f, 60.0f, -0.026631659f, 1.3953488f},
    {80.0f, 70.0f, -0.011637403f, 1.1290323f},
    {100.0f, 80.0f, -0.006773262f, 1.0126582f},
    {110.0f, 100.0f, -0.004385965f, 0.877193f},
    {120.0f, 110.0f, -0.001141553f, 0.8333333f},
    {130.0f, 120.0f, 0.0000867002f, 0.82191783f},
    {140.0f, 130.0f, -0.001818711f, 0.8227848f},
    {160.0f, 140.0f, 0.001220892f, 0.8045977f},
    {180.0f, 160.0f, 0.000802744f, 0.82901555f},
    {200.0f, 180.0f, 0.00029967f, 0.8450704f},
    {220.0f, 200.0f, 0.001097602f, 0.85106385f},
    {240.0f, 220.0f, 0.000144827f, 0.8730159f},
    {260.0f, 240.0f, 0.000272176f, 0.8759124f},
    {280.0f, 260.0f, 0.000376648f, 0.88135594f},
    {300.0f, 280.0f, 0.0000659413f, 0.8888889f},
}};

constexpr float first_band_lower = 40.0f;

// Ratio knots / degrees at speed a (non-negative), band chosen by c.
double calibration_ratio(float a, double c) {
    if (c <= first_band_lower) return low_speed_ratio;
    for (const CalibrationBand& band : calibration_bands) {
        if (c <= band.upper_knots) {
            return (static_cast<double>(a) - band.lower_knots) * static_cast<double>(band.slope) +
                   static_cast<double>(band.base);
        }
    }
    return high_speed_ratio;
}

}  // namespace

float needle_angle(float knots) {
    if (std::isnan(knots) || knots == 0.0f) return 0.0f;
    const int saved_rounding = std::fegetround();
    std::fesetround(FE_TONEAREST);

    const float a = std::fabs(knots);
    const double c = std::nearbyint(static_cast<double>(a));  // ties to even
    const double ratio = calibration_ratio(a, c);
    // volatile: the compiler may otherwise do the rounding to float after the mode is restored
    // below (-frounding-math does not order register arithmetic against calls); MinGW's GCC does.
    const volatile float q = static_cast<float>(static_cast<double>(a) / ratio);

    std::fesetround(saved_rounding);
    return knots < 0.0f ? -q : q;
}

int16_t whole_degrees(float degrees) {
    if (!std::isfinite(degrees)) return 0;
    const int saved_rounding = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(static_cast<double>(degrees));
    std::fesetround(saved_rounding);
    // Keep the low 16 bits of the two's complement value, as a 16-bit store would. fmod is exact,
    // so this holds for any magnitude a float can reach.
    double low_bits = std::fmod(rounded, 65536.0);
    if (low_bits < 0.0) low_bits += 65536.0;
    return static_cast<int16_t>(static_cast<uint16_t>(low_bits));
}

}  // namespace korvalis
