// What `twk get` knows about its tasks: the rows it reads from the engine's task list document,
// how each row's status is judged, the speed it measures between two readings, and the exit
// status the whole run ends with.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace twk {

// One task entry of the list document.
struct TaskProgress {
    int32_t id = 0;
    std::string name;
    std::string url;
    std::string status;           // "queued", "probing", "downloading", "done", "error...", ...
    uint64_t total = 0;           // 0 = unknown
    bool total_estimated = false; // the total is a guess from what was fetched so far
    uint64_t done = 0;            // bytes on disk
    uint64_t connections = 0;     // the task's maximum
    uint32_t active = 0;          // segments being fetched right now
    bool live = false;            // a live recording: no total, `recorded` seconds of media so far
    double recorded = 0;
    std::vector<uint64_t> left_out; // stream segments left out because they kept failing
};

// Reads the "tasks" array of a task list document. False when the text is not such a document.
bool parse_task_list(std::string_view document, std::vector<TaskProgress>& out);

// A status that ends the task's run for good: "done", "canceled" or one beginning with "error".
bool is_final_status(std::string_view status);
// Final, or "paused": nothing runs for the task any more.
bool is_settled_status(std::string_view status);
bool is_error_status(std::string_view status);

inline constexpr int kExitDone = 0;          // every task ended "done"
inline constexpr int kExitFailed = 1;        // a task ended in error (or was never added)
inline constexpr int kExitUsage = 2;         // bad command line
inline constexpr int kExitInterrupted = 130; // Ctrl-C or SIGTERM: tasks paused, sidecars kept

// The exit status of `twk get`: 130 when interrupted, 0 when every task is "done" (and there was
// at least one), else 1.
int get_exit_status(const std::vector<TaskProgress>& tasks, bool interrupted);

// Bytes per second over the last few seconds of readings of one task.
class SpeedMeter {
public:
    // `now_ms` from a steady clock; readings must not go back in time.
    void add(int64_t now_ms, uint64_t done);
    double bytes_per_second() const;
    void reset() { m_samples.clear(); }

private:
    static constexpr int64_t kWindowMs = 3000;
    std::deque<std::pair<int64_t, uint64_t>> m_samples;
};

} // namespace twk
