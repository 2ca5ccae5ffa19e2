// delay_ms on Windows, where it raises the timer resolution around Sleep: it must sleep the time
// asked (the workers' 1 ms poll pause and the frame loop's 10 ms rely on it) and come back.
#include <gtest/gtest.h>

#include <chrono>

#include "app/app.h"

namespace korvalis {
namespace {

TEST(DelayOnWindows, SleepsTheTimeAskedAndComesBack) {
    for (uint32_t milliseconds : {0u, 1u, 10u, 25u}) {
        const auto start = std::chrono::steady_clock::now();
        delay_ms(milliseconds);
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
        // Sleep may end up to a timer tick early; a hang shows as far beyond the time asked.
        EXPECT_GE(elapsed.count() + 1000, milliseconds * 1000) << milliseconds << " ms";
        EXPECT_LT(elapsed, std::chrono::seconds(10)) << milliseconds << " ms";
    }
}

}  // namespace
}  // namespace korvalis
