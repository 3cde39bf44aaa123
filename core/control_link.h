// The engine's link to its control server.
//
// The control service (control/) sits in a layer above the engine, so the engine cannot start it
// by itself. A front end that wants an engine with a control server installs these hooks once
// (`install_control_service` in control/control_service.h does it); from then on `start_engine`
// starts the application engine's server on the loopback port, and `engine_destroy` stops any
// server attached to the engine it destroys before it pauses the tasks. Without the hooks an
// engine runs without a control server, as it does in `twk get`.
#pragma once

#include <cstdint>
#include <string_view>

namespace twk {

struct Engine;
struct ControlServer; // defined by the control service

struct ControlHooks {
    // Starts a control server for the application's engine; null when it could not listen
    // (another instance holds the port, say): the engine then runs on without one.
    ControlServer* (*start)(Engine* engine) = nullptr;
    // Stops the server: no new connections, open ones (WebSocket streams too) are shut down,
    // and it returns once every connection thread has ended. Then frees it.
    void (*stop)(ControlServer* server) = nullptr;
    // Milliseconds since a browser tag last made contact; -1 when never seen.
    int64_t (*contact_age)(ControlServer* server, std::string_view tag) = nullptr;
};

void install_control_hooks(const ControlHooks& hooks);

// Starts the engine's control server through the hooks and attaches it; false without hooks or
// when the server could not start.
bool start_engine_control(Engine* engine);
// Hands `server` to `engine`: `engine_destroy` stops it. A server already attached is stopped.
void attach_control_server(Engine* engine, ControlServer* server);
// Stops and detaches the engine's server; nothing when it has none.
void stop_engine_control(Engine* engine);

// Milliseconds since the extension of the browser `tag` ("chrome", "edge", "firefox") last
// contacted the engine's control server; -1 when it never did, the tag is empty, or the engine
// has no control server.
int64_t engine_browser_contact_age(Engine* engine, std::string_view tag);

} // namespace twk
