// What the stand-in modules (korvalis-sim, korvalis-fgbridge) share besides the module code:
// strict parsing of option values, and ending cleanly on SIGINT and SIGTERM.
#pragma once

#include <cstdint>

#ifndef _WIN32
#include <csignal>
#endif

namespace korvalis {

bool parse_number(const char* text, double* out);  // the whole text, a finite decimal number
// The whole text: decimal, or hexadecimal after "0x"; no sign, at most limit.
bool parse_unsigned(const char* text, uint64_t limit, uint64_t* out);

#ifndef _WIN32
// SIGINT and SIGTERM are recorded in stop_signal and make stop_signal_fd() readable, so a poll
// loop wakes at once; SIGPIPE is ignored. False when the self-pipe cannot be made.
bool install_stop_signals();
int stop_signal_fd();
extern volatile sig_atomic_t stop_signal;
#endif

}  // namespace korvalis
