// Counts every heap allocation of the benchmark process: linking alloc_counter.cpp replaces
// malloc, calloc, realloc, the aligned allocators and every operator new with counting versions
// that forward to the C library's own. Each allocation is charged to the code that asked for it:
// this program (the instrument's code is linked in statically) or a shared library (the C++
// runtime, SDL, the graphics driver, X11).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvalis::bench {

struct AllocationCount {
    uint64_t own = 0;        // asked for by code of this executable
    uint64_t libraries = 0;  // asked for by a shared library
    uint64_t total() const { return own + libraries; }
};

AllocationCount allocations_so_far();  // since the process started, every thread

// Which shared libraries asked, while recording was on: the file name of each library and the
// allocations charged to it, most first. The first 65,536 allocations are kept.
void start_recording_callers();
std::vector<std::pair<std::string, uint64_t>> stop_recording_callers();

inline AllocationCount operator-(const AllocationCount& a, const AllocationCount& b) {
    return {a.own - b.own, a.libraries - b.libraries};
}

}  // namespace korvalis::bench
