// A task driver the tests control: each run records its start, may create files at the task's
// paths, then waits until the test releases the task (it ends with the scripted status, "done"
// unless told otherwise) or until the task's stop flag is set (it ends "paused" or "canceled",
// as the real driver does, unless told to ignore it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/sidecar.h"
#include "core/task_list.h"
#include "tests/support/temp_dir.h"

namespace twk::test {

// Polls `condition` until it holds or 10 s have passed.
inline bool wait_for(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class PlaceholderDriver {
public:
    TaskDriver driver() {
        return [this](const RunContext& task) { run(task); };
    }

    // Lets the run of the task with this URL end with `status`.
    void release(const std::string& url, const std::string& status = "done") {
        std::lock_guard lock(m_mutex);
        m_released[url] = status;
        m_changed.notify_all();
    }
    void release_all() {
        std::lock_guard lock(m_mutex);
        m_release_all = true;
        m_changed.notify_all();
    }
    // Runs of tasks with these URLs write a partial output file and a sidecar when they start.
    void write_files_for(const std::string& url) {
        std::lock_guard lock(m_mutex);
        m_write_files.insert(url);
    }

    // Runs of tasks with this URL go on after their stop flag is set, until released.
    void ignore_stop_for(const std::string& url) {
        std::lock_guard lock(m_mutex);
        m_ignore_stop.insert(url);
    }

    std::vector<std::string> started() const {
        std::lock_guard lock(m_mutex);
        return m_started;
    }
    size_t started_count() const { return started().size(); }

private:
    // The scripted ending: "done", "paused", "canceled", or a failure text.
    static void end_with(TaskProgress& progress, const std::string& status) {
        if (status == "done") {
            progress.finish(RunEnd::kDone);
        } else if (status == "paused") {
            progress.finish(RunEnd::kPaused);
        } else if (status == "canceled") {
            progress.finish(RunEnd::kCanceled);
        } else {
            progress.set_failure(status, FailureCategory::kOther);
        }
    }

    void run(const RunContext& task) {
        std::unique_lock lock(m_mutex);
        m_started.push_back(task.request.url);
        if (m_write_files.count(task.request.url)) {
            write_file(task.progress.output_path(), "partial");
            ResumeState state;
            state.total = 100;
            state.segments = {make_segment(0, 7, 100)};
            write_file(task.progress.sidecar_path(), sidecar_image(state));
        }
        task.progress.set_status(TaskPhase::kDownloading);
        bool ignore_stop = m_ignore_stop.count(task.request.url) > 0;
        while (!m_release_all && !m_released.count(task.request.url) &&
               !(task.control.stop && !ignore_stop)) {
            m_changed.wait_for(lock, std::chrono::milliseconds(2));
        }
        if (task.control.stop && !ignore_stop) {
            task.progress.finish(task.control.pause ? RunEnd::kPaused : RunEnd::kCanceled);
        } else {
            end_with(task.progress, m_release_all ? "done" : m_released[task.request.url]);
            m_released.erase(task.request.url);
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_started;
    std::map<std::string, std::string> m_released;
    std::set<std::string> m_write_files;
    std::set<std::string> m_ignore_stop;
    bool m_release_all = false;
};

} // namespace twk::test
