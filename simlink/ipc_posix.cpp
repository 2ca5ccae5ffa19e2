// The inter-process services on this machine: a stand-in for the Win32 calls the client relies
// on, built on an abstract SOCK_SEQPACKET Unix socket per window class and POSIX shared memory.
// docs/transport.md describes every byte. The shape follows Win32 closely on purpose: window
// handles stop working when the module goes away, atoms are counted, the block is created
// exclusively under its name, and a failed send leaves a last error behind.
//
// Required for: sockets and peer credentials (sys/socket.h, sys/un.h), shared memory (sys/mman.h,
// fcntl.h), waiting with a time-out (poll.h, time.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/posix_transport.h"

namespace korvalis {

namespace {

using namespace transport;

constexpr size_t max_connections = 4;  // one per window class in use
constexpr size_t max_atoms = 16;
constexpr size_t max_blocks = 16;
constexpr size_t told_capacity = 16;  // atoms a connection remembers having announced

// A POSIX error that has no Win32 counterpart: bit 29 marks application-defined codes there.
uint32_t errno_error(int error) {
    return 0x20000000u | static_cast<uint32_t>(error);
}

thread_local uint32_t last_error_value = 0;  // like GetLastError: one per thread
void set_error(uint32_t error) {
    last_error_value = error;
}

struct Atom {
    uint16_t value = 0;  // 0 = free slot
    uint32_t references = 0;
    uint64_t serial = 0;  // new for every creation, so a reused value is announced again
    char name[max_name_length + 1] = {};
};

struct Block {
    IpcMapping handle = 0;  // 0 = free slot
    int fd = -1;            // the object, whose name was unlinked right after creation
    uint32_t size = 0;
    char name[max_name_length + 1] = {};
};

struct Connection {
    IpcWindow handle = 0;  // 0 = free slot; never reused, like a window handle
    int fd = -1;
    char socket_name[sizeof(sockaddr_un::sun_path)] = {};
    size_t socket_name_length = 0;
    uint32_t next_seq = 0;
    int64_t receive_timeout_ms = -1;    // the socket's SO_RCVTIMEO as last set; -1 = none yet
    uint64_t told[told_capacity] = {};  // serials of the atoms this module has been told about
    size_t told_next = 0;
};

// The services' one state; touched only under the client's serialisation.
struct PosixIpc {
    Atom atoms[max_atoms];
    Block blocks[max_blocks];
    Connection connections[max_connections];
    uint64_t next_serial = 1;
    IpcWindow next_window = 1;
    IpcMapping next_mapping = 1;
};
PosixIpc ipc;

bool names_equal_ignoring_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void drop_connection(Connection& connection) {
    if (connection.fd >= 0) close(connection.fd);
    connection = Connection{};
}

Connection* connection_by_handle(IpcWindow handle) {
    if (handle == 0) return nullptr;
    for (Connection& c : ipc.connections) {
        if (c.handle == handle) return &c;
    }
    return nullptr;
}

// A connection is alive while the module has not closed its end. Late answers to sends that
// timed out are discarded here, so they never meet a later exchange.
bool connection_alive(Connection& connection) {
    for (;;) {
        pollfd p{connection.fd, POLLIN | POLLRDHUP, 0};
        if (poll(&p, 1, 0) < 0) return errno == EINTR;
        if (p.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) return false;
        if (!(p.revents & POLLIN)) return true;
        uint8_t discard[max_frame_size];
        const ssize_t got = recv(connection.fd, discard, sizeof discard, MSG_DONTWAIT);
        if (got == 0) return false;
        if (got < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
}

bool connection_told(const Connection& connection, uint64_t serial) {
    for (uint64_t told : connection.told) {
        if (told == serial) return true;
    }
    return false;
}

void forget_told(Connection& connection, uint64_t serial) {
    for (uint64_t& told : connection.told) {
        if (told == serial) told = 0;
    }
}

// Sends one frame before the deadline, with an optional descriptor. False with the last error
// set; a connection the module has closed is dropped.
bool send_frame(Connection& connection, const uint8_t* bytes, size_t length, int fd,
                int64_t deadline) {
    iovec io{const_cast<uint8_t*>(bytes), length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    }
    for (;;) {
        const ssize_t sent = sendmsg(connection.fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(length)) return true;
        if (sent >= 0) {  // a seqpacket frame goes whole or not at all
            set_error(errno_error(EMSGSIZE));
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {  // the module is not reading: wait for room until the deadline
            const int64_t remaining = deadline - now_ms();
            if (remaining <= 0) {
                set_error(ipc_error_timeout);
                return false;
            }
            pollfd p{connection.fd, POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(remaining)) < 0 && errno != EINTR) {
                set_error(errno_error(errno));
                return false;
            }
            continue;
        }
        const int error = errno;
        if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
            drop_connection(connection);
            set_error(ipc_error_invalid_window);
        } else {
            set_error(errno_error(error));
        }
        return false;
    }
}

// Sets the socket's receive time-out, once per value.
bool receive_timeout(Connection& connection, int64_t timeout_ms) {
    if (connection.receive_timeout_ms == timeout_ms) return true;
    timeval wait{static_cast<time_t>(timeout_ms / 1000),
                 static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
    if (setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) return false;
    connection.receive_timeout_ms = timeout_ms;
    return true;
}

// Tells the module, once per connection, the name behind an atom and hands it the block of that
// name, so the module never has to look the name up in a shared namespace.
bool announce_atom(Connection& connection, const Atom& atom, int64_t deadline) {
    uint8_t frame[max_frame_size];
    const size_t name_length = std::strlen(atom.name);
    wire::put_u32(frame, frame_atom);
    wire::put_u32(frame + 4, atom.value);
    wire::put_u32(frame + 8, static_cast<uint32_t>(name_length));
    std::memcpy(frame + atom_frame_header, atom.name, name_length);
    int fd = -1;
    for (const Block& block : ipc.blocks) {
        if (block.handle != 0 && std::strcmp(block.name, atom.name) == 0) fd = block.fd;
    }
    if (!send_frame(connection, frame, atom_frame_header + name_length, fd, deadline)) return false;
    connection.told[connection.told_next] = atom.serial;
    connection.told_next = (connection.told_next + 1) % told_capacity;
    return true;
}

// --- The services ---------------------------------------------------------------------------

IpcWindow posix_find_window(const char* class_name) {
    char name[sizeof(sockaddr_un::sun_path)];
    const size_t length = window_socket_name(class_name, name, sizeof name - 1);
    if (length == 0) {
        set_error(ipc_error_invalid_parameter);
        return 0;
    }
    for (Connection& c : ipc.connections) {
        if (c.handle != 0 && c.socket_name_length == length &&
            std::memcmp(c.socket_name, name, length) == 0) {
            if (connection_alive(c)) return c.handle;
            drop_connection(c);
        }
    }
    Connection* slot = nullptr;
    for (Connection& c : ipc.connections) {
        if (c.handle == 0) slot = &c;
    }
    if (slot == nullptr) {
        set_error(ipc_error_not_enough_memory);
        return 0;
    }

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        set_error(errno_error(errno));
        return 0;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, length);  // sun_path[0] = 0: the abstract namespace
    const auto address_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    int connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), address_length);
    while (connected != 0 && errno == EINTR) {
        connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), address_length);
    }
    // Abstract names have no permissions: only a module of our own user counts as a window.
    ucred peer{};
    socklen_t peer_length = sizeof peer;
    if (connected != 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) != 0 ||
        peer.uid != geteuid()) {
        close(fd);
        return 0;  // no window of that class, as far as this user can tell
    }
    // Connected without blocking (a full backlog is "no window"); from here on the socket blocks,
    // and every send says MSG_DONTWAIT itself.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        set_error(errno_error(errno));
        close(fd);
        return 0;
    }
    *slot = Connection{};
    slot->handle = ipc.next_window++;
    slot->fd = fd;
    std::memcpy(slot->socket_name, name, length);
    slot->socket_name_length = length;
    return slot->handle;
}

uint32_t posix_register_message(const char* name) {
    const uint32_t id = stand_in_message_id(name);
    if (id == 0) set_error(ipc_error_invalid_parameter);
    return id;
}

uint16_t posix_add_atom(const char* name) {
    const size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length == 0 || length > max_name_length) {
        set_error(ipc_error_invalid_parameter);
        return 0;
    }
    Atom* free_slot = nullptr;
    for (Atom& atom : ipc.atoms) {
        if (atom.value != 0 && names_equal_ignoring_case(atom.name, name)) {
            ++atom.references;
            return atom.value;
        }
        if (atom.value == 0 && free_slot == nullptr) free_slot = &atom;
    }
    if (free_slot == nullptr) {
        set_error(ipc_error_not_enough_memory);
        return 0;
    }
    free_slot->value = static_cast<uint16_t>(first_atom + (free_slot - ipc.atoms));
    free_slot->references = 1;
    free_slot->serial = ipc.next_serial++;
    std::memcpy(free_slot->name, name, length + 1);
    return free_slot->value;
}

void posix_delete_atom(uint16_t value) {
    for (Atom& atom : ipc.atoms) {
        if (atom.value != value || value == 0) continue;
        if (--atom.references != 0) return;
        // Let every module that knows the atom drop its block now; one that does not read it
        // drops it when the connection closes.
        uint8_t frame[forget_frame_size];
        wire::put_u32(frame, frame_forget);
        wire::put_u32(frame + 4, value);
        for (Connection& c : ipc.connections) {
            if (c.handle == 0 || !connection_told(c, atom.serial)) continue;
            forget_told(c, atom.serial);
            (void)send(c.fd, frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        atom = Atom{};
        return;
    }
}

IpcMapping posix_create_block(const char* name, uint32_t size) {
    const size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length == 0 || length >= max_name_length || std::strchr(name, '/') != nullptr ||
        size == 0) {
        set_error(ipc_error_invalid_parameter);
        return 0;
    }
    Block* slot = nullptr;
    for (Block& block : ipc.blocks) {
        if (block.handle == 0) slot = &block;
    }
    if (slot == nullptr) {
        set_error(ipc_error_not_enough_memory);
        return 0;
    }
    char path[max_name_length + 2];
    path[0] = '/';
    std::memcpy(path + 1, name, length + 1);
    const int fd = shm_open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        set_error(errno == EEXIST ? ipc_error_already_exists : errno_error(errno));
        return 0;
    }
    if (ftruncate(fd, size) != 0) {
        const int error = errno;
        shm_unlink(path);
        close(fd);
        set_error(errno_error(error));
        return 0;
    }
    // The name has done its work (it was ours alone); from here on a crash leaves nothing behind.
    // The module receives the object itself over its connection.
    shm_unlink(path);
    slot->handle = ipc.next_mapping++;
    slot->fd = fd;
    slot->size = size;
    std::memcpy(slot->name, name, length + 1);
    set_error(ipc_error_none);
    return slot->handle;
}

void* posix_map_block(IpcMapping mapping, uint32_t size) {
    for (const Block& block : ipc.blocks) {
        if (block.handle != mapping || mapping == 0) continue;
        if (size == 0 || size > block.size) break;
        void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, block.fd, 0);
        if (base == MAP_FAILED) {
            set_error(errno_error(errno));
            return nullptr;
        }
        return base;
    }
    set_error(ipc_error_invalid_parameter);
    return nullptr;
}

void posix_unmap_block(void* base, uint32_t size) {
    if (base != nullptr) munmap(base, size);
}

void posix_close_block(IpcMapping mapping) {
    for (Block& block : ipc.blocks) {
        if (block.handle != mapping || mapping == 0) continue;
        close(block.fd);
        block = Block{};
        return;
    }
}

bool posix_send_message(IpcWindow window, uint32_t message, uint32_t wparam, uint32_t lparam,
                        uint32_t timeout_ms, uint32_t* answer) {
    Connection* connection = connection_by_handle(window);
    if (connection == nullptr) {
        set_error(ipc_error_invalid_window);
        return false;
    }
    const int64_t deadline = now_ms() + timeout_ms;
    for (const Atom& atom : ipc.atoms) {
        if (atom.value == 0 || atom.value != wparam) continue;
        if (!connection_told(*connection, atom.serial) &&
            !announce_atom(*connection, atom, deadline)) {
            return false;
        }
    }

    uint32_t seq = ++connection->next_seq;
    if (seq == 0) seq = ++connection->next_seq;
    uint8_t frame[send_frame_size];
    wire::put_u32(frame, frame_send);
    wire::put_u32(frame + 4, seq);
    wire::put_u32(frame + 8, message);
    wire::put_u32(frame + 12, wparam);
    wire::put_u32(frame + 16, lparam);
    if (!send_frame(*connection, frame, sizeof frame, -1, deadline)) return false;

    bool first_wait = true;
    for (;;) {
        const int64_t remaining = deadline - now_ms();
        if (remaining <= 0) {
            set_error(ipc_error_timeout);
            return false;
        }
        uint8_t reply[max_frame_size];
        ssize_t got = -1;
        if (first_wait && remaining + 1 >= timeout_ms && receive_timeout(*connection, timeout_ms)) {
            // The usual case: one blocking receive, bounded by the socket's receive time-out.
            got = recv(connection->fd, reply, sizeof reply, 0);
        } else {
            // After a late answer or a slow send: wait for what is left of the time-out.
            pollfd p{connection->fd, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(remaining));
            if (ready < 0 && errno != EINTR) {
                set_error(errno_error(errno));
                return false;
            }
            if (ready <= 0) continue;  // the deadline check above reports the time-out
            got = recv(connection->fd, reply, sizeof reply, MSG_DONTWAIT);
        }
        first_wait = false;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (got <= 0) {  // the module closed its end, or the connection broke
            drop_connection(*connection);
            set_error(ipc_error_invalid_window);
            return false;
        }
        // Anything but the answer to this send is a late answer or noise: skip it.
        if (static_cast<size_t>(got) != answer_frame_size || wire::get_u32(reply) != frame_answer ||
            wire::get_u32(reply + 4) != seq) {
            continue;
        }
        if (answer != nullptr) *answer = wire::get_u32(reply + 8);
        return true;
    }
}

uint32_t posix_last_error() {
    return last_error_value;
}

void posix_sleep_ms(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

uint32_t posix_process_id() {
    return static_cast<uint32_t>(getpid());
}

constexpr IpcServices posix_services{
    posix_find_window,  posix_register_message, posix_add_atom,    posix_delete_atom,
    posix_create_block, posix_map_block,        posix_unmap_block, posix_close_block,
    posix_send_message, posix_last_error,       posix_sleep_ms,    posix_process_id,
};

}  // namespace

const IpcServices& platform_ipc_services() {
    return posix_services;
}

}  // namespace korvalis
