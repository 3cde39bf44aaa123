#include "net/socket.h"

#include "net/debug_log.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace twk {

namespace {

void set_blocking(Socket s, bool blocking) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return;
    fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// Non-blocking connect bounded by `timeout_ms`.
bool connect_within(Socket s, const addrinfo& address, int timeout_ms) {
    set_blocking(s, false);
    int rc;
    do {
        rc = ::connect(s, address.ai_addr, address.ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno != EINPROGRESS) return false;

    pollfd pfd{s, POLLOUT, 0};
    do {
        rc = ::poll(&pfd, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0 || (pfd.revents & POLLNVAL)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

} // namespace

void ensure_network() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

void close_socket(Socket socket) {
    if (socket != kInvalidSocket) ::close(socket);
}

void set_io_timeouts(Socket socket, uint32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Socket tcp_connect(const std::string& host, int port, int connect_timeout_ms, int io_timeout_ms) {
    ensure_network();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) {
        debug_log("[net] getaddrinfo(%s) failed", host.c_str());
        if (list) freeaddrinfo(list);
        return kInvalidSocket;
    }
    Socket found = connect_first(list, connect_timeout_ms, io_timeout_ms);
    freeaddrinfo(list);
    return found;
}

Socket connect_first(const addrinfo* list, int connect_timeout_ms, int io_timeout_ms) {
    ensure_network();
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        Socket s = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (s < 0) continue;
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!connect_within(s, *entry, connect_timeout_ms)) {
            ::close(s);
            continue;
        }
        set_blocking(s, true);
        set_io_timeouts(s, static_cast<uint32_t>(io_timeout_ms < 0 ? 0 : io_timeout_ms));
        return s;
    }
    return kInvalidSocket;
}

int recv_some(Socket socket, char* buffer, int capacity) {
    if (capacity <= 0) return capacity == 0 ? 0 : -1;
    ssize_t n;
    do {
        n = ::recv(socket, buffer, static_cast<size_t>(capacity), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

bool recv_exact(Socket socket, char* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        size_t want = length - got;
        int n = recv_some(socket, buffer + got, want > 1 << 30 ? 1 << 30 : static_cast<int>(want));
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool send_raw_all(Socket socket, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n;
        do {
            n = ::send(socket, data, length, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 1) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int PlainStream::read(char* buffer, int capacity) { return recv_some(m_socket, buffer, capacity); }

bool PlainStream::send_all(const char* data, size_t length) { return send_raw_all(m_socket, data, length); }

void PlainStream::close() {
    if (m_socket != kInvalidSocket) {
        ::close(m_socket);
        m_socket = kInvalidSocket;
    }
}

Socket PlainStream::release() {
    Socket s = m_socket;
    m_socket = kInvalidSocket;
    return s;
}

} // namespace twk
