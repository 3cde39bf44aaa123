#include "core/segment_worker.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/host_gate.h"
#include "core/segment_exchange.h"
#include "net/text.h"

namespace twk {

namespace {

constexpr int64_t kIdleSleepMs = 100;
constexpr int64_t kSplitWaitMs = 60;
constexpr int64_t kQuickRetryMs = 60;
constexpr int64_t kRecentProgressMs = 3'000;
constexpr int64_t kBaseBackoffMs = 120;
constexpr int64_t kJitterMs = 60;

// Waits about `ms`, waking at once when the worker is no longer wanted.
void nap(DriverRun& run, int64_t ms) {
    run.task.control.wait(ms, [&run] { return pass_ending(run); });
}

void set_error_once(const RunContext& task, std::string_view text, FailureCategory category) {
    if (!task.progress.status_is_error()) task.progress.set_failure(text, category);
}

// A category for a failure whose cause may have none: it was about the transfer itself.
FailureCategory or_io(FailureCategory category) {
    return category == FailureCategory::kNone ? FailureCategory::kIo : category;
}

// The host the worker's next request goes to first: the recorded end of the redirects, else the
// task's own URL.
std::string next_host(const RunContext& task) {
    const std::string effective = task.progress.effective_url();
    return gate_host(effective.empty() ? task.request.url : effective);
}

void give_back_slot(WorkerState& w) {
    if (w.slot_host.empty()) return;
    HostGate::shared().release(w.slot_host, w.run.task.progress.slot_holder, monotonic_ms());
    w.slot_host.clear();
}

// Whether the worker may ask its host now: not while the server asked for a pause, and only
// with a connection slot of the host's budget. Otherwise it has waited a moment, without a
// connection or a slot.
bool clear_to_ask(WorkerState& w) {
    const RunContext& task = w.run.task;
    HostGate& gate = HostGate::shared();
    const std::string host = next_host(task);
    const int64_t now = monotonic_ms();
    const int64_t pause = std::max(gate.held_for(host, now), gate.held_for(gate_host(task.request.url), now));
    if (pause > 0) {
        w.kept.reset();
        give_back_slot(w);
        // Waiting because the server asked is not a stall.
        task.progress.last_progress_ms = task_elapsed_ms(task.progress);
        nap(w.run, std::min(pause, kIdleSleepMs));
        return false;
    }
    if (w.slot_host == host) return true;
    give_back_slot(w);
    w.kept.reset(); // a kept connection belongs to the slot it was opened under
    if (!gate.try_acquire(host, task.progress.slot_holder, now)) {
        nap(w.run, kIdleSleepMs);
        return false;
    }
    w.slot_host = host;
    return true;
}

enum class Claim { kGot, kWait, kExit };

// The first free segment in list order, else the upper half of a split. A run that takes its
// file in order takes the free range at the lowest offset first.
Claim claim_segment(DriverRun& run, std::shared_ptr<Segment>& out) {
    const RunContext& task = run.task;
    if (takes_file_in_order(run)) {
        out = claim_in_file_order(run);
        if (out) return Claim::kGot;
    }
    {
        std::lock_guard lock(task.progress.segment_lock);
        bool unfinished = false;
        for (const auto& segment : task.progress.segments) {
            if (segment->pos >= segment->end) continue;
            unfinished = true;
            if (!segment->active) {
                segment->active = true;
                out = segment;
                return Claim::kGot;
            }
        }
        if (!unfinished && (task.progress.total != 0 || task.progress.complete)) return Claim::kExit;
    }
    out = split_largest_segment(run);
    return out ? Claim::kGot : Claim::kWait;
}

void back_off(WorkerState& w, int32_t budget) {
    const RunContext& task = w.run.task;
    const bool single = w.run.probe_state == kSingleStream;
    int64_t ms = kBaseBackoffMs << (3 - std::clamp(budget, 0, 3));
    if (!single && task_elapsed_ms(task.progress) - task.progress.last_progress_ms < kRecentProgressMs)
        ms = kQuickRetryMs;
    ms += monotonic_ns() % kJitterMs;
    nap(w.run, ms);
}

// Takes one from the budget without going below 0; returns what it held before.
int32_t take_retry(Segment& segment) {
    int32_t had = segment.retry_budget;
    while (had > 0 && !segment.retry_budget.compare_exchange_weak(had, had - 1)) {
    }
    return had;
}

// The fixed text of a final failure followed by the last cause ("error: stalled (no
// progress): connect failed: h (connection refused)").
std::string with_cause(std::string_view text, const std::string& cause) {
    std::string out(text);
    if (!cause.empty()) out += ": " + cause;
    return out;
}

// Acts on an exchange's outcome after the segment was released; false ends the worker.
bool settle(WorkerState& w, Segment& segment, const ExchangeResult& result) {
    const RunContext& task = w.run.task;
    if (result.outcome == kSegmentDone) {
        segment.retry_budget = kSegmentRetryBudget;
        return true;
    }
    if (result.outcome == kStopWorker) {
        if (!w.run.restart)
            set_error_once(task, "error: " + (result.cause.empty() ? "write failed" : result.cause),
                           or_io(result.category));
        return false;
    }
    if (pass_ending(w.run)) return false;
    if (!result.cause.empty()) {
        w.last_cause = result.cause;
        w.last_category = result.category;
    }
    // Before the first byte of this run, what no retry can mend ends the task at once, in the
    // transport's or the server's own words.
    if (result.permanent && !w.run.progressed) {
        set_error_once(task, "error: " + result.cause, or_io(result.category));
        return false;
    }
    if (task.request.method != "GET") {
        set_error_once(task, with_cause("error: request failed (non-GET, not retried)", w.last_cause),
                       or_io(w.last_category));
        return false;
    }
    const bool single = w.run.probe_state == kSingleStream;
    if (result.received > 0 && !single) {
        segment.retry_budget = kSegmentRetryBudget;
        back_off(w, kSegmentRetryBudget);
        return true;
    }
    const int32_t had = take_retry(segment);
    if (had >= 2) {
        back_off(w, segment.retry_budget);
        return true;
    }
    if (single) {
        set_error_once(task, with_cause("error: retries exhausted", w.last_cause), or_io(w.last_category));
        return false;
    }
    if (task_elapsed_ms(task.progress) - task.progress.last_progress_ms < w.run.settings.stall_window_ms) {
        back_off(w, segment.retry_budget);
        return true;
    }
    set_error_once(task, with_cause("error: stalled (no progress)", w.last_cause), or_io(w.last_category));
    return false;
}

// One turn of the worker loop; false ends the worker.
bool work_once(WorkerState& w) {
    const RunContext& task = w.run.task;
    if (w.run.restart) return false;
    if (w.index >= task.progress.active_target) {
        w.kept.reset();
        give_back_slot(w);
        if (task.control.stop || task.control.pause || task.progress.failed ||
            download_complete(task.progress))
            return false;
        nap(w.run, kIdleSleepMs);
        return true;
    }
    if (!clear_to_ask(w)) return !pass_ending(w.run);
    std::shared_ptr<Segment> segment;
    const Claim claim = claim_segment(w.run, segment);
    if (claim == Claim::kExit) return false;
    if (claim == Claim::kGot) task.progress.note_progress(); // a segment became active
    if (claim == Claim::kWait) {
        if (task.control.stop || task.progress.failed || download_complete(task.progress)) return false;
        nap(w.run, kSplitWaitMs);
        return true;
    }
    if (task.control.stop || task.control.pause) {
        segment->active = false;
        task.progress.note_progress();
        return false;
    }
    const ExchangeResult result = exchange_segment(w, *segment);
    // A single stream cannot be resumed: a retry starts its body again.
    if (result.outcome == kRetry && w.run.probe_state == kSingleStream) {
        segment->pos = segment->start;
        w.run.digest.restart();
    }
    segment->active = false;
    task.progress.note_progress();
    // More than its share while another task waits for the host: the slot goes back.
    if (!w.slot_host.empty() &&
        HostGate::shared().over_share(w.slot_host, task.progress.slot_holder, monotonic_ms())) {
        w.kept.reset();
        give_back_slot(w);
    }
    return settle(w, *segment, result);
}

} // namespace

std::shared_ptr<Segment> split_largest_segment(DriverRun& run) {
    const RunContext& task = run.task;
    if (task.request.method != "GET" || run.probe_state != kRanged) return nullptr;
    std::lock_guard lock(task.progress.segment_lock);
    if (task.progress.segments.size() > kMaxSegmentsBeforeSplit) return nullptr;
    std::shared_ptr<Segment> largest;
    uint64_t largest_remaining = 0;
    uint64_t split = 0;
    for (const auto& segment : task.progress.segments) {
        const uint64_t pos = segment->pos;
        const uint64_t end = segment->end;
        if (pos >= end || end == kUnknownEnd || end - pos <= largest_remaining) continue;
        if (end - pos <= kMinSplitRemaining) continue;
        // Never below the range in flight: those bytes are on their way already.
        const uint64_t at = std::max(pos + (end - pos) / 2, segment->active ? segment->asked_end.load() : 0);
        if (at >= end) continue;
        largest = segment;
        largest_remaining = end - pos;
        split = at;
    }
    if (!largest) return nullptr;
    const uint64_t end = largest->end;
    split = std::max<uint64_t>(split, largest->pos); // its worker may have moved on meanwhile
    if (split >= end) return nullptr;
    largest->end = split;
    auto upper = make_segment(split, split, end);
    upper->active = true;
    task.progress.segments.push_back(upper);
    return upper;
}

bool takes_file_in_order(const DriverRun& run) {
    return run.digest.expecting() && run.probe_state == kRanged && run.task.progress.total != 0 &&
           run.task.request.method == "GET";
}

uint64_t ordered_piece(const DriverRun& run) {
    if (run.settings.ordered_piece != 0) return run.settings.ordered_piece;
    constexpr uint64_t kMiB = 1'048'576;
    const uint64_t share = (run.task.progress.total / kOrderedPiecesPerFile + kMiB - 1) / kMiB * kMiB;
    return std::clamp(share, kMinOrderedPiece, kMaxOrderedPiece);
}

std::shared_ptr<Segment> claim_in_file_order(DriverRun& run) {
    const RunContext& task = run.task;
    const uint64_t piece = ordered_piece(run);
    std::lock_guard lock(task.progress.segment_lock);
    auto& segments = task.progress.segments;
    const bool may_cut = segments.size() <= kMaxSegmentsBeforeSplit;
    std::shared_ptr<Segment> lowest;
    uint64_t lowest_at = UINT64_MAX;
    uint64_t free_bytes = 0;
    std::shared_ptr<Segment> busy;
    uint64_t busy_at = UINT64_MAX;
    for (const auto& segment : segments) {
        const uint64_t pos = segment->pos;
        const uint64_t end = segment->end;
        if (pos >= end || end == kUnknownEnd) continue;
        if (!segment->active) {
            free_bytes += end - pos;
            if (pos < lowest_at) {
                lowest = segment;
                lowest_at = pos;
            }
            continue;
        }
        // Its worker keeps the range in flight, or between requests a piece past where it stands.
        const uint64_t asked = segment->asked_end;
        const uint64_t cut = asked > pos ? asked : pos + piece;
        if (cut < end && end - cut > piece && cut < busy_at) {
            busy = segment;
            busy_at = cut;
        }
    }
    if (lowest) {
        lowest->active = true;
        const uint64_t end = lowest->end;
        // Near the end the pieces shrink, so that the last ones finish together: neither do
        // connections idle while one fetches a whole piece, nor does the prefix wait for it.
        const uint64_t workers = std::max<uint64_t>(1, task.progress.active_target);
        const uint64_t size =
            std::clamp(free_bytes / (2 * workers), std::min(piece, kMinRequestPiece), piece);
        if (may_cut && end - lowest_at > size) {
            lowest->end = lowest_at + size;
            segments.push_back(make_segment(lowest_at + size, lowest_at + size, end));
        }
        return lowest;
    }
    if (!busy || !may_cut) return nullptr;
    const uint64_t end = busy->end;
    busy->end = busy_at;
    auto taken = make_segment(busy_at, busy_at, busy_at + piece);
    taken->active = true;
    segments.push_back(taken);
    segments.push_back(make_segment(busy_at + piece, busy_at + piece, end));
    return taken;
}

void run_segment_worker(DriverRun& run, uint64_t index) {
    WorkerState w{
        run, index, nullptr, std::vector<char>(kReceiveBufferSize), std::string(), FailureCategory::kNone,
        {}};
    while (work_once(w)) {
    }
    w.kept.reset();
    give_back_slot(w);
    // The driver's pass tick ends at once: the last worker out may mean the download is whole.
    run.workers_ended.fetch_add(1);
    run.task.control.wake();
}

} // namespace twk
