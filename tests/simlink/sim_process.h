// korvalis-sim as a child process of a test: started in the test's own namespace, fed lines on
// its standard input, and always ended (SIGTERM, then SIGKILL) when the test lets go of it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvalis::testing {

// A namespace word of this test process, set for the client's services too.
const std::string& test_namespace();

// Not copyable, and ended with its ChildProcess.
class SimProcess {
public:
    // Starts korvalis-sim with these options (plus --namespace and --quiet) and waits up to 10 s
    // for it to announce its class. False when it did not.
    bool start(const std::vector<std::string>& options);
    bool send_line(const std::string& line) { return child_.send_line(line); }
    void kill_hard() { child_.kill_hard(); }  // SIGKILL: the module vanishes without cleaning up
    // SIGTERM; waits up to 5 s, then SIGKILL. Returns the exit status as waitpid gives it.
    int stop() { return child_.stop(); }
    pid_t pid() const { return child_.pid(); }

private:
    ChildProcess child_;
};

// Names of POSIX shared-memory objects that begin with this prefix.
std::vector<std::string> shm_objects_with_prefix(const std::string& prefix);

}  // namespace korvalis::testing
