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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/task_driver.h"

namespace twk {

struct ServeOptions {
    std::string directory;  // empty: the engine's default download folder
    int max_concurrent = 3; // downloads running at once
};

// Reads the arguments that follow "serve". False with a one-line reason for bad usage.
bool parse_serve_options(const std::vector<std::string>& args, ServeOptions& out, std::string& error);

int run_serve(const ServeOptions& options, const TaskDrivers& drivers);

} // namespace twk
