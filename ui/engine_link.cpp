#include "ui/engine_link.h"

#include <algorithm>
#include <optional>

#include "core/task_journal.h"
#include "media/stream_driver.h"
#include "ui/system_proxy.h"

namespace twk::ui {

void EngineLink::start() {
    if (m_engine) return;
    EngineOptions options;
    options.download_dir = default_download_dir();
    options.max_concurrent = kAppMaxConcurrent;
    options.drivers = stream_drivers(); // HLS and DASH tasks
    m_engine = Engine::create(std::move(options));
    ++m_generation;
    // "Follow the system proxy" asks the desktop's portal, else the environment, per URL.
    m_engine->set_system_proxy_resolver(system_proxy_for);
    // The list of the last run, every unfinished task paused; kept until the app closes.
    const std::string journal = default_journal_path();
    if (!journal.empty()) m_engine->set_journal(journal);
    // The loopback control server for browser extensions; a port another copy of the program
    // holds leaves this one without a server.
    m_server = start_control_service(m_engine.get());
}

void EngineLink::stop() {
    // The server reads the engine: it goes first.
    m_server.reset();
    m_tasks.clear();
    m_tasks_valid = false;
    m_removed.clear();
    m_engine.reset();
}

int64_t EngineLink::browser_contact_age(std::string_view tag) const {
    return m_server ? twk::browser_contact_age(*m_server, tag) : -1;
}

void EngineLink::apply(const app::Settings& settings) {
    if (!m_engine) return;
    if (!settings.download_dir.empty()) m_engine->set_download_dir(settings.download_dir);
    // An empty text clears the custom proxy.
    m_engine->set_proxy(settings.proxy_mode == app::kProxyCustom ? settings.proxy : std::string());
    m_engine->set_use_system_proxy(settings.proxy_mode == app::kProxySystem);
    m_engine->set_max_per_host(settings.max_per_host);
    m_engine->set_live_outage_limit(settings.live_outage_limit);
    // Queued tasks start when a slot frees up; lowering the number lets running ones finish.
    m_engine->set_max_concurrent(settings.downloads_at_once);
    m_engine->set_global_limit(settings.global_limit());
}

const std::vector<TaskSnapshot>* EngineLink::current_tasks() {
    if (!m_engine) return nullptr;
    // Asked on every refresh tick; while the list's revision stands still the snapshot taken
    // last is still current and is not taken again.
    const Revision revision = m_engine->revision();
    if (!m_tasks_valid || !(m_tasks_revision == revision)) {
        m_tasks = m_engine->snapshot().tasks;
        m_tasks_revision = revision;
        m_tasks_valid = true;
    }
    return &m_tasks;
}

std::function<bool(std::vector<TaskSnapshot>&)> EngineLink::polled_snapshot() {
    struct Seen {
        uint64_t generation = 0;
        Revision revision;
    };
    return [this, seen = std::optional<Seen>()](std::vector<TaskSnapshot>& out) mutable {
        const std::vector<TaskSnapshot>* tasks = current_tasks();
        if (!tasks) return false;
        if (seen && seen->generation == m_generation && seen->revision == m_tasks_revision) return true;
        out = *tasks;
        seen = Seen{m_generation, m_tasks_revision};
        return true;
    };
}

EngineOps EngineLink::ops() {
    EngineOps ops;
    ops.running = [this] { return running(); };
    ops.snapshot = [this](std::vector<TaskSnapshot>& out) {
        const std::vector<TaskSnapshot>* tasks = current_tasks();
        if (!tasks) return false;
        out = *tasks;
        return true;
    };
    ops.stamp = [this] {
        return m_engine ? ListStamp{m_generation, m_engine->revision().any} : ListStamp{m_generation, 0};
    };
    ops.start_now = [this](int32_t id) { return m_engine && m_engine->start_now(id); };
    ops.move = [this](int32_t id, QueueMove how) { return m_engine && m_engine->move(id, how); };
    ops.set_global_limit = [this](int64_t bytes_per_second) {
        if (m_engine) m_engine->set_global_limit(bytes_per_second);
    };
    ops.limits = [this](int64_t& speed_limit, int64_t& at_once) {
        if (!m_engine) return false;
        speed_limit = std::max<int64_t>(0, m_engine->global_limit());
        at_once = m_engine->max_concurrent();
        return true;
    };
    ops.pause = [this](int32_t id) {
        if (m_engine) m_engine->pause(id);
    };
    ops.resume = [this](int32_t id) {
        if (m_engine) m_engine->resume(id);
    };
    ops.cancel = [this](int32_t id) {
        if (m_engine) m_engine->cancel(id);
    };
    ops.retry = [this](int32_t id) {
        if (m_engine) m_engine->retry(id);
    };
    ops.refresh_link = [this](int32_t id, const std::string& url, std::string& error) {
        if (!m_engine) {
            error = "engine not running";
            return false;
        }
        StartOptions options;
        options.url = url;
        const RefreshResult result = m_engine->refresh_link(id, options);
        error = result.message;
        return result.ok();
    };
    ops.finish = [this](int32_t id) {
        if (m_engine) m_engine->finish_recording(id);
    };
    ops.remove = [this](const std::vector<int32_t>& ids) {
        if (!m_engine) return;
        m_removed.clear();
        for (int32_t id : ids) {
            TaskList::Removed removed = m_engine->remove(id);
            if (removed.entry) m_removed.push_back(std::move(removed));
        }
    };
    ops.undo_remove = [this] {
        if (!m_engine || m_removed.empty()) return false;
        // A run the removal stopped must end before its task can come back; what is left
        // stays for the next try.
        std::erase_if(m_removed,
                      [this](const TaskList::Removed& removed) { return m_engine->put_back(removed); });
        return m_removed.empty();
    };
    ops.add_to = [this](const NewDownload& download, std::string& error) {
        if (!m_engine) {
            error = "engine not running";
            return false;
        }
        StartOptions options;
        options.url = download.url;
        options.connections =
            download.connections <= 0 ? static_cast<int64_t>(kDefaultConnections) : download.connections;
        options.directory = download.folder;
        options.filename = download.name;
        options.user_named = !download.name.empty();
        options.checksum = download.checksum;
        const AddResult added = m_engine->add(options);
        if (!added.ok()) {
            error = added.error == AddError::kBadChecksum ? "bad checksum" : "invalid URL";
            return false;
        }
        return true;
    };
    ops.add = [add_to = ops.add_to](const std::string& url, int64_t connections, const std::string& checksum,
                                    std::string& error) {
        return add_to(NewDownload{url, connections, {}, {}, checksum}, error);
    };
    return ops;
}

} // namespace twk::ui
