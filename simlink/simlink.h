// The simulator link: the client side of the simulator IPC protocol and the two worker threads
// that keep it up and poll the instrument's three values. The client reaches the simulator only
// through the inter-process services of ipc_services.h.
#pragma once

#include <cstdint>

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Result codes of the IPC client
// ---------------------------------------------------------------------------------------------
enum class SimLinkResult : uint32_t {
    link_ok = 0,
    link_already_open = 1,          // a block is already mapped; the open link is untouched
    link_no_server = 2,             // no window of class "UIPCMAIN" or "FS98MAIN"
    link_no_message = 3,            // registering the message name failed
    link_no_atom = 4,               // adding the global atom failed
    link_no_block = 5,              // creating the shared block failed, or the name existed
    link_no_view = 6,               // mapping the block failed
    link_bad_module = 7,            // handshake values not acceptable (found as "UIPCMAIN")
    link_other_simulator = 8,       // not the simulator version asked for
    link_not_open = 9,              // no block is mapped
    link_nothing_queued = 10,       // process with an empty queue
    link_no_answer = 11,            // nine failed sends, no system error
    link_send_failed = 12,          // nine failed sends, with a system error
    link_refused = 13,              // the module answered something other than 1
    link_bad_module_fallback = 14,  // as link_bad_module, found only as "FS98MAIN"
    link_queue_full = 15,           // the request would reach beyond the queue limit
};

// ---------------------------------------------------------------------------------------------
// IPC client (client.cpp): five operations over one process-wide SimLinkClient. Not thread-safe:
// callers serialise every call (the workers hold link_lock).
// ---------------------------------------------------------------------------------------------
bool simlink_open(uint32_t requested_sim, SimLinkResult* result);  // requested_sim 0 = any
bool simlink_read(uint32_t offset, uint32_t length, void* destination, SimLinkResult* result);
bool simlink_write(uint32_t offset, uint32_t length, const void* source, SimLinkResult* result);
bool simlink_process(SimLinkResult* result);  // one exchange; copies reads back; empties queue
void simlink_close();                         // releases everything; safe when nothing is open

// ---------------------------------------------------------------------------------------------
// Link workers (workers.cpp). Worker identities are never reused; 0 names no worker.
// ---------------------------------------------------------------------------------------------
using WorkerId = uint32_t;
inline constexpr WorkerId no_worker = 0;

void create_link_lock();                    // once, before any worker starts
WorkerId start_connection_worker();         // opens the link once a second while there is none
WorkerId start_poll_worker();               // one exchange of the three values per 1 ms pass
bool poll_worker_running(WorkerId worker);  // false for no_worker and for an ended worker
void stop_poll_worker(WorkerId worker);     // returns once the worker has ended, lock released
// The program never stops it (the process ends around it); tests and tools that must leave
// nothing running do. Returns once it has ended, within one pass (up to 1 s plus an open).
void stop_connection_worker(WorkerId worker);

}  // namespace korvalis
