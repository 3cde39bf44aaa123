#include "net/socket.h"

#include "net/debug_log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
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

} // namespace

std::string system_reason(int error) {
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
        !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

namespace {

// Non-blocking connect bounded by `timeout_ms`; `reason` says why it failed.
bool connect_within(Socket s, const addrinfo& address, int timeout_ms, std::string& reason) {
    set_blocking(s, false);
    int rc;
    do {
        rc = ::connect(s, address.ai_addr, address.ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno != EINPROGRESS) {
        reason = system_reason(errno);
        return false;
    }

    pollfd pfd{s, POLLOUT, 0};
    do {
        rc = ::poll(&pfd, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        reason = "timed out";
        return false;
    }
    if (rc < 0 || (pfd.revents & POLLNVAL)) {
        reason = system_reason(rc < 0 ? errno : EBADF);
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) reason = system_reason(error);
    return error == 0;
}

// A resolver failure in words; only a name that does not exist is permanent.
void resolve_failure(int code, const std::string& host, TransportError* why) {
    if (!why) return;
    const bool permanent = code == EAI_NONAME || code == EAI_SERVICE || code == EAI_FAMILY
#ifdef EAI_NODATA
                           || code == EAI_NODATA
#endif
        ;
    why->set(permanent ? FailureKind::kPermanent : FailureKind::kRetryable, "",
             permanent ? "name does not resolve" : gai_strerror(code));
    (void)host;
}

} // namespace

bool SocketCanceller::watch(int socket) {
    std::lock_guard lock(m_mutex);
    if (m_cancelled) return false;
    m_sockets.push_back(socket);
    return true;
}

void SocketCanceller::close(int socket) {
    std::lock_guard lock(m_mutex);
    std::erase(m_sockets, socket);
    ::close(socket);
}

void SocketCanceller::cancel() {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    for (int socket : m_sockets)
        ::shutdown(socket, SHUT_RDWR);
}

void SocketCanceller::reset() {
    std::lock_guard lock(m_mutex);
    m_cancelled = false;
}

bool SocketCanceller::cancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void ensure_network() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

void close_socket(Socket socket) {
    if (socket != kInvalidSocket) ::close(socket);
}

void close_socket(Socket socket, SocketCanceller* canceller) {
    if (socket == kInvalidSocket) return;
    if (canceller) {
        canceller->close(socket);
    } else {
        ::close(socket);
    }
}

void set_io_timeouts(Socket socket, uint32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Socket tcp_connect(const std::string& host, int port, int connect_timeout_ms, int io_timeout_ms,
                   TransportError* why, SocketCanceller* canceller) {
    ensure_network();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0 || !list) {
        debug_log("[net] getaddrinfo(%s) failed", host.c_str());
        resolve_failure(rc != 0 ? rc : EAI_NONAME, host, why);
        if (list) freeaddrinfo(list);
        return kInvalidSocket;
    }
    Socket found = connect_first(list, connect_timeout_ms, io_timeout_ms, why, canceller);
    freeaddrinfo(list);
    return found;
}

Socket connect_first(const addrinfo* list, int connect_timeout_ms, int io_timeout_ms, TransportError* why,
                     SocketCanceller* canceller) {
    ensure_network();
    std::string reason = "no address";
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        Socket s = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (s < 0) {
            reason = system_reason(errno);
            continue;
        }
        if (canceller && !canceller->watch(s)) {
            ::close(s);
            reason = "interrupted";
            break;
        }
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const bool connected = connect_within(s, *entry, connect_timeout_ms, reason);
        const bool cancelled = canceller && canceller->cancelled();
        if (!connected || cancelled) {
            close_socket(s, canceller);
            if (!cancelled) continue;
            reason = "interrupted";
            break;
        }
        set_blocking(s, true);
        set_io_timeouts(s, static_cast<uint32_t>(io_timeout_ms < 0 ? 0 : io_timeout_ms));
        return s;
    }
    if (why) why->set(FailureKind::kRetryable, "", reason);
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

int recv_waiting(Socket socket, char* buffer, int capacity) {
    if (capacity <= 0) return capacity == 0 ? 0 : -1;
    ssize_t n;
    do {
        n = ::recv(socket, buffer, static_cast<size_t>(capacity), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kNothingWaiting : -1;
    return static_cast<int>(n);
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

int PlainStream::read(char* buffer, int capacity) {
    const int n = recv_some(m_socket, buffer, capacity);
    // A cancel shuts the socket down, which reads as the end of the stream: it is no end.
    if (n == 0 && capacity > 0 && m_canceller && m_canceller->cancelled()) return -1;
    return n;
}

void PlainStream::set_read_timeout(uint32_t milliseconds) {
    if (m_socket == kInvalidSocket) return;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool PlainStream::send_all(const char* data, size_t length) { return send_raw_all(m_socket, data, length); }

void PlainStream::close() {
    if (m_socket != kInvalidSocket) {
        close_socket(m_socket, m_canceller);
        m_socket = kInvalidSocket;
    }
}

Socket PlainStream::release() {
    // The new owner takes over the canceller's watch along with the socket.
    Socket s = m_socket;
    m_socket = kInvalidSocket;
    return s;
}

} // namespace twk
