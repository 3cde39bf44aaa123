#include "app/engine_api.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "control/control_service.h"
#include "core/status_document.h"
#include "core/task_list.h"
#include "media/stream_driver.h"

namespace twk {

namespace {

constexpr int64_t kApplicationMaxConcurrent = 3;

// The application's engine and the control server that reads it; the server goes first.
struct Application {
    std::unique_ptr<Engine> engine;
    ControlServerHandle server;
    ~Application() { server.reset(); }
};

std::mutex& handle_mutex() {
    static std::mutex m;
    return m;
}

// Callers copy the pointer under the handle mutex and use it outside it; the last copy to go
// destroys the engine, so no call ever runs on a freed one.
std::shared_ptr<Application>& application() {
    static std::shared_ptr<Application> app;
    return app;
}

std::shared_ptr<Application> current_application() {
    std::lock_guard lock(handle_mutex());
    return application();
}

} // namespace

Engine* engine_create(std::string_view download_dir, int64_t max_concurrent) {
    EngineOptions options;
    options.download_dir = std::string(download_dir);
    options.max_concurrent = max_concurrent;
    options.drivers = stream_drivers();
    return Engine::create(std::move(options)).release();
}

void engine_destroy(Engine* engine) { delete engine; }

bool engine_set_journal(Engine* engine, std::string_view path) { return engine && engine->set_journal(path); }

int32_t engine_add(Engine* engine, std::string_view url, int64_t connections, std::string_view proxy) {
    if (!engine || url.empty()) return -1;
    // Plain mode: the URL and the transfer settings only.
    StartOptions options;
    options.url = std::string(url);
    options.connections = connections <= 0 ? static_cast<int64_t>(kDefaultConnections) : connections;
    options.proxy = std::string(proxy);
    return engine->add(options).id;
}

int32_t engine_add_json(Engine* engine, std::string_view json) {
    if (!engine) return -1;
    std::optional<StartOptions> options = parse_start_request(json, true);
    return options ? engine->add(*options).id : -1;
}

void engine_pause(Engine* engine, int32_t id) {
    if (engine) engine->pause(id);
}

void engine_resume(Engine* engine, int32_t id) {
    if (engine) engine->resume(id);
}

void engine_cancel(Engine* engine, int32_t id) {
    if (engine) engine->cancel(id);
}

FailureCategory engine_task_failure(Engine* engine, int32_t id) {
    if (!engine) return FailureCategory::kNone;
    for (const TaskSnapshot& task : engine->snapshot().tasks) {
        if (task.id == id) return task.failure;
    }
    return FailureCategory::kNone;
}

void engine_set_options(Engine* engine, int64_t max_concurrent, int64_t bandwidth_limit,
                        std::string_view proxy) {
    if (!engine) return;
    engine->set_max_concurrent(max_concurrent);
    engine->set_bandwidth_limit(bandwidth_limit);
    engine->set_proxy(proxy);
}

void engine_set_download_dir(Engine* engine, std::string_view download_dir) {
    if (engine) engine->set_download_dir(download_dir);
}

void engine_set_use_system_proxy(Engine* engine, bool use) {
    if (engine) engine->set_use_system_proxy(use);
}

std::string engine_download_dir(Engine* engine) { return engine ? engine->download_dir() : std::string(); }

char* engine_list_document(Engine* engine) {
    std::string document = engine ? engine->list_document() : std::string(kIdleDocument);
    char* text = static_cast<char*>(std::malloc(document.size() + 1));
    if (text) std::memcpy(text, document.c_str(), document.size() + 1);
    return text;
}

void engine_release_text(char* text) { std::free(text); }

Revision engine_revision(Engine* engine) { return engine ? engine->revision() : Revision{}; }

Revision engine_wait_for_change(Engine* engine, const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                                const std::function<bool()>& stop) {
    if (!engine) return seen;
    return engine->wait_for_change(seen, scope, timeout_ms, stop);
}

void engine_wake_waiters(Engine* engine) {
    if (engine) engine->wake_waiters();
}

const char* engine_version() { return "TWK 0.2 (in-process core)"; }

std::shared_ptr<TaskList> engine_task_list(Engine* engine) { return engine ? engine->task_list() : nullptr; }

void start_engine() {
    std::lock_guard lock(handle_mutex());
    if (application()) return;
    auto app = std::make_shared<Application>();
    app->engine.reset(engine_create(default_download_dir(), kApplicationMaxConcurrent));
    app->server = start_control_service(app->engine.get());
    application() = std::move(app);
}

void stop_engine() {
    std::shared_ptr<Application> app;
    {
        std::lock_guard lock(handle_mutex());
        app.swap(application());
    }
    // Destroyed here, outside the handle mutex, unless a call in flight still holds it.
}

bool engine_running() { return current_application() != nullptr; }

StartDownloadResult start_download(std::string_view url, int64_t connections, int64_t max_concurrent) {
    StartDownloadResult result;
    result.connections = connections;
    std::shared_ptr<Application> app = current_application();
    if (!app) {
        result.error = "engine not running";
        return result;
    }
    app->engine->set_max_concurrent(max_concurrent);
    if (engine_add(app->engine.get(), url, connections, "") < 0) {
        result.error = "invalid URL";
        return result;
    }
    result.ok = true;
    return result;
}

bool application_list_document(std::string& out) {
    std::shared_ptr<Application> app = current_application();
    if (!app) return false;
    out = app->engine->list_document();
    return true;
}

int64_t application_browser_contact_age(std::string_view tag) {
    std::shared_ptr<Application> app = current_application();
    if (!app || !app->server || tag.empty()) return -1;
    return browser_contact_age(*app->server, tag);
}

} // namespace twk
