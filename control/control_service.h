// The control service as the application's engine sees it.
//
// `install_control_service` fills the engine's control hooks (core/control_link.h): from then on
// `start_engine` starts a control server on 127.0.0.1, port 18080 (or the port in TWK_CONTROL_PORT,
// a developer switch for tests and for running a second copy), `engine_destroy` stops it, and
// `application_browser_contact_age` answers from it. A port that is taken leaves the engine
// without a control server, as a second copy of the program would be.
#pragma once

namespace twk {

inline constexpr const char* kControlPortSwitch = "TWK_CONTROL_PORT";

void install_control_service();

// The port from TWK_CONTROL_PORT when it holds a decimal number 1 to 65535, else 18080.
int control_port_setting();

} // namespace twk
