// A loopback TCP relay to a server on 127.0.0.1 that flips one bit of what the server sends, for
// the faults no real server produces inside an encrypted stream: on the connections `tamper`
// picks (0 is the first accepted), the byte at `offset` of the server-to-client direction is
// changed; everything else passes unchanged. As an HTTP proxy (`kConnectProxy`) it answers each
// connection's CONNECT to a port on 127.0.0.1 and relays to it, and `tamper` picks by that port
// (for a client that opens connections to several ports, as FTP's data connections are). Stopped
// and joined by its destructor.
#pragma once

#include "tests/support/loopback.h"

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/time.h>
#include <thread>
#include <vector>

namespace twk::test {

class TamperRelay {
public:
    struct ConnectProxy {};
    static constexpr ConnectProxy kConnectProxy{};

    TamperRelay(int target_port, uint64_t offset, std::function<bool(int)> tamper)
        : m_target(target_port), m_offset(offset), m_tamper(std::move(tamper)) {
        start();
    }
    TamperRelay(ConnectProxy, uint64_t offset, std::function<bool(int)> tamper_port)
        : m_target(0), m_offset(offset), m_tamper(std::move(tamper_port)) {
        start();
    }
    ~TamperRelay() {
        m_stop = true;
        if (m_wake[1] >= 0) (void)!::write(m_wake[1], "x", 1);
        m_acceptor.join();
        for (std::thread& t : m_connections)
            t.join();
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
    TamperRelay(const TamperRelay&) = delete;
    TamperRelay& operator=(const TamperRelay&) = delete;

    int port() const { return m_listener.port(); }
    // Connections on which the byte was flipped.
    int tampered() const { return m_tampered.load(); }

private:
    void start() {
        if (::pipe2(m_wake, O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
        m_acceptor = std::thread([this] { accept_loop(); });
    }

    void accept_loop() {
        for (int index = 0;; ++index) {
            pollfd fds[2] = {{m_listener.fd(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || m_stop) return;
            const int client = m_listener.accept();
            if (client < 0) continue;
            m_connections.emplace_back([this, client, index] {
                if (m_target != 0) return relay(client, m_target, m_tamper(index));
                const int port = connect_target(client);
                if (port > 0)
                    relay(client, port, m_tamper(port));
                else
                    ::close(client);
            });
        }
    }

    // The port of the client's "CONNECT 127.0.0.1:PORT HTTP/1.1" head, answered with a 200; 0
    // when the head is not one. Read a byte at a time: nothing after the head is taken.
    static int connect_target(int client) {
        constexpr size_t kMaxHead = 8192;
        const timeval patience{5, 0}; // a client that never sends its head does not hold the relay
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        std::string head;
        char c;
        while (head.size() < kMaxHead && !head.ends_with("\r\n\r\n") && ::recv(client, &c, 1, 0) == 1)
            head += c;
        const size_t colon = head.find(':');
        if (!head.starts_with("CONNECT 127.0.0.1:") || !head.ends_with("\r\n\r\n")) return 0;
        const int port = std::atoi(head.c_str() + colon + 1);
        constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";
        return port > 0 && send_all(client, kEstablished.data(), kEstablished.size()) ? port : 0;
    }

    void relay(int client, int target, bool tamper) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(target));
        if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(server);
            ::close(client);
            return;
        }
        uint64_t from_server = 0;
        bool open[2] = {true, true}; // client->server, server->client
        std::vector<char> buffer(65536);
        while ((open[0] || open[1]) && !m_stop) {
            pollfd fds[3] = {{open[0] ? client : -1, POLLIN, 0},
                             {open[1] ? server : -1, POLLIN, 0},
                             {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0 || m_stop) break;
            for (int d = 0; d < 2; ++d) {
                if (!open[d] || !(fds[d].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const int from = d == 0 ? client : server, to = d == 0 ? server : client;
                const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    open[d] = false;
                    ::shutdown(to, SHUT_WR);
                    continue;
                }
                if (d == 1 && tamper && m_offset >= from_server && m_offset < from_server + uint64_t(n)) {
                    buffer[m_offset - from_server] ^= 0x01;
                    ++m_tampered;
                }
                if (d == 1) from_server += uint64_t(n);
                if (!send_all(to, buffer.data(), size_t(n))) open[0] = open[1] = false;
            }
        }
        ::close(server);
        ::close(client);
    }

    static bool send_all(int fd, const char* data, size_t length) {
        while (length > 0) {
            const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            length -= size_t(n);
        }
        return true;
    }

    Listener m_listener;
    int m_target; // 0: the port each CONNECT names
    uint64_t m_offset;
    std::function<bool(int)> m_tamper;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_tampered{0};
    std::thread m_acceptor;
    std::vector<std::thread> m_connections; // touched by the acceptor only until it is joined
};

} // namespace twk::test
