// A tool (korvalis-sim, korvalis-fgbridge) as a child process of a test or a benchmark: its
// standard output, and optionally its standard input, on pipes; its lines read with a time-out;
// always ended (SIGTERM, then SIGKILL) when the owner lets go of it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace korvalis::testing {

enum class ChildInput { inherited, piped };

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { stop(); }

    // Runs args[0] with args (ending whatever ran before). False when it could not be started.
    bool start(const std::vector<std::string>& args, ChildInput input);
    // The next line it prints, without its end, or "" after timeout_ms or at its end of output.
    std::string read_line(int timeout_ms);
    // Writes these bytes to its standard input; false when they did not all go.
    bool send(std::string_view bytes);
    bool send_line(const std::string& line);
    void kill_hard();  // SIGKILL: it vanishes without cleaning up
    // SIGTERM; waits up to 5 s, then SIGKILL. Returns the exit status as waitpid gives it, or -1.
    int stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    std::string pending_;  // read but not yet returned as a line
};

// Waits up to timeout_ms for the child to end; its wait status, or -1 if it did not end.
int wait_for_child(pid_t pid, int timeout_ms);

}  // namespace korvalis::testing
