#include "control/control_service.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "control/control_server.h"
#include "core/control_link.h"

namespace twk {

namespace {

ControlServer* start_for_engine(Engine* engine) {
    return start_control_server(engine, kControlAddress, control_port_setting());
}

int64_t contact_age(ControlServer* server, std::string_view tag) { return browser_contact_age(*server, tag); }

} // namespace

int control_port_setting() {
    const char* text = std::getenv(kControlPortSwitch);
    if (!text) return kControlPort;
    int port = 0;
    const char* end = text + std::strlen(text);
    auto [stop, ec] = std::from_chars(text, end, port);
    if (ec != std::errc() || stop != end || port < 1 || port > 65535) return kControlPort;
    return port;
}

void install_control_service() {
    ControlHooks hooks;
    hooks.start = start_for_engine;
    hooks.stop = stop_control_server;
    hooks.contact_age = contact_age;
    install_control_hooks(hooks);
}

} // namespace twk
