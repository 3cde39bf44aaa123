#include "core/status_document.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

std::string printf_text(const char* format, int a, int b) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, a, b);
    return buffer;
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
        char element[256];
        std::snprintf(element, sizeof element,
                      "{\"id\":%llu,\"start\":%llu,\"pos\":%llu,\"end\":%llu,\"active\":%s}",
                      static_cast<unsigned long long>(s.id), static_cast<unsigned long long>(s.start),
                      static_cast<unsigned long long>(s.pos.load()), static_cast<unsigned long long>(end),
                      boolean(s.active));
        if (i) out += ',';
        out += element;
    }
    out += ']';
    return out;
}

std::string task_status_fragment(const Task& task, int64_t now_ns) {
    uint64_t total = task.total;
    char elapsed[64];
    std::snprintf(elapsed, sizeof elapsed, "%.2f", static_cast<double>(now_ns - task.start_ns) / 1e9);
    std::string out = "\"status\":" + json_quote(task.status());
    out += ",\"filename\":" + json_quote(task.name());
    out += ",\"url\":" + json_quote(task.url);
    out += ",\"total\":" + number(total);
    out += ",\"done\":" + number(shown_done(task, total));
    out += ",\"connections\":" + number(task.connections);
    out += ",\"supportsRange\":" + std::string(boolean(task.supports_range));
    out += ",\"elapsed\":" + std::string(elapsed);
    out += ",\"segments\":" + segments_json(task);
    return out;
}

std::string task_entry_json(int32_t id, int32_t state, const Task& task) {
    uint64_t total = task.total;
    std::string name = json_quote(task.name());
    std::string out = "{\"id\":" + std::to_string(id);
    out += ",\"name\":" + name;
    out += ",\"filename\":" + name;
    out += ",\"url\":" + json_quote(task.url);
    out += ",\"status\":" + json_quote(list_status(state, task));
    out += ",\"total\":" + number(total);
    out += ",\"done\":" + number(shown_done(task, total));
    out += ",\"connections\":" + number(task.connections);
    out += ",\"supportsRange\":" + std::string(boolean(task.supports_range));
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
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f %s", decimals, bytes, units[unit]);
    return buffer;
}

std::pair<std::string, std::string> format_speed(double bytes_per_second) {
    if (!(bytes_per_second >= 0)) bytes_per_second = 0;
    static const char* const units[] = {"B", "KB", "MB", "GB"};
    size_t unit = 0;
    while (bytes_per_second >= 1024 && unit < 3) {
        bytes_per_second /= 1024;
        ++unit;
    }
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", unit == 0 ? 0 : 1, bytes_per_second);
    return {buffer, std::string(units[unit]) + "/s"};
}

std::string format_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= kMaxDuration) return kNoValue;
    int64_t s = std::llround(seconds);
    auto pair = [&](const char* format, int64_t big, int64_t small) {
        return printf_text(format, static_cast<int>(s / big), static_cast<int>((s % big) / small));
    };
    if (s < kMinute) return printf_text("%ds", static_cast<int>(s), 0);
    if (s < kHour) return pair("%dm %ds", kMinute, 1);
    if (s < kDay) return pair("%dh %dm", kHour, kMinute);
    if (s < kMonth) return pair("%dd %dh", kDay, kHour);
    if (s < kYear) return pair("%dmo %dd", kMonth, kDay);
    return pair("%dy %dmo", kYear, kMonth);
}

} // namespace twk
