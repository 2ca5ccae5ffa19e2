// The counting allocator of alloc_counter.h. The C library's allocator stays in charge of the
// memory (its __libc_* entry points); these definitions only count, by the return address of
// the call: inside this executable's code, or elsewhere. The build exports them from the
// executable, so shared libraries, and those the graphics stack loads at run time, call them too.
#include "tools/bench/alloc_counter.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(size_t alignment, size_t size);

// The executable's code, from the linker.
extern const char __executable_start;
extern const char __etext;
}

namespace {

std::atomic<uint64_t> own_count{0};
std::atomic<uint64_t> library_count{0};

// Callers of library allocations while recording; filled without allocating.
std::atomic<bool> recording{false};
std::array<std::atomic<const void*>, 65536> recorded{};
std::atomic<size_t> recorded_count{0};

void count(const void* caller) {
    const auto* at = static_cast<const char*>(caller);
    const bool own = at >= &__executable_start && at < &__etext;
    (own ? own_count : library_count).fetch_add(1, std::memory_order_relaxed);
    if (!own && recording.load(std::memory_order_relaxed)) {
        const size_t slot = recorded_count.fetch_add(1, std::memory_order_relaxed);
        if (slot < recorded.size()) recorded[slot].store(caller, std::memory_order_relaxed);
    }
}

void* aligned(size_t alignment, size_t size) {
    return __libc_memalign(alignment < sizeof(void*) ? sizeof(void*) : alignment, size);
}

void* new_or_throw(size_t size, const void* caller) {
    count(caller);
    void* p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* new_aligned_or_throw(size_t size, std::align_val_t alignment, const void* caller) {
    count(caller);
    void* p = aligned(static_cast<size_t>(alignment), size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace korvalis::bench {

AllocationCount allocations_so_far() {
    return {own_count.load(std::memory_order_relaxed),
            library_count.load(std::memory_order_relaxed)};
}

void start_recording_callers() {
    recorded_count.store(0, std::memory_order_relaxed);
    recording.store(true, std::memory_order_relaxed);
}

std::vector<std::pair<std::string, uint64_t>> stop_recording_callers() {
    recording.store(false, std::memory_order_relaxed);
    const size_t kept = std::min(recorded_count.load(std::memory_order_relaxed), recorded.size());
    std::map<std::string, uint64_t> by_library;
    for (size_t i = 0; i < kept; ++i) {
        Dl_info info{};
        const void* caller = recorded[i].load(std::memory_order_relaxed);
        std::string name = "unknown";
        if (dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
            name = info.dli_fname;
            name = name.substr(name.rfind('/') + 1);
        }
        ++by_library[name];
    }
    std::vector<std::pair<std::string, uint64_t>> out(by_library.begin(), by_library.end());
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    return out;
}

}  // namespace korvalis::bench

// --- The C allocator ---------------------------------------------------------------------------
extern "C" {

void* malloc(size_t size) {
    count(__builtin_return_address(0));
    return __libc_malloc(size);
}

void* calloc(size_t count_of, size_t size) {
    count(__builtin_return_address(0));
    return __libc_calloc(count_of, size);
}

void* realloc(void* pointer, size_t size) {
    count(__builtin_return_address(0));
    return __libc_realloc(pointer, size);
}

void free(void* pointer) {
    __libc_free(pointer);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    count(__builtin_return_address(0));
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

void* aligned_alloc(size_t alignment, size_t size) {
    count(__builtin_return_address(0));
    return aligned(alignment, size);
}

void* memalign(size_t alignment, size_t size) {
    count(__builtin_return_address(0));
    return aligned(alignment, size);
}

}  // extern "C"

// --- The C++ allocator -------------------------------------------------------------------------
void* operator new(size_t size) {
    return new_or_throw(size, __builtin_return_address(0));
}
void* operator new[](size_t size) {
    return new_or_throw(size, __builtin_return_address(0));
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    count(__builtin_return_address(0));
    return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    count(__builtin_return_address(0));
    return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new(size_t size, std::align_val_t alignment) {
    return new_aligned_or_throw(size, alignment, __builtin_return_address(0));
}
void* operator new[](size_t size, std::align_val_t alignment) {
    return new_aligned_or_throw(size, alignment, __builtin_return_address(0));
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    __libc_free(p);
}
