// A scriptable HTTP server on 127.0.0.1 for faults no real server produces: each accepted
// connection runs the test's handler on a thread of its own, which reads requests and writes
// whatever bytes the test wants (wrong lengths, broken chunks, redirects, early closes).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace twk::test {

class ScriptServer;

// One accepted connection, as the handler sees it.
class ScriptPeer {
public:
    ScriptPeer(ScriptServer& server, int fd, int index) : m_server(server), m_fd(fd), m_index(index) {}

    // The next request: its head and a body of Content-Length bytes. Recorded in the server's
    // request list. False when the client closed or went silent.
    bool read_request(std::string& request);
    // Reads exactly `count` raw bytes (for proxy handshakes). False when they did not arrive.
    bool read_exact(size_t count, std::string& out);
    void send(std::string_view bytes);
    // Whether the client has sent bytes that no read_request took yet (without waiting).
    bool input_waiting();
    // Reads and drops requests until the client closes or goes silent.
    void wait_for_close();
    // Closes the connection now (the handler may still return afterwards).
    void close();
    // 0 for the first connection the server accepted, 1 for the next...
    int index() const { return m_index; }

private:
    ScriptServer& m_server;
    int m_fd;
    int m_index;
    std::string m_pending; // bytes read past the last request
};

class ScriptServer {
public:
    using Handler = std::function<void(ScriptPeer&)>;
    explicit ScriptServer(Handler handler);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(std::string_view path = "/") const;
    // Every request read so far, in order of arrival.
    std::vector<std::string> requests() const;
    int connections() const { return m_accepted.load(); }
    // Closes the listening socket, so that connecting is refused, or listens again on the same
    // port. Connections already accepted go on.
    void refuse_connections(bool refuse);
    void record(const std::string& request);

private:
    void accept_loop();
    bool listen_on(int port);

    Handler m_handler;
    int m_listen_fd = -1;
    int m_port = 0;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_refusing{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<int> m_open_fds;
    std::vector<std::thread> m_threads;
    std::thread m_acceptor;
};

// The path of a request's first line ("GET /a HTTP/1.1" gives "/a").
std::string request_path(std::string_view request);
// The value of a request header (case-insensitive name), empty when missing.
std::string request_header(std::string_view request, std::string_view name);
// A complete response: status line, the given header lines (each ending in "\r\n"), a
// Content-Length for `body` and the body.
std::string http_response(std::string_view status, std::string_view headers, std::string_view body);

} // namespace twk::test
