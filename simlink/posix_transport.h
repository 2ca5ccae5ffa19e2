// The wire of this machine's stand-in transport, shared by the client's services (ipc_posix.cpp)
// and a module's end (module_posix.cpp). docs/transport.md describes the same bytes for someone
// writing a module in another language. Platform-neutral on purpose: only numbers and names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simlink/module.h"

namespace korvalis::transport {

// Frames travel over a SOCK_SEQPACKET Unix socket, one frame per packet; every field is a
// 32-bit little-endian integer.
inline constexpr uint32_t frame_atom = 1;    // client -> module: atom, name length, name; + fd
inline constexpr uint32_t frame_send = 2;    // client -> module: seq, message, wparam, lparam
inline constexpr uint32_t frame_forget = 3;  // client -> module: atom
inline constexpr uint32_t frame_answer = 4;  // module -> client: seq, answer

inline constexpr size_t atom_frame_header = 12;  // type, atom, name length; then the name
inline constexpr size_t send_frame_size = 20;
inline constexpr size_t forget_frame_size = 8;
inline constexpr size_t answer_frame_size = 12;
inline constexpr size_t max_name_length = 255;  // atom names and registered message names
inline constexpr size_t max_frame_size = atom_frame_header + max_name_length;

inline constexpr size_t max_class_length = 64;  // window class names
inline constexpr uint16_t first_atom = 0xC000;  // string atoms live in 0xC000..0xFFFF

// The abstract socket name (without its leading NUL) under which a module announces a window
// class: "korvalis-ipc/" [namespace "/"] CLASS, the class upper-cased because class names are
// compared without regard to case. Returns the length written, or 0 for an unusable class
// (empty, too long, or holding '/' or a control character) or too small a buffer.
size_t window_socket_name(const char* window_class, char* out, size_t capacity);

}  // namespace korvalis::transport
