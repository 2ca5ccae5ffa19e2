// korvalis-sim: a stand-in for the simulator's interface module on this machine. It announces a
// window class over the stand-in transport (docs/transport.md), holds a 64 KiB space of simulator
// variables with the handshake values, and serves the instrument's three values: by default a
// flight profile that sweeps the whole dial, or fixed values, or values read from standard input.
// Fault modes make it misbehave the ways a real module can. On Windows it is a real module: a
// hidden window of the class answers the registered message (simlink/module_win32.cpp). Start
// reading at main().
#ifdef _WIN32
#define NOMINMAX
#include <windows.h>

#include <io.h>

#include <atomic>
#include <csignal>
#include <mutex>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "tools/common/tool_support.h"

namespace {

using namespace korvalis;

constexpr double pi = 3.14159265358979323846;
// A busy module: slow enough to hold the client's lock for almost a whole time-out, quick enough
// that every exchange still succeeds.
constexpr auto late_answer = std::chrono::milliseconds(1900);

enum class Fault {
    none,
    refuse,               // answers 0
    silent,               // never answers
    late,                 // answers every exchange 1.9 s late, just inside the client's 2 s
    bad_version,          // module version below the minimum
    bad_signature,        // no 0xFADE at 0x3308
    garbage_kind,         // an unknown kind over the last request after serving
    garbage_length,       // a huge length over the last request after serving
    garbage_destination,  // every read's destination field scrambled after serving
};

struct FaultName {
    const char* name;
    Fault fault;
};
constexpr FaultName fault_names[] = {
    {"none", Fault::none},
    {"refuse", Fault::refuse},
    {"silent", Fault::silent},
    {"late", Fault::late},
    {"bad-version", Fault::bad_version},
    {"bad-signature", Fault::bad_signature},
    {"garbage-kind", Fault::garbage_kind},
    {"garbage-length", Fault::garbage_length},
    {"garbage-destination", Fault::garbage_destination},
};

// Everything the simulator is and does; one instance.
struct Simulator {
    std::string window_class = primary_window_class;
    uint32_t module_version = 0x40000000;  // comfortably above the minimum
    uint16_t sim_version = 14;
    double period_s = 40.0;           // one sweep of the airspeed, up and down
    std::optional<double> fixed_ias;  // knots
    std::optional<double> fixed_max;  // knots
    std::optional<uint16_t> fixed_lights;
    bool read_stdin = false;
    bool quiet = false;
    Fault fault = Fault::none;
    std::optional<uint64_t> stop_after;  // exchanges answered before going silent

    ModuleSpace space{};
    uint64_t exchanges = 0;  // answered
    double ias = 0, max = 0;
    uint16_t lights = 0;
};

Simulator sim;
#ifdef _WIN32
// Ctrl+C and friends arrive on a thread of their own; the loop looks every 10 ms.
std::atomic<int> stop_signal{0};

BOOL WINAPI on_console_event(DWORD) {
    stop_signal = SIGTERM;
    return TRUE;
}
#endif

int32_t raw_from_knots(double knots) {
    const double raw = std::nearbyint(knots * 128.0);
    if (raw > 2147483647.0) return INT32_MAX;
    if (raw < -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(raw);
}

void install_handshake() {
    const uint32_t version =
        sim.fault == Fault::bad_version ? minimum_module_version - 1 : sim.module_version;
    space_install_handshake(sim.space, version, sim.sim_version);
    if (sim.fault == Fault::bad_signature) {
        space_put_u32(sim.space, handshake_sim_word_offset, 0xFADFu << 16 | sim.sim_version);
    }
}

// The flight: the airspeed swings smoothly from 0 through 300 kt and back, the maximum speed
// drifts slowly as it would with altitude, and the panel lights switch every five seconds.
void fly(double t) {
    sim.ias = sim.fixed_ias.value_or(155.0 * (1.0 - std::cos(2.0 * pi * t / sim.period_s)));
    sim.max = sim.fixed_max.value_or(260.0 + 30.0 * std::sin(2.0 * pi * t / 150.0));
    sim.lights = sim.fixed_lights.value_or(static_cast<int64_t>(t / 5.0) % 2 ? 0x20 : 0x00);
    space_put_u32(sim.space, airspeed_offset, static_cast<uint32_t>(raw_from_knots(sim.ias)));
    space_put_u32(sim.space, max_speed_offset, static_cast<uint32_t>(raw_from_knots(sim.max)));
    space_put_u16(sim.space, lights_offset, sim.lights);
}

// Start of the last request before the end marker, or nothing.
std::optional<uint32_t> last_request(std::span<uint8_t> block) {
    std::optional<uint32_t> last;
    uint64_t pos = 0;
    while (pos + read_header_size <= block.size()) {
        const uint32_t kind = wire::load_shared_u32(block.data() + pos);
        const uint32_t length = wire::load_shared_u32(block.data() + pos + 8);
        if (kind != request_kind_read && kind != request_kind_write) break;
        last = static_cast<uint32_t>(pos);
        pos += (kind == request_kind_read ? read_header_size : write_header_size) +
               static_cast<uint64_t>(length);
    }
    return last;
}

void scramble_destinations(std::span<uint8_t> block) {
    uint64_t pos = 0;
    while (pos + read_header_size <= block.size()) {
        const uint32_t kind = wire::load_shared_u32(block.data() + pos);
        const uint32_t length = wire::load_shared_u32(block.data() + pos + 8);
        if (kind == request_kind_read) {
            wire::store_shared_u32(block.data() + pos + 12,
                                   0xDEADBEEF ^ static_cast<uint32_t>(pos));
        } else if (kind != request_kind_write) {
            break;
        }
        pos += (kind == request_kind_read ? read_header_size : write_header_size) +
               static_cast<uint64_t>(length);
    }
}

std::optional<uint32_t> handle_block(void*, std::span<uint8_t> block) {
    if (sim.stop_after.has_value() && sim.exchanges >= *sim.stop_after) return std::nullopt;
    if (sim.fault == Fault::silent) return std::nullopt;
    if (sim.fault == Fault::refuse) {
        ++sim.exchanges;
        return 0;
    }
    if (sim.fault == Fault::late) std::this_thread::sleep_for(late_answer);
    const std::optional<uint32_t> last = last_request(block);
    const BlockOutcome outcome = serve_request_block(block, sim.space);
    if (last.has_value() && *last + 12 <= block.size()) {
        if (sim.fault == Fault::garbage_kind) wire::store_shared_u32(block.data() + *last, 0x4B56);
        if (sim.fault == Fault::garbage_length) {
            wire::store_shared_u32(block.data() + *last + 8, 0xFFFFFFF0u);
        }
    }
    if (sim.fault == Fault::garbage_destination) scramble_destinations(block);
    ++sim.exchanges;
    return outcome.answer;
}

std::optional<Fault> parse_fault(const char* text) {
    for (const FaultName& f : fault_names) {
        if (std::strcmp(f.name, text) == 0) return f.fault;
    }
    return std::nullopt;
}

// One line of standard input: "name=value" tokens separated by blanks. See --help.
void apply_line(char* line) {
    for (char* token = std::strtok(line, " \t\r\n"); token != nullptr;
         token = std::strtok(nullptr, " \t\r\n")) {
        if (token[0] == '#') return;
        if (std::strcmp(token, "quit") == 0) {
            stop_signal = SIGTERM;
            return;
        }
        char* value = std::strchr(token, '=');
        bool ok = value != nullptr;
        if (ok) *value++ = '\0';
        double number = 0;
        uint64_t whole = 0;
        if (!ok) {
        } else if (std::strcmp(token, "ias") == 0 && (ok = parse_number(value, &number))) {
            sim.fixed_ias = number;
        } else if (std::strcmp(token, "max") == 0 && (ok = parse_number(value, &number))) {
            sim.fixed_max = number;
        } else if (std::strcmp(token, "lights") == 0 &&
                   (ok = parse_unsigned(value, 0xFFFF, &whole))) {
            sim.fixed_lights = static_cast<uint16_t>(whole);
        } else if (std::strcmp(token, "fault") == 0) {
            const std::optional<Fault> fault = parse_fault(value);
            ok = fault.has_value();
            if (ok) {
                sim.fault = *fault;
                install_handshake();
            }
        } else {
            ok = false;
        }
        if (!ok) std::fprintf(stderr, "korvalis-sim: ignored \"%s\"\n", token);
    }
}

// Takes one chunk of standard input (none at its end) and applies its whole lines; false at the
// end.
bool take_stdin_chunk(const char* chunk, size_t got, std::string& pending) {
    if (got == 0) {
        if (!pending.empty()) apply_line(pending.data());
        pending.clear();
        return false;
    }
    pending.append(chunk, got);
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        apply_line(line.data());
    }
    if (pending.size() > 4096) pending.clear();  // no line is that long; drop the noise
    return true;
}

#ifdef _WIN32
// A console or pipe cannot be waited for beside a message queue: a thread reads standard input
// with ReadFile (no C runtime lock, so the process can end while it waits) and the loop takes
// what it read.
struct StdinFeed {
    std::mutex lock;
    std::string chunks;
    bool ended = false;
};
StdinFeed stdin_feed;

void read_stdin_forever() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char chunk[1024];
    DWORD got = 0;
    while (input != nullptr && input != INVALID_HANDLE_VALUE &&
           ReadFile(input, chunk, sizeof chunk, &got, nullptr) != 0 && got > 0) {
        const std::lock_guard<std::mutex> guard(stdin_feed.lock);
        if (stdin_feed.chunks.size() < 65536) stdin_feed.chunks.append(chunk, got);
    }
    const std::lock_guard<std::mutex> guard(stdin_feed.lock);
    stdin_feed.ended = true;
}

// Applies what the reader has read so far; false once standard input has ended.
bool read_stdin_lines(std::string& pending) {
    std::string chunks;
    bool ended = false;
    {
        const std::lock_guard<std::mutex> guard(stdin_feed.lock);
        chunks.swap(stdin_feed.chunks);
        ended = stdin_feed.ended;
    }
    if (!chunks.empty()) take_stdin_chunk(chunks.data(), chunks.size(), pending);
    return ended ? take_stdin_chunk(nullptr, 0, pending) : true;
}
#else
// Reads what standard input has; false at its end.
bool read_stdin_lines(std::string& pending) {
    char chunk[1024];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    return take_stdin_chunk(chunk, static_cast<size_t>(got), pending);
}
#endif

void print_status(double rate, const ModuleServerStats& stats, bool final_line) {
    if (sim.quiet) return;
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    const bool terminal = isatty(STDERR_FILENO) != 0;
#endif
    std::fprintf(stderr,
                 "%skorvalis-sim %s: %6.0f exchanges/s  ias %6.1f kt  max %6.1f kt  "
                 "lights 0x%04X  clients %u%s",
                 terminal ? "\r" : "", sim.window_class.c_str(), rate, sim.ias, sim.max, sim.lights,
                 stats.clients, terminal && !final_line ? "" : "\n");
    std::fflush(stderr);
}

void usage(FILE* out) {
    std::fputs(
        "usage: korvalis-sim [options]\n"
        "Serves the simulator IPC protocol on this machine, as the simulator's interface module.\n"
        "  --class NAME          window class to announce (UIPCMAIN; or FS98MAIN)\n"
        "  --ias KNOTS           fixed indicated airspeed instead of the sweep\n"
        "  --max KNOTS           fixed maximum allowable speed\n"
        "  --lights WORD         fixed lights word (0x20 = panel lights)\n"
        "  --period SECONDS      one airspeed sweep up and down (40)\n"
        "  --stdin               read values from standard input, one line at a time:\n"
        "                        name=value tokens separated by blanks, e.g.\n"
        "                          ias=250.5 max=280 lights=0x20\n"
        "                          fault=silent\n"
        "                        names: ias, max (knots), lights (word), fault (mode);\n"
        "                        'quit' ends the simulator, '#' starts a comment\n"
        "  --fault MODE          none, refuse (answer 0), silent (never answer),\n"
        "                        late (answer each exchange 1.9 s late), bad-version,\n"
        "                        bad-signature, garbage-kind, garbage-length,\n"
        "                        garbage-destination\n"
        "  --stop-after N        stop answering after N exchanges\n"
        "  --sim-version N       simulator version in the handshake word (14)\n"
        "  --module-version N    module version at 0x3304 (0x40000000)\n"
        "  --namespace WORD      serve a private namespace (tests)\n"
        "  --quiet               no status line\n",
        out);
}

// Returns false (after a message) on a bad command line.
bool parse_arguments(int argc, char** argv, std::string& ns) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        uint64_t whole = 0;
        bool ok = true;
        auto takes_value = [&]() {
            if (value == nullptr) return false;
            ++i;
            return true;
        };
        if (option == "--help" || option == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (option == "--stdin") {
            sim.read_stdin = true;
        } else if (option == "--quiet") {
            sim.quiet = true;
        } else if (option == "--class") {
            ok = takes_value();
            if (ok) sim.window_class = value;
        } else if (option == "--namespace") {
            ok = takes_value();
            if (ok) ns = value;
        } else if (option == "--ias") {
            ok = takes_value() && parse_number(value, &number);
            sim.fixed_ias = number;
        } else if (option == "--max") {
            ok = takes_value() && parse_number(value, &number);
            sim.fixed_max = number;
        } else if (option == "--period") {
            ok = takes_value() && parse_number(value, &number) && number > 0;
            sim.period_s = number;
        } else if (option == "--lights") {
            ok = takes_value() && parse_unsigned(value, 0xFFFF, &whole);
            sim.fixed_lights = static_cast<uint16_t>(whole);
        } else if (option == "--sim-version") {
            ok = takes_value() && parse_unsigned(value, 0xFFFF, &whole);
            sim.sim_version = static_cast<uint16_t>(whole);
        } else if (option == "--module-version") {
            ok = takes_value() && parse_unsigned(value, 0xFFFFFFFF, &whole);
            sim.module_version = static_cast<uint32_t>(whole);
        } else if (option == "--stop-after") {
            ok = takes_value() && parse_unsigned(value, UINT64_MAX, &whole);
            sim.stop_after = whole;
        } else if (option == "--fault") {
            const std::optional<Fault> fault = takes_value() ? parse_fault(value) : std::nullopt;
            ok = fault.has_value();
            if (ok) sim.fault = *fault;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "korvalis-sim: bad option or value: %s\n", option.c_str());
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

#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    if (!install_stop_signals()) return 1;
#endif

    install_handshake();
    ModuleServer* server = open_module_server(sim.window_class.c_str());
    if (server == nullptr) {
        std::fprintf(stderr, "korvalis-sim: cannot serve class %s (another module serves it?)\n",
                     sim.window_class.c_str());
        return 1;
    }
    std::printf("korvalis-sim: serving %s\n", sim.window_class.c_str());
    std::fflush(stdout);

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto status_time = start;
    uint64_t status_exchanges = 0;
    bool stdin_open = sim.read_stdin;
    std::string pending;
#ifdef _WIN32
    if (stdin_open) std::thread(read_stdin_forever).detach();
#endif
    while (stop_signal == 0) {
        const double t = std::chrono::duration<double>(clock::now() - start).count();
        fly(t);
#ifdef _WIN32
        // The message queue is the only thing to wait for; the loop wakes every 10 ms for the
        // flight, the status line and what standard input brought.
        const int ready = serve_module_events(server, 10, {}, handle_block, nullptr);
        if (ready < 0) break;
        if (stdin_open) stdin_open = read_stdin_lines(pending);
#else
        int watch[2] = {stop_signal_fd(), STDIN_FILENO};
        const std::span<const int> watched(watch, stdin_open ? 2 : 1);
        const int ready = serve_module_events(server, 10, watched, handle_block, nullptr);
        if (ready < 0) break;
        if ((ready & 2) != 0) stdin_open = read_stdin_lines(pending);
#endif

        const auto now = clock::now();
        const double since = std::chrono::duration<double>(now - status_time).count();
        if (since >= 1.0) {
            print_status(static_cast<double>(sim.exchanges - status_exchanges) / since,
                         module_server_stats(server), false);
            status_time = now;
            status_exchanges = sim.exchanges;
        }
    }
    print_status(0, module_server_stats(server), true);
    close_module_server(server);  // the class is withdrawn and every block unmapped
    return 0;
}
