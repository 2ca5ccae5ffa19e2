// The module side of the simulator IPC protocol: what a simulator's interface module does with a
// request block, over a 64 KiB space of simulator variables. Shared by the in-process test
// module, korvalis-sim and any other module written for this machine. Every request is checked
// against the block and the space, because the block is written by another process that may be
// hostile or simply wrong.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Protocol constants (both sides)
// ---------------------------------------------------------------------------------------------
inline constexpr const char* ipc_message_name = "FsasmLib:IPC";
inline constexpr const char* primary_window_class = "UIPCMAIN";
inline constexpr const char* fallback_window_class = "FS98MAIN";
inline constexpr uint32_t request_block_size = 0x8000;  // bytes of one request block
inline constexpr uint32_t request_kind_end = 0;
inline constexpr uint32_t request_kind_read = 1;   // kind, offset, n, destination, n data bytes
inline constexpr uint32_t request_kind_write = 2;  // kind, offset, n, n data bytes
inline constexpr uint32_t read_header_size = 16;
inline constexpr uint32_t write_header_size = 12;

inline constexpr uint32_t handshake_module_version_offset = 0x3304;  // 32-bit module version
inline constexpr uint32_t handshake_sim_word_offset = 0x3308;  // 0xFADE << 16 | simulator version
inline constexpr uint32_t handshake_client_version_offset = 0x330A;  // the client writes 2 bytes
inline constexpr uint32_t minimum_module_version = 0x19980005;
inline constexpr uint16_t handshake_signature = 0xFADE;

// The instrument's three values.
inline constexpr uint32_t airspeed_offset = 0x02BC;   // signed 32-bit, knots x 128
inline constexpr uint32_t max_speed_offset = 0x02C4;  // signed 32-bit, knots x 128
inline constexpr uint32_t lights_offset = 0x0D0C;     // 16-bit lights word

// ---------------------------------------------------------------------------------------------
// Wire helpers: every header field is a 32-bit little-endian integer
// ---------------------------------------------------------------------------------------------
namespace wire {
inline void put_u32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}
inline uint32_t get_u32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}
// For memory another process may rewrite at any moment: each byte is loaded exactly once, so a
// value that was checked is the value that is used.
inline uint32_t load_shared_u32(const uint8_t* at) {
    const volatile uint8_t* p = at;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void store_shared_u32(uint8_t* at, uint32_t value) {
    volatile uint8_t* p = at;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
}  // namespace wire

// ---------------------------------------------------------------------------------------------
// The module's space of simulator variables, little-endian like the wire
// ---------------------------------------------------------------------------------------------
inline constexpr uint32_t module_space_size = 0x10000;
using ModuleSpace = std::array<uint8_t, module_space_size>;

// Plain accessors; a value that would reach beyond the space is not stored (reads give 0).
void space_put_u16(ModuleSpace& space, uint32_t offset, uint16_t value);
void space_put_u32(ModuleSpace& space, uint32_t offset, uint32_t value);
uint16_t space_get_u16(const ModuleSpace& space, uint32_t offset);
uint32_t space_get_u32(const ModuleSpace& space, uint32_t offset);
// The handshake values: module version at 0x3304, signature and simulator version at 0x3308.
void space_install_handshake(ModuleSpace& space, uint32_t module_version, uint16_t sim_version);

// ---------------------------------------------------------------------------------------------
// Carrying out a request block
// ---------------------------------------------------------------------------------------------
struct BlockOutcome {
    uint32_t answer = 0;        // 1 when every request up to the end marker was carried out, else 0
    uint32_t reads = 0;         // reads carried out
    uint32_t writes = 0;        // writes carried out
    uint32_t end_position = 0;  // where the walk stopped (the end marker or the bad request)
    uint32_t client_version = 0;  // the 2 bytes a client wrote at 0x330A in this block, else 0
};

// Carries out the requests from byte 0 up to the end marker. A request whose header or data
// would reach beyond the block, whose simulator range would reach beyond the space, or whose
// kind is unknown stops the walk with answer 0 (the requests before it stay carried out). Writes
// never change the handshake words 0x3304..0x330B (the 2 bytes at 0x330A are the client's
// version, reported in the outcome, not the signature that later clients read). Each
// header field is read from the block exactly once, so a client that rewrites the block
// meanwhile cannot steer a copy out of bounds.
BlockOutcome serve_request_block(std::span<uint8_t> block, ModuleSpace& space);

// The message id that every process derives from a registered message name on this machine's
// stand-in (see docs/transport.md): 0xC000 + FNV-1a of the upper-cased name, modulo 0x4000.
// 0 for an empty name or one longer than 255 bytes.
uint32_t stand_in_message_id(const char* name);

// ---------------------------------------------------------------------------------------------
// A module's end of the link: announces one window class and answers the clients' messages with
// their blocks. module_posix.cpp over the stand-in transport (clients of the same user only);
// module_win32.cpp with a hidden window of the class that opens each block by its atom's name.
// ---------------------------------------------------------------------------------------------
struct ModuleServer;

// Called once per message naming a known block; returns the answer, or nothing to leave the
// client waiting (a hung module).
using ModuleHandler = std::optional<uint32_t> (*)(void* context, std::span<uint8_t> block);

struct ModuleServerStats {
    uint64_t messages = 0;  // messages received
    uint64_t answers = 0;   // answers sent
    uint32_t clients = 0;   // connections open now
    uint32_t blocks = 0;    // request blocks mapped now
};

// Announces the class (in the namespace of set_ipc_namespace); null when another module already
// serves it or the socket cannot be made.
ModuleServer* open_module_server(const char* window_class);
// Waits at most timeout_ms for traffic and handles everything that is ready. watch_fds (up to
// 8; POSIX only, empty on Windows) are polled as well; returns a bit mask of those readable, or -1
// on a failed wait (on Windows also once the module's window was asked to close).
int serve_module_events(ModuleServer* server, int timeout_ms, std::span<const int> watch_fds,
                        ModuleHandler handler, void* context);
ModuleServerStats module_server_stats(const ModuleServer* server);
// Withdraws the class, drops every client and unmaps every block.
void close_module_server(ModuleServer* server);

}  // namespace korvalis
