// Loopback listeners for tests: bound to 127.0.0.1 (or ::1) on a free port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace twk::test {

class Listener {
public:
    // backlog 0 with one unaccepted connection makes the kernel drop later SYNs: a connect to
    // such a listener hangs like one to an unreachable host.
    explicit Listener(int backlog = 16, bool ipv6 = false) {
        m_fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        ::listen(m_fd, backlog);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &length);
        m_port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                      : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return m_port; }
    int fd() const { return m_fd; }
    int accept() { return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }
    void close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A port on 127.0.0.1 that was free a moment ago.
inline int free_port() {
    Listener l;
    return l.port();
}

// A port on 127.0.0.1 where nothing listens: connects to it are refused at once.
inline int closed_port() { return free_port(); }

// Whether something on 127.0.0.1 accepts a connection on `port` now.
inline bool accepts_connections(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// One GET of `target` from 127.0.0.1:`port` with "Connection: close"; the whole reply, empty
// when nothing answered.
inline std::string loopback_get(int port, const std::string& target) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

} // namespace twk::test
