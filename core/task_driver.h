// The driver a task thread runs: the seam between the task list and the transfers.
//
// `run_task` is what every task list runs unless `TaskList::set_driver` says otherwise. It
// chooses the transfer by the task's stream flag: a plain task runs the download driver
// (core/download_driver.h); a stream task (HLS, DASH) ends at once with the status
// "error: stream downloads are not supported yet" until the stream driver is built in, so a task
// never claims a success it did not have. A driver must honour the stop and pause flags and
// leave a final status text (see TaskDriver in core/task_list.h).
#pragma once

#include <memory>

#include "core/task.h"

namespace twk {

void run_task(const std::shared_ptr<Task>& task);

} // namespace twk
