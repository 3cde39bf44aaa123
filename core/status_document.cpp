#include "core/status_document.h"

#include <algorithm>
#include <cmath>

#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

constexpr const char* kNoValue = "\xE2\x80\x94"; // an em dash
constexpr double kMaxDuration = 3110400000.0;    // 100 years of 360 days
constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kMonth = 30 * kDay;
constexpr int64_t kYear = 360 * kDay;

std::string list_status(TaskState state, const Task& task) {
    switch (state) {
    case kRunning:
    case kError: return task.progress.status();
    case kDone: return "done";
    case kPaused: return "paused";
    case kCanceled: return "canceled";
    default: return "queued";
    }
}

CurrentTask current_task(const TaskList::Snapshot& list, int64_t now_ns) {
    const Task& task = *list.current;
    CurrentTask current;
    for (const auto& entry : list.entries) {
        if (entry->task == list.current)
            current.task = snapshot_task(entry->id, TaskState(entry->state.load()), task);
    }
    if (current.task.id == 0) current.task = snapshot_task(0, kRunning, task);
    current.live_status = redact_urls_in(task.progress.status());
    current.elapsed = static_cast<double>(now_ns - task.progress.start_ns) / 1e9;
    return current;
}

} // namespace

TaskSnapshot snapshot_task(int32_t id, TaskState state, const Task& task) {
    TaskSnapshot s;
    s.id = id;
    s.state = state;
    s.status = redact_urls_in(list_status(state, task));
    s.name = task.progress.name();
    s.path = task.progress.output_path();
    s.url = redact_url(task.request.url);
    s.total = task.progress.total;
    s.total_estimated = task.progress.total_estimated;
    s.connections = task.request.connections;
    s.supports_range = task.progress.supports_range;
    s.failure = state == kError ? task.progress.failure_category() : FailureCategory::kNone;
    s.phase = state == kRunning ? task.progress.phase() : TaskPhase::kNone;
    s.live = task.progress.live.active;
    s.recorded = static_cast<double>(task.progress.live.recorded_ms) / 1000;
    s.added_ms = task.request.added_ms;
    uint64_t done = 0;
    {
        std::lock_guard lock(task.progress.segment_lock);
        s.left_out.assign(task.progress.left_out.begin(), task.progress.left_out.end());
        s.segments.reserve(task.progress.segments.size());
        for (const auto& segment : task.progress.segments) {
            SegmentSnapshot out;
            out.id = segment->id;
            out.start = segment->start;
            out.pos = segment->pos.load();
            out.end = segment->end.load();
            if (s.total != 0) out.end = std::min(out.end, s.total);
            out.active = segment->active;
            if (out.pos > out.start) done += out.pos - out.start;
            s.segments.push_back(out);
        }
    }
    s.done = s.total != 0 ? std::min(done, s.total) : done;
    s.speed = task.progress.measure_speed(monotonic_ms(), done, state == kRunning);
    return s;
}

ListSnapshot snapshot_list(const TaskList& list) { return snapshot_list(list, monotonic_ns()); }

ListSnapshot snapshot_list(const TaskList& list, int64_t now_ns) {
    TaskList::Snapshot entries = list.snapshot();
    ListSnapshot out;
    if (entries.current) out.current = current_task(entries, now_ns);
    out.tasks.reserve(entries.entries.size());
    for (const auto& entry : entries.entries)
        out.tasks.push_back(snapshot_task(entry->id, TaskState(entry->state.load()), *entry->task));
    return out;
}

std::string task_status_fragment(const Task& task, int64_t now_ns) {
    CurrentTask current;
    current.task = snapshot_task(0, kRunning, task);
    current.live_status = redact_urls_in(task.progress.status());
    current.elapsed = static_cast<double>(now_ns - task.progress.start_ns) / 1e9;
    return current_task_json(current);
}

std::string task_entry_json(int32_t id, int32_t state, const Task& task) {
    return to_json(snapshot_task(id, TaskState(state), task));
}

std::string task_list_document(const TaskList& list) { return task_list_document(list, monotonic_ns()); }

std::string task_list_document(const TaskList& list, int64_t now_ns) {
    return to_json(snapshot_list(list, now_ns));
}

const ListSnapshotCache::Kept& ListSnapshotCache::refresh(int32_t id, TaskState state, const Task& task) {
    // The count is read before the task: a change landing meanwhile moves it past what is kept.
    const uint64_t changes = task.progress.change_count();
    const uint64_t total = task.progress.total;
    Kept& kept = m_kept[id];
    if (kept.task == &task && kept.changes == changes && kept.state == state && kept.total == total &&
        state != kRunning)
        return kept;
    kept.task = &task;
    kept.changes = changes;
    kept.state = state;
    kept.total = total;
    kept.snapshot = snapshot_task(id, state, task);
    kept.json = to_json(kept.snapshot);
    return kept;
}

ListSnapshot ListSnapshotCache::snapshot(const TaskList& list, int64_t now_ns) {
    TaskList::Snapshot entries = list.snapshot();
    ListSnapshot out;
    if (entries.current) out.current = current_task(entries, now_ns);
    out.tasks.reserve(entries.entries.size());
    std::lock_guard lock(m_lock);
    for (const auto& entry : entries.entries)
        out.tasks.push_back(refresh(entry->id, TaskState(entry->state.load()), *entry->task).snapshot);
    return out;
}

std::string ListSnapshotCache::document(const TaskList& list, int64_t now_ns) {
    TaskList::Snapshot entries = list.snapshot();
    std::string out = "{";
    out += entries.current ? current_task_json(current_task(entries, now_ns))
                           : std::string("\"status\":\"idle\"");
    out += ",\"tasks\":[";
    std::lock_guard lock(m_lock);
    bool first = true;
    for (const auto& entry : entries.entries) {
        if (!first) out += ',';
        first = false;
        out += refresh(entry->id, TaskState(entry->state.load()), *entry->task).json;
    }
    out += "]}";
    return out;
}

std::string format_size(double bytes) {
    if (std::isnan(bytes) || bytes < 0) return kNoValue;
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    int decimals = unit == 0 ? 0 : bytes < 10 ? 2 : bytes < 100 ? 1 : 0;
    return fixed_decimal(bytes, decimals) + ' ' + units[unit];
}

std::pair<std::string, std::string> format_speed(double bytes_per_second) {
    if (!(bytes_per_second >= 0)) bytes_per_second = 0;
    static const char* const units[] = {"B", "KB", "MB", "GB"};
    size_t unit = 0;
    while (bytes_per_second >= 1024 && unit < 3) {
        bytes_per_second /= 1024;
        ++unit;
    }
    return {fixed_decimal(bytes_per_second, unit == 0 ? 0 : 1), std::string(units[unit]) + "/s"};
}

std::string format_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= kMaxDuration) return kNoValue;
    int64_t s = std::llround(seconds);
    // The whole larger unit and the remainder in the smaller one: "1h 0m".
    auto pair = [&](int64_t big, const char* big_unit, int64_t small, const char* small_unit) {
        return std::to_string(s / big) + big_unit + ' ' + std::to_string((s % big) / small) + small_unit;
    };
    if (s < kMinute) return std::to_string(s) + 's';
    if (s < kHour) return pair(kMinute, "m", 1, "s");
    if (s < kDay) return pair(kHour, "h", kMinute, "m");
    if (s < kMonth) return pair(kDay, "d", kHour, "h");
    if (s < kYear) return pair(kMonth, "mo", kDay, "d");
    return pair(kYear, "y", kMonth, "mo");
}

} // namespace twk
