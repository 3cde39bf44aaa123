#include "core/segment_exchange.h"

#include "core/response_judge.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <optional>
#include <string>

#include "core/host_gate.h"
#include "core/naming.h"
#include "core/output_file.h"
#include "core/segment_worker.h"
#include "core/sidecar.h"
#include "core/transfer_request.h"
#include "net/checksum.h"
#include "net/debug_log.h"
#include "net/http_exchange.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

// Where the bytes on disk from `from` on end: through every segment whose written part covers it.
uint64_t on_disk_until(const RunContext& task, uint64_t from) {
    std::lock_guard lock(task.progress.segment_lock);
    for (bool moved = true; moved;) {
        moved = false;
        for (const auto& segment : task.progress.segments) {
            const uint64_t written = segment->pos;
            if (segment->start <= from && from < written) {
                from = written;
                moved = true;
            }
        }
    }
    return from;
}

using ull = unsigned long long;

std::string range_value(uint64_t pos, std::optional<uint64_t> last) {
    std::string value = "bytes=" + std::to_string(pos) + "-";
    if (last) value += std::to_string(*last);
    return value;
}

// The request for the segment as things stand now; `asked` records what that was.
HttpRequest build_request(const WorkerState& w, Segment& segment, Asked& asked) {
    DriverRun& run = w.run;
    const RunContext& task = run.task;
    asked.probe_state = run.probe_state;
    asked.pos = segment.pos;
    std::string effective = task.progress.effective_url();
    asked.used_effective = !effective.empty();
    HttpRequest request = transfer_request(
        task, asked.used_effective ? effective : task.request.url,
        TransferLimits{kDefaultMaxRedirects, run.settings.connect_timeout_ms, run.settings.io_timeout_ms});
    if (asked.probe_state == kNotProbed) {
        // A closed range: a 206 still tells the size, and the probe's body is over at 1 MiB
        // instead of being cut by the first split.
        const uint64_t last = asked.pos + kProbePiece - 1;
        segment.asked_end = last + 1;
        request.headers.emplace_back("Range", range_value(asked.pos, last));
    } else if (asked.probe_state == kSingleStream) {
        segment.asked_end = 0;
    } else if (asked.probe_state == kRanged) {
        std::lock_guard lock(task.progress.segment_lock);
        // Under the segment lock, so that a split sees the range before cutting the segment.
        const uint64_t end = segment.end;
        const uint64_t left = end > asked.pos ? end - asked.pos : 0;
        // Taken in file order, a piece is asked for whole (up to 4 MiB): it is split only once
        // nothing else is left.
        const uint64_t piece = takes_file_in_order(run)
                                   ? std::min({left, kMaxRequestPiece, ordered_piece(run)})
                                   : std::clamp(left / 2, kMinRequestPiece, kMaxRequestPiece);
        const uint64_t asked_end = std::min(end, asked.pos + piece);
        segment.asked_end = asked_end;
        request.headers.emplace_back("Range", range_value(asked.pos, asked_end - 1));
        const std::string validator = run.validator();
        if (!validator.empty()) request.headers.emplace_back("If-Range", validator);
    }
    return request;
}

// Counts body bytes in windows; a window that lasted the dribble window and held too little
// says the connection is dribbling.
struct DribbleGuard {
    int64_t window_ms;
    uint64_t min_bytes;
    int64_t window_start = monotonic_ms();
    uint64_t window_bytes = 0;

    bool dribbling(uint64_t n) {
        window_bytes += n;
        const int64_t now = monotonic_ms();
        if (now - window_start < window_ms) return false;
        if (window_bytes < min_bytes) return true;
        window_start = now;
        window_bytes = 0;
        return false;
    }
};

// pos += n, but never past the segment's current end: bytes beyond it belong to the segment a
// split made, whose worker writes the same bytes there.
void advance(Segment& segment, uint64_t pos, uint64_t n) {
    const uint64_t end = segment.end;
    segment.pos = std::min(pos + n, std::max(end, pos));
}

// Reads the body into the segment's range. `clean_end` tells whether the body ended (read 0).
ExchangeResult read_body(WorkerState& w, Segment& segment, BodyReader& reader, bool& clean_end) {
    const RunContext& task = w.run.task;
    ExchangeResult result;
    const bool guard_dribble = w.run.probe_state == kRanged;
    DribbleGuard guard{w.run.settings.dribble_window_ms, w.run.settings.dribble_min_bytes};
    const auto abandon = [&task] { return task.control.stop || task.control.pause; };
    const auto connections = static_cast<uint32_t>(std::clamp<uint64_t>(task.request.connections, 1, 1024));
    clean_end = false;
    while (!pass_ending(w.run)) {
        const uint64_t pos = segment.pos;
        const uint64_t end = segment.end; // a split may have shortened it
        if (pos >= end) break;
        // Under a limit, small reads: what the workers read before they sleep it off stays well
        // under a second's worth, and the byte count moves evenly.
        const size_t piece = limited_read_size(w.run.limiter.limit(), w.buffer.size(), connections);
        const int n = reader.read(w.buffer.data(), static_cast<int>(std::min<uint64_t>(end - pos, piece)));
        if (n < 0) {
            debug_log_if("TWK_DEBUG_SEG", "[seg] %llu CONN-DROP mid-body after %llu bytes (pos=%llu/%llu)",
                         static_cast<ull>(segment.id), static_cast<ull>(result.received),
                         static_cast<ull>(pos), static_cast<ull>(end));
            // The transport's own words when it has them (a TLS record that failed to verify).
            const std::string why = reader.failure_reason();
            result.cause = why.empty() ? "connection lost mid-body" : why;
            result.category = FailureCategory::kIo;
            break;
        }
        if (n == 0) {
            clean_end = true;
            break;
        }
        if (!write_at(w.run.output.get(), w.buffer.data(), static_cast<size_t>(n), pos)) {
            result.outcome = kStopWorker;
            result.cause = "write failed: " + system_reason(errno);
            result.category = FailureCategory::kIo;
            return result;
        }
        advance(segment, pos, static_cast<uint64_t>(n));
        w.run.digest.wrote(w.run.output.get(), pos, static_cast<uint64_t>(n),
                           [&task](uint64_t from) { return on_disk_until(task, from); });
        task.progress.note_progress();
        if (!w.run.progressed.load(std::memory_order_relaxed)) w.run.progressed = true;
        task.progress.last_progress_ms = task_elapsed_ms(task.progress);
        w.run.limiter.charge(static_cast<uint64_t>(n), abandon);
        // Counted for the list's split once paid for: workers that each read a piece and then
        // sleep it off together would otherwise look idle while they sleep.
        w.run.paid_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        result.received += static_cast<uint64_t>(n);
        if (guard_dribble && guard.dribbling(static_cast<uint64_t>(n))) {
            debug_log("[dl] seg %llu connection dribbling (<32KB/60s) — abandoning for a fresh one",
                      static_cast<ull>(segment.id));
            result.cause = "connection dribbling";
            result.category = FailureCategory::kIo;
            break;
        }
    }
    return result;
}

// Keeps the connection for the next request when no redirect was followed and the body was
// read to its end; otherwise it is closed.
void keep_or_drop(WorkerState& w, const Segment& segment, const HttpResponse& response, BodyReader& reader,
                  uint64_t received) {
    // A body of known length read to its last byte: one more read sees its end without I/O.
    if (!reader.finished() && response.content_length >= 0 && !response.chunked &&
        received == static_cast<uint64_t>(response.content_length)) {
        char probe;
        reader.read(&probe, 1);
    }
    std::unique_ptr<ByteStream> connection = reader.release_connection();
    const bool keep = !response.redirected && reader.finished() && connection;
    debug_log_if("TWK_DEBUG_CONN", "[reclaim] seg=%llu redir=%d complete=%d got=%llu -> %s",
                 static_cast<ull>(segment.id), response.redirected ? 1 : 0, reader.finished() ? 1 : 0,
                 static_cast<ull>(received), keep ? "REUSE" : "drop");
    if (keep) w.kept = std::move(connection);
}

// Sends the request on the kept connection when there is one; when that had been closed by the
// server meanwhile, once more on a fresh connection (which is no retry).
bool send_request(WorkerState& w, const HttpRequest& request, HttpResponse& response, TransportError& error) {
    if (http_exchange(request, response, error, &w.kept)) return true;
    if (error.kind != FailureKind::kStale) return false;
    response = HttpResponse{};
    return http_exchange(request, response, error, nullptr);
}

// After the body: a ranged transfer of known size (or a body that broke off) is done when the
// segment is, or when the piece it asked for arrived whole (the segment is then asked for its
// next piece); the clean end of a single-stream or unknown-size body is the end of the file.
ExchangeOutcome body_outcome(DriverRun& run, Segment& segment, uint64_t received, bool clean_end) {
    const RunContext& task = run.task;
    const bool ranged_known = run.probe_state == kRanged && task.progress.total != 0;
    if (!clean_end || ranged_known) {
        // A 206 that ended as framed delivered what it offered (at least one byte, maybe less
        // than asked): the rest is asked for next, without a back-off.
        const bool piece_done = clean_end && segment.asked_end != 0 && received > 0;
        const ExchangeOutcome outcome = segment.pos < segment.end && !piece_done ? kRetry : kSegmentDone;
        debug_log_if("TWK_DEBUG_SEG", "[seg] %llu %s got=%llu ne=%d pos=%llu end=%llu",
                     static_cast<ull>(segment.id), outcome == kRetry ? "SHORT-RETRY" : "DONE",
                     static_cast<ull>(received), clean_end ? 0 : 1, static_cast<ull>(segment.pos.load()),
                     static_cast<ull>(segment.end.load()));
        return outcome;
    }
    const uint64_t end_of_file = segment.pos;
    task.progress.total = end_of_file;
    segment.end = end_of_file;
    task.progress.complete = true;
    task.progress.note_progress();
    return kSegmentDone;
}

} // namespace

ExchangeResult exchange_segment(WorkerState& w, Segment& segment) {
    Asked asked;
    const HttpRequest request = build_request(w, segment, asked);
    HttpResponse response;
    TransportError error;
    ExchangeResult failed;
    if (!send_request(w, request, response, error)) {
        debug_log("[dl] seg %llu open failed: %s", static_cast<ull>(segment.id), error.describe().c_str());
        failed.permanent = error.permanent();
        failed.cause = error.describe();
        failed.category = error.category;
        return failed;
    }
    if (!judge_response(w, segment, asked, response, failed)) {
        // What the server sent could not be used: a range it did not honour, a changed file.
        if (failed.category == FailureCategory::kNone) failed.category = FailureCategory::kProtocol;
        return failed;
    }

    BodyReader reader(response);
    reader.read_bound_ms = w.run.settings.body_read_bound_ms;
    bool clean_end = false;
    ExchangeResult result = read_body(w, segment, reader, clean_end);
    if (result.outcome == kStopWorker) return result;
    keep_or_drop(w, segment, response, reader, result.received);
    result.outcome = body_outcome(w.run, segment, result.received, clean_end);
    if (result.outcome == kRetry && result.cause.empty()) {
        result.cause = "body ended early";
        result.category = FailureCategory::kIo;
    }
    return result;
}

} // namespace twk
