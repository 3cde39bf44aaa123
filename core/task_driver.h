// The driver a task thread runs: the seam between the task list and the transfers.
//
// `run_task` is what every task list runs unless `TaskList::set_driver` says otherwise. It is
// where the plain transfer (segmented HTTP, FTP) and the stream transfer (HLS, DASH) are chosen
// by the task's stream flag. Until those transfers are built in, it ends every run at once with
// the status "error: no download driver", so a task never claims a success it did not have.
// A driver must honour the stop and pause flags and leave a final status text (see TaskDriver
// in core/task_list.h).
#pragma once

#include <memory>

#include "core/task.h"

namespace twk {

void run_task(const std::shared_ptr<Task>& task);

} // namespace twk
