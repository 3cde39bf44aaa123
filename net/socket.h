// The bottom of the transport: one network start-up per process, outgoing TCP connections with
// a bounded connect time, and the byte-stream interface every protocol above reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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
};

class PlainStream final : public ByteStream {
public:
    explicit PlainStream(Socket socket) : m_socket(socket) {}
    ~PlainStream() override { close(); }
    PlainStream(const PlainStream&) = delete;
    PlainStream& operator=(const PlainStream&) = delete;

    int read(char* buffer, int capacity) override;
    bool send_all(const char* data, size_t length) override;
    void close() override;

    Socket socket() const { return m_socket; }
    // Hands the socket over (to a TLS layer, say) without closing it.
    Socket release();

private:
    Socket m_socket;
};

// Once per process: ignore SIGPIPE, so that a write to a closed peer fails instead of killing
// the process. Later calls return at once.
void ensure_network();

// Resolves `host` (IPv4 and IPv6, in resolver order) and connects to the first address that
// answers within `connect_timeout_ms`, each address getting the full time. The socket comes back
// blocking, with TCP_NODELAY and receive/send time-outs of `io_timeout_ms`; kInvalidSocket when
// nothing connected.
Socket tcp_connect(const std::string& host, int port, int connect_timeout_ms, int io_timeout_ms);

// The connect loop of tcp_connect over an already resolved list, walked in order.
Socket connect_first(const ::addrinfo* list, int connect_timeout_ms, int io_timeout_ms);

// One recv; -1 on error or time-out.
int recv_some(Socket socket, char* buffer, int capacity);
// Exactly `length` bytes, or false.
bool recv_exact(Socket socket, char* buffer, size_t length);
// Every byte, or false.
bool send_raw_all(Socket socket, const char* data, size_t length);
void set_io_timeouts(Socket socket, uint32_t milliseconds);
void close_socket(Socket socket);

} // namespace twk
