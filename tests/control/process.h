// Child processes for the control tests: real clients (curl, Python's websockets, node) run to
// their end, and long-running ones (twk serve, a WebSocket client that holds its stream) in the
// background with their output in a file.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/wait.h"

namespace twk::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

inline pid_t spawn(const std::vector<std::string>& argv, const Environment& env, int out_fd) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(out_fd, 2);
        for (const auto& [name, value] : env)
            ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

struct ProcessResult {
    int status = -1;    // exit status; -1 when killed or timed out
    std::string output; // standard output and error together
};

// Runs `argv` to its end; killed after `timeout_ms`.
inline ProcessResult run_process(const std::vector<std::string>& argv, int64_t timeout_ms = 30000,
                                 const Environment& env = {}) {
    ProcessResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    pid_t pid = spawn(argv, env, fds[1]);
    ::close(fds[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A process in the background, its output in `log`; killed when still running at destruction.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const std::string& log,
                      const Environment& env = {})
        : m_log(log) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_pid = spawn(argv, env, fd);
        ::close(fd);
    }
    ~BackgroundProcess() {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    void signal(int number) { ::kill(m_pid, number); }
    // The exit status, or -1 when it did not end within `timeout_ms` or was killed.
    int wait_exit(int64_t timeout_ms) {
        int status = 0;
        wait_until([&] { return m_exited = ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout_ms);
        if (!m_exited) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& log() const { return m_log; }

private:
    pid_t m_pid = -1;
    bool m_exited = false;
    std::string m_log;
};

} // namespace twk::test
