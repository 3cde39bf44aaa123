// The driver a task thread runs: the seam between the task list and the transfers.
//
// `run_task` is what every task list runs unless `TaskList::set_driver` says otherwise. It
// chooses the transfer by the task's stream flag: a plain task runs the download driver
// (core/download_driver.h); a stream task (HLS, DASH) runs the stream driver a front end
// installed with `set_stream_driver`. The stream driver lives in a layer above the engine
// (media/), so the engine cannot call it by name; without one installed a stream task ends at
// once with the status "error: stream downloads are not supported yet", so that a task never
// claims a success it did not have. A driver must honour the stop and pause flags and leave a
// final status text (see TaskDriver in core/task_list.h).
#pragma once

#include <memory>

#include "core/task.h"

namespace twk {

void run_task(const std::shared_ptr<Task>& task);

using StreamDriver = void (*)(const std::shared_ptr<Task>& task);
// Removes what a paused stream task keeps between runs (its fetched parts), for a cancel that
// comes while no run is going: a running task's driver cleans up after itself.
using StreamCleanup = void (*)(const Task& task);
// Installs the driver of stream tasks, and its clean-up, for the whole process (null removes
// them). Tasks started afterwards use it.
void set_stream_driver(StreamDriver driver, StreamCleanup cleanup = nullptr);
// Runs the installed clean-up for `task`; nothing without one.
void clean_up_stream_task(const Task& task);

} // namespace twk
