// The engine as plain calls on a handle, and the application's engine: one per process, with
// its control server, behind a process-wide handle. A thin layer over `Engine`
// (core/engine.h) for callers that want plain functions; everything here returns at once and
// throws nothing. Every operation that takes an engine does nothing (or returns -1) when given
// none.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/engine.h"

namespace twk {

// --- engine life ---

// Creates an engine that runs plain and stream downloads. An empty folder becomes "downloads";
// the folder tree is created. `max_concurrent` below 1 becomes 1.
Engine* engine_create(std::string_view download_dir, int64_t max_concurrent);

// Pauses every task (so their sidecars are saved), waits up to 3 s for them to settle, closes
// the task list and frees the engine. A control server started for it must be stopped first.
void engine_destroy(Engine* engine);

// `Engine::set_journal`. Call it right after `engine_create`.
bool engine_set_journal(Engine* engine, std::string_view path);

// --- tasks ---

// Adds a plain download of `url` (trimmed) with `connections` (0 or less: 8; not one of 1, 2,
// 4, 8, 12, 16, 24, 32: 8) and an optional proxy URL such as "socks5h://host:1080" (empty: the
// engine's default). Returns the new id, or -1 for an empty URL or one that does not parse.
int32_t engine_add(Engine* engine, std::string_view url, int64_t connections, std::string_view proxy);

// Adds a download from a JSON start request, capture mode (core/start_request.h). -1 when the
// text is not a JSON object, has no "url" or one that does not parse.
int32_t engine_add_json(Engine* engine, std::string_view json);

void engine_pause(Engine* engine, int32_t id);
void engine_resume(Engine* engine, int32_t id);
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
void engine_set_download_dir(Engine* engine, std::string_view download_dir);
void engine_set_use_system_proxy(Engine* engine, bool use);
// The engine's download folder now (empty without an engine).
std::string engine_download_dir(Engine* engine);

// --- documents and texts ---

// The task list document (core/task_snapshot.h), newly allocated; release it with
// `engine_release_text`. Without an engine: {"status":"idle","tasks":[]}.
char* engine_list_document(Engine* engine);
void engine_release_text(char* text); // null is ignored

// --- changes ---

// A zero revision without an engine.
Revision engine_revision(Engine* engine);
// `Engine::wait_for_change`; without an engine it returns `seen` at once.
Revision engine_wait_for_change(Engine* engine, const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                                const std::function<bool()>& stop = {});
void engine_wake_waiters(Engine* engine);

// "TWK 0.2 (in-process core)".
const char* engine_version();

// The engine's task list, for tests that script its driver or look at its records.
std::shared_ptr<TaskList> engine_task_list(Engine* engine);

// --- the application's engine: one per process, behind a process-wide handle ---

// Creates the engine with the default folder and `maxConcurrent` 3 when there is none, and
// starts its control server (control/control_service.h); an engine whose server could not
// listen runs on without one.
void start_engine();
// Stops the control server, then destroys the application's engine (see `engine_destroy`);
// afterwards there is none.
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

// Milliseconds since the extension of the browser `tag` ("chrome", "edge", "firefox") last
// contacted the application's control server; -1 when never, or without an engine or a server.
int64_t application_browser_contact_age(std::string_view tag);

} // namespace twk
