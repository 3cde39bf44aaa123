#include "cli/task_progress.h"

namespace twk {

int get_exit_status(const std::vector<TaskSnapshot>& tasks, bool interrupted) {
    if (interrupted) return kExitInterrupted;
    if (tasks.empty()) return kExitFailed;
    for (const TaskSnapshot& task : tasks) {
        if (task.state != kDone) return kExitFailed;
    }
    return kExitDone;
}

} // namespace twk
