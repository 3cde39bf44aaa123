#include "core/task_driver.h"

#include <atomic>

#include "core/download_driver.h"

namespace twk {

namespace {

std::atomic<StreamDriver> g_stream_driver{nullptr};

} // namespace

void set_stream_driver(StreamDriver driver) { g_stream_driver = driver; }

void run_task(const std::shared_ptr<Task>& task) {
    if (task->stream) {
        if (StreamDriver driver = g_stream_driver) {
            driver(task);
            return;
        }
        task->set_status("error: stream downloads are not supported yet");
        return;
    }
    run_download(task);
}

} // namespace twk
