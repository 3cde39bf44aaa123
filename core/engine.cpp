#include "core/engine.h"

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "core/host_gate.h"
#include "core/journal_keeper.h"
#include "core/naming.h"
#include "core/sidecar.h"
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
constexpr int64_t kRefreshStopWaitMs = 10'000;

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
    request.added_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    if (!options.directory.empty()) make_folders(options.directory);
    std::string path;
    int64_t bandwidth_limit = options.bandwidth_limit;
    {
        std::lock_guard lock(m_lock);
        path = output_path_for(options, options.directory.empty() ? m_download_dir : options.directory);
        if (m_bandwidth_limit != 0) bandwidth_limit = m_bandwidth_limit;
        if (request.live_outage_limit == 0) request.live_outage_limit = m_live_outage_limit;
    }
    fill_proxy(request);
    result.connections = request.connections;
    auto task = create_task(std::move(request), path, bandwidth_limit);
    const int64_t max_concurrent = options.max_concurrent.value_or(0);
    if (max_concurrent > 0) m_tasks->set_max_concurrent(max_concurrent);
    result.id = m_tasks->add(task);
    if (result.id < 0) result.error = AddError::kClosed;
    return result;
}

void Engine::fill_proxy(TaskRequest& request) const {
    SystemProxyResolver system_proxy;
    {
        std::lock_guard lock(m_lock);
        if (request.proxy.kind != kProxyNone) return;
        if (m_custom_proxy.configured()) {
            request.proxy = m_custom_proxy;
            return;
        }
        if (!m_use_system_proxy) return;
        system_proxy = m_system_proxy ? m_system_proxy : environment_proxy_for;
    }
    // Outside the lock: a desktop portal may take a moment.
    const ProxySpec found = system_proxy(request.url);
    if (found.configured()) request.proxy = found;
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
bool Engine::start_now(int32_t id) { return m_tasks->start_now(id); }
bool Engine::move(int32_t id, QueueMove how) { return m_tasks->move(id, how); }
void Engine::retry(int32_t id) { m_tasks->retry(id); }
TaskList::Removed Engine::remove(int32_t id) { return m_tasks->remove(id); }
bool Engine::put_back(const TaskList::Removed& removed) { return m_tasks->put_back(removed); }

RefreshResult Engine::refresh_link(int32_t id, const StartOptions& given) {
    StartOptions options = given;
    options.url = trim_spaces(options.url);
    options.proxy = trim_spaces(options.proxy);
    UrlParts parts;
    if (options.url.empty() || !parse_url(options.url, parts))
        return refresh_refusal(RefreshError::kInvalidUrl);
    if (!stream_type_for(options.url, options.type).empty())
        return refresh_refusal(RefreshError::kStreamLink);
    if (options.method != "GET") return refresh_refusal(RefreshError::kNotGet);
    std::shared_ptr<TaskEntry> entry;
    for (const auto& candidate : m_tasks->snapshot().entries) {
        if (candidate->id == id) entry = candidate;
    }
    if (!entry) return refresh_refusal(RefreshError::kNoSuchTask);
    const std::shared_ptr<Task> old = entry->task;
    if (old->request.is_stream()) return refresh_refusal(RefreshError::kStream);
    if (entry->state == kDone) return refresh_refusal(RefreshError::kFinished);
    if (entry->state == kCanceled) return refresh_refusal(RefreshError::kCanceled);
    if (entry->state == kQueued || entry->state == kRunning) m_tasks->pause(id);
    // The run saves its sidecar as it stops; the check below reads it.
    const auto stopped = [&] {
        return !entry->thread_live && entry->state != kQueued && entry->state != kRunning;
    };
    const int64_t deadline = monotonic_ms() + kRefreshStopWaitMs;
    for (int64_t left = kRefreshStopWaitMs; !stopped() && left > 0; left = deadline - monotonic_ms())
        m_tasks->changes().wait_for_change(m_tasks->revision(), ChangeScope::kStatus, left, stopped);
    if (!stopped()) return refresh_refusal(RefreshError::kBusy);
    if (entry->state == kCanceled) return refresh_refusal(RefreshError::kCanceled);

    TaskRequest request = refreshed_request(old->request, options);
    fill_proxy(request);
    const TaskProgress& was = old->progress;
    RefreshResult result = adopt_new_link(was.output_path(), was.total, request);
    if (!result.ok()) return result;
    auto task = create_task(std::move(request), was.output_path(), old->control.bandwidth_limit);
    TaskProgress& now = task->progress;
    now.created_output = was.created_output.load();
    // Until its run reads the sidecar, the row shows what the old one had.
    now.total = was.total.load();
    now.supports_range = was.supports_range.load();
    {
        const uint64_t end = was.total != 0 ? was.total.load() : kUnknownEnd;
        std::lock_guard lock(now.segment_lock);
        now.segments = {make_segment(0, std::min(was.bytes_done(), end), end)};
    }
    if (!m_tasks->replace(id, task, kContinuingStatus)) {
        return refresh_refusal(RefreshError::kRestarted);
    }
    return result;
}

RefreshResult Engine::check_new_link(const StartOptions& given, bool& checked) {
    checked = false;
    StartOptions options = given;
    options.url = trim_spaces(options.url);
    options.proxy = trim_spaces(options.proxy);
    UrlParts parts;
    if (options.url.empty() || !parse_url(options.url, parts) || options.method != "GET" ||
        !stream_type_for(options.url, options.type).empty())
        return {};
    std::string path;
    {
        std::lock_guard lock(m_lock);
        path = output_path_for(options, options.directory.empty() ? m_download_dir : options.directory);
    }
    const std::string mark = owner_url(path);
    // A file another process is writing is not this request's to continue: it takes another name.
    if (mark.empty() || mark == options.url || output_locked(path) || !load_sidecar(path + ".twk", path))
        return {};
    checked = true;
    TaskRequest request = clean_request(options);
    fill_proxy(request);
    return adopt_new_link(path, 0, request);
}

int32_t Engine::matching_download(const StartOptions& options, uint64_t size) const {
    if (size == 0 || options.url.empty()) return 0;
    std::string path;
    {
        std::lock_guard lock(m_lock);
        path = output_path_for(options, m_download_dir);
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    for (const auto& entry : m_tasks->snapshot().entries) {
        const Task& task = *entry->task;
        if ((entry->state == kPaused || entry->state == kError) && !task.request.is_stream() &&
            task.progress.total == size && task.progress.name() == name)
            return entry->id;
    }
    return 0;
}

ListSnapshot Engine::snapshot() const { return m_view->snapshot(*m_tasks, monotonic_ns()); }

std::string Engine::list_document() const { return m_view->document(*m_tasks, monotonic_ns()); }

void Engine::set_max_concurrent(int64_t max_concurrent) {
    if (max_concurrent > 0) m_tasks->set_max_concurrent(max_concurrent);
}

int64_t Engine::max_concurrent() const { return m_tasks->max_concurrent(); }

void Engine::set_bandwidth_limit(int64_t bandwidth_limit) {
    std::lock_guard lock(m_lock);
    if (bandwidth_limit > 0) m_bandwidth_limit = bandwidth_limit;
    if (bandwidth_limit < 0) m_bandwidth_limit = 0;
}

void Engine::set_global_limit(int64_t bytes_per_second) {
    m_tasks->shared_bandwidth().set_limit(bytes_per_second);
}

int64_t Engine::global_limit() const { return m_tasks->shared_bandwidth().limit(); }

void Engine::set_live_outage_limit(int64_t seconds) {
    std::lock_guard lock(m_lock);
    m_live_outage_limit = allowed_live_outage_limit(seconds);
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
