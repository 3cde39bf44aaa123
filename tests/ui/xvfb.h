// Xvfb for the tests that need a real X display: started on the first free display number,
// which it reports through -displayfd, and ended with the object.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace twk::test {

class Xvfb {
public:
    // `screen` as Xvfb's -screen takes it, "1024x768x24".
    explicit Xvfb(std::string screen = "1024x768x24") : m_screen(std::move(screen)) {}
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool start(std::string& error) {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", m_screen.c_str(), "-nolisten",
                     "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        char c;
        // Xvfb writes the number and a line feed once it accepts clients.
        while (m_pid > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        if (number.empty()) {
            error = "Xvfb did not start";
            return false;
        }
        m_display = ":" + number;
        return true;
    }
    void stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    const std::string& display() const { return m_display; }

private:
    std::string m_screen;
    pid_t m_pid = -1;
    std::string m_display;
};

} // namespace twk::test
