#include "control/control_server.h"

#include "control/control_routes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "control/extension_key.h"
#include "control/peer_user.h"
#include "control/request.h"
#include "control/status_page.h"
#include "control/websocket.h"
#include "core/engine.h"
#include "net/socket.h"
#include "net/text.h"
#include "json/json.h"

namespace twk {

namespace {

constexpr const char* kPrintTokenSwitch = "TWK_PRINT_TOKEN";
constexpr size_t kTokenBytes = 16;
constexpr int kAcceptRetryMs = 100;

// Another account on the machine may reach the port, but gets nothing but "/ping": the client's
// socket must belong to the user this server runs as.
bool same_user(Socket socket) { return loopback_peer_uid(socket) == static_cast<uint32_t>(::geteuid()); }

void record_contact(ControlServer& server, const ControlRequest& request, const AccessDecision& access) {
    const int64_t now = monotonic_ms();
    if (access.extension != kNoExtension) {
        server.last_extension_contact = now;
        server.extension_kind = access.extension;
    }
    std::string tag = query_parameter(request.target, "b");
    if (!valid_browser_tag(tag)) return;
    std::lock_guard lock(server.tag_lock);
    server.browser_tags[tag] = now;
}

// Reads the head (the bytes after it start the body) and answers it. Every exit leaves the
// socket to `finish_connection`.
void handle_connection(ControlServer& server, Socket socket) {
    const int64_t deadline = monotonic_ms() + kHeadDeadlineMs;
    std::string buffer;
    size_t head_end = 0;
    char chunk[kHeadReceiveSize];
    while (head_end == 0) {
        if (buffer.size() > kMaxRequestHead) return;
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) return;
        set_io_timeouts(socket, static_cast<uint32_t>(left));
        int n = recv_some(socket, chunk, kHeadReceiveSize);
        if (n < 1) return;
        const size_t from = buffer.size() >= 3 ? buffer.size() - 3 : 0;
        buffer.append(chunk, static_cast<size_t>(n));
        if (size_t end = request_head_end(std::string_view(buffer).substr(from))) head_end = from + end;
    }
    set_io_timeouts(socket, kConnectionTimeoutMs);
    {
        std::lock_guard lock(server.lock);
        server.reading_head.erase(socket);
    }
    const ControlRequest request = parse_request_head(std::string_view(buffer).substr(0, head_end - 4));
    std::string body = buffer.substr(head_end);

    switch (check_host(request)) {
    case HostCheck::kMissingHost: write_reply(socket, 400, "text/plain", "missing host"); return;
    case HostCheck::kForbidden: write_reply(socket, 403, "text/plain", "forbidden"); return;
    case HostCheck::kAllowed: break;
    }
    const std::string_view path = request_path(request.target);
    if (path != "/ping" && !same_user(socket)) {
        if (path == "/start" || path == "/capture")
            write_reply(socket, 403, "application/json", "{\"ok\":false,\"error\":\"forbidden\"}");
        else
            write_reply(socket, 403, "text/plain", "forbidden");
        return;
    }
    const bool proven = take_proof(server, request);
    Connection connection{server, socket, request, body,
                          decide_access(request, server.token, server.key, proven)};
    record_contact(server, request, connection.access);

    if (!serve_route(connection, path)) write_reply(socket, 404, "text/plain", "not found");
}

// Closed under the mutex, so that a stop in progress never shuts down a number the system has
// already handed to another file.
void finish_connection(ControlServer& server, Socket socket) {
    std::lock_guard lock(server.lock);
    server.open.erase(socket);
    server.reading_head.erase(socket);
    server.shut_for_room.erase(socket);
    close_socket(socket);
    if (--server.active == 0) server.changed.notify_all();
}

// At the connection cap: shuts down the connection that has been sending its head the longest,
// so that a crowd of slow clients cannot keep a real one out. Its thread sees the end and
// leaves. False when every connection is past its head (then the newcomer is turned away).
// Called with the connection mutex held.
bool make_room(ControlServer& server) {
    auto oldest = server.reading_head.end();
    for (auto it = server.reading_head.begin(); it != server.reading_head.end(); ++it)
        if (oldest == server.reading_head.end() || it->second < oldest->second) oldest = it;
    if (oldest == server.reading_head.end()) return false;
    ::shutdown(oldest->first, SHUT_RDWR);
    server.shut_for_room.insert(oldest->first);
    server.reading_head.erase(oldest);
    return true;
}

// Request connections the server still serves: not the WebSocket streams, nor those shut down
// to make room whose threads have not left yet. Called with the connection mutex held.
int32_t held_requests(const ControlServer& server) {
    return server.active - server.websockets - static_cast<int32_t>(server.shut_for_room.size());
}

void accept_loop(ControlServer& server) {
    while (true) {
        Socket socket = ::accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors or memory for a moment: wait for connections to end rather than
            // give the server up. Any other failure means stop shut the listener down.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::unique_lock lock(server.lock);
                if (server.changed.wait_for(lock, std::chrono::milliseconds(kAcceptRetryMs),
                                            [&] { return server.stopping; }))
                    return;
                continue;
            }
            return;
        }
        {
            std::lock_guard lock(server.lock);
            if (server.stopping) {
                close_socket(socket);
                return;
            }
            if (held_requests(server) >= kMaxRequestConnections && !make_room(server)) {
                close_socket(socket);
                continue;
            }
            server.open.insert(socket);
            server.reading_head[socket] = monotonic_ms();
            ++server.active;
        }
        try {
            std::thread([&server, socket] {
                handle_connection(server, socket);
                finish_connection(server, socket);
            }).detach();
        } catch (const std::system_error&) {
            finish_connection(server, socket); // no thread to be had: the client sees a close
        }
    }
}

// Without the key browser extensions cannot prove themselves; scripts still can, with the token.
void load_key(ControlServer& server) {
    std::string error;
    if (!load_extension_key(server.key, error))
        std::fprintf(stderr, "[twk] browser extensions cannot connect: %s\n", error.c_str());
}

bool listen_on(ControlServer& server, std::string& error) {
    Socket s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = std::string("socket failed: ") + std::strerror(errno);
        return false;
    }
    // On Linux SO_REUSEADDR never lets a second socket listen on a port that one listens on, so
    // a second instance still fails to bind; it only lets a restarted server bind while old
    // connections linger in TIME_WAIT.
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.port));
    ::inet_pton(AF_INET, server.address.c_str(), &address.sin_addr);
    const std::string where = server.address + ":" + std::to_string(server.port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, kControlBacklog) != 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        close_socket(s);
        return false;
    }
    socklen_t length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        server.port = ntohs(address.sin_port);
    server.listener = s;
    return true;
}

} // namespace

ControlServer* start_control_server(Engine* engine, std::string_view bind_address, int port,
                                    std::string* error) {
    std::string reason;
    auto server = std::make_unique<ControlServer>();
    if (!engine) {
        reason = "no engine";
    } else if (port < 0 || port > 65535) {
        reason = "bad port " + std::to_string(port);
    } else {
        ensure_network();
        server->engine = engine;
        server->address = control_bind_address(bind_address);
        server->port = port;
        if (!random_hex(kTokenBytes, server->token)) reason = "no random source for the token";
        load_key(*server);
    }
    if (reason.empty() && listen_on(*server, reason)) {
        if (std::getenv(kPrintTokenSwitch))
            std::fprintf(stderr, "[twk] control API bearer token: %s\n", server->token.c_str());
        try {
            ControlServer* s = server.get();
            server->accept_thread = std::thread([s] { accept_loop(*s); });
            return server.release();
        } catch (const std::system_error&) {
            reason = "cannot start the accept thread";
            close_socket(server->listener);
        }
    }
    if (error) *error = reason;
    return nullptr;
}

void stop_control_server(ControlServer* server) {
    if (!server) return;
    {
        std::lock_guard lock(server->lock);
        server->stopping = true;
        for (Socket socket : server->open)
            ::shutdown(socket, SHUT_RDWR);
    }
    server->changed.notify_all();
    // Push loops waiting for the list to change look at the stop flag again.
    server->engine->wake_waiters();
    // Shutting the listener down wakes the accept thread; it is closed once that thread is gone.
    ::shutdown(server->listener, SHUT_RDWR);
    if (server->accept_thread.joinable()) server->accept_thread.join();
    close_socket(server->listener);
    {
        std::unique_lock lock(server->lock);
        server->changed.wait(lock, [&] { return server->active == 0; });
    }
    delete server;
}

int control_server_port(const ControlServer& server) { return server.port; }
std::string control_server_address(const ControlServer& server) { return server.address; }
std::string control_server_token(const ControlServer& server) { return server.token; }
int32_t control_server_connections(ControlServer& server) {
    std::lock_guard lock(server.lock);
    return server.active;
}
int32_t control_server_held_requests(ControlServer& server) {
    std::lock_guard lock(server.lock);
    return held_requests(server);
}
uint64_t control_server_feed_builds(const ControlServer& server) { return server.feed.builds(); }
int64_t last_extension_contact(const ControlServer& server) { return server.last_extension_contact; }
int64_t last_ping(const ControlServer& server) { return server.last_ping; }
int32_t last_extension_kind(const ControlServer& server) { return server.extension_kind; }

int64_t browser_contact_age(ControlServer& server, std::string_view tag) {
    if (tag.empty()) return -1;
    std::lock_guard lock(server.tag_lock);
    auto it = server.browser_tags.find(tag);
    return it == server.browser_tags.end() ? -1 : monotonic_ms() - it->second;
}

} // namespace twk
