#include "core/engine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "core/control_link.h"
#include "core/journal_keeper.h"
#include "core/start_request.h"
#include "core/status_document.h"
#include "core/task_list.h"
#include "net/file_io.h"
#include "net/proxy_spec.h"
#include "net/text.h"
#include "net/url.h"
#include "json/json.h"

namespace twk {

namespace {

constexpr const char* kFallbackDir = "downloads";
constexpr int64_t kApplicationMaxConcurrent = 3;
constexpr int64_t kSettleWaitMs = 3'000;

// The XDG_DOWNLOAD_DIR line of the user-dirs file: "$HOME/..." or an absolute path, quoted.
std::string xdg_download_dir(const std::string& home) {
    std::string config = env_value("XDG_CONFIG_HOME");
    if (config.empty() && !home.empty()) config = home + "/.config";
    if (config.empty()) return {};
    std::ifstream file(config + "/user-dirs.dirs");
    std::string line;
    std::string found;
    while (std::getline(file, line)) {
        std::string text = trim_spaces(line);
        constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
        if (!text.starts_with(key)) continue;
        std::string value = trim_spaces(std::string_view(text).substr(key.size()));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value == "$HOME" && !home.empty()) {
            found = home;
        } else if (value.starts_with("$HOME/") && !home.empty()) {
            found = home + value.substr(5);
        } else if (value.starts_with("/")) {
            found = value;
        }
    }
    return found;
}

} // namespace

struct Engine {
    std::mutex lock; // guards the folder, the proxies and the limit
    std::string download_dir;
    ProxySpec custom_proxy;
    ProxySpec system_proxy;
    bool use_system_proxy = false;
    int64_t bandwidth_limit = 0;

    std::shared_ptr<TaskList> tasks;
    std::unique_ptr<JournalKeeper> journal; // none unless engine_set_journal gave it one
};

namespace {

// Every add: the cleaned request with the engine's defaults (proxy, bandwidth limit) becomes a
// task in the engine's folder, handed to the list.
int32_t add_task(Engine& engine, StartOptions options) {
    options.url = trim_spaces(options.url);
    options.proxy = trim_spaces(options.proxy);
    // A URL that does not parse (or names a scheme we do not speak) is refused here, at once,
    // rather than failing the task's first request.
    UrlParts parts;
    if (options.url.empty() || !parse_url(options.url, parts)) return -1;
    TaskRequest request = clean_request(options);
    std::string path;
    int64_t bandwidth_limit = options.bandwidth_limit;
    {
        std::lock_guard lock(engine.lock);
        path = output_path_for(options, engine.download_dir);
        if (request.proxy.kind == kProxyNone) {
            if (engine.custom_proxy.configured()) {
                request.proxy = engine.custom_proxy;
            } else if (engine.use_system_proxy && engine.system_proxy.configured()) {
                request.proxy = engine.system_proxy;
            }
        }
        if (engine.bandwidth_limit != 0) bandwidth_limit = engine.bandwidth_limit;
    }
    auto task = create_task(std::move(request), path, bandwidth_limit);
    const int64_t max_concurrent = options.max_concurrent.value_or(0);
    if (max_concurrent > 0) engine.tasks->set_max_concurrent(max_concurrent);
    return engine.tasks->add(task);
}

std::mutex& handle_mutex() {
    static std::mutex m;
    return m;
}

// The application's engine. Callers copy the pointer under the handle mutex and use it outside
// it; the last copy to go destroys the engine, so no call ever runs on a freed one.
std::shared_ptr<Engine>& application_engine() {
    static std::shared_ptr<Engine> engine;
    return engine;
}

std::shared_ptr<Engine> current_engine() {
    std::lock_guard lock(handle_mutex());
    return application_engine();
}

} // namespace

Engine* engine_create(std::string_view download_dir, int64_t max_concurrent) {
    auto* engine = new Engine;
    engine->download_dir = download_dir.empty() ? std::string(kFallbackDir) : std::string(download_dir);
    make_folders(engine->download_dir);
    engine->tasks = TaskList::create(max_concurrent < 1 ? 1 : max_concurrent);
    return engine;
}

void engine_destroy(Engine* engine) {
    if (!engine) return;
    stop_engine_control(engine);
    // Every task is paused, whoever added it (the engine's add operations, the control server,
    // the journal), so that each saves its sidecar before the list closes.
    for (const auto& entry : engine->tasks->snapshot().entries)
        engine->tasks->pause(entry->id);
    // Every settling task changes its state, which advances the list's revision.
    TaskList& tasks = *engine->tasks;
    const int64_t deadline = monotonic_ms() + kSettleWaitMs;
    for (int64_t left = kSettleWaitMs; left > 0; left = deadline - monotonic_ms()) {
        const Revision seen = tasks.revision();
        if (tasks.all_settled()) break;
        tasks.changes().wait_for_change(seen, ChangeScope::kStatus, left);
    }
    engine->tasks->close();
    // After the tasks have settled, so that the journal keeps them paused with their progress.
    if (engine->journal) engine->journal->stop();
    delete engine;
}

bool engine_set_journal(Engine* engine, std::string_view path) {
    if (!engine || path.empty() || engine->journal || !engine->tasks->snapshot().entries.empty())
        return false;
    std::string error;
    engine->journal = JournalKeeper::open(engine->tasks, std::string(path), error);
    if (!engine->journal) {
        std::fprintf(stderr, "twk: task journal %.*s: %s; the list is not kept\n",
                     static_cast<int>(path.size()), path.data(), error.c_str());
        return false;
    }
    return true;
}

int32_t engine_add(Engine* engine, std::string_view url, int64_t connections, std::string_view proxy) {
    if (!engine || url.empty()) return -1;
    // Plain mode: the URL and the transfer settings only.
    StartOptions options;
    options.url = std::string(url);
    options.connections = connections <= 0 ? static_cast<int64_t>(kDefaultConnections) : connections;
    options.proxy = std::string(proxy);
    return engine_add_options(engine, options);
}

int32_t engine_add_options(Engine* engine, const StartOptions& options) {
    if (!engine) return -1;
    return add_task(*engine, options);
}

int32_t engine_add_json(Engine* engine, std::string_view json) {
    if (!engine) return -1;
    JsonValue request;
    if (!parse_json(json, request) || request.kind != JsonKind::Object) return -1;
    StartOptions options = read_start_options(request, true);
    // Passed-on headers go out in the order given, repeated names included.
    if (std::optional<HeaderList> headers = ordered_headers(json)) options.headers = std::move(*headers);
    return add_task(*engine, std::move(options));
}

void engine_pause(Engine* engine, int32_t id) {
    if (engine) engine->tasks->pause(id);
}

void engine_resume(Engine* engine, int32_t id) {
    if (engine) engine->tasks->resume(id);
}

void engine_cancel(Engine* engine, int32_t id) {
    if (engine) engine->tasks->cancel(id);
}

FailureCategory engine_task_failure(Engine* engine, int32_t id) {
    if (!engine) return FailureCategory::kNone;
    for (const auto& entry : engine->tasks->snapshot().entries) {
        if (entry->id == id) return entry->task->failure_category();
    }
    return FailureCategory::kNone;
}

void engine_set_options(Engine* engine, int64_t max_concurrent, int64_t bandwidth_limit,
                        std::string_view proxy) {
    if (!engine) return;
    if (max_concurrent > 0) engine->tasks->set_max_concurrent(max_concurrent);
    ProxySpec parsed;
    bool proxy_ok = parse_proxy_url(proxy, parsed);
    std::lock_guard lock(engine->lock);
    if (bandwidth_limit > 0) engine->bandwidth_limit = bandwidth_limit;
    if (bandwidth_limit < 0) engine->bandwidth_limit = 0;
    if (proxy_ok) engine->custom_proxy = parsed;
}

void engine_set_download_dir(Engine* engine, std::string_view download_dir) {
    if (!engine || download_dir.empty()) return;
    std::string dir(download_dir);
    make_folders(dir);
    std::lock_guard lock(engine->lock);
    engine->download_dir = dir;
}

void engine_set_use_system_proxy(Engine* engine, bool use) {
    if (!engine) return;
    std::lock_guard lock(engine->lock);
    engine->use_system_proxy = use;
    // There is no system proxy reader on Linux: the proxy record stays empty either way.
    engine->system_proxy = ProxySpec{};
}

char* engine_list_document(Engine* engine) {
    std::string document = engine ? task_list_document(*engine->tasks) : std::string(kIdleDocument);
    char* text = static_cast<char*>(std::malloc(document.size() + 1));
    if (text) std::memcpy(text, document.c_str(), document.size() + 1);
    return text;
}

void engine_release_text(char* text) { std::free(text); }

Revision engine_revision(Engine* engine) { return engine ? engine->tasks->revision() : Revision{}; }

Revision engine_wait_for_change(Engine* engine, const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                                const std::function<bool()>& stop) {
    if (!engine) return seen;
    return engine->tasks->changes().wait_for_change(seen, scope, timeout_ms, stop);
}

void engine_wake_waiters(Engine* engine) {
    if (engine) engine->tasks->changes().wake();
}

const char* engine_version() { return "TWK 0.2 (in-process core)"; }

std::string default_download_dir() {
    std::string home = env_value("HOME");
    std::string xdg = xdg_download_dir(home);
    if (!xdg.empty()) return xdg;
    if (!home.empty()) return home + "/Downloads";
    return kFallbackDir;
}

std::shared_ptr<TaskList> engine_task_list(Engine* engine) { return engine ? engine->tasks : nullptr; }

void start_engine() {
    std::lock_guard lock(handle_mutex());
    if (application_engine()) return;
    application_engine() = std::shared_ptr<Engine>(
        engine_create(default_download_dir(), kApplicationMaxConcurrent), engine_destroy);
    // The control server, when a front end installed the control service; an engine whose
    // server could not listen runs on without one.
    start_engine_control(application_engine().get());
}

void stop_engine() {
    std::shared_ptr<Engine> engine;
    {
        std::lock_guard lock(handle_mutex());
        engine.swap(application_engine());
    }
    // Destroyed here, outside the handle mutex, unless a call in flight still holds it.
}

bool engine_running() { return current_engine() != nullptr; }

StartDownloadResult start_download(std::string_view url, int64_t connections, int64_t max_concurrent) {
    StartDownloadResult result;
    result.connections = connections;
    std::shared_ptr<Engine> engine = current_engine();
    if (!engine) {
        result.error = "engine not running";
        return result;
    }
    if (max_concurrent > 0) engine->tasks->set_max_concurrent(max_concurrent);
    if (engine_add(engine.get(), url, connections, "") < 0) {
        result.error = "invalid URL";
        return result;
    }
    result.ok = true;
    return result;
}

bool application_list_document(std::string& out) {
    std::shared_ptr<Engine> engine = current_engine();
    if (!engine) return false;
    out = task_list_document(*engine->tasks);
    return true;
}

std::string engine_download_dir(Engine* engine) {
    if (!engine) return {};
    std::lock_guard lock(engine->lock);
    return engine->download_dir;
}

int64_t application_browser_contact_age(std::string_view tag) {
    std::shared_ptr<Engine> engine = current_engine();
    return engine ? engine_browser_contact_age(engine.get(), tag) : -1;
}

} // namespace twk
