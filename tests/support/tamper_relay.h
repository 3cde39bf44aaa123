// A loopback TCP relay to a server on 127.0.0.1 that flips one bit of what the server sends, for
// the faults no real server produces inside an encrypted stream: on the connections `tamper`
// picks (0 is the first accepted), the byte at `offset` of the server-to-client direction is
// changed; everything else passes unchanged. Stopped and joined by its destructor.
#pragma once

#include "tests/support/loopback.h"

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

namespace twk::test {

class TamperRelay {
public:
    TamperRelay(int target_port, uint64_t offset, std::function<bool(int)> tamper)
        : m_target(target_port), m_offset(offset), m_tamper(std::move(tamper)) {
        if (::pipe2(m_wake, O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
        m_acceptor = std::thread([this] { accept_loop(); });
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
    void accept_loop() {
        for (int index = 0;; ++index) {
            pollfd fds[2] = {{m_listener.fd(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || m_stop) return;
            const int client = m_listener.accept();
            if (client < 0) continue;
            m_connections.emplace_back([this, client, index] { relay(client, m_tamper(index)); });
        }
    }

    void relay(int client, bool tamper) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(m_target));
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
    int m_target;
    uint64_t m_offset;
    std::function<bool(int)> m_tamper;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_tampered{0};
    std::thread m_acceptor;
    std::vector<std::thread> m_connections; // touched by the acceptor only until it is joined
};

} // namespace twk::test
