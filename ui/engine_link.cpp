#include "ui/engine_link.h"

#include "control/control_service.h"
#include "core/control_link.h"
#include "core/engine.h"
#include "core/task_journal.h"
#include "media/stream_driver.h"

namespace twk::ui {

void EngineLink::start() {
    if (m_engine) return;
    install_stream_driver(); // HLS and DASH tasks
    m_engine = engine_create(default_download_dir(), kAppMaxConcurrent);
    // The list of the last run, every unfinished task paused; kept until the app closes.
    const std::string journal = default_journal_path();
    if (!journal.empty()) engine_set_journal(m_engine, journal);
    // The loopback control server for browser extensions; a port another copy of the program
    // holds leaves this one without a server. `engine_destroy` stops it first.
    install_control_service();
    start_engine_control(m_engine);
}

void EngineLink::stop() {
    Engine* engine = m_engine;
    m_engine = nullptr;
    m_document.clear();
    engine_destroy(engine);
}

void EngineLink::apply(const app::Settings& settings) {
    if (!m_engine) return;
    if (!settings.download_dir.empty()) engine_set_download_dir(m_engine, settings.download_dir);
    // An empty text clears the custom proxy; 0 and 0 leave the other options alone.
    engine_set_options(m_engine, 0, 0,
                       settings.proxy_mode == app::kProxyCustom ? settings.proxy : std::string());
    engine_set_use_system_proxy(m_engine, settings.proxy_mode == app::kProxySystem);
}

EngineOps EngineLink::ops() {
    EngineOps ops;
    ops.running = [this] { return running(); };
    ops.list_document = [this](std::string& out) {
        if (!m_engine) return false;
        // The window asks on every refresh tick; while the list's revision stands still the
        // document it drew last is still current and is not built again.
        const Revision revision = engine_revision(m_engine);
        if (!m_document.empty() && revision == m_document_revision) {
            out = m_document;
            return true;
        }
        char* text = engine_list_document(m_engine);
        if (!text) return false;
        out = text;
        engine_release_text(text);
        m_document = out;
        m_document_revision = revision;
        return true;
    };
    ops.pause = [this](int32_t id) { engine_pause(m_engine, id); };
    ops.resume = [this](int32_t id) { engine_resume(m_engine, id); };
    ops.cancel = [this](int32_t id) { engine_cancel(m_engine, id); };
    ops.add = [this](const std::string& url, int64_t connections, std::string& error) {
        if (!m_engine) {
            error = "engine not running";
            return false;
        }
        if (engine_add(m_engine, url, connections, "") < 0) {
            error = "invalid URL";
            return false;
        }
        return true;
    };
    return ops;
}

} // namespace twk::ui
