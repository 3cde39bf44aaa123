// Engine snapshots (core/task_snapshot.h) as the engine makes them, for the desktop app's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/task_snapshot.h"

namespace twk::ui::test {

inline SegmentSnapshot segment(uint64_t id, uint64_t start, uint64_t pos, uint64_t end, bool active) {
    return SegmentSnapshot{id, start, pos, end, active};
}

// The state the engine shows a task with this status text in: any text but the settled ones
// is a running task's.
inline TaskState state_of(const std::string& status) {
    if (status == "done") return kDone;
    if (status == "queued") return kQueued;
    if (status == "paused") return kPaused;
    if (status == "canceled") return kCanceled;
    if (status.starts_with("error")) return kError;
    return kRunning;
}

inline TaskSnapshot entry(int32_t id, const std::string& status, uint64_t total, uint64_t done,
                          const std::vector<SegmentSnapshot>& segments = {}, int connections = 8,
                          const std::string& name = "file.bin",
                          const std::string& url = "http://127.0.0.1/f") {
    TaskSnapshot task;
    task.id = id;
    task.state = state_of(status);
    task.status = status;
    if (task.state == kRunning && status == "probing") task.phase = TaskPhase::kProbing;
    if (task.state == kRunning && status == "downloading") task.phase = TaskPhase::kDownloading;
    task.name = name;
    task.url = url;
    task.total = total;
    task.done = done;
    task.connections = static_cast<uint64_t>(connections);
    task.supports_range = true;
    task.segments = segments;
    return task;
}

inline std::vector<TaskSnapshot> list_document(const std::vector<TaskSnapshot>& entries) { return entries; }

} // namespace twk::ui::test
