#include "core/engine.h"

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "core/host_gate.h"
#include "core/journal_keeper.h"
#include "core/start_request.h"
#include "core/status_document.h"
#include "core/task_list.h"
#include "net/checksum.h"
#include "net/file_io.h"
#include "net/proxy_environment.h"
#include "net/proxy_spec.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

constexpr const char* kFallbackDir = "downloads";
constexpr int64_t kSettleWaitMs = 3'000;

ProxySpec environment_proxy_for(const std::string& url) { return environment_proxy(url).proxy; }

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

const char* add_error_text(AddError error) {
    switch (error) {
    case AddError::kNone: return "";
    case AddError::kEmptyUrl: return "empty url";
    case AddError::kInvalidUrl: return "invalid url";
    case AddError::kClosed: return "engine not running";
    case AddError::kBadRequest: return "bad json";
    case AddError::kBadChecksum: return "bad checksum";
    }
    return "";
}

std::unique_ptr<Engine> Engine::create(EngineOptions options) {
    std::unique_ptr<Engine> engine(new Engine);
    engine->m_download_dir = options.download_dir.empty() ? std::string(kFallbackDir) : options.download_dir;
    make_folders(engine->m_download_dir);
    engine->m_tasks = TaskList::create(options.max_concurrent, std::move(options.drivers));
    engine->m_view = std::make_shared<ListSnapshotCache>();
    return engine;
}

Engine::~Engine() {
    // Every task is paused, whoever added it (the front end, the control server, the journal),
    // so that each saves its sidecar before the list closes.
    for (const auto& entry : m_tasks->snapshot().entries)
        m_tasks->pause(entry->id);
    // Every settling task changes its state, which advances the list's revision.
    const int64_t deadline = monotonic_ms() + kSettleWaitMs;
    for (int64_t left = kSettleWaitMs; left > 0; left = deadline - monotonic_ms()) {
        const Revision seen = m_tasks->revision();
        if (m_tasks->all_settled()) break;
        m_tasks->changes().wait_for_change(seen, ChangeScope::kStatus, left);
    }
    m_tasks->close();
    // After the tasks have settled, so that the journal keeps them paused with their progress.
    if (m_journal) m_journal->stop();
}

bool Engine::set_journal(std::string_view path) {
    if (path.empty() || m_journal || !m_tasks->snapshot().entries.empty()) return false;
    std::string error;
    m_journal = JournalKeeper::open(m_tasks, std::string(path), error);
    if (!m_journal) {
        std::fprintf(stderr, "twk: task journal %.*s: %s; the list is not kept\n",
                     static_cast<int>(path.size()), path.data(), error.c_str());
        return false;
    }
    return true;
}

AddResult Engine::add(const StartOptions& given) {
    AddResult result;
    StartOptions options = given;
    options.url = trim_spaces(options.url);
    options.proxy = trim_spaces(options.proxy);
    // A URL that does not parse (or names a scheme we do not speak) is refused here, at once,
    // rather than failing the task's first request.
    UrlParts parts;
    if (options.url.empty()) {
        result.error = AddError::kEmptyUrl;
        return result;
    }
    if (!parse_url(options.url, parts)) {
        result.error = AddError::kInvalidUrl;
        return result;
    }
    Checksum checksum;
    if (!options.checksum.empty() && !parse_checksum(options.checksum, checksum)) {
        result.error = AddError::kBadChecksum;
        return result;
    }
    TaskRequest request = clean_request(options);
    if (!options.directory.empty()) make_folders(options.directory);
    std::string path;
    int64_t bandwidth_limit = options.bandwidth_limit;
    SystemProxyResolver system_proxy;
    {
        std::lock_guard lock(m_lock);
        path = output_path_for(options, options.directory.empty() ? m_download_dir : options.directory);
        if (request.proxy.kind == kProxyNone) {
            if (m_custom_proxy.configured()) {
                request.proxy = m_custom_proxy;
            } else if (m_use_system_proxy) {
                system_proxy = m_system_proxy ? m_system_proxy : environment_proxy_for;
            }
        }
        if (m_bandwidth_limit != 0) bandwidth_limit = m_bandwidth_limit;
    }
    if (system_proxy) {
        const ProxySpec found = system_proxy(options.url);
        if (found.configured()) request.proxy = found;
    }
    result.connections = request.connections;
    auto task = create_task(std::move(request), path, bandwidth_limit);
    const int64_t max_concurrent = options.max_concurrent.value_or(0);
    if (max_concurrent > 0) m_tasks->set_max_concurrent(max_concurrent);
    result.id = m_tasks->add(task);
    if (result.id < 0) result.error = AddError::kClosed;
    return result;
}

void Engine::pause(int32_t id) { m_tasks->pause(id); }
void Engine::finish_recording(int32_t id) {
    for (const auto& entry : m_tasks->snapshot().entries) {
        if (entry->id == id) entry->task->progress.live.finish = true;
    }
    m_tasks->pause(id);
}
void Engine::resume(int32_t id) { m_tasks->resume(id); }
void Engine::cancel(int32_t id) { m_tasks->cancel(id); }
void Engine::retry(int32_t id) { m_tasks->retry(id); }
TaskList::Removed Engine::remove(int32_t id) { return m_tasks->remove(id); }
bool Engine::put_back(const TaskList::Removed& removed) { return m_tasks->put_back(removed); }

ListSnapshot Engine::snapshot() const { return m_view->snapshot(*m_tasks, monotonic_ns()); }

std::string Engine::list_document() const { return m_view->document(*m_tasks, monotonic_ns()); }

void Engine::set_max_concurrent(int64_t max_concurrent) {
    if (max_concurrent > 0) m_tasks->set_max_concurrent(max_concurrent);
}

void Engine::set_bandwidth_limit(int64_t bandwidth_limit) {
    std::lock_guard lock(m_lock);
    if (bandwidth_limit > 0) m_bandwidth_limit = bandwidth_limit;
    if (bandwidth_limit < 0) m_bandwidth_limit = 0;
}

bool Engine::set_proxy(std::string_view proxy) {
    ProxySpec parsed;
    if (!parse_proxy_url(proxy, parsed)) return false;
    std::lock_guard lock(m_lock);
    m_custom_proxy = parsed;
    return true;
}

void Engine::set_use_system_proxy(bool use) {
    std::lock_guard lock(m_lock);
    m_use_system_proxy = use;
}

void Engine::set_system_proxy_resolver(SystemProxyResolver resolver) {
    std::lock_guard lock(m_lock);
    m_system_proxy = std::move(resolver);
}

void Engine::set_max_per_host(int64_t connections) {
    const int64_t bounded = std::clamp<int64_t>(connections, 0, 100'000);
    HostGate::shared().set_budget(static_cast<uint32_t>(bounded));
}

void Engine::set_download_dir(std::string_view download_dir) {
    if (download_dir.empty()) return;
    std::string dir(download_dir);
    make_folders(dir);
    std::lock_guard lock(m_lock);
    m_download_dir = dir;
}

std::string Engine::download_dir() const {
    std::lock_guard lock(m_lock);
    return m_download_dir;
}

Revision Engine::revision() const { return m_tasks->revision(); }

Revision Engine::wait_for_change(const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                                 const std::function<bool()>& stop) const {
    return m_tasks->changes().wait_for_change(seen, scope, timeout_ms, stop);
}

void Engine::wake_waiters() const { m_tasks->changes().wake(); }

bool Engine::all_settled() const { return m_tasks->all_settled(); }

std::string default_download_dir() {
    std::string home = env_value("HOME");
    std::string xdg = xdg_download_dir(home);
    if (!xdg.empty()) return xdg;
    if (!home.empty()) return home + "/Downloads";
    return kFallbackDir;
}

} // namespace twk
