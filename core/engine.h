// The download engine: what every front end (the `twk` command, the control service, the
// desktop app) calls. Nothing here throws; every operation returns at once.
//
// An engine owns a download folder, a task list that runs at most `max_concurrent` tasks at a
// time (one thread each), the drivers those threads run, and the defaults it gives the tasks
// added through it: a custom proxy, the system's proxy for each URL, and a bandwidth limit. Without a journal
// (`set_journal`) tasks live in memory only; an interrupted download continues when a new task
// with the same output path finds its sidecar ("<file>.twk").
//
// Task ids are 1, 2, 3, ... in the order of adding and are never reused. A task is queued,
// running, done, error, paused or canceled (`TaskState`); `snapshot` shows each one.
//
// Output files: a task gets "<folder>/<name>". When another live task holds that path, or a file
// already exists there that a run of ours did not leave (its interrupted download, an empty file,
// or a file an earlier run created for the same URL), the task takes the first free
// "<stem> (N)<.ext>". A user's own files are never overwritten. A task that ends in error leaves
// a partial file with its sidecar, which the same request continues, or nothing at all.
//
// Adding refuses an empty URL and one that does not parse. A failure no retry can mend (a 4xx
// but 408 and 429, 501, 505, an unknown host, a refused certificate, too many redirects, a scheme
// or coding we do not speak, a proxy's refusal) ends the task at once with "error: " and its
// reason, as long as no byte arrived in the run; other failures are retried, and their final
// status names the last cause. Pause and cancel take effect at once, even on a silent server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/change_signal.h"
#include "core/link_refresh.h"
#include "core/start_request.h"
#include "core/task_driver.h"
#include "core/task_list.h"
#include "core/task_snapshot.h"
#include "net/proxy_spec.h"

namespace twk {

class JournalKeeper;
class ListSnapshotCache;

struct EngineOptions {
    std::string download_dir;   // empty: "downloads"; the folder tree is created
    int64_t max_concurrent = 1; // below 1: 1
    TaskDrivers drivers;        // the plain driver is the download driver unless given
};

enum class AddError {
    kNone,
    kEmptyUrl,    // no URL at all
    kInvalidUrl,  // a URL that does not parse, or names a scheme we do not speak
    kClosed,      // the engine is shutting down
    kBadRequest,  // a start request that is not a JSON object (core/start_request.h)
    kBadChecksum, // a checksum that is not "ALG=HEX" of an algorithm we know (net/checksum.h)
};

// "empty url", "invalid url", "engine not running", "bad json", "bad checksum"; empty for kNone.
const char* add_error_text(AddError error);

struct AddResult {
    int32_t id = -1;
    AddError error = AddError::kNone;
    uint64_t connections = 0; // what the task will use at most
    bool ok() const { return error == AddError::kNone; }
};

class Engine {
public:
    static std::unique_ptr<Engine> create(EngineOptions options);
    // Pauses every task (so their sidecars are saved), waits up to 3 s for them to settle,
    // closes the task list and writes the journal a last time. Task threads that are still
    // running keep what they use alive until they end; nothing new is started.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Loads the tasks kept in the journal at `path` (core/task_journal.h) into the list, which
    // must still be empty, and from then on keeps the file up to date. False when the path is
    // empty, the engine has a journal already, its list has tasks, or another engine (in this
    // process or another) holds the journal; the engine then keeps no list. A journal that
    // cannot be read is set aside and the engine starts empty (true).
    bool set_journal(std::string_view path);

    // The one way in: the URL and proxy are trimmed, the engine's proxy and limit fill in what
    // the options leave open, and a `max_concurrent` above 0 is stored as the engine's limit.
    AddResult add(const StartOptions& options);

    // Running: stops after saving the sidecar. Queued: paused at once. Unknown ids: nothing.
    void pause(int32_t id);
    // As `pause`, but a live recording that is running ends "done" with what it recorded (a
    // whole, playable file) instead of "paused": the user's stop at the end of a broadcast.
    void finish_recording(int32_t id);
    // From paused, error or canceled: queued again (older tasks run first).
    void resume(int32_t id);
    // Anything but done becomes canceled; its partial file and sidecar are deleted.
    void cancel(int32_t id);
    // Starts a waiting task at once, beyond max_concurrent (TaskList::start_now); false when it
    // cannot be started (unknown, done, running, or its last run still ending).
    bool start_now(int32_t id);
    // Moves a queued or paused task in the queue order (TaskList::move), which decides what
    // starts next and is kept in the journal; false when it did not move.
    bool move(int32_t id, QueueMove how);
    // Runs a settled task again: a done task whose file is gone or a failed, paused or canceled
    // one continues from its sidecar where that still fits, else starts over.
    void retry(int32_t id);
    // Takes a task out of the list (and so out of the journal) in any state; one that is not
    // done is cancelled first, a done one keeps its file. What comes back undoes it with
    // `put_back` (see TaskList::put_back).
    TaskList::Removed remove(int32_t id);
    bool put_back(const TaskList::Removed& removed);

    // Continues the download `id` with another link for the same file (core/link_refresh.h).
    // A queued or running task is paused first (its run given up to 10 s to stop); then the new
    // link is asked for its file, which takes as long as that answer does (up to its time-outs):
    // call it off any thread that must stay responsive. Taken, the task keeps its id, place,
    // file and sidecar and runs again with the new request ("continuing with a new link" until
    // it starts), which the journal then keeps. Refused, nothing changed but a pause.
    RefreshResult refresh_link(int32_t id, const StartOptions& options);
    // For a start request whose file holds an unfinished download of another URL (its owner
    // mark, core/naming.h, names another URL, and its sidecar loads): the check `refresh_link`
    // makes, readying the sidecar for the new link, so that an `add` of the same options
    // continues it. `checked` tells whether there was such a file; kNone otherwise.
    RefreshResult check_new_link(const StartOptions& options, bool& checked);
    // The paused or failed download (no stream) with the file name `options` would get and
    // `size` bytes: one a browser's new download of the same file may continue. 0 when none.
    int32_t matching_download(const StartOptions& options, uint64_t size) const;

    ListSnapshot snapshot() const;
    std::string list_document() const; // to_json(snapshot()), unchanged tasks not rebuilt

    // `max_concurrent` > 0 is stored. `bandwidth_limit` (bytes per second) > 0 is stored, < 0
    // clears the limit, 0 leaves it. They and the proxies apply to tasks added later.
    void set_max_concurrent(int64_t max_concurrent);
    int64_t max_concurrent() const;
    void set_bandwidth_limit(int64_t bandwidth_limit);
    // One limit (bytes per second) for all tasks together, shared fairly between the running
    // ones (core/shared_bandwidth.h); 0 or less turns it off (the default). Applies at once, to
    // running tasks too, on top of each task's own limit.
    void set_global_limit(int64_t bytes_per_second);
    int64_t global_limit() const;
    // Seconds a live recording added later waits out a stream that brings nothing new, unless
    // its request says otherwise (core/start_request.h); outside 1 to a day: the default, 300.
    void set_live_outage_limit(int64_t seconds);
    // A proxy text that parses becomes the custom proxy (empty: none); false when it does not
    // parse (the proxy is then unchanged).
    bool set_proxy(std::string_view proxy);
    // With the system proxy on, a task with no proxy of its own and no custom proxy set asks
    // the system proxy resolver for its URL when it is added. The resolver is called on the
    // adding thread, outside the engine's locks, and may take a moment (a desktop portal); the
    // default reads the environment (net/proxy_environment.h). An empty resolver restores it.
    void set_use_system_proxy(bool use);
    using SystemProxyResolver = std::function<ProxySpec(const std::string& url)>;
    void set_system_proxy_resolver(SystemProxyResolver resolver);
    // The most connections all tasks together open to one host (core/host_gate.h; shared by
    // every engine of the process, as the servers are). 0 or less restores the default, 32.
    void set_max_per_host(int64_t connections);
    // Ignored when empty; creates the folder tree. Tasks already added keep their paths.
    void set_download_dir(std::string_view download_dir);
    std::string download_dir() const;

    // The revision of the task list (core/change_signal.h): a front end that remembers the
    // revision it drew skips the next frame when it is still current.
    Revision revision() const;
    // Waits until the revision moved in `scope`, `timeout_ms` passed, or `stop` holds (checked
    // at the start and after every `wake_waiters`); returns the revision then.
    Revision wait_for_change(const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                             const std::function<bool()>& stop = {}) const;
    // Makes every wait look at its stop condition again.
    void wake_waiters() const;
    bool all_settled() const;

    // The task list itself, for tests that give it a scripted driver or look at its records.
    const std::shared_ptr<TaskList>& task_list() const { return m_tasks; }

private:
    Engine() = default;
    // The engine's custom proxy, else the system's for its URL, for a request that names none.
    void fill_proxy(TaskRequest& request) const;

    mutable std::mutex m_lock; // guards the folder, the proxies and the limit
    std::string m_download_dir;
    ProxySpec m_custom_proxy;
    SystemProxyResolver m_system_proxy;
    bool m_use_system_proxy = false;
    int64_t m_bandwidth_limit = 0;
    int64_t m_live_outage_limit = 0; // 0: the default

    std::shared_ptr<TaskList> m_tasks;
    std::unique_ptr<JournalKeeper> m_journal;  // none unless set_journal gave it one
    std::shared_ptr<ListSnapshotCache> m_view; // what snapshot and list_document last built
};

// XDG_DOWNLOAD_DIR from the user-dirs file ($XDG_CONFIG_HOME/user-dirs.dirs, default
// ~/.config/user-dirs.dirs) when set, else $HOME/Downloads, else "downloads".
std::string default_download_dir();

} // namespace twk
