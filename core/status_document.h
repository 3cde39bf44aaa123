// Reading the task list into snapshots (core/task_snapshot.h), and the list document built from
// them, read by the control API and the WebSocket channel. Also here: the display formatters the
// task list views apply to these values.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/task.h"
#include "core/task_list.h"
#include "core/task_snapshot.h"

namespace twk {

// The task as its list shows it in `state`.
TaskSnapshot snapshot_task(int32_t id, TaskState state, const Task& task);
// Every task of the list, and the one it started last; `now_ns` (steady clock) gives "elapsed".
ListSnapshot snapshot_list(const TaskList& list, int64_t now_ns);
ListSnapshot snapshot_list(const TaskList& list);

// The same as JSON (`to_json`).
std::string task_status_fragment(const Task& task, int64_t now_ns);
std::string task_entry_json(int32_t id, int32_t state, const Task& task);
std::string task_list_document(const TaskList& list, int64_t now_ns);
std::string task_list_document(const TaskList& list);

// The same reading for a front end that asks again and again (the engine's `snapshot` and list
// document): the record and the "tasks" entry of a task that has not changed since the last
// call (its change count, state and total, core/task.h) are reused instead of being read and
// written again, so that a long list of settled tasks costs little per frame. Running tasks are
// always read afresh. Safe to call from any thread.
class ListSnapshotCache {
public:
    ListSnapshot snapshot(const TaskList& list, int64_t now_ns);
    std::string document(const TaskList& list, int64_t now_ns);

private:
    struct Kept {
        const Task* task = nullptr;
        uint64_t changes = 0;
        TaskState state = kQueued;
        uint64_t total = 0;
        TaskSnapshot snapshot;
        std::string json;
    };
    // The kept record for the entry, read afresh when it is out of date.
    const Kept& refresh(int32_t id, TaskState state, const Task& task);

    std::mutex m_lock;
    std::unordered_map<int32_t, Kept> m_kept;
};

// 1536 gives "1.50 KB"; "—" for a negative value or one that is not a number.
std::string format_size(double bytes);
// 1536 gives {"1.5", "KB/s"}; a negative value counts as 0.
std::pair<std::string, std::string> format_speed(double bytes_per_second);
// 59.6 gives "1m 0s", 3600 "1h 0m"; "—" when not finite, negative or 100 years and more.
std::string format_duration(double seconds);

} // namespace twk
