#include "core/task_driver.h"

#include "core/download_driver.h"

namespace twk {

TaskDriver dispatching_driver(const TaskDrivers& drivers) {
    TaskDriver plain = drivers.plain;
    if (!plain) plain = [](const RunContext& task) { run_download(task); };
    TaskDriver stream = drivers.stream;
    return [plain, stream](const RunContext& task) {
        if (!task.request.is_stream()) {
            plain(task);
        } else if (stream) {
            stream(task);
        } else {
            task.progress.set_failure("error: stream downloads are not supported yet",
                                      FailureCategory::kOther);
        }
    };
}

} // namespace twk
