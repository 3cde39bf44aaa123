#include "tests/support/script_server.h"

#include "net/http_message.h"
#include "tests/support/loopback.h"

#include <cstdlib>
#include <sys/socket.h>

namespace twk::test {

namespace {

constexpr size_t kMaxScriptRequest = 1 << 20;

bool recv_more(int fd, std::string& buffer) {
    char chunk[4096];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return buffer.size() < kMaxScriptRequest;
}

} // namespace

bool ScriptPeer::read_request(std::string& request) {
    size_t end;
    while ((end = m_pending.find("\r\n\r\n")) == std::string::npos) {
        if (!recv_more(m_fd, m_pending)) return false;
    }
    request = m_pending.substr(0, end + 4);
    const size_t body = static_cast<size_t>(std::atoll(request_header(request, "content-length").c_str()));
    while (m_pending.size() < end + 4 + body) {
        if (!recv_more(m_fd, m_pending)) return false;
    }
    request = m_pending.substr(0, end + 4 + body);
    m_pending.erase(0, end + 4 + body);
    m_server.record(request);
    return true;
}

bool ScriptPeer::read_exact(size_t count, std::string& out) {
    while (m_pending.size() < count) {
        if (!recv_more(m_fd, m_pending)) return false;
    }
    out = m_pending.substr(0, count);
    m_pending.erase(0, count);
    return true;
}

void ScriptPeer::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

bool ScriptPeer::input_waiting() {
    if (!m_pending.empty()) return true;
    char byte;
    return ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

void ScriptPeer::wait_for_close() {
    std::string ignored;
    while (read_request(ignored)) {
    }
}

void ScriptPeer::close() { ::shutdown(m_fd, SHUT_RDWR); }

ScriptServer::ScriptServer(Handler handler) : m_handler(std::move(handler)) {
    listen_on(0);
    m_acceptor = std::thread([this] { accept_loop(); });
}

bool ScriptServer::listen_on(int port) {
    m_listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(m_listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(m_listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    ::listen(m_listen_fd, 64);
    socklen_t length = sizeof a;
    ::getsockname(m_listen_fd, reinterpret_cast<sockaddr*>(&a), &length);
    m_port = ntohs(a.sin_port);
    return true;
}

void ScriptServer::refuse_connections(bool refuse) {
    if (refuse == m_refusing) return;
    m_refusing = refuse;
    if (refuse) {
        ::shutdown(m_listen_fd, SHUT_RDWR); // wakes accept()
        m_acceptor.join();
        ::close(m_listen_fd);
        m_listen_fd = -1;
        return;
    }
    // The port was ours a moment ago; another program taking it meanwhile is not expected on
    // loopback, but is said loudly.
    if (!listen_on(m_port)) std::abort();
    m_acceptor = std::thread([this] { accept_loop(); });
}

ScriptServer::~ScriptServer() {
    m_stopping = true;
    if (m_listen_fd >= 0) ::shutdown(m_listen_fd, SHUT_RDWR); // wakes accept()
    if (m_acceptor.joinable()) m_acceptor.join();
    {
        std::lock_guard lock(m_mutex);
        for (int fd : m_open_fds)
            ::shutdown(fd, SHUT_RDWR); // wakes handlers blocked in recv()
    }
    for (auto& t : m_threads)
        t.join();
    for (int fd : m_open_fds)
        ::close(fd);
    if (m_listen_fd >= 0) ::close(m_listen_fd);
}

void ScriptServer::accept_loop() {
    for (;;) {
        int fd = ::accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (m_stopping || m_refusing) return;
            continue;
        }
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        m_open_fds.push_back(fd);
        const int index = m_accepted++;
        m_threads.emplace_back([this, fd, index] {
            ScriptPeer peer(*this, fd, index);
            m_handler(peer);
            ::shutdown(fd, SHUT_RDWR);
        });
    }
}

std::string ScriptServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

std::vector<std::string> ScriptServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void ScriptServer::record(const std::string& request) {
    std::lock_guard lock(m_mutex);
    m_requests.push_back(request);
}

std::string request_path(std::string_view request) {
    const size_t first = request.find(' ');
    if (first == std::string_view::npos) return {};
    const size_t second = request.find(' ', first + 1);
    return std::string(request.substr(first + 1, second - first - 1));
}

std::string request_header(std::string_view request, std::string_view name) {
    size_t start = request.find("\r\n");
    while (start != std::string_view::npos) {
        start += 2;
        const size_t end = request.find("\r\n", start);
        if (end == std::string_view::npos || end == start) break;
        std::string_view line = request.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && equals_ignoring_case(line.substr(0, colon), name)) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            return std::string(value);
        }
        start = end;
    }
    return {};
}

std::string http_response(std::string_view status, std::string_view headers, std::string_view body) {
    std::string out = "HTTP/1.1 " + std::string(status) + "\r\n" + std::string(headers);
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    out += body;
    return out;
}

} // namespace twk::test
