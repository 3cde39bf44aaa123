// The download engine: what every front end (the `twk` command, the control service, the
// desktop app) may call. Nothing here throws; every operation returns at once.
//
// An engine owns a download folder, a task list that runs at most `maxConcurrent` tasks at a
// time (one thread each), and the defaults it gives the tasks added through it: a custom proxy,
// the system proxy, and a bandwidth limit. Tasks live in memory only; an interrupted download
// continues when a new task with the same output path finds its sidecar ("<file>.twk").
//
// Task ids are 1, 2, 3, ... in the order of adding and are never reused. A task is queued,
// running, done, error, paused or canceled; the list document (core/status_document.h)
// shows each one. Every operation that takes an engine does nothing (or returns -1) when
// given none.
//
// Output files: a task gets "<folder>/<name>". When another live task holds that path, or a file
// already exists there that a run of ours did not leave (its interrupted download, an empty file,
// or a file an earlier run created for the same URL), the task takes the first free
// "<stem> (N)<.ext>". A user's own files are never overwritten. A task that ends in error leaves
// a partial file with its sidecar, which the same request continues, or nothing at all.
//
// Adding refuses a URL that does not parse (-1). A failure no retry can mend (a 4xx but 408 and
// 429, 501, 505, an unknown host, a refused certificate, too many redirects, a scheme or coding
// we do not speak, a proxy's refusal) ends the task at once with "error: " and its reason, as
// long as no byte arrived in the run; other failures are retried, and their final status names
// the last cause. Pause and cancel take effect at once, even on a silent server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/change_signal.h"
#include "net/transport_error.h"

namespace twk {

struct Engine;
class TaskList;
struct StartOptions; // core/start_request.h

// --- engine life ---

// Creates an engine. An empty folder becomes "downloads"; the folder tree is created.
// `max_concurrent` below 1 becomes 1.
Engine* engine_create(std::string_view download_dir, int64_t max_concurrent);

// Stops the control server, pauses every task in the engine's list, whoever added it (so their
// sidecars are saved), waits up to 3 s for them to settle, closes the task list and frees the
// engine. Task threads that are still running keep what they use alive until they end; nothing
// new is started.
void engine_destroy(Engine* engine);

// Gives the engine its task journal (core/task_journal.h): loads the tasks kept there into the
// list, which must still be empty, and from then on keeps the file up to date, writing it a last
// time when the engine is destroyed. Call it right after `engine_create`. False when there is no
// engine, the path is empty, the engine has a journal already, its list has tasks, or another
// engine (in this process or another) holds the journal; the engine then keeps no list. A
// journal that cannot be read is set aside and the engine starts empty (true).
bool engine_set_journal(Engine* engine, std::string_view path);

// --- tasks ---

// Adds a plain download of `url` (trimmed) with `connections` (0 or less: 8; not one of 1, 2,
// 4, 8, 12, 16, 24, 32: 8) and an optional proxy URL such as "socks5h://host:1080" (empty: the
// engine's default). Returns the new id, or -1 for an empty URL.
int32_t engine_add(Engine* engine, std::string_view url, int64_t connections, std::string_view proxy);

// Adds a download from a JSON start request, capture mode: "url", "connections",
// "bandwidthLimit", "insecure", "proxy", "filename", "cookies", "referrer", "userAgent", "method",
// "postData", "type", "maxConcurrent", "headers". -1 when the text is not a JSON object or has
// no "url".
int32_t engine_add_json(Engine* engine, std::string_view json);

// Adds a download from a start request's options as a record (core/start_request.h), the way
// `engine_add_json` adds one from its JSON text: the URL and proxy are trimmed, the engine's
// proxy and limit fill in what the options leave open, and a `max_concurrent` above 0 is stored
// as the engine's limit. -1 for an empty URL or one that does not parse.
int32_t engine_add_options(Engine* engine, const StartOptions& options);

// Running: stops after saving the sidecar. Queued: paused at once. Unknown ids: nothing.
void engine_pause(Engine* engine, int32_t id);
// From paused, error or canceled: queued again (older tasks run first).
void engine_resume(Engine* engine, int32_t id);
// Anything but done becomes canceled; its partial file and sidecar are deleted.
void engine_cancel(Engine* engine, int32_t id);

// What the failure of a task that ended in error was about (net/transport_error.h), beside its
// exact status text; kNone for a task that has not failed and for unknown ids.
FailureCategory engine_task_failure(Engine* engine, int32_t id);

// --- settings ---

// `max_concurrent` > 0 is stored. `bandwidth_limit` (bytes per second) > 0 is stored, < 0 clears
// the limit, 0 leaves it. A proxy text that parses becomes the custom proxy (empty: none);
// one that does not parse leaves it unchanged. The limit and proxy apply to tasks added later.
void engine_set_options(Engine* engine, int64_t max_concurrent, int64_t bandwidth_limit,
                        std::string_view proxy);

// Ignored when empty; creates the folder tree. Tasks already added keep their paths.
void engine_set_download_dir(Engine* engine, std::string_view download_dir);

// On Linux there is no system proxy to read: the flag is kept, but tasks get a proxy only from
// their own options or from the custom proxy.
void engine_set_use_system_proxy(Engine* engine, bool use);

// --- documents and texts ---

// The task list document, newly allocated; release it with `engine_release_text`. Without an
// engine: {"status":"idle","tasks":[]}.
char* engine_list_document(Engine* engine);
void engine_release_text(char* text); // null is ignored

// --- changes ---

// The revision of the engine's task list (core/change_signal.h): a front end that remembers the
// revision it drew skips the next frame when it is still current. A zero revision without an
// engine.
Revision engine_revision(Engine* engine);

// Waits until the revision moved in `scope`, `timeout_ms` passed, or `stop` holds (checked at
// the start and after every `engine_wake_waiters`); returns the revision then. Without an
// engine it returns `seen` at once.
Revision engine_wait_for_change(Engine* engine, const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                                const std::function<bool()>& stop = {});

// Makes every wait of `engine_wait_for_change` look at its stop condition again.
void engine_wake_waiters(Engine* engine);

// "TWK 0.2 (in-process core)".
const char* engine_version();

// XDG_DOWNLOAD_DIR from the user-dirs file ($XDG_CONFIG_HOME/user-dirs.dirs, default
// ~/.config/user-dirs.dirs) when set, else $HOME/Downloads, else "downloads".
std::string default_download_dir();

// The engine's task list, for the control service, which adds its own tasks to it directly
// (without the engine's proxy and bandwidth defaults) and reads it for its documents.
std::shared_ptr<TaskList> engine_task_list(Engine* engine);

// --- the application's engine: one per process, behind a process-wide handle ---

// Creates the engine with the default folder and `maxConcurrent` 3 when there is none.
void start_engine();
// Destroys the application's engine (see `engine_destroy`); afterwards there is none.
void stop_engine();
bool engine_running();

struct StartDownloadResult {
    bool ok = false;
    int64_t connections = 0; // the value passed in
    std::string error;       // "engine not running" or "invalid URL" when not ok
};
// Applies `max_concurrent` when > 0, then adds `url` without a proxy of its own.
StartDownloadResult start_download(std::string_view url, int64_t connections, int64_t max_concurrent);

// The application's list document; false when there is no engine.
bool application_list_document(std::string& out);

// The engine's download folder now (empty without an engine). The control service reads it for
// every start request, so that a folder set after the engine started applies to them too.
std::string engine_download_dir(Engine* engine);

// Milliseconds since the extension of the browser `tag` ("chrome", "edge", "firefox") last
// contacted the application's control server; -1 when never, or without an engine or a server
// (core/control_link.h).
int64_t application_browser_contact_age(std::string_view tag);

} // namespace twk
