#include "core/status_document.h"

#include <algorithm>
#include <cmath>

#include "net/text.h"
#include "net/url.h"
#include "json/json.h"

namespace twk {

namespace {

constexpr const char* kNoValue = "\xE2\x80\x94"; // an em dash
constexpr double kMaxDuration = 3110400000.0;    // 100 years of 360 days
constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kMonth = 30 * kDay;
constexpr int64_t kYear = 360 * kDay;

std::string number(uint64_t value) { return std::to_string(value); }

const char* boolean(bool value) { return value ? "true" : "false"; }

uint64_t shown_done(const Task& task, uint64_t total) {
    uint64_t done = task.bytes_done();
    return total != 0 ? std::min(done, total) : done;
}

std::string list_status(int32_t state, const Task& task) {
    switch (state) {
    case kRunning:
    case kError: return task.status();
    case kDone: return "done";
    case kPaused: return "paused";
    case kCanceled: return "canceled";
    default: return "queued";
    }
}

// A live recording has no total: it shows the media time recorded so far (seconds).
std::string live_members(const Task& task) {
    if (!task.live.active) return {};
    return ",\"live\":true,\"recorded\":" +
           fixed_decimal(static_cast<double>(task.live.recorded_ms) / 1000, 1);
}

// The segments a stream left out because they kept failing: "leftOut":[3,7]; nothing when none.
std::string left_out_member(const Task& task) {
    std::lock_guard lock(task.segment_lock);
    if (task.left_out.empty()) return {};
    std::string out = ",\"leftOut\":[";
    for (size_t i = 0; i < task.left_out.size(); ++i)
        out += (i ? "," : "") + std::to_string(task.left_out[i]);
    return out + "]";
}

} // namespace

std::string segments_json(const Task& task) {
    uint64_t total = task.total;
    std::string out = "[";
    std::lock_guard lock(task.segment_lock);
    for (size_t i = 0; i < task.segments.size(); ++i) {
        const Segment& s = *task.segments[i];
        uint64_t end = s.end.load();
        if (total != 0) end = std::min(end, total);
        if (i) out += ',';
        out += "{\"id\":" + number(s.id);
        out += ",\"start\":" + number(s.start);
        out += ",\"pos\":" + number(s.pos.load());
        out += ",\"end\":" + number(end);
        out += ",\"active\":" + std::string(boolean(s.active)) + '}';
    }
    out += ']';
    return out;
}

std::string task_status_fragment(const Task& task, int64_t now_ns) {
    uint64_t total = task.total;
    std::string elapsed = fixed_decimal(static_cast<double>(now_ns - task.start_ns) / 1e9, 2);
    std::string out = "\"status\":" + json_quote(redact_urls_in(task.status()));
    out += ",\"filename\":" + json_quote(task.name());
    out += ",\"url\":" + json_quote(redact_url(task.request.url));
    out += ",\"total\":" + number(total);
    if (task.total_estimated) out += ",\"totalEstimated\":true";
    out += ",\"done\":" + number(shown_done(task, total));
    out += ",\"connections\":" + number(task.request.connections);
    out += ",\"supportsRange\":" + std::string(boolean(task.supports_range));
    out += live_members(task);
    out += left_out_member(task);
    out += ",\"elapsed\":" + elapsed;
    out += ",\"segments\":" + segments_json(task);
    return out;
}

std::string task_entry_json(int32_t id, int32_t state, const Task& task) {
    uint64_t total = task.total;
    std::string name = json_quote(task.name());
    std::string out = "{\"id\":" + std::to_string(id);
    out += ",\"name\":" + name;
    out += ",\"filename\":" + name;
    out += ",\"url\":" + json_quote(redact_url(task.request.url));
    out += ",\"status\":" + json_quote(redact_urls_in(list_status(state, task)));
    out += ",\"total\":" + number(total);
    if (task.total_estimated) out += ",\"totalEstimated\":true";
    out += ",\"done\":" + number(shown_done(task, total));
    out += ",\"connections\":" + number(task.request.connections);
    out += ",\"supportsRange\":" + std::string(boolean(task.supports_range));
    out += live_members(task);
    out += left_out_member(task);
    out += ",\"segments\":" + segments_json(task);
    out += '}';
    return out;
}

std::string task_list_document(const TaskList& list) { return task_list_document(list, monotonic_ns()); }

std::string task_list_document(const TaskList& list, int64_t now_ns) {
    TaskList::Snapshot snapshot = list.snapshot();
    std::string out = "{";
    out += snapshot.current ? task_status_fragment(*snapshot.current, now_ns)
                            : std::string("\"status\":\"idle\"");
    out += ",\"tasks\":[";
    for (size_t i = 0; i < snapshot.entries.size(); ++i) {
        const TaskEntry& entry = *snapshot.entries[i];
        if (i) out += ',';
        out += task_entry_json(entry.id, entry.state, *entry.task);
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
