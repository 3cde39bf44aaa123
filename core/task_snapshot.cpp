#include "core/task_snapshot.h"

#include "net/text.h"
#include "json/json.h"

namespace twk {

namespace {

std::string number(uint64_t value) { return std::to_string(value); }

const char* boolean(bool value) { return value ? "true" : "false"; }

std::string segments_json(const std::vector<SegmentSnapshot>& segments) {
    std::string out = "[";
    for (size_t i = 0; i < segments.size(); ++i) {
        const SegmentSnapshot& s = segments[i];
        if (i) out += ',';
        out += "{\"id\":" + number(s.id);
        out += ",\"start\":" + number(s.start);
        out += ",\"pos\":" + number(s.pos);
        out += ",\"end\":" + number(s.end);
        out += ",\"active\":" + std::string(boolean(s.active)) + '}';
    }
    out += ']';
    return out;
}

// "total" (with "totalEstimated" when it is a guess), "done", "connections", "supportsRange",
// and for streams "live" with "recorded", and "leftOut".
std::string sizes_json(const TaskSnapshot& task) {
    std::string out = ",\"total\":" + number(task.total);
    if (task.total_estimated) out += ",\"totalEstimated\":true";
    out += ",\"done\":" + number(task.done);
    out += ",\"connections\":" + number(task.connections);
    out += ",\"supportsRange\":" + std::string(boolean(task.supports_range));
    if (task.live) out += ",\"live\":true,\"recorded\":" + fixed_decimal(task.recorded, 1);
    if (!task.left_out.empty()) {
        out += ",\"leftOut\":[";
        for (size_t i = 0; i < task.left_out.size(); ++i)
            out += (i ? "," : "") + number(task.left_out[i]);
        out += ']';
    }
    return out;
}

} // namespace

std::string current_task_json(const CurrentTask& current) {
    const TaskSnapshot& task = current.task;
    std::string out = "\"status\":" + json_quote(current.live_status);
    out += ",\"filename\":" + json_quote(task.name);
    out += ",\"url\":" + json_quote(task.url);
    out += sizes_json(task);
    out += ",\"elapsed\":" + fixed_decimal(current.elapsed, 2);
    out += ",\"segments\":" + segments_json(task.segments);
    return out;
}

uint32_t TaskSnapshot::active_connections() const {
    uint32_t active = 0;
    for (const SegmentSnapshot& segment : segments)
        active += segment.active ? 1 : 0;
    return active;
}

std::string to_json(const TaskSnapshot& task) {
    std::string name = json_quote(task.name);
    std::string out = "{\"id\":" + std::to_string(task.id);
    out += ",\"name\":" + name;
    out += ",\"filename\":" + name;
    out += ",\"url\":" + json_quote(task.url);
    out += ",\"status\":" + json_quote(task.status);
    out += sizes_json(task);
    out += ",\"segments\":" + segments_json(task.segments);
    out += '}';
    return out;
}

std::string to_json(const ListSnapshot& snapshot) {
    std::string out = "{";
    out += snapshot.current ? current_task_json(*snapshot.current) : std::string("\"status\":\"idle\"");
    out += ",\"tasks\":[";
    for (size_t i = 0; i < snapshot.tasks.size(); ++i) {
        if (i) out += ',';
        out += to_json(snapshot.tasks[i]);
    }
    out += "]}";
    return out;
}

} // namespace twk
