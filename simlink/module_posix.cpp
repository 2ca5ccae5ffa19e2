// A module's end of the stand-in transport: listens under a window class, accepts clients of the
// same user, keeps the request blocks they hand over and answers their messages through a
// handler. Single-threaded: the owner calls serve_module_events() in its own loop. Everything a
// client sends is checked, because a client may be wrong or hostile.
//
// Required for: sockets and peer credentials (sys/socket.h, sys/un.h), mapping the blocks
// (sys/mman.h, sys/stat.h), waiting (poll.h).
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/posix_transport.h"

namespace korvalis {

namespace {

using namespace transport;

constexpr size_t max_clients = 32;
constexpr size_t max_atoms_per_client = 8;
constexpr size_t max_watch = 8;
constexpr size_t frames_per_turn = 64;   // per client and call, so one client cannot starve others
constexpr size_t max_fds_per_frame = 8;  // more are refused by the kernel's truncation anyway

struct ClientBlock {
    uint32_t atom = 0;  // 0 = free slot
    int fd = -1;        // -1 when the client announced the atom without a block
    uint8_t* base = nullptr;
};

struct Client {
    int fd = -1;  // -1 = free slot
    ClientBlock blocks[max_atoms_per_client];
};

}  // namespace

struct ModuleServer {
    int listen_fd = -1;
    uint32_t message_id = 0;
    Client clients[max_clients];
    ModuleServerStats stats;
};

namespace {

void release_block(ModuleServer& server, ClientBlock& block) {
    if (block.base != nullptr) {
        munmap(block.base, request_block_size);
        --server.stats.blocks;
    }
    if (block.fd >= 0) close(block.fd);
    block = ClientBlock{};
}

void drop_client(ModuleServer& server, Client& client) {
    for (ClientBlock& block : client.blocks)
        release_block(server, block);
    if (client.fd >= 0) {
        close(client.fd);
        --server.stats.clients;
    }
    client = Client{};
}

ClientBlock* find_block(Client& client, uint32_t atom) {
    for (ClientBlock& block : client.blocks) {
        if (block.atom != 0 && block.atom == atom) return &block;
    }
    return nullptr;
}

// Maps a block only if it is exactly a request block: a smaller object would fault on access.
uint8_t* map_request_block(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != request_block_size) {
        return nullptr;
    }
    void* base = mmap(nullptr, request_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return base == MAP_FAILED ? nullptr : static_cast<uint8_t*>(base);
}

bool block_still_whole(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && info.st_size == request_block_size;
}

void accept_clients(ModuleServer& server) {
    for (;;) {
        const int fd = accept4(server.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN: all taken; anything else: try again at the next turn
        }
        ucred peer{};
        socklen_t peer_length = sizeof peer;
        Client* slot = nullptr;
        for (Client& c : server.clients) {
            if (c.fd < 0) slot = &c;
        }
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) != 0 ||
            peer.uid != geteuid() || slot == nullptr) {
            close(fd);
            continue;
        }
        slot->fd = fd;
        ++server.stats.clients;
    }
}

void answer(ModuleServer& server, Client& client, uint32_t seq, uint32_t value) {
    uint8_t frame[answer_frame_size];
    wire::put_u32(frame, frame_answer);
    wire::put_u32(frame + 4, seq);
    wire::put_u32(frame + 8, value);
    // A client that does not read its answers times out on its own; never wait for it here.
    if (send(client.fd, frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL) ==
        static_cast<ssize_t>(sizeof frame)) {
        ++server.stats.answers;
    }
}

// Takes the descriptor (sets it to -1) when it keeps it.
void on_atom(ModuleServer& server, Client& client, const uint8_t* frame, size_t length, int& fd) {
    if (length < atom_frame_header) return;
    const uint32_t atom = wire::get_u32(frame + 4);
    const uint32_t name_length = wire::get_u32(frame + 8);
    if (atom == 0 || name_length == 0 || name_length > max_name_length ||
        length != atom_frame_header + name_length) {
        return;
    }
    ClientBlock* block = find_block(client, atom);
    if (block != nullptr) release_block(server, *block);  // a reused atom value names a new block
    for (ClientBlock& b : client.blocks) {
        if (block == nullptr && b.atom == 0) block = &b;
    }
    if (block == nullptr) return;
    block->atom = atom;
    if (fd < 0) return;
    block->base = map_request_block(fd);
    if (block->base == nullptr) return;  // known atom, no usable block: its messages get 0
    block->fd = fd;
    fd = -1;
    ++server.stats.blocks;
}

void on_send(ModuleServer& server, Client& client, const uint8_t* frame, size_t length,
             ModuleHandler handler, void* context) {
    if (length != send_frame_size) return;
    ++server.stats.messages;
    const uint32_t seq = wire::get_u32(frame + 4);
    const uint32_t message = wire::get_u32(frame + 8);
    const uint32_t wparam = wire::get_u32(frame + 12);
    // An unknown message gets what a window's default handling gives: 0.
    ClientBlock* block = message == server.message_id ? find_block(client, wparam) : nullptr;
    if (block == nullptr || block->base == nullptr || !block_still_whole(block->fd)) {
        answer(server, client, seq, 0);
        return;
    }
    const std::optional<uint32_t> result =
        handler(context, std::span<uint8_t>(block->base, request_block_size));
    if (result.has_value()) answer(server, client, seq, *result);
}

// Reads what the client has sent; false when the client is gone or has to go.
bool serve_client(ModuleServer& server, Client& client, ModuleHandler handler, void* context) {
    for (size_t turn = 0; turn < frames_per_turn; ++turn) {
        uint8_t frame[max_frame_size + 1];  // one spare byte tells an oversized frame apart
        iovec io{frame, sizeof frame};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * max_fds_per_frame)];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(client.fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        if (got == 0) return false;

        // Collect every descriptor that came along; only an atom frame may keep one.
        int fds[max_fds_per_frame];
        size_t fd_count = 0;
        for (cmsghdr* h = CMSG_FIRSTHDR(&message); h != nullptr; h = CMSG_NXTHDR(&message, h)) {
            if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS) continue;
            const size_t n = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < n; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(h) + i * sizeof(int), sizeof(int));
                if (fd_count < max_fds_per_frame) {
                    fds[fd_count++] = fd;
                } else {
                    close(fd);
                }
            }
        }

        const auto length = static_cast<size_t>(got);
        bool handled_send = false;
        const uint32_t type = length >= 4 ? wire::get_u32(frame) : 0;
        if ((message.msg_flags & MSG_TRUNC) == 0) {
            if (type == frame_atom) {
                int none = -1;
                on_atom(server, client, frame, length, fd_count == 1 ? fds[0] : none);
            } else if (type == frame_send) {
                on_send(server, client, frame, length, handler, context);
                handled_send = true;
            } else if (type == frame_forget && length == forget_frame_size) {
                ClientBlock* block = find_block(client, wire::get_u32(frame + 4));
                if (block != nullptr) release_block(server, *block);
            }
        }
        for (size_t i = 0; i < fd_count; ++i) {
            if (fds[i] >= 0) close(fds[i]);
        }
        if (client.fd < 0) return false;
        // A client waits for its answer before it sends again, so after a send there is rarely
        // more to read: leave it to the next wait instead of asking the socket once more.
        if (handled_send) return true;
    }
    return true;
}

}  // namespace

ModuleServer* open_module_server(const char* window_class) {
    char name[sizeof(sockaddr_un::sun_path)];
    const size_t length = window_socket_name(window_class, name, sizeof name - 1);
    if (length == 0) return nullptr;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, length);
    const auto address_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), address_length) != 0 ||
        listen(fd, 16) != 0) {
        close(fd);
        return nullptr;
    }
    auto* server = new (std::nothrow) ModuleServer;
    if (server == nullptr) {
        close(fd);
        return nullptr;
    }
    server->listen_fd = fd;
    server->message_id = stand_in_message_id(ipc_message_name);
    return server;
}

int serve_module_events(ModuleServer* server, int timeout_ms, std::span<const int> watch_fds,
                        ModuleHandler handler, void* context) {
    if (server == nullptr || handler == nullptr || watch_fds.size() > max_watch) return -1;
    pollfd fds[1 + max_clients + max_watch];
    size_t count = 0;
    fds[count++] = pollfd{server->listen_fd, POLLIN, 0};
    Client* owners[max_clients];
    size_t client_count = 0;
    for (Client& c : server->clients) {
        if (c.fd < 0) continue;
        owners[client_count++] = &c;
        fds[count++] = pollfd{c.fd, POLLIN, 0};
    }
    const size_t watch_start = count;
    for (int fd : watch_fds)
        fds[count++] = pollfd{fd, POLLIN, 0};

    const int ready = poll(fds, count, timeout_ms);
    if (ready < 0) return errno == EINTR ? 0 : -1;

    if (fds[0].revents & POLLIN) accept_clients(*server);
    for (size_t i = 0; i < client_count; ++i) {
        const short events = fds[1 + i].revents;
        if (events == 0) continue;
        Client& client = *owners[i];
        const bool keep =
            (events & POLLIN) ? serve_client(*server, client, handler, context) : false;
        if (!keep && client.fd >= 0) drop_client(*server, client);
    }
    int mask = 0;
    for (size_t i = 0; i < watch_fds.size(); ++i) {
        if (fds[watch_start + i].revents & (POLLIN | POLLHUP | POLLERR)) mask |= 1 << i;
    }
    return mask;
}

ModuleServerStats module_server_stats(const ModuleServer* server) {
    return server != nullptr ? server->stats : ModuleServerStats{};
}

void close_module_server(ModuleServer* server) {
    if (server == nullptr) return;
    for (Client& c : server->clients)
        drop_client(*server, c);
    if (server->listen_fd >= 0) close(server->listen_fd);
    delete server;
}

}  // namespace korvalis
