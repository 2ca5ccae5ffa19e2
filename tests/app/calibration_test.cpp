// The needle calibration: the dial's printed table, its band edges, mirrored negatives, the
// largest speeds, and independence from the caller's rounding mode.
#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <vector>

#include "app/app.h"

namespace korvalis {
namespace {

struct AngleCase {
    float knots;
    double degrees;   // to four decimals
    int16_t rounded;  // what the maximum-speed needle keeps
};

const std::vector<AngleCase> printed_table = {
    {0.0f, 0.0, 0},
    {10.0f, 3.75, 4},
    {40.0f, 15.0, 15},
    {40.5f, 15.1875, 15},
    {40.5078125f, 15.4496, 15},
    {50.5f, 28.9952, 29},
    {50.5078125f, 28.6019, 29},
    {90.0f, 95.2456, 95},
    {100.0f, 114.0, 114},
    {150.0f, 183.6420, 184},
    {259.0f, 293.9561, 294},
    {280.5f, 315.4957, 315},
    {281.0f, 316.1016, 316},
    {300.0f, 337.0, 337},
    {300.5f, 337.5492, 338},
    {301.0f, 338.1233, 338},
    {400.0f, 449.3333, 449},
    {-10.0f, -3.75, -4},
    {-150.0f, -183.6420, -184},
};

TEST(NeedleAngle, MatchesThePrintedTable) {
    for (const AngleCase& c : printed_table) {
        const float got = needle_angle(c.knots);
        EXPECT_NEAR(got, c.degrees, 0.00006) << "knots " << c.knots;
        EXPECT_EQ(whole_degrees(got), c.rounded) << "knots " << c.knots << ", angle " << got;
    }
}

TEST(NeedleAngle, LandsOnEveryBreakpoint) {
    const int knots[] = {40,  50,  60,  70,  80,  100, 110, 120, 130,
                         140, 160, 180, 200, 220, 240, 260, 280, 300};
    const int degrees[] = {15,  28,  43,  62,  79,  114, 132, 146, 158,
                           174, 193, 213, 235, 252, 274, 295, 315, 337};
    for (size_t i = 0; i < std::size(knots); ++i) {
        const float got = needle_angle(static_cast<float>(knots[i]));
        // Up to the last digit of a float: 70 kt gives 62.000004.
        EXPECT_NEAR(got, degrees[i], degrees[i] * 4e-7) << knots[i] << " kt";
    }
}

TEST(NeedleAngle, HalfKnotPastABreakpointStaysInTheBandBelow) {
    // Band 0 keeps its fixed ratio up to 40.5; one raw unit further is band 1.
    EXPECT_FLOAT_EQ(needle_angle(40.5f), 40.5f / 2.6666667f);
    EXPECT_GT(needle_angle(40.5078125f) - needle_angle(40.5f), 0.2f);
    // At 50.5 the step goes backwards.
    EXPECT_LT(needle_angle(50.5078125f), needle_angle(50.5f));
    // Above 300.5 the fixed high-speed ratio takes over.
    EXPECT_FLOAT_EQ(needle_angle(301.0f), static_cast<float>(301.0 / 0.8902077f));
    EXPECT_NE(needle_angle(300.5f), static_cast<float>(300.5 / 0.8902077f));
}

TEST(NeedleAngle, NegativeSpeedsMirrorPositiveOnes) {
    for (int raw = 1; raw <= 400 * 128; raw += 37) {
        const float knots = static_cast<float>(raw) / 128.0f;
        EXPECT_EQ(needle_angle(-knots), -needle_angle(knots)) << knots;
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(needle_angle(-0.0f)), std::bit_cast<uint32_t>(0.0f));
}

TEST(NeedleAngle, IsMonotonicInsideEachBand) {
    float previous = 0.0f;
    for (int raw = 1; raw <= 320 * 128; ++raw) {
        const float knots = static_cast<float>(raw) / 128.0f;
        const float angle = needle_angle(knots);
        // Steps are allowed only where the band changes: one raw unit past a breakpoint's half
        // knot.
        const int whole = raw / 128;
        const bool band_edge =
            raw % 128 == 65 && whole >= 40 && whole <= 300 &&
            (whole % 20 == 0 || whole == 50 || whole == 70 || whole == 110 || whole == 130);
        if (!band_edge) {
            EXPECT_GE(angle, previous) << knots;
        }
        previous = angle;
    }
}

TEST(NeedleAngle, LargestRawSpeedsGiveFiniteAngles) {
    for (float knots : {16777216.0f, -16777216.0f, 16777215.9921875f}) {
        const float got = needle_angle(knots);
        EXPECT_TRUE(std::isfinite(got)) << knots;
        EXPECT_NEAR(std::fabs(got), std::fabs(knots) / 0.8902077, std::fabs(knots) * 1e-6);
    }
}

TEST(NeedleAngle, DoesNotDependOnTheCallersRoundingMode) {
    std::vector<uint32_t> nearest;
    for (int raw = -50000; raw <= 50000; raw += 7) {
        nearest.push_back(std::bit_cast<uint32_t>(needle_angle(static_cast<float>(raw) / 128.0f)));
    }
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        size_t i = 0;
        for (int raw = -50000; raw <= 50000; raw += 7, ++i) {
            const uint32_t got =
                std::bit_cast<uint32_t>(needle_angle(static_cast<float>(raw) / 128.0f));
            if (got != nearest[i]) {
                ADD_FAILURE() << "mode " << mode << " raw " << raw;
                break;
            }
        }
        EXPECT_EQ(std::fegetround(), mode) << "the caller's mode must be restored";
        std::fesetround(FE_TONEAREST);
    }
}

TEST(WholeDegrees, RoundsTiesToEvenAndKeepsTheLow16Bits) {
    struct Case {
        float degrees;
        int16_t expected;
    };
    const Case cases[] = {
        {114.5f, 114},
        {115.5f, 116},
        {-114.5f, -114},
        {-115.5f, -116},
        {0.49999997f, 0},
        {293.9561f, 294},
        {32767.0f, 32767},
        {32768.0f, -32768},
        {65541.0f, 5},
        {-32769.0f, 32767},
        {1.8846e7f, static_cast<int16_t>(18846000 & 0xFFFF)},
        {NAN, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(whole_degrees(c.degrees), c.expected) << "degrees " << c.degrees;
    }
    ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
    EXPECT_EQ(whole_degrees(114.5f), 114) << "ties to even whatever the caller's mode";
    std::fesetround(FE_TONEAREST);
}

}  // namespace
}  // namespace korvalis
