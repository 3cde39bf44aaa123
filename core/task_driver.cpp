#include "core/task_driver.h"

#include <atomic>

#include "core/download_driver.h"

namespace twk {

namespace {

std::atomic<StreamDriver> g_stream_driver{nullptr};
std::atomic<StreamCleanup> g_stream_cleanup{nullptr};

} // namespace

void set_stream_driver(StreamDriver driver, StreamCleanup cleanup) {
    g_stream_cleanup = cleanup;
    g_stream_driver = driver;
}

void clean_up_stream_task(const Task& task) {
    if (StreamCleanup cleanup = g_stream_cleanup) cleanup(task);
}

void run_task(const std::shared_ptr<Task>& task) {
    if (task->request.is_stream()) {
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
