// korvalis-fgbridge: the simulator's interface module for FlightGear on this machine. It listens
// for FlightGear's generic-protocol lines on a UDP port of 127.0.0.1, keeps the latest good values
// in a 64 KiB space with the handshake words, and announces the window class over the stand-in
// transport (docs/transport.md) only while lines keep arriving. Start reading at main().
//
// Required for: the UDP socket (sys/socket.h, netinet/in.h, arpa/inet.h), waiting while
// withdrawn (poll.h), signals (signal.h), the signal pipe (fcntl.h, unistd.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "tools/common/tool_support.h"
#include "tools/fgbridge/fgbridge.h"

namespace {

using namespace korvalis;

constexpr uint32_t module_version = 0x40000000;  // the same handshake as korvalis-sim
constexpr uint16_t sim_version = 14;
constexpr int64_t open_retry_ms = 1000;  // another module holds the class: try again
constexpr int datagrams_per_turn = 64;   // so a flood cannot starve the clients

// Everything the bridge is and does; one instance.
struct Bridge {
    std::string window_class = primary_window_class;
    uint16_t port = fg_default_port;
    double fallback_max_kt = 0;  // for aircraft without /limits/vne
    bool quiet = false;

    int udp_fd = -1;
    ModuleServer* server = nullptr;  // null while withdrawn
    ModuleSpace space{};
    Presence presence;
    int64_t next_open_ms = 0;  // when to try announcing again after a refusal
    bool open_refused_reported = false;

    FgPacket latest;        // the last packet that parsed
    ModuleValues values;    // what the space holds
    uint64_t packets = 0;   // good packets
    uint64_t rejected = 0;  // datagrams that were not ours
    uint64_t exchanges = 0;
};

Bridge bridge;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::optional<uint32_t> handle_block(void*, std::span<uint8_t> block) {
    ++bridge.exchanges;
    return serve_request_block(block, bridge.space).answer;
}

// The UDP socket on 127.0.0.1 only: FlightGear runs on the same machine, and nothing from the
// network should be able to move the needles. Returns the port bound, or 0.
uint16_t open_udp(uint16_t port) {
    bridge.udp_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (bridge.udp_fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(bridge.udp_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    socklen_t length = sizeof address;
    if (getsockname(bridge.udp_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// Reads what has arrived. Only a datagram that parses as a whole changes a value or counts as
// a sign of life; oversized ones are measured with MSG_TRUNC and refused.
void receive_datagrams() {
    char buffer[fg_max_packet_size + 1];
    for (int i = 0; i < datagrams_per_turn; ++i) {
        const ssize_t got = recv(bridge.udp_fd, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT);
        if (got < 0) return;  // drained (or an error the next poll reports again)
        if (static_cast<size_t>(got) > fg_max_packet_size) {
            ++bridge.rejected;
            continue;
        }
        const std::optional<FgPacket> packet =
            parse_fg_packet(std::span<const char>(buffer, static_cast<size_t>(got)));
        if (!packet.has_value()) {
            ++bridge.rejected;
            continue;
        }
        bridge.latest = *packet;
        bridge.values = module_values_from(*packet, bridge.fallback_max_kt);
        space_put_values(bridge.space, bridge.values);
        presence_on_packet(bridge.presence, now_ms());
        ++bridge.packets;
    }
}

void say(const char* text) {
    std::printf("korvalis-fgbridge: %s\n", text);
    std::fflush(stdout);
}

// Announces the class while FlightGear streams and withdraws it after a silence, so that the
// instrument sees exactly what it would see of a simulator that starts and quits.
void follow_the_simulator() {
    const int64_t now = now_ms();
    const bool alive = presence_alive(bridge.presence, now);
    if (alive && bridge.server == nullptr && now >= bridge.next_open_ms) {
        bridge.server = open_module_server(bridge.window_class.c_str());
        if (bridge.server != nullptr) {
            const std::string line = "serving " + bridge.window_class;
            say(line.c_str());
            bridge.open_refused_reported = false;
        } else {
            bridge.next_open_ms = now + open_retry_ms;
            if (!bridge.open_refused_reported) {
                std::fprintf(stderr,
                             "korvalis-fgbridge: cannot serve class %s (another module serves "
                             "it?); trying again every second\n",
                             bridge.window_class.c_str());
                bridge.open_refused_reported = true;
            }
        }
    } else if (!alive && bridge.server != nullptr) {
        close_module_server(bridge.server);  // clients see the module vanish
        bridge.server = nullptr;
        say("withdrawn: no packet from FlightGear");
    }
}

// How long the next wait may last without missing a withdrawal or a retry.
int wait_ms() {
    const int64_t now = now_ms();
    int64_t wait = 1000;
    if (bridge.server != nullptr) {
        wait = std::min(wait, presence_ms_left(bridge.presence, now));
    } else if (presence_alive(bridge.presence, now)) {
        wait = std::min(wait, std::max<int64_t>(0, bridge.next_open_ms - now));
    }
    return static_cast<int>(std::clamp<int64_t>(wait, 1, 1000));
}

// Waits for FlightGear, the clients and the signals; false on a failed wait.
bool serve_one_turn() {
    const int watch[2] = {stop_signal_fd(), bridge.udp_fd};
    int ready = 0;
    if (bridge.server != nullptr) {
        ready = serve_module_events(bridge.server, wait_ms(), watch, handle_block, nullptr);
        if (ready < 0) return false;
    } else {
        pollfd fds[2] = {{watch[0], POLLIN, 0}, {watch[1], POLLIN, 0}};
        const int count = poll(fds, 2, wait_ms());
        if (count < 0) return errno == EINTR;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents != 0) ready |= 1 << i;
        }
    }
    if ((ready & 2) != 0) receive_datagrams();
    return true;
}

void print_status(double rate) {
    if (bridge.quiet) return;
    const bool terminal = isatty(STDERR_FILENO) != 0;
    std::fprintf(stderr,
                 "%skorvalis-fgbridge %s: %4.0f packets/s  ias %6.1f kt  max %6.1f kt  lights "
                 "0x%04X  rejected %llu  clients %u%s",
                 terminal ? "\r" : "", bridge.server != nullptr ? "serving" : "waiting", rate,
                 bridge.values.airspeed_raw / 128.0, bridge.values.max_speed_raw / 128.0,
                 bridge.values.lights, static_cast<unsigned long long>(bridge.rejected),
                 module_server_stats(bridge.server).clients, terminal ? "" : "\n");
    std::fflush(stderr);
}

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: korvalis-fgbridge [options]\n"
        "Serves the simulator IPC protocol with values that FlightGear streams to it, while it\n"
        "streams. Start FlightGear with\n"
        "  --generic=socket,out,20,127.0.0.1,%u,udp,korvalis\n"
        "and korvalis.xml in $FG_ROOT/Protocol/ (see docs/flightgear.md).\n"
        "  --port N             UDP port on 127.0.0.1 to listen on (%u; 0 = any free one)\n"
        "  --max-fallback KT    maximum allowable speed for aircraft without /limits/vne\n"
        "                       (0: that needle rests straight up, off the scale)\n"
        "  --silence MS         withdraw after this long without a packet (%lld)\n"
        "  --class NAME         window class to announce (UIPCMAIN; or FS98MAIN)\n"
        "  --namespace WORD     serve a private namespace (tests)\n"
        "  --quiet              no status line\n",
        fg_default_port, fg_default_port, static_cast<long long>(fg_default_silence_ms));
}

// Returns false (after a message) on a bad command line.
bool parse_arguments(int argc, char** argv, std::string& ns) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto takes_value = [&]() {
            if (value == nullptr) return false;
            ++i;
            return true;
        };
        double number = 0;
        uint64_t whole = 0;
        bool ok = true;
        if (option == "--help" || option == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (option == "--quiet") {
            bridge.quiet = true;
        } else if (option == "--port") {
            ok = takes_value() && parse_unsigned(value, 65535, &whole);
            bridge.port = static_cast<uint16_t>(whole);
        } else if (option == "--max-fallback") {
            ok = takes_value() && parse_number(value, &number) && number >= 0 && number <= 1e6;
            bridge.fallback_max_kt = number;
        } else if (option == "--silence") {
            ok = takes_value() && parse_unsigned(value, 600000, &whole) && whole >= 100;
            bridge.presence.silence_ms = static_cast<int64_t>(whole);
        } else if (option == "--class") {
            ok = takes_value();
            if (ok) bridge.window_class = value;
        } else if (option == "--namespace") {
            ok = takes_value();
            if (ok) ns = value;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "korvalis-fgbridge: bad option or value: %s\n", option.c_str());
            usage(stderr);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string ns;
    if (!parse_arguments(argc, argv, ns)) return 2;
    set_ipc_namespace(ns.c_str());

    if (!install_stop_signals()) return 1;

    space_install_handshake(bridge.space, module_version, sim_version);
    const uint16_t port = open_udp(bridge.port);
    if (port == 0) {
        std::fprintf(stderr, "korvalis-fgbridge: cannot listen on 127.0.0.1:%u: %s\n", bridge.port,
                     std::strerror(errno));
        return 1;
    }
    std::printf("korvalis-fgbridge: listening on 127.0.0.1:%u\n", port);
    std::fflush(stdout);

    int64_t status_time = now_ms();
    uint64_t status_packets = 0;
    while (stop_signal == 0) {
        follow_the_simulator();
        if (!serve_one_turn()) break;
        const int64_t now = now_ms();
        if (now - status_time >= 1000) {
            print_status(static_cast<double>(bridge.packets - status_packets) * 1000.0 /
                         static_cast<double>(now - status_time));
            status_time = now;
            status_packets = bridge.packets;
        }
    }
    if (!bridge.quiet && isatty(STDERR_FILENO)) std::fputc('\n', stderr);
    close_module_server(bridge.server);  // the class is withdrawn and every block unmapped
    close(bridge.udp_fd);
    return 0;
}
