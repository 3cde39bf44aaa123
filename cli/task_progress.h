// What `twk get` knows about its tasks: the engine's snapshots (core/task_snapshot.h), with the
// speed the engine measured (core/speed_meter.h), and the exit status the whole run ends with.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/speed_meter.h"
#include "core/task_snapshot.h"

namespace twk {

inline constexpr int kExitDone = 0;          // every task ended "done"
inline constexpr int kExitFailed = 1;        // a task ended in error (or was never added)
inline constexpr int kExitUsage = 2;         // bad command line
inline constexpr int kExitInterrupted = 130; // Ctrl-C or SIGTERM: tasks paused, sidecars kept

// The exit status of `twk get`: 130 when interrupted, 0 when every task is done (and there was
// at least one), else 1.
int get_exit_status(const std::vector<TaskSnapshot>& tasks, bool interrupted);

} // namespace twk
