// The bottom of the transport: one network start-up per process, outgoing TCP connections with
// a bounded connect time, and the byte-stream interface every protocol above reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/transport_error.h"

struct addrinfo;

namespace twk {

using Socket = int;
constexpr Socket kInvalidSocket = -1;

// A connection: plain TCP, TLS, or an FTP data channel. Used by one thread at a time; destroying
// it closes it.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Bytes received, 0 at the orderly end of the stream, -1 on error or time-out.
    virtual int read(char* buffer, int capacity) = 0;
    // True only when every byte went out.
    virtual bool send_all(const char* data, size_t length) = 0;
    // Idempotent.
    virtual void close() = 0;
    // Bounds every later read to `milliseconds` (streams without a socket of their own ignore
    // it); a read that waits longer fails like one that timed out.
    virtual void set_read_timeout(uint32_t milliseconds) { (void)milliseconds; }
    // Why the last read failed when the stream knows more than a dropped connection ("TLS record
    // authentication failed"); empty otherwise.
    virtual std::string failure_reason() const { return {}; }
};

// The sockets of one task's transfers, so that pause, cancel or a failure elsewhere can end a
// connect or a read that is blocked on a silent peer at once instead of after its time-out.
// `cancel` shuts every watched socket down (a blocked connect, recv or send returns) and makes
// later `watch` calls fail until `reset`. A watched socket must be closed through `close` so
// that its number is never shut down after the system gave it to another file.
class SocketCanceller {
public:
    // False, with nothing watched, once cancelled.
    bool watch(int socket);
    // Stops watching and closes the socket.
    void close(int socket);
    void cancel();
    void reset();
    bool cancelled() const;

private:
    mutable std::mutex m_mutex;
    std::vector<int> m_sockets;
    bool m_cancelled = false;
};

class PlainStream final : public ByteStream {
public:
    // With a canceller, the socket is one it watches; closing goes through it.
    explicit PlainStream(Socket socket, SocketCanceller* canceller = nullptr)
        : m_socket(socket), m_canceller(canceller) {}
    ~PlainStream() override { close(); }
    PlainStream(const PlainStream&) = delete;
    PlainStream& operator=(const PlainStream&) = delete;

    int read(char* buffer, int capacity) override;
    bool send_all(const char* data, size_t length) override;
    void close() override;
    void set_read_timeout(uint32_t milliseconds) override;

    Socket socket() const { return m_socket; }
    // Hands the socket over (to a TLS layer, say) without closing it.
    Socket release();

private:
    Socket m_socket;
    SocketCanceller* m_canceller;
};

// Once per process: ignore SIGPIPE, so that a write to a closed peer fails instead of killing
// the process. Later calls return at once.
void ensure_network();

// Resolves `host` (IPv4 and IPv6, in resolver order) and connects to the first address that
// answers within `connect_timeout_ms`, each address getting the full time. The socket comes back
// blocking, with TCP_NODELAY and receive/send time-outs of `io_timeout_ms`; kInvalidSocket when
// nothing connected. `why`, when given, gets the cause: a name that does not resolve is
// permanent, a refused or timed-out connect retryable (only the reason is filled in; the caller
// words the message). With a canceller the socket comes back watched by it, and a cancel ends
// the connect at once.
Socket tcp_connect(const std::string& host, int port, int connect_timeout_ms, int io_timeout_ms,
                   TransportError* why = nullptr, SocketCanceller* canceller = nullptr);

// The connect loop of tcp_connect over an already resolved list, walked in order.
Socket connect_first(const ::addrinfo* list, int connect_timeout_ms, int io_timeout_ms,
                     TransportError* why = nullptr, SocketCanceller* canceller = nullptr);

// One recv; -1 on error or time-out.
int recv_some(Socket socket, char* buffer, int capacity);
// One recv of what has arrived already, without waiting: the count, 0 when the peer closed,
// -1 on error, kNothingWaiting when no byte is there.
inline constexpr int kNothingWaiting = -2;
int recv_waiting(Socket socket, char* buffer, int capacity);
// Exactly `length` bytes, or false.
bool recv_exact(Socket socket, char* buffer, size_t length);
// Every byte, or false.
bool send_raw_all(Socket socket, const char* data, size_t length);
void set_io_timeouts(Socket socket, uint32_t milliseconds);
void close_socket(Socket socket);
// The system's words for an errno, lower-case first ("no space left on device").
std::string system_reason(int error);
// Through the canceller when there is one (see SocketCanceller::close).
void close_socket(Socket socket, SocketCanceller* canceller);

} // namespace twk
