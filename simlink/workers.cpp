// The two link workers and link_lock. connection_worker opens the link once a second while there
// is none; poll_worker fetches the instrument's three values in one exchange per 1 ms pass and
// closes the link when an exchange fails. The frame loop starts and stops poll_worker as
// `connected` comes and goes.
//
// Threads are the platform's own (not std::thread) because the workers ask for a small stack.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>

#include "app/app.h"
#include "simlink/module.h"
#include "simlink/simlink.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <limits.h>
#include <pthread.h>
#endif

namespace korvalis {

namespace {

// --- Threads and the lock, per platform -----------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

constexpr size_t requested_stack = 4096;
// Sanitizers put large red zones and shadow frames on the stack; the small stack is not for them.
constexpr size_t sanitizer_stack = 1024 * 1024;

#ifdef _WIN32
using NativeThread = HANDLE;
SRWLOCK link_lock = SRWLOCK_INIT;
void lock_link() {
    AcquireSRWLockExclusive(&link_lock);
}
void unlock_link() {
    ReleaseSRWLockExclusive(&link_lock);
}
#else
using NativeThread = pthread_t;
pthread_mutex_t link_lock = PTHREAD_MUTEX_INITIALIZER;
void lock_link() {
    pthread_mutex_lock(&link_lock);
}
void unlock_link() {
    pthread_mutex_unlock(&link_lock);
}
#endif

struct WorkerSlot {
    WorkerId id = no_worker;  // of the thread that runs in this slot; none = idle
    NativeThread thread{};
    std::atomic<bool> stop_requested{false};  // checked by the worker outside link_lock
};

using WorkerProcedure = void (*)(WorkerSlot& slot);

// Started and stopped by the main thread only; a worker reads just its stop flag.
WorkerSlot connection_slot;
WorkerSlot poll_slot;
WorkerId last_worker_id = no_worker;
// Passed to every client call by both workers, under link_lock; only truth values steer them.
SimLinkResult link_result = SimLinkResult::link_ok;

struct StartArgument {
    WorkerSlot* slot;
    WorkerProcedure procedure;
};
StartArgument connection_argument;
StartArgument poll_argument;

#ifdef _WIN32
DWORD WINAPI thread_entry(LPVOID raw) {
    auto* argument = static_cast<StartArgument*>(raw);
    argument->procedure(*argument->slot);
    return 0;
}

bool start_thread(StartArgument& argument, NativeThread& thread) {
    const SIZE_T stack = sanitized ? sanitizer_stack : requested_stack;
    thread = CreateThread(nullptr, stack, thread_entry, &argument, 0, nullptr);
    return thread != nullptr;
}

void join_thread(NativeThread thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
#else
void* thread_entry(void* raw) {
    auto* argument = static_cast<StartArgument*>(raw);
    argument->procedure(*argument->slot);
    return nullptr;
}

bool start_thread(StartArgument& argument, NativeThread& thread) {
    // The requested 4,096 bytes, or the platform's minimum; where the platform wants room for
    // its thread-local storage as well, the next larger size that it accepts.
    size_t stack = sanitized
                       ? sanitizer_stack
                       : std::max<size_t>(requested_stack, static_cast<size_t>(PTHREAD_STACK_MIN));
    for (int tries = 0; tries < 4; ++tries, stack *= 2) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        int error = pthread_attr_setstacksize(&attributes, stack);
        if (error == 0) error = pthread_create(&thread, &attributes, thread_entry, &argument);
        pthread_attr_destroy(&attributes);
        if (error == 0) return true;
        if (error != EINVAL) return false;
    }
    return false;
}

void join_thread(NativeThread thread) {
    pthread_join(thread, nullptr);
}
#endif

// --- The workers ----------------------------------------------------------------------------

void connection_worker(WorkerSlot& slot) {
    InstrumentState& s = instrument_state;
    while (!slot.stop_requested.load(std::memory_order_acquire)) {
        lock_link();
        if (s.connected.load(std::memory_order_relaxed) == 0) {
            s.connected.store(simlink_open(0, &link_result) ? 1 : 0, std::memory_order_relaxed);
        }
        unlock_link();
        delay_ms(1000);
    }
}

void poll_worker(WorkerSlot& slot) {
    InstrumentState& s = instrument_state;
    while (!slot.stop_requested.load(std::memory_order_acquire)) {
        if (s.connected.load(std::memory_order_relaxed) != 0) {
            lock_link();
            if (slot.stop_requested.load(std::memory_order_acquire)) {
                // Asked to stop while the link came back: leave the exchange to the next worker
                // rather than keep the one stopping us waiting on a slow module.
                unlock_link();
                return;
            }
            // The exchange fills these buffers of the worker's own; the shared fields are then
            // stored whole. A read the module did not deliver leaves its field as it was.
            int32_t airspeed = s.airspeed_raw.load(std::memory_order_relaxed);
            int32_t max_speed = s.max_speed_raw.load(std::memory_order_relaxed);
            uint16_t lights = s.lights.load(std::memory_order_relaxed);
            simlink_read(airspeed_offset, sizeof airspeed, &airspeed, &link_result);
            simlink_read(max_speed_offset, sizeof max_speed, &max_speed, &link_result);
            simlink_read(lights_offset, sizeof lights, &lights, &link_result);
            if (simlink_process(&link_result)) {
                s.airspeed_raw.store(airspeed, std::memory_order_relaxed);
                s.max_speed_raw.store(max_speed, std::memory_order_relaxed);
                s.lights.store(lights, std::memory_order_relaxed);
            } else {
                simlink_close();
                s.connected.store(0, std::memory_order_relaxed);
            }
            unlock_link();
        }
        delay_ms(1);
    }
}

WorkerId start_worker(WorkerSlot& slot, StartArgument& argument, WorkerProcedure procedure) {
    if (slot.id != no_worker) return slot.id;  // at most one of each
    slot.stop_requested.store(false, std::memory_order_relaxed);
    argument = StartArgument{&slot, procedure};
    if (!start_thread(argument, slot.thread)) return no_worker;
    slot.id = ++last_worker_id;
    if (slot.id == no_worker) slot.id = ++last_worker_id;
    return slot.id;
}

void stop_worker(WorkerSlot& slot, WorkerId worker) {
    if (worker == no_worker || slot.id != worker) return;
    slot.stop_requested.store(true, std::memory_order_release);
    join_thread(slot.thread);
    slot.id = no_worker;
}

}  // namespace

void create_link_lock() {
    // The lock is initialised statically, so it exists before any worker can start and is never
    // destroyed while one may run; this call marks the point in start-up where it is needed.
}

WorkerId start_connection_worker() {
    return start_worker(connection_slot, connection_argument, connection_worker);
}

WorkerId start_poll_worker() {
    return start_worker(poll_slot, poll_argument, poll_worker);
}

bool poll_worker_running(WorkerId worker) {
    return worker != no_worker && poll_slot.id == worker;
}

void stop_poll_worker(WorkerId worker) {
    stop_worker(poll_slot, worker);
}

void stop_connection_worker(WorkerId worker) {
    stop_worker(connection_slot, worker);
}

}  // namespace korvalis
