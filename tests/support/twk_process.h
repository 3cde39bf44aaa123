// A real `twk` process for the command's tests (TWK_BINARY is the built program): its standard
// output and error go to a log file; the destructor kills it unless it has ended.
#pragma once

#include "tests/support/wait.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace twk::test {

class TwkProcess {
public:
    // Runs twk with `args`, standard output and error into `log`.
    TwkProcess(const std::vector<std::string>& args, const std::string& log) {
        std::vector<char*> argv{const_cast<char*>(TWK_BINARY)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execv(TWK_BINARY, argv.data());
            ::_exit(127);
        }
    }
    ~TwkProcess() {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    void signal(int number) { ::kill(m_pid, number); }
    // The exit status, or -1 when the process did not end before the deadline or was killed.
    int wait_exit(int64_t deadline_ms) {
        int status = 0;
        test::wait_until([&] { return m_exited = ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, deadline_ms);
        if (!m_exited) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    bool m_exited = false;
};

} // namespace twk::test
