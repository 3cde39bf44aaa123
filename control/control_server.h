// The control server: a small HTTP/1.1 server on a loopback address through which browser
// extensions and local pages hand downloads to the engine and watch its progress.
//
// One request per connection ("Connection: close" on every reply but the WebSocket upgrade), one
// thread per connection, and no CORS headers on any reply. The routes:
//
//   GET "/"                     200 text/html   the built-in status page (never in a frame)
//   GET or POST "/ping"         200 text/plain  "ok"
//   GET "/ws"                   the WebSocket status channel: the engine's task list document
//                               when it changed, at most every 200 ms, and at least every 1 s
//                               (400 "bad ws" without Sec-WebSocket-Key); every client gets
//                               the same frame of a revision, built once
//   POST "/start", "/capture"   a start request (JSON, plain or capture mode) added through the
//                               engine: 200 {"ok":true,"id":N,"connections":N}, or 400
//                               {"ok":false,"error":"bad json"} / "empty url" / "invalid url"
//                               / "maxConcurrent must be a whole number from 1 to 10" (a
//                               captured download's, above 10)
//   POST "/retry", "/stop"      {"id":N}: runs a settled task again (`Engine::retry`), or ends a
//                               live recording "done" with what it holds (`finish_recording`;
//                               another task is paused): 200 {"ok":true}, or 400 "bad id"
//   GET or POST "/limits"       the limit all downloads share and how many run at once:
//                               200 {"ok":true,"speedLimit":N,"downloadsAtOnce":N} (bytes per
//                               second, 0 for none; 1 to 10); a POST sets either or both
//                               members first, or changes nothing and answers 400 with the
//                               reason ("bad json", "speedLimit must be ...", ...)
//   GET "/proof?nonce=N"        200 text/plain  this server's proof that it holds the
//                               extension key (control/extension_key.h; 400 "bad nonce",
//                               503 "no key")
//   anything else               404 text/plain "not found" (OPTIONS too: no preflight passes)
//
// Every route needs a loopback Host, every route but "/ping" a client of the user the server
// runs as; "/ws", "/start", "/capture", "/retry", "/stop" and "/limits" also an allowed caller,
// else 403 "forbidden" (JSON from the POST routes to a client of the same user).
// control/request.h has the rules. Requests with the query parameter "b" (a browser tag such as "chrome")
// record that browser's contact.
//
// The bearer token is 32 lower-case hex digits, new at every start; with TWK_PRINT_TOKEN in the
// environment it is written to standard error as "[twk] control API bearer token: <token>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/control_reply.h"

namespace twk {

class Engine;
struct ControlServer;

inline constexpr int kControlPort = 18080;
inline constexpr const char* kControlAddress = "127.0.0.1";
inline constexpr int kControlBacklog = 64;
// Receive and send time-out of a connection; a WebSocket client that stops reading for this long
// ends its stream.
inline constexpr uint32_t kConnectionTimeoutMs = 30000;

// Listens on `bind_address` (anything but an IPv4 literal in 127.0.0.0/8 becomes "127.0.0.1")
// and `port` (0: a free port the system picks), and starts the accept thread. Null, with the
// reason in `error` when given, when the engine is missing or the port cannot be bound (another
// instance holds it, say); no other port is tried. The server adds to and reads the engine until
// it is stopped: whoever starts it stops it before the engine goes.
ControlServer* start_control_server(Engine* engine, std::string_view bind_address, int port,
                                    std::string* error = nullptr);

// Refuses new connections, shuts down every open one (WebSocket streams included), waits for
// every connection thread to end, and frees the server. Null is ignored.
void stop_control_server(ControlServer* server);

int control_server_port(const ControlServer& server);
std::string control_server_address(const ControlServer& server);
std::string control_server_token(const ControlServer& server);
// Connection threads still running (a WebSocket stream holds one until it ends).
int32_t control_server_connections(ControlServer& server);
// Request connections being served (WebSocket streams and connections already shut down to make
// room at the cap, whose threads are on their way out, do not count); never above the cap.
int32_t control_server_held_requests(ControlServer& server);
// Frames of the task list the WebSocket feed has built: one per revision of the list that a
// client asked for, however many clients watch (control/feed_frame.h).
uint64_t control_server_feed_builds(const ControlServer& server);

// Monotonic milliseconds (net/text.h) of the last request from a browser-extension origin and
// of the last "/ping"; -1 before the first. The extension kind: control/request.h.
int64_t last_extension_contact(const ControlServer& server);
int64_t last_ping(const ControlServer& server);
int32_t last_extension_kind(const ControlServer& server);

// Milliseconds since the tag last came with a request ("b" query parameter); -1 when never or
// when the tag is empty.
int64_t browser_contact_age(ControlServer& server, std::string_view tag);

} // namespace twk
