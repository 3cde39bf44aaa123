#include "cli/task_progress.h"

#include "json/json.h"

namespace twk {

namespace {

uint32_t count_active_segments(const OrderedJsonValue& entry) {
    const OrderedJsonValue* segments = entry.member("segments");
    if (!segments || segments->kind != JsonKind::Array) return 0;
    uint32_t active = 0;
    for (const OrderedJsonValue& segment : segments->array) {
        const OrderedJsonValue* flag = segment.member("active");
        if (flag && flag->kind == JsonKind::Bool && flag->boolean) ++active;
    }
    return active;
}

} // namespace

bool parse_task_list(std::string_view document, std::vector<TaskProgress>& out) {
    OrderedJsonValue root;
    if (!parse_ordered_document(document, root)) return false;
    const OrderedJsonValue* tasks = root.member("tasks");
    if (!tasks || tasks->kind != JsonKind::Array) return false;
    out.clear();
    for (const OrderedJsonValue& entry : tasks->array) {
        if (entry.kind != JsonKind::Object) return false;
        TaskProgress task;
        task.id = static_cast<int32_t>(entry.unsigned_member("id", 0));
        task.name = entry.string_member("name", "");
        task.url = entry.string_member("url", "");
        task.status = entry.string_member("status", "");
        task.total = entry.unsigned_member("total", 0);
        const OrderedJsonValue* estimated = entry.member("totalEstimated");
        task.total_estimated = estimated && estimated->kind == JsonKind::Bool && estimated->boolean;
        task.done = entry.unsigned_member("done", 0);
        task.connections = entry.unsigned_member("connections", 0);
        task.active = count_active_segments(entry);
        const OrderedJsonValue* live = entry.member("live");
        task.live = live && live->kind == JsonKind::Bool && live->boolean;
        const OrderedJsonValue* recorded = entry.member("recorded");
        if (recorded && recorded->kind == JsonKind::Number) task.recorded = recorded->number;
        if (const OrderedJsonValue* left_out = entry.member("leftOut");
            left_out && left_out->kind == JsonKind::Array) {
            for (const OrderedJsonValue& number : left_out->array) {
                if (number.kind == JsonKind::Number && number.number >= 0)
                    task.left_out.push_back(static_cast<uint64_t>(number.number));
            }
        }
        out.push_back(std::move(task));
    }
    return true;
}

bool is_error_status(std::string_view status) { return status.starts_with("error"); }

bool is_final_status(std::string_view status) {
    return status == "done" || status == "canceled" || is_error_status(status);
}

bool is_settled_status(std::string_view status) { return status == "paused" || is_final_status(status); }

int get_exit_status(const std::vector<TaskProgress>& tasks, bool interrupted) {
    if (interrupted) return kExitInterrupted;
    if (tasks.empty()) return kExitFailed;
    for (const TaskProgress& task : tasks) {
        if (task.status != "done") return kExitFailed;
    }
    return kExitDone;
}

void SpeedMeter::add(int64_t now_ms, uint64_t done) {
    // A restarted download (new validator) starts again from fewer bytes: measure afresh.
    if (!m_samples.empty() && done < m_samples.back().second) m_samples.clear();
    m_samples.emplace_back(now_ms, done);
    while (m_samples.size() > 2 && now_ms - m_samples[1].first >= kWindowMs)
        m_samples.pop_front();
}

double SpeedMeter::bytes_per_second() const {
    if (m_samples.size() < 2) return 0;
    const auto& [first_ms, first_done] = m_samples.front();
    const auto& [last_ms, last_done] = m_samples.back();
    if (last_ms <= first_ms) return 0;
    return static_cast<double>(last_done - first_done) * 1000.0 / static_cast<double>(last_ms - first_ms);
}

} // namespace twk
