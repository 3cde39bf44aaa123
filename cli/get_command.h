// `twk get`: adds each URL to an engine of its own and watches the tasks until all have ended.
//
// The engine gets the chosen folder (the engine's default folder unless -d) and the limit of
// downloads running at once; each URL becomes capture-mode start options added through the
// engine's options add. The watcher waits on the engine's change signal: it reads the task list
// document when a status changed or every task has settled (so the end is seen at once), and on
// a terminal also five times a second. There one live line per task is redrawn in place;
// otherwise a line is printed when a task's status changes; -q prints neither. At the end one
// closing line per task, and with --json the task list document (then every other line goes to
// standard error, so that standard output holds the document alone).
//
// SIGINT or SIGTERM pauses every task, so that each saves its sidecar, waits for them to settle
// and ends with status 130; the same command run again continues from the sidecars. A second
// signal while waiting ends the process at once.
#pragma once

#include <string>

#include "cli/get_options.h"
#include "core/task_driver.h"

namespace twk {

class Engine;

// Creates an engine that runs `drivers` (the stream driver comes from the layer above, media/),
// runs `get_with_engine`, destroys the engine. The exit status: see get_exit_status
// (cli/task_progress.h).
int run_get(const GetOptions& options, const TaskDrivers& drivers);

// The same on an engine the caller made (and destroys) for `folder`: adds the URLs, watches,
// prints the closing lines. SIGINT and SIGTERM are held back on the calling thread while it runs,
// and on every thread the engine starts meanwhile.
int get_with_engine(Engine& engine, const std::string& folder, const GetOptions& options);

} // namespace twk
