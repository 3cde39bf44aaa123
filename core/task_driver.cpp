#include "core/task_driver.h"

#include "core/download_driver.h"

namespace twk {

TaskDriver dispatching_driver(const TaskDrivers& drivers) {
    TaskDriver plain = drivers.plain;
    if (!plain) plain = [](const std::shared_ptr<Task>& task) { run_download(task); };
    TaskDriver stream = drivers.stream;
    return [plain, stream](const std::shared_ptr<Task>& task) {
        if (!task->request.is_stream()) {
            plain(task);
        } else if (stream) {
            stream(task);
        } else {
            task->set_status("error: stream downloads are not supported yet");
        }
    };
}

} // namespace twk
