// The control service as the front ends start it: a control server for their engine on
// 127.0.0.1, port 18080 (or the port in TWK_CONTROL_PORT, a developer switch for tests and for
// running a second copy). A port that is taken leaves the engine without a control server, as a
// second copy of the program would be.
//
// The front end owns the server: it starts it after creating its engine and stops it before the
// engine goes (`ControlServerHandle` does the stop when it goes out of scope).
#pragma once

#include <memory>

#include "control/control_server.h"

namespace twk {

inline constexpr const char* kControlPortSwitch = "TWK_CONTROL_PORT";

// The port from TWK_CONTROL_PORT when it holds a decimal number 1 to 65535, else 18080.
int control_port_setting();

struct ControlServerStop {
    void operator()(ControlServer* server) const { stop_control_server(server); }
};
using ControlServerHandle = std::unique_ptr<ControlServer, ControlServerStop>;

// The engine's control server on the loopback address and the port above; empty when it could
// not listen.
ControlServerHandle start_control_service(Engine* engine);

} // namespace twk
