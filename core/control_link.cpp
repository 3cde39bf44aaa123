#include "core/control_link.h"

#include <map>
#include <mutex>

namespace twk {

namespace {

struct Link {
    std::mutex lock; // guards the hooks and the servers; never held while one starts or stops
    ControlHooks hooks;
    std::map<Engine*, ControlServer*> servers;
};

Link& link() {
    static Link l;
    return l;
}

ControlServer* detach(Engine* engine, ControlHooks& hooks) {
    std::lock_guard lock(link().lock);
    hooks = link().hooks;
    auto it = link().servers.find(engine);
    if (it == link().servers.end()) return nullptr;
    ControlServer* server = it->second;
    link().servers.erase(it);
    return server;
}

} // namespace

void install_control_hooks(const ControlHooks& hooks) {
    std::lock_guard lock(link().lock);
    link().hooks = hooks;
}

bool start_engine_control(Engine* engine) {
    if (!engine) return false;
    ControlHooks hooks;
    {
        std::lock_guard lock(link().lock);
        hooks = link().hooks;
    }
    if (!hooks.start || !hooks.stop) return false;
    ControlServer* server = hooks.start(engine);
    if (!server) return false;
    attach_control_server(engine, server);
    return true;
}

void attach_control_server(Engine* engine, ControlServer* server) {
    if (!engine || !server) return;
    stop_engine_control(engine);
    std::lock_guard lock(link().lock);
    link().servers[engine] = server;
}

void stop_engine_control(Engine* engine) {
    ControlHooks hooks;
    ControlServer* server = detach(engine, hooks);
    if (server && hooks.stop) hooks.stop(server);
}

int64_t engine_browser_contact_age(Engine* engine, std::string_view tag) {
    if (tag.empty()) return -1;
    // Under the lock, so that the server cannot be stopped and freed meanwhile.
    std::lock_guard lock(link().lock);
    auto it = link().servers.find(engine);
    if (it == link().servers.end() || !link().hooks.contact_age) return -1;
    return link().hooks.contact_age(it->second, tag);
}

} // namespace twk
