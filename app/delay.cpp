// delay_ms: the one sleep of the program. On Windows the system timer resolution is raised to
// 1 ms for the length of each sleep only, so that the 1 ms poll pause is close to 1 ms without
// costing the whole system power between sleeps.
#include "app/app.h"

#ifdef _WIN32
// windows.h first, in a block of its own so that sorting keeps it there: timeapi.h needs its types.
#include <windows.h>

#include <timeapi.h>
#else
#include <time.h>
#include <cerrno>
#endif

namespace korvalis {

void delay_ms(uint32_t milliseconds) {
#ifdef _WIN32
    timeBeginPeriod(1);
    Sleep(milliseconds);
    timeEndPeriod(1);
#else
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal must not cut the pause short: the workers' pacing relies on it.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
#endif
}

}  // namespace korvalis
