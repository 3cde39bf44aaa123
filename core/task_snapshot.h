// What a front end sees of the task list: one typed record per task, read at one moment, and the
// list document the control service sends, which is nothing but these records as JSON.
//
// A snapshot holds no pointer into the engine: it can be kept, copied and compared by any
// thread. URLs are shown with their passwords replaced (net/url.h), in the task's URL and in
// any URL its status text quotes.
//
// The list document `to_json` writes, member order and number formats included:
//
//   list document  {<fragment of the current task, or "status":"idle">,"tasks":[<entry>,...]}
//   fragment       "status":..,"filename":..,"url":..,"total":N,"done":N,"connections":N,
//                  "supportsRange":B,"elapsed":S.ss,"segments":[..]
//   entry          {"id":N,"name":..,"filename":..,"url":..,"status":..,"total":N,"done":N,
//                   "connections":N,"supportsRange":B,"segments":[..]}
//   segment        {"id":N,"start":N,"pos":N,"end":N,"active":B}
//
// While a total is only a guess from what was fetched so far (a stream's parts), "total" is
// followed by "totalEstimated":true; the member is absent otherwise. A live recording (total 0)
// has "live":true,"recorded":S.s (media seconds recorded) after "supportsRange"; a stream that
// left failing segments out lists their numbers next, "leftOut":[3,7].
// "done" is capped at a non-zero total; a segment's end is capped at a non-zero total and is
// 18446744073709551615 while the size is unknown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/transport_error.h"

namespace twk {

// Where a task stands in its list. Only the list moves a task between these.
enum TaskState : int32_t {
    kQueued = 0,
    kRunning = 1,
    kDone = 2,
    kError = 3,
    kPaused = 4,
    kCanceled = 5,
};

// What a running task is doing, beside its status text: front ends decide by this, never by
// the words. kNone for a task that is not running or whose run has ended.
enum class TaskPhase : uint8_t {
    kNone = 0,
    kProbing,     // asking what the server offers (a stream's playlist)
    kDownloading, // bytes are coming
    kServerPause, // the server asked to wait ("waiting 42 s (server asked)")
    kMuxing,      // a stream's parts are being joined
    kRecording,   // a live stream is being recorded ("recording, 1 gap of 12 s")
};

// Final: nothing will run again unless asked. Settled: final, or paused.
inline bool is_final_state(TaskState state) {
    return state == kDone || state == kError || state == kCanceled;
}
inline bool is_settled_state(TaskState state) { return is_final_state(state) || state == kPaused; }

struct SegmentSnapshot {
    uint64_t id = 0;
    uint64_t start = 0;
    uint64_t pos = 0;
    uint64_t end = 0; // capped at a non-zero total
    bool active = false;

    bool operator==(const SegmentSnapshot&) const = default;
};

struct TaskSnapshot {
    int32_t id = 0;
    TaskState state = kQueued;
    // What the list shows: the running task's own text ("probing", "downloading", ...) and the
    // failure's "error: ..." text; the state's name otherwise.
    std::string status;
    std::string name;             // the output file's name
    std::string path;             // the output file's whole path; not in the documents
    std::string url;              // for display: passwords replaced
    uint64_t total = 0;           // 0 while unknown
    bool total_estimated = false; // a guess from what was fetched so far
    uint64_t done = 0;            // bytes on disk, capped at a non-zero total
    uint64_t connections = 0;     // the task's most
    bool supports_range = false;
    double speed = 0; // bytes per second over the last few seconds; 0 unless running
    FailureCategory failure = FailureCategory::kNone;
    TaskPhase phase = TaskPhase::kNone; // while running
    std::vector<SegmentSnapshot> segments;
    bool live = false; // a live recording: no total; `recorded` seconds of media so far
    double recorded = 0;
    std::vector<uint64_t> left_out; // stream segments left out because they kept failing
    int64_t added_ms = 0;           // when the task was added (Unix epoch ms), 0 when not known

    // Segments being fetched right now: the connections in use.
    uint32_t active_connections() const;
    // The running task is still asking what the server offers.
    bool probing() const { return state == kRunning && phase == TaskPhase::kProbing; }
    // The running task is fetching bytes: speed and time left mean something.
    bool downloading() const { return state == kRunning && phase == TaskPhase::kDownloading; }
};

// The task the list started last, as the list document's head shows it.
struct CurrentTask {
    TaskSnapshot task;
    std::string live_status; // its own status text, whatever its state
    double elapsed = 0;      // seconds since the task was made
};

struct ListSnapshot {
    std::optional<CurrentTask> current;
    std::vector<TaskSnapshot> tasks; // in the order they were added
};

// The list document for this snapshot.
std::string to_json(const ListSnapshot& snapshot);
// One entry of the "tasks" array.
std::string to_json(const TaskSnapshot& task);
// The head of the list document, without the braces.
std::string current_task_json(const CurrentTask& current);

// The document for "no engine", and for a list that never started a task but with "tasks".
inline constexpr const char* kIdleDocument = "{\"status\":\"idle\",\"tasks\":[]}";

} // namespace twk
