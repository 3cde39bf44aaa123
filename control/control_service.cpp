#include "control/control_service.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace twk {

int control_port_setting() {
    const char* text = std::getenv(kControlPortSwitch);
    if (!text) return kControlPort;
    int port = 0;
    const char* end = text + std::strlen(text);
    auto [stop, ec] = std::from_chars(text, end, port);
    if (ec != std::errc() || stop != end || port < 1 || port > 65535) return kControlPort;
    return port;
}

ControlServerHandle start_control_service(Engine* engine) {
    return ControlServerHandle(start_control_server(engine, kControlAddress, control_port_setting()));
}

} // namespace twk
