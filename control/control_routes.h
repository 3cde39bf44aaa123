// The control server's shared state and its routes: what each path answers ("/" the status
// page, "/ping", "/proof", "/ws" the snapshot stream, "/start" and "/capture", "/retry",
// "/stop", "/limits"). The server itself (control/control_server.cpp) accepts, reads the head,
// checks host and user, and hands the request here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "control/control_reply.h"
#include "control/extension_key.h"
#include "control/feed_frame.h"
#include "control/request.h"
#include "core/engine.h"
#include "net/socket.h"

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
    FeedFrames feed;                // the list frame every WebSocket client sends

    // The connection mutex: the open sockets, the number of connection threads, the stop flag.
    // `changed` wakes the stopper when the last thread ends, and the push loops when stop begins.
    std::mutex lock;
    std::condition_variable changed;
    std::set<Socket> open;
    std::map<Socket, int64_t> reading_head; // socket -> monotonic ms of its accept
    std::set<Socket> shut_for_room;         // shut down at the cap; their threads are leaving
    int32_t active = 0;
    int32_t websockets = 0;
    bool stopping = false;
};

// One request being answered: the bytes after its head start `body`.
struct Connection {
    ControlServer& server;
    Socket socket;
    const ControlRequest& request;
    std::string& body; // the bytes that came after the head
    AccessDecision access;
};

// True when the request carries the client's proof for a nonce this server answered lately.
// The nonce is used up either way, so a proof counts once.
bool take_proof(ControlServer& server, const ControlRequest& request);

// Answers the request when a route serves its path and method; false when none does.
bool serve_route(Connection& c, std::string_view path);

} // namespace twk
