// `twk serve`: the engine and its control server without a window.
//
// Listens on 127.0.0.1, port 18080 (TWK_CONTROL_PORT names another), and downloads what browser
// extensions and local pages send to the control API (control/control_server.h) into the chosen
// folder, until SIGINT or SIGTERM. Then the control server stops, every task is paused so that
// it saves its sidecar, and the process ends with status 0; a second signal while waiting ends
// it at once. A port that is taken is reported and ends the process with status 1: without its
// control server the headless engine would be of no use.
//
// The task list is kept in the task journal, $XDG_STATE_HOME/tarnwick/tasks.json (default
// ~/.local/state; core/task_journal.h), shared with the desktop app: a restarted `twk serve`
// shows the tasks of the last run, every unfinished one paused.
//
// The limit all downloads share and the downloads at once start as the options say; the control
// API's "/limits" changes them while it runs.
#pragma once

#include "cli/serve_options.h"
#include "core/task_driver.h"

namespace twk {

int run_serve(const ServeOptions& options, const TaskDrivers& drivers);

} // namespace twk
