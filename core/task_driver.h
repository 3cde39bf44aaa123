// The drivers a task thread runs: the seam between the task list and the transfers.
//
// A task list is made with its drivers. A plain task runs the plain driver (the download driver,
// core/download_driver.h, unless another is given); a stream task (HLS, DASH) runs the stream
// driver, which lives in a layer above the engine (media/): whoever creates the engine passes
// its functions. Without one a stream task ends at once with the status "error: stream downloads
// are not supported yet", so that a task never claims a success it did not have. A driver must
// honour the stop and pause flags and end or fail its run (see TaskDriver).
#pragma once

#include <functional>
#include <memory>

#include "core/task.h"

namespace twk {

// The work a task thread does: run the task to the end of one run and end it
// (`TaskProgress::finish`) or fail it (`TaskProgress::set_failure`). It gets the task's request,
// progress and control, must return once the stop flag is set, and owns the output file while it
// runs.
using TaskDriver = std::function<void(const RunContext&)>;

struct TaskDrivers {
    TaskDriver plain;  // empty: the download driver
    TaskDriver stream; // empty: stream tasks fail at once
    // Removes what a paused stream task keeps between runs (its fetched parts), for a cancel
    // that comes while no run is going: a running task's driver cleans up after itself.
    std::function<void(const RunContext&)> stream_cleanup;
};

// The driver that picks between the two by the task's stream flag.
TaskDriver dispatching_driver(const TaskDrivers& drivers);

} // namespace twk
