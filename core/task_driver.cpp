#include "core/task_driver.h"

#include "core/download_driver.h"

namespace twk {

void run_task(const std::shared_ptr<Task>& task) {
    if (task->stream) {
        task->set_status("error: stream downloads are not supported yet");
        return;
    }
    run_download(task);
}

} // namespace twk
