// The inter-process services that carry the simulator link: everything the IPC client needs from
// the platform, and nothing more. Three tables implement it: the real Win32 calls
// (ipc_win32.cpp), a stand-in for this machine built on Unix sockets and POSIX shared memory
// (ipc_posix.cpp, described byte for byte in docs/transport.md) and a simulated module living in
// the test process (in_process_module.h). The client reaches them only through ipc_services().
#pragma once

#include <cstdint>

namespace korvalis {

// Opaque platform handles, wide enough for a Win32 HWND or HANDLE. 0 = none.
using IpcWindow = uintptr_t;
using IpcMapping = uintptr_t;

// Last-error values the client and the stand-ins agree on (the Win32 numbers).
inline constexpr uint32_t ipc_error_none = 0;
inline constexpr uint32_t ipc_error_already_exists = 183;    // the named block existed already
inline constexpr uint32_t ipc_error_invalid_window = 1400;   // the window (module) is gone
inline constexpr uint32_t ipc_error_timeout = 1460;          // no answer within the time-out
inline constexpr uint32_t ipc_error_not_enough_memory = 8;   // a table or the system ran out
inline constexpr uint32_t ipc_error_invalid_parameter = 87;  // a name or handle was unusable

// ---------------------------------------------------------------------------------------------
// The table of services. Every entry is called with the client's serialisation (link_lock);
// none is safe for concurrent use. Failures set the calling thread's last error.
// ---------------------------------------------------------------------------------------------
struct IpcServices {
    // Top-level window of that class, or 0.
    IpcWindow (*find_window)(const char* class_name);
    // Message id registered under the name, identical in every process; 0 on failure.
    uint32_t (*register_message)(const char* name);
    // Global atom named after the block (visible to the module); 0 on failure.
    uint16_t (*add_atom)(const char* name);
    void (*delete_atom)(uint16_t atom);
    // Named shared block of size bytes, created exclusively. 0 on failure; when the name
    // existed already, last error = ipc_error_already_exists (a handle may still come back and
    // must then be closed).
    IpcMapping (*create_block)(const char* name, uint32_t size);
    void* (*map_block)(IpcMapping mapping, uint32_t size);  // the whole block, writable; or null
    void (*unmap_block)(void* base, uint32_t size);
    void (*close_block)(IpcMapping mapping);
    // Blocking send with a time-out. True when delivered and answered in time, with the
    // module's 32-bit answer in *answer; false on failure or time-out (see last_error).
    bool (*send_message)(IpcWindow window, uint32_t message, uint32_t wparam, uint32_t lparam,
                         uint32_t timeout_ms, uint32_t* answer);
    uint32_t (*last_error)();  // of the calling thread, as left by the last failing service
    void (*sleep_ms)(uint32_t milliseconds);
    uint32_t (*process_id)();
};

// ---------------------------------------------------------------------------------------------
// Choosing the implementation
// ---------------------------------------------------------------------------------------------
const IpcServices& platform_ipc_services();  // the POSIX stand-in or Win32, by build
const IpcServices& ipc_services();           // what the client uses now
// Replaces the table (tests: the in-process module); nullptr restores the platform's. Call it
// only while no worker runs.
void use_ipc_services(const IpcServices* services);

// Keeps separate runs (parallel tests, a benchmark beside a running stand-in) from finding
// each other's modules: the POSIX stand-in puts this word into its window names. Empty is the
// default, which every module and the instrument use. No effect on Win32.
void set_ipc_namespace(const char* word);

}  // namespace korvalis
