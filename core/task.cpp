#include "core/task.h"

#include <algorithm>
#include <chrono>

namespace twk {

std::shared_ptr<Segment> make_segment(uint64_t start, uint64_t pos, uint64_t end) {
    static std::atomic<uint64_t> next_id{1};
    auto segment = std::make_shared<Segment>();
    segment->id = next_id.fetch_add(1);
    segment->start = start;
    segment->pos = pos;
    segment->end = end;
    return segment;
}

int64_t task_elapsed_ms(const TaskProgress& progress) {
    return (monotonic_ns() - progress.start_ns) / 1'000'000;
}

bool download_complete(const TaskProgress& progress) {
    if (progress.complete) return true;
    if (progress.total == 0) return false;
    std::lock_guard lock(progress.segment_lock);
    return std::all_of(progress.segments.begin(), progress.segments.end(),
                       [](const auto& segment) { return segment->pos >= segment->end; });
}

Task::Task(TaskRequest request) : request(std::move(request)) {}

TaskProgress::TaskProgress(TaskControl& control) : start_ns(monotonic_ns()), m_control(control) {}

std::string TaskProgress::name() const {
    std::lock_guard lock(m_name_lock);
    return m_name;
}

std::string TaskProgress::output_path() const {
    std::lock_guard lock(m_name_lock);
    return m_output_path;
}

std::string TaskProgress::sidecar_path() const {
    std::lock_guard lock(m_name_lock);
    return m_sidecar_path;
}

void TaskProgress::set_output_path(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    {
        std::lock_guard lock(m_name_lock);
        m_name = name;
        m_output_path = path;
        m_sidecar_path = m_output_path + ".twk";
    }
    // The list shows the name: a new one is news for whoever watches states and status texts.
    note_status();
}

std::string TaskProgress::status() const {
    std::lock_guard lock(m_status_lock);
    return m_status;
}

namespace {

std::string_view phase_text(TaskPhase phase) {
    switch (phase) {
    case TaskPhase::kProbing: return "probing";
    case TaskPhase::kDownloading: return "downloading";
    case TaskPhase::kMuxing: return "muxing";
    case TaskPhase::kRecording: return "recording";
    case TaskPhase::kServerPause:
    case TaskPhase::kNone: break;
    }
    return "queued";
}

} // namespace

void TaskProgress::set_status(TaskPhase phase, std::string_view text) {
    set_text(text.empty() ? phase_text(phase) : text, FailureCategory::kNone, RunEnd::kNone, phase);
}

TaskPhase TaskProgress::phase() const {
    std::lock_guard lock(m_status_lock);
    return m_phase;
}

bool TaskProgress::replace_status(TaskPhase from, TaskPhase phase, std::string_view text) {
    {
        std::lock_guard lock(m_status_lock);
        if (m_phase != from || m_failure != FailureCategory::kNone || m_end != RunEnd::kNone) return false;
        if (m_phase == phase && m_status == text) return true; // nothing new to show
        m_status = text;
        m_phase = phase;
    }
    note_status();
    return true;
}

void TaskProgress::finish(RunEnd end) {
    switch (end) {
    case RunEnd::kDone: set_text("done", FailureCategory::kNone, end, TaskPhase::kNone); break;
    case RunEnd::kPaused: set_text("paused", FailureCategory::kNone, end, TaskPhase::kNone); break;
    case RunEnd::kCanceled: set_text("canceled", FailureCategory::kNone, end, TaskPhase::kNone); break;
    case RunEnd::kNone: break;
    }
}

RunEnd TaskProgress::run_end() const {
    std::lock_guard lock(m_status_lock);
    return m_end;
}

void TaskProgress::set_failure(std::string_view text, FailureCategory category) {
    // A failure of no known kind is still a failure.
    set_text(text, category == FailureCategory::kNone ? FailureCategory::kOther : category, RunEnd::kNone,
             TaskPhase::kNone);
}

void TaskProgress::set_text(std::string_view text, FailureCategory category, RunEnd end, TaskPhase phase) {
    const bool error = category != FailureCategory::kNone;
    if (error) failed = true;
    {
        std::lock_guard lock(m_status_lock);
        m_status = text;
        m_failure = category;
        m_end = end;
        m_phase = phase;
    }
    note_status();
    // A failure ends the pass: the other workers need not wait out a silent peer.
    if (error) m_control.interrupt();
}

FailureCategory TaskProgress::failure_category() const {
    std::lock_guard lock(m_status_lock);
    return m_failure;
}

void TaskControl::interrupt() {
    canceller.cancel();
    wake();
}

void TaskControl::wake() {
    // Taking the lock orders the caller's flag change before any waiter's next check.
    { std::lock_guard lock(m_wake_lock); }
    m_wake.notify_all();
}

bool TaskControl::wait(int64_t ms, const std::function<bool()>& done) {
    std::unique_lock lock(m_wake_lock);
    return m_wake.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(ms, 0)), done);
}

void TaskProgress::attach_changes(std::shared_ptr<ChangeSignal> changes) { m_changes = std::move(changes); }

void TaskProgress::attach_path_arbiter(std::weak_ptr<PathArbiter> arbiter) { m_arbiter = std::move(arbiter); }

void TaskProgress::attach_shared_bandwidth(std::shared_ptr<SharedBandwidth> shared) {
    m_shared_bandwidth = std::move(shared);
}

void TaskProgress::note_progress() {
    m_change_count.fetch_add(1, std::memory_order_release);
    if (m_changes) m_changes->note_progress();
}

void TaskProgress::note_status() {
    m_change_count.fetch_add(1, std::memory_order_release);
    if (m_changes) m_changes->note_status();
}

bool TaskProgress::status_is_error() const { return failure_category() != FailureCategory::kNone; }

std::string TaskProgress::effective_url() const {
    std::lock_guard lock(m_effective_url_lock);
    return m_effective_url;
}

void TaskProgress::set_effective_url(std::string_view url) {
    std::lock_guard lock(m_effective_url_lock);
    m_effective_url = url;
}

double TaskProgress::measure_speed(int64_t now_ms, uint64_t done, bool running) const {
    std::lock_guard lock(m_speed_lock);
    if (!running) {
        m_speed.reset();
        return 0;
    }
    m_speed.add(now_ms, done);
    return m_speed.bytes_per_second();
}

uint64_t TaskProgress::bytes_done() const {
    std::lock_guard lock(segment_lock);
    uint64_t done = 0;
    for (const auto& segment : segments) {
        uint64_t pos = segment->pos.load();
        if (pos > segment->start) done += pos - segment->start;
    }
    return done;
}

} // namespace twk
