// Running korvalis-sim from a test; see sim_process.h.
#include "tests/simlink/sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "simlink/ipc_services.h"

extern char** environ;

namespace korvalis::testing {

namespace {

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

const std::string& test_namespace() {
    static const std::string word = [] {
        std::string w = "t" + std::to_string(getpid());
        set_ipc_namespace(w.c_str());
        return w;
    }();
    return word;
}

bool SimProcess::start(const std::vector<std::string>& options) {
    stop();
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) return false;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        return false;
    }
    std::vector<std::string> args = {KORVALIS_SIM_PATH, "--namespace", test_namespace(), "--quiet"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in_pipe[0]);
    close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    if (error != 0) {
        pid_ = -1;
        stop();
        return false;
    }

    // Ready once it has printed its first line.
    std::string seen;
    const int64_t deadline = now_ms() + 10000;
    while (seen.find('\n') == std::string::npos) {
        const int64_t remaining = deadline - now_ms();
        if (remaining <= 0) return false;
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(remaining)) <= 0) continue;
        char chunk[256];
        const ssize_t got = read(stdout_fd_, chunk, sizeof chunk);
        if (got <= 0) return false;
        seen.append(chunk, static_cast<size_t>(got));
    }
    return seen.find("serving") != std::string::npos;
}

bool SimProcess::send_line(const std::string& line) {
    const std::string text = line + "\n";
    return stdin_fd_ >= 0 &&
           write(stdin_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void SimProcess::kill_hard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    wait_for_child(pid_, 5000);
    pid_ = -1;
    stop();
}

int SimProcess::stop() {
    int status = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        status = wait_for_child(pid_, 5000);
        if (status == -1) {
            kill(pid_, SIGKILL);
            status = wait_for_child(pid_, 5000);
        }
        pid_ = -1;
    }
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (stdout_fd_ >= 0) close(stdout_fd_);
    stdin_fd_ = stdout_fd_ = -1;
    return status;
}

int wait_for_child(pid_t pid, int timeout_ms) {
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;
        if (now_ms() >= deadline) return -1;
        usleep(5000);
    }
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
