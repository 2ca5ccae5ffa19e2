// korvalis-sim as a child process of a test: started in the test's own namespace, fed lines on
// its standard input, and always ended (SIGTERM, then SIGKILL) when the test lets go of it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace korvalis::testing {

// A namespace word of this test process, set for the client's services too.
const std::string& test_namespace();

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() { stop(); }

    // Starts korvalis-sim with these options (plus --namespace and --quiet) and waits up to 10 s
    // for it to announce its class. False when it did not.
    bool start(const std::vector<std::string>& options);
    bool send_line(const std::string& line);
    void kill_hard();  // SIGKILL: the module vanishes without cleaning up
    // SIGTERM; waits up to 5 s, then SIGKILL. Returns the exit status as waitpid gives it.
    int stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
};

// Waits up to timeout_ms for the child to end; its wait status, or -1 if it did not end.
int wait_for_child(pid_t pid, int timeout_ms);

// Names of POSIX shared-memory objects that begin with this prefix.
std::vector<std::string> shm_objects_with_prefix(const std::string& prefix);

}  // namespace korvalis::testing
