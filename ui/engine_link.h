// The desktop app's one engine, and the few operations the window calls on it.
//
// The window takes its operations as plain functions (`EngineOps`) so that tests can hand it
// fixed documents. `EngineLink` is the real thing: it creates the engine with the engine's
// default folder and at most 3 running tasks, starts its loopback control server (port 18080,
// or TWK_CONTROL_PORT), applies the settings, and destroys it at exit (which stops the server
// and pauses the tasks so their sidecars are saved). The task list is kept in the task journal
// ($XDG_STATE_HOME/tarnwick/tasks.json, core/task_journal.h), so the app reopens with it.
//
// The app holds its own engine rather than the process-wide one of `start_engine`, because the
// window pauses, resumes and cancels tasks and sets the folder and proxy, and engine.h offers
// those only on an engine handle.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/settings.h"
#include "core/change_signal.h"

namespace twk {
struct Engine;
}

namespace twk::ui {

struct EngineOps {
    std::function<bool()> running;
    std::function<bool(std::string&)> list_document;
    std::function<void(int32_t)> pause;
    std::function<void(int32_t)> resume;
    std::function<void(int32_t)> cancel;
    // Adds `url` with `connections`; the error text when it could not be added.
    std::function<bool(const std::string& url, int64_t connections, std::string& error)> add;
};

inline constexpr int64_t kAppMaxConcurrent = 3;

class EngineLink {
public:
    EngineLink() = default;
    ~EngineLink() { stop(); }
    EngineLink(const EngineLink&) = delete;
    EngineLink& operator=(const EngineLink&) = delete;

    void start();
    void stop();
    bool running() const { return m_engine != nullptr; }
    Engine* engine() const { return m_engine; }

    // The download folder when set, then the proxy: the custom URL in custom mode, else none,
    // and the system-proxy flag.
    void apply(const app::Settings& settings);

    EngineOps ops();

private:
    Engine* m_engine = nullptr;
    std::string m_document; // the last list document built, at m_document_revision
    Revision m_document_revision;
};

} // namespace twk::ui
