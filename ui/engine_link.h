// The desktop app's one engine, and the few operations the window calls on it.
//
// The window takes its operations as plain functions (`EngineOps`) so that tests can hand it
// fixed snapshots. `EngineLink` is the real thing: it creates the engine with the engine's
// default folder, at most 3 running tasks and the stream driver, starts its loopback control
// server (port 18080, or TWK_CONTROL_PORT), applies the settings, and at exit stops the server
// and then destroys the engine (which pauses the tasks so their sidecars are saved). The task
// list is kept in the task journal ($XDG_STATE_HOME/tarnwick/tasks.json, core/task_journal.h),
// so the app reopens with it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "control/control_service.h"
#include "core/engine.h"

namespace twk::ui {

// A link New adds with the user's own folder and file name.
struct NewDownload {
    std::string url;
    int64_t connections = 0; // 0 or less: the default
    std::string folder;      // empty: the download folder
    std::string name;        // empty: the server's name, else the link's
    std::string checksum;    // "sha-256=HEX" the file must match; empty: none
};

// Where the engine's task list stands: both parts stay put while nothing in it moves (progress
// included), and a new engine starts a new generation.
struct ListStamp {
    uint64_t generation = 0;
    uint64_t revision = 0;
    bool operator==(const ListStamp&) const = default;
};

struct EngineOps {
    std::function<bool()> running;
    // The engine's tasks now; false without an engine.
    std::function<bool(std::vector<TaskSnapshot>&)> snapshot;
    // The list's stamp now, read before `snapshot`: the window takes no snapshot while it
    // stands still. Without it every refresh takes one.
    std::function<ListStamp()> stamp;
    std::function<void(int32_t)> pause;
    std::function<void(int32_t)> resume;
    std::function<void(int32_t)> cancel;
    // Runs a failed, canceled or paused task again, from its sidecar where that still fits.
    std::function<void(int32_t)> retry;
    // Ends a live recording "done" with what it holds (core/engine.h `finish_recording`).
    std::function<void(int32_t)> finish;
    // Takes the tasks out of the list and the journal in any state (core/engine.h `remove`);
    // `undo_remove` puts back what the last call took, false when nothing could be.
    std::function<void(const std::vector<int32_t>&)> remove;
    std::function<bool()> undo_remove;
    // Starts a waiting task at once, beyond "Downloads at once" (core/engine.h `start_now`).
    std::function<bool(int32_t)> start_now;
    // Moves a queued or paused task up, down, to the top or the bottom of the queue order.
    std::function<bool(int32_t, QueueMove)> move;
    // The limit for all downloads together in bytes per second; 0 turns it off.
    std::function<void(int64_t)> set_global_limit;
    // The engine's limits now, which its control API may change: the limit for all downloads
    // (bytes per second, 0 for none) and how many run at once; false without an engine.
    std::function<bool(int64_t& speed_limit, int64_t& at_once)> limits;
    // Adds `url` with `connections` and the `checksum` its file must match (empty: none); the
    // error text when it could not be added.
    std::function<bool(const std::string& url, int64_t connections, const std::string& checksum,
                       std::string& error)>
        add;
    // As `add`, into the download's own folder (made when missing) under its own name; the
    // name is the user's, so it is kept as typed but for what no file name may hold.
    std::function<bool(const NewDownload& download, std::string& error)> add_to;
    // Continues download `id` with a new link for the same file (core/link_refresh.h), or the
    // reason it was refused. Blocks while the new link is asked: call it off the UI thread.
    std::function<bool(int32_t id, const std::string& url, std::string& error)> refresh_link;
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
    Engine* engine() const { return m_engine.get(); }
    // Milliseconds since the browser `tag` last contacted the control server; -1 when never or
    // without a server.
    int64_t browser_contact_age(std::string_view tag) const;

    // The download folder when set, then the proxy: the custom URL in custom mode, else none,
    // and the system-proxy flag; the downloads at once and the global speed limit.
    void apply(const app::Settings& settings);

    EngineOps ops();
    // For a poller that keeps the vector it is handed: `out` is filled again only when the list
    // moved since this function last filled it, so an idle list is not copied on every tick.
    std::function<bool(std::vector<TaskSnapshot>&)> polled_snapshot();

private:
    // The list as of now, taken again only when its revision moved.
    const std::vector<TaskSnapshot>* current_tasks();

    std::unique_ptr<Engine> m_engine;
    ControlServerHandle m_server;
    std::vector<TaskSnapshot> m_tasks; // the last snapshot taken, at m_tasks_revision
    Revision m_tasks_revision;
    bool m_tasks_valid = false;
    uint64_t m_generation = 0;                // engines made so far; a new one starts its revisions again
    std::vector<TaskList::Removed> m_removed; // the last removal, for undo
};

} // namespace twk::ui
