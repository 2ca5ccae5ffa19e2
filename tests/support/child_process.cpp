// Running a tool as a child process; see child_process.h.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

extern char** environ;

namespace korvalis::testing {

namespace {

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

bool ChildProcess::start(const std::vector<std::string>& args, ChildInput input) {
    stop();
    if (args.empty()) return false;
    int in_pipe[2] = {-1, -1};
    int out_pipe[2];
    if (input == ChildInput::piped && pipe2(in_pipe, O_CLOEXEC) != 0) return false;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        if (in_pipe[0] >= 0) close(in_pipe[0]);
        if (in_pipe[1] >= 0) close(in_pipe[1]);
        return false;
    }
    std::vector<std::string> words = args;
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    // The pipes are close-on-exec: the child keeps only the ends dup2 gives it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_pipe[0] >= 0) posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    pending_.clear();
    if (error != 0) {
        pid_ = -1;
        stop();
        return false;
    }
    return true;
}

std::string ChildProcess::read_line(int timeout_ms) {
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        const size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        const int64_t remaining = deadline - now_ms();
        if (remaining <= 0 || stdout_fd_ < 0) return "";
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(remaining)) <= 0) continue;
        char chunk[256];
        const ssize_t got = read(stdout_fd_, chunk, sizeof chunk);
        if (got <= 0) return "";
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::send(std::string_view bytes) {
    return stdin_fd_ >= 0 &&
           write(stdin_fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool ChildProcess::send_line(const std::string& line) {
    return send(line + "\n");
}

void ChildProcess::kill_hard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    wait_for_child(pid_, 5000);
    pid_ = -1;
    stop();
}

int ChildProcess::stop() {
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
    pending_.clear();
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

}  // namespace korvalis::testing
