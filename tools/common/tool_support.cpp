// Option parsing and signal handling shared by the stand-in modules.
#include "tools/common/tool_support.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvalis {

bool parse_number(const char* text, double* out) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value)) return false;
    *out = value;
    return true;
}

bool parse_unsigned(const char* text, uint64_t limit, uint64_t* out) {
    if (*text == '-' || *text == '+' || *text == '\0') return false;
    // Leading zeros stay decimal: only an explicit 0x means hexadecimal.
    const bool hexadecimal = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, hexadecimal ? 16 : 10);
    if (end == text || *end != '\0' || errno != 0 || value > limit) return false;
    *out = value;
    return true;
}

#ifndef _WIN32

volatile sig_atomic_t stop_signal = 0;

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int number) {
    stop_signal = number;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
}

}  // namespace

bool install_stop_signals() {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int stop_signal_fd() {
    return signal_pipe[0];
}

#endif

}  // namespace korvalis
