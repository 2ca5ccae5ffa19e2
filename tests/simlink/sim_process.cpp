// Running korvalis-sim from a test; see sim_process.h.
#include "tests/simlink/sim_process.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>

#include "simlink/ipc_services.h"

namespace korvalis::testing {

const std::string& test_namespace() {
    static const std::string word = [] {
        std::string w = "t" + std::to_string(getpid());
        set_ipc_namespace(w.c_str());
        return w;
    }();
    return word;
}

bool SimProcess::start(const std::vector<std::string>& options) {
    std::vector<std::string> args = {KORVALIS_SIM_PATH, "--namespace", test_namespace(), "--quiet"};
    args.insert(args.end(), options.begin(), options.end());
    if (!child_.start(args, ChildInput::piped)) return false;
    // Ready once it has printed its first line.
    return child_.read_line(10000).find("serving") != std::string::npos;
}

std::vector<std::string> shm_objects_with_prefix(const std::string& prefix) {
    std::vector<std::string> found;
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) return found;
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            found.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    return found;
}

}  // namespace korvalis::testing
