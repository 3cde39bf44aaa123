#include "control/control_routes.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>

#include "control/extension_key.h"
#include "control/status_page.h"
#include "control/websocket.h"
#include "net/text.h"
#include "json/json.h"

namespace twk {

// True when the request carries the client's proof for a nonce this server answered lately.
// The nonce is used up either way, so a proof counts once.
bool take_proof(ControlServer& server, const ControlRequest& request) {
    std::string nonce;
    std::string proof;
    if (server.key.empty() || !presented_proof(request, nonce, proof) || !valid_nonce(nonce)) return false;
    if (!server.answered_nonces.take(nonce, monotonic_ms())) return false;
    return tokens_equal(proof, key_proof(server.key, kClientProofLabel, nonce));
}

namespace {

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
    // noticed at a send. Every client sends the server's one frame of the list's revision
    // (control/feed_frame.h). What the client sent is looked at before every frame.
    const Engine& engine = *c.server.engine;
    const auto stopping = [&c] {
        std::lock_guard lock(c.server.lock);
        return c.server.stopping;
    };
    std::string from_client;
    while (true) {
        if (!answer_client(c, from_client)) return;
        // A keep-alive comes at least the idle interval after the client's last frame: one
        // built that long ago is built again while a task runs.
        const FeedFrame frame = c.server.feed.frame(engine, kSnapshotIdleMs - kSnapshotIntervalMs);
        const Revision sent = frame.revision;
        if (!send_raw_all(c.socket, frame.text->data(), frame.text->size())) return;
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

// The limits a caller may set, as "/limits" reads and writes them.
constexpr double kLargestSpeedLimit = 9007199254740991.0; // 2^53 - 1: exact in a JSON number
constexpr double kFewestAtOnce = 1;
constexpr double kMostAtOnce = 10;

void serve_start(Connection& c) {
    if (!c.access.allowed) {
        reply_json_error(c, 403, "forbidden");
        return;
    }
    read_body(c);
    const bool capture = request_path(c.request.target) == "/capture";
    std::optional<StartOptions> options = parse_start_request(c.body, capture);
    // A captured download's "maxConcurrent" is held to the range "/limits" allows.
    if (options && options->max_concurrent.value_or(0) > static_cast<int64_t>(kMostAtOnce)) {
        reply_json_error(c, 400, "maxConcurrent must be a whole number from 1 to 10");
        return;
    }
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

std::string limits_reply(const Engine& engine) {
    return "{\"ok\":true,\"speedLimit\":" + std::to_string(std::max<int64_t>(0, engine.global_limit())) +
           ",\"downloadsAtOnce\":" + std::to_string(engine.max_concurrent()) + "}";
}

// A member that must be a whole number from `low` to `high`: false when it is there and is not.
bool read_whole_member(const JsonValue& request, const char* name, double low, double high,
                       std::optional<int64_t>& out) {
    auto found = request.object.find(name);
    if (found == request.object.end()) return true;
    const JsonValue& value = found->second;
    if (value.kind != JsonKind::Number || !(value.number >= low && value.number <= high) ||
        value.number != std::floor(value.number))
        return false;
    out = static_cast<int64_t>(value.number);
    return true;
}

// GET: the limit all downloads share (bytes per second, 0 for none) and how many run at once.
// POST {"speedLimit": N, "downloadsAtOnce": N}, either or both: every member given is checked
// before any applies, and the reply holds the limits then in force. They last as long as the
// engine does (the desktop app keeps its own in its settings).
void serve_limits(Connection& c) {
    if (!c.access.allowed) {
        reply_json_error(c, 403, "forbidden");
        return;
    }
    Engine& engine = *c.server.engine;
    if (c.request.method == "POST") {
        read_body(c);
        JsonValue request;
        if (!parse_json(c.body, request) || request.kind != JsonKind::Object) {
            reply_json_error(c, 400, "bad json");
            return;
        }
        std::optional<int64_t> speed_limit, at_once;
        if (!read_whole_member(request, "speedLimit", 0, kLargestSpeedLimit, speed_limit)) {
            reply_json_error(c, 400, "speedLimit must be a whole number of bytes per second, 0 for none");
            return;
        }
        if (!read_whole_member(request, "downloadsAtOnce", kFewestAtOnce, kMostAtOnce, at_once)) {
            reply_json_error(c, 400, "downloadsAtOnce must be a whole number from 1 to 10");
            return;
        }
        if (!speed_limit && !at_once) {
            reply_json_error(c, 400, "give speedLimit or downloadsAtOnce");
            return;
        }
        if (speed_limit) engine.set_global_limit(*speed_limit);
        if (at_once) engine.set_max_concurrent(*at_once);
    }
    write_reply(c.socket, 200, "application/json", limits_reply(engine));
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
    {"/limits", true, true, serve_limits},
};

} // namespace

bool serve_route(Connection& c, std::string_view path) {
    const bool get = c.request.method == "GET";
    const bool post = c.request.method == "POST";
    for (const Route& route : kRoutes) {
        if (route.path == path && ((get && route.get) || (post && route.post))) {
            route.serve(c);
            return true;
        }
    }
    return false;
}

} // namespace twk
