#include "control/control_server.h"

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

struct ControlServer {
    Engine* engine = nullptr;
    std::string address;
    int port = 0;
    Socket listener = kInvalidSocket;
    std::string token;
    std::string key; // the extension key; empty when it could not be had
    std::thread accept_thread;

    std::atomic<int64_t> last_extension_contact{-1};
    std::atomic<int64_t> last_ping{-1};
    std::atomic<int32_t> extension_kind{kNoExtension};

    std::mutex tag_lock;
    std::map<std::string, int64_t, std::less<>> browser_tags; // tag -> monotonic ms

    AnsweredNonces answered_nonces; // on "/proof", each good for one request

    // The connection mutex: the open sockets, the number of connection threads, the stop flag.
    // `changed` wakes the stopper when the last thread ends, and the push loops when stop begins.
    std::mutex lock;
    std::condition_variable changed;
    std::set<Socket> open;
    std::map<Socket, int64_t> reading_head; // socket -> monotonic ms of its accept
    int32_t active = 0;
    int32_t websockets = 0;
    bool stopping = false;
};

namespace {

constexpr const char* kPrintTokenSwitch = "TWK_PRINT_TOKEN";
constexpr size_t kTokenBytes = 16;
constexpr int kAcceptRetryMs = 100;

const char* reason_for(int status) {
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 503: return "Service Unavailable";
    default: return "OK";
    }
}

struct Connection {
    ControlServer& server;
    Socket socket;
    const ControlRequest& request;
    std::string& body; // the bytes that came after the head
    AccessDecision access;
};

// The page holds a start form: no other page may frame it.
void serve_page(Connection& c) {
    write_reply(c.socket, 200, "text/html; charset=utf-8", status_page(),
                "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n");
}

// The program's half of the exchange in control/extension_key.h: the answer shows the caller
// that this server holds the key, and the nonce is kept for the one request that follows.
void serve_proof(Connection& c) {
    const std::string nonce = query_parameter(c.request.target, "nonce");
    if (!valid_nonce(nonce)) {
        write_reply(c.socket, 400, "text/plain", "bad nonce");
        return;
    }
    if (c.server.key.empty()) {
        write_reply(c.socket, 503, "text/plain", "no key");
        return;
    }
    c.server.answered_nonces.remember(nonce, monotonic_ms());
    write_reply(c.socket, 200, "text/plain", key_proof(c.server.key, kServerProofLabel, nonce));
}

// True when the request carries the client's proof for a nonce this server answered lately.
// The nonce is used up either way, so a proof counts once.
bool take_proof(ControlServer& server, const ControlRequest& request) {
    std::string nonce;
    std::string proof;
    if (server.key.empty() || !presented_proof(request, nonce, proof) || !valid_nonce(nonce)) return false;
    if (!server.answered_nonces.take(nonce, monotonic_ms())) return false;
    return tokens_equal(proof, key_proof(server.key, kClientProofLabel, nonce));
}

// Another account on the machine may reach the port, but gets nothing but "/ping": the client's
// socket must belong to the user this server runs as.
bool same_user(Socket socket) { return loopback_peer_uid(socket) == static_cast<uint32_t>(::geteuid()); }

void serve_ping(Connection& c) {
    c.server.last_ping = monotonic_ms();
    write_reply(c.socket, 200, "text/plain", "ok");
}

// Reads what the client has sent, without waiting, and answers it: a Pong for a Ping, a Close
// for a Close (with the client's status code). False when the channel is over: the client
// closed it or left, or sent what no client may send (answered with a Close of its own).
bool answer_client(Connection& c, std::string& pending) {
    const auto send = [&c](const std::string& frame) {
        return send_raw_all(c.socket, frame.data(), frame.size());
    };
    char piece[kBodyReceiveSize];
    for (;;) {
        const int n = recv_waiting(c.socket, piece, sizeof piece);
        if (n == kNothingWaiting) return true;
        if (n <= 0) return false;
        pending.append(piece, static_cast<size_t>(n));
        ClientFrame frame;
        for (;;) {
            const ClientFrameRead read = take_client_frame(pending, frame);
            if (read == ClientFrameRead::kNeedMore) break;
            if (read != ClientFrameRead::kFrame) {
                const uint16_t code = read == ClientFrameRead::kTooBig ? kWsTooBig : kWsProtocolError;
                send(websocket_control_frame(kWsClose, websocket_close_payload(code)));
                return false;
            }
            if (frame.opcode == kWsClose) {
                send(websocket_control_frame(kWsClose, frame.payload.substr(0, 2)));
                return false;
            }
            if (frame.opcode == kWsPing && !send(websocket_control_frame(kWsPong, frame.payload)))
                return false;
        }
    }
}

void serve_websocket(Connection& c) {
    if (!c.access.allowed) {
        write_reply(c.socket, 403, "text/plain", "forbidden");
        return;
    }
    const std::string* key = c.request.header("sec-websocket-key");
    if (!key || key->empty()) {
        write_reply(c.socket, 400, "text/plain", "bad ws");
        return;
    }
    {
        std::lock_guard lock(c.server.lock);
        if (c.server.websockets >= kMaxWebSocketClients) {
            write_reply(c.socket, 503, "text/plain", "busy");
            return;
        }
        ++c.server.websockets;
    }
    struct Leave {
        ControlServer& server;
        ~Leave() {
            std::lock_guard lock(server.lock);
            --server.websockets;
        }
    } leave{c.server};
    std::string upgrade = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: " +
                          websocket_accept(*key) + "\r\n\r\n";
    if (!send_raw_all(c.socket, upgrade.data(), upgrade.size())) return;
    // The stream ends when the client closes it or leaves, when a send fails (the client stopped
    // reading for the socket's send time-out) or when the server's stop shuts the socket down.
    // A frame goes out when the list changed, at most once per snapshot interval; an unchanged
    // list is sent again after the idle interval, so that a client that went away is still
    // noticed at a send. What the client sent is looked at before every frame.
    const Engine& engine = *c.server.engine;
    const auto stopping = [&c] {
        std::lock_guard lock(c.server.lock);
        return c.server.stopping;
    };
    std::string from_client;
    while (true) {
        if (!answer_client(c, from_client)) return;
        const Revision sent = engine.revision();
        std::string frame = websocket_text_frame(engine.list_document());
        if (!send_raw_all(c.socket, frame.data(), frame.size())) return;
        {
            std::unique_lock lock(c.server.lock);
            if (c.server.changed.wait_for(lock, std::chrono::milliseconds(kSnapshotIntervalMs),
                                          [&] { return c.server.stopping; }))
                return;
        }
        engine.wait_for_change(sent, ChangeScope::kAny, kSnapshotIdleMs - kSnapshotIntervalMs, stopping);
        if (stopping()) return;
    }
}

void reply_json_error(Connection& c, int status, const char* error) {
    write_reply(c.socket, status, "application/json",
                std::string("{\"ok\":false,\"error\":\"") + error + "\"}");
}

// The rest of a POST's body, up to its Content-Length and at most kMaxStartBody.
void read_body(Connection& c) {
    if (const std::string* length = c.request.header("content-length")) {
        const int64_t wanted = std::min(lenient_content_length(*length), kMaxStartBody);
        char chunk[kBodyReceiveSize];
        while (static_cast<int64_t>(c.body.size()) < wanted) {
            int n = recv_some(c.socket, chunk, kBodyReceiveSize);
            if (n < 1) break;
            c.body.append(chunk, static_cast<size_t>(n));
        }
    }
}

// A member that must be a task id (a whole number from 1 to 2^31-1): kAbsent, kBad or kGiven.
enum class IdMember { kAbsent, kBad, kGiven };
IdMember read_id_member(const JsonValue& request, const char* name, int32_t& id) {
    if (request.kind != JsonKind::Object) return IdMember::kAbsent;
    auto found = request.object.find(name);
    if (found == request.object.end()) return IdMember::kAbsent;
    const JsonValue& value = found->second;
    if (value.kind != JsonKind::Number || value.number < 1 || value.number > 2147483647.0 ||
        value.number != static_cast<double>(static_cast<int32_t>(value.number)))
        return IdMember::kBad;
    id = static_cast<int32_t>(value.number);
    return IdMember::kGiven;
}

// How a refused link refresh is answered: an unknown id is not found, a request that could never
// be taken is bad, the rest conflict with the download as it is.
int refusal_status(RefreshError error) {
    switch (error) {
    case RefreshError::kNoSuchTask: return 404;
    case RefreshError::kInvalidUrl:
    case RefreshError::kStreamLink:
    case RefreshError::kNotGet: return 400;
    default: return 409;
    }
}

// "replaces": ID continues that download with the request's link (core/link_refresh.h).
void serve_refresh(Connection& c, int32_t id, const StartOptions& options) {
    const RefreshResult result = c.server.engine->refresh_link(id, options);
    if (!result.ok()) {
        write_reply(c.socket, refusal_status(result.error), "application/json",
                    "{\"ok\":false,\"error\":" + json_quote(result.message) + "}");
        return;
    }
    write_reply(c.socket, 200, "application/json",
                "{\"ok\":true,\"id\":" + std::to_string(id) + ",\"replaced\":true}");
}

void serve_start(Connection& c) {
    if (!c.access.allowed) {
        reply_json_error(c, 403, "forbidden");
        return;
    }
    read_body(c);
    const bool capture = request_path(c.request.target) == "/capture";
    std::optional<StartOptions> options = parse_start_request(c.body, capture);
    JsonValue request;
    if (options && parse_json(c.body, request)) {
        int32_t replaces = 0;
        switch (read_id_member(request, "replaces", replaces)) {
        case IdMember::kBad: reply_json_error(c, 400, "bad id"); return;
        case IdMember::kGiven: serve_refresh(c, replaces, *options); return;
        case IdMember::kAbsent: break;
        }
        // A browser's download of a file that a paused or failed download holds in part: the
        // caller is told, and may ask again with "replaces" (the extension asks its user first).
        auto found = request.object.find("size");
        const JsonValue* size = capture && found != request.object.end() ? &found->second : nullptr;
        if (size && size->kind == JsonKind::Number && size->number >= 1 && size->number < 9.0e15) {
            if (const int32_t match =
                    c.server.engine->matching_download(*options, static_cast<uint64_t>(size->number))) {
                write_reply(c.socket, 409, "application/json",
                            "{\"ok\":false,\"error\":\"matches a paused download\",\"matches\":" +
                                std::to_string(match) + "}");
                return;
            }
        }
    }
    const AddResult added = options ? c.server.engine->add(*options) : AddResult{-1, AddError::kBadRequest};
    if (!added.ok()) {
        reply_json_error(c, 400, add_error_text(added.error));
        return;
    }
    write_reply(c.socket, 200, "application/json",
                "{\"ok\":true,\"id\":" + std::to_string(added.id) +
                    ",\"connections\":" + std::to_string(added.connections) + "}");
}

// The task id of a {"id": N} request body; false (with 400 "bad id" sent) for anything else.
bool read_task_id(Connection& c, int32_t& out) {
    read_body(c);
    JsonValue request;
    if (!parse_json(c.body, request) || read_id_member(request, "id", out) != IdMember::kGiven) {
        reply_json_error(c, 400, "bad id");
        return false;
    }
    return true;
}

// {"id": N}: runs a failed, paused or canceled task again (core/engine.h `retry`); an id the
// list does not hold changes nothing.
void serve_retry(Connection& c) {
    if (!c.access.allowed) {
        reply_json_error(c, 403, "forbidden");
        return;
    }
    int32_t id = 0;
    if (!read_task_id(c, id)) return;
    c.server.engine->retry(id);
    write_reply(c.socket, 200, "application/json", "{\"ok\":true}");
}

// {"id": N}: ends a live recording "done" with what it recorded (core/engine.h
// `finish_recording`); any other running task is paused.
void serve_stop(Connection& c) {
    if (!c.access.allowed) {
        reply_json_error(c, 403, "forbidden");
        return;
    }
    int32_t id = 0;
    if (!read_task_id(c, id)) return;
    c.server.engine->finish_recording(id);
    write_reply(c.socket, 200, "application/json", "{\"ok\":true}");
}

struct Route {
    std::string_view path;
    bool get;
    bool post;
    void (*serve)(Connection&);
};

constexpr Route kRoutes[] = {
    {"/", true, false, serve_page},         {"/ping", true, true, serve_ping},
    {"/ws", true, false, serve_websocket},  {"/start", false, true, serve_start},
    {"/capture", false, true, serve_start}, {"/retry", false, true, serve_retry},
    {"/stop", false, true, serve_stop},     {"/proof", true, false, serve_proof},
};

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

    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    for (const Route& route : kRoutes) {
        if (route.path == path && ((get && route.get) || (post && route.post))) {
            route.serve(connection);
            return;
        }
    }
    write_reply(socket, 404, "text/plain", "not found");
}

// Closed under the mutex, so that a stop in progress never shuts down a number the system has
// already handed to another file.
void finish_connection(ControlServer& server, Socket socket) {
    std::lock_guard lock(server.lock);
    server.open.erase(socket);
    server.reading_head.erase(socket);
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
    server.reading_head.erase(oldest);
    return true;
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
            if (server.active - server.websockets >= kMaxRequestConnections && !make_room(server)) {
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

bool write_reply(int socket, int status, std::string_view content_type, std::string_view body,
                 std::string_view extra_headers) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason_for(status) + "\r\n";
    head += "Content-Type: ";
    head += content_type;
    head += "\r\n";
    head += extra_headers;
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!send_raw_all(socket, head.data(), head.size())) return false;
    return body.empty() || send_raw_all(socket, body.data(), body.size());
}

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
