#include "core/segment_exchange.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <optional>
#include <string>

#include "core/host_gate.h"
#include "core/naming.h"
#include "core/output_file.h"
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

// What was asked: the probe state and position at request time, and whether the request went
// to the recorded effective URL.
struct Asked {
    uint8_t probe_state = kNotProbed;
    uint64_t pos = 0;
    bool used_effective = false;
};

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
        const uint64_t piece = std::clamp(left / 2, kMinRequestPiece, kMaxRequestPiece);
        const uint64_t asked_end = std::min(end, asked.pos + piece);
        segment.asked_end = asked_end;
        request.headers.emplace_back("Range", range_value(asked.pos, asked_end - 1));
        const std::string validator = run.validator();
        if (!validator.empty()) request.headers.emplace_back("If-Range", validator);
    }
    return request;
}

// scheme "://" host (bracketed when it holds ":") [":" port] path, the port left out when it is
// 0 or the scheme's default (an FTP server on 21 gives "ftp://h/f", not "ftp://h:21/f").
std::string final_url(const HttpResponse& response) {
    UrlParts parts;
    parts.scheme = response.scheme;
    parts.host = response.host;
    parts.port = response.port != 0 ? response.port : default_port(response.scheme);
    std::string url = response.scheme + "://" + url_authority(parts);
    url += response.path.empty() ? "/" : response.path;
    return url;
}

// The response's validator: its ETag, else its Last-Modified.
std::string response_validator(const HttpResponse& response) {
    std::string validator = response.headers.get("ETag");
    if (validator.empty()) validator = response.headers.get("Last-Modified");
    return validator;
}

// The probe's verdict on range support and size. Returns false with the outcome to take when
// the response is not to be read.
bool judge_probe(WorkerState& w, Segment& segment, const HttpResponse& response, ExchangeOutcome& outcome,
                 std::string& cause, FailureCategory& category) {
    DriverRun& run = w.run;
    const RunContext& task = run.task;
    const std::string accept_ranges = to_lower_ascii(trim_spaces(response.headers.get("Accept-Ranges")));
    if (response.status == 200 && accept_ranges == "bytes" && run.reprobes.fetch_add(1) < kMaxReprobes) {
        debug_log("[dl] probe: 200 but Accept-Ranges: bytes — re-probing for range support");
        outcome = kRetry;
        return false;
    }
    uint64_t size = 0;
    if (response.status == 206) {
        if (response.range_total < 1) {
            debug_log("[dl] probe: 206 with unknown total (Content-Range '*') — cannot determine file size, "
                      "refusing to avoid silent truncation");
            task.progress.set_failure(
                "error: server did not report total size (206 with unknown Content-Range total)",
                FailureCategory::kProtocol);
            outcome = kStopWorker;
            return false;
        }
        size = static_cast<uint64_t>(response.range_total);
    } else if (response.content_length > 0) {
        size = static_cast<uint64_t>(response.content_length);
    }
    const bool ranged = response.status == 206 && accept_ranges != "none" && size != 0;

    ServerNaming naming;
    if (const std::string* disposition = response.headers.find("Content-Disposition"))
        naming.content_disposition = *disposition;
    naming.redirected = response.redirected;
    naming.final_path = response.path;
    naming.ranged = ranged;
    naming.size = size;
    if (apply_server_file_name(run, naming) == ServerNameResult::kAdoptResume) {
        outcome = kStopWorker;
        return false;
    }
    if (size != 0) {
        task.progress.total = size;
        segment.end = size;
        if (ranged) run.set_validator(response_validator(response));
    }
    task.progress.supports_range = ranged;
    // The sidecar comes before the space is taken: a run killed from now on, or one that finds
    // the disk full, leaves a file the next run knows as its own. Without a sidecar the file is
    // not preallocated, so that it never holds more zeros than the bytes it is missing.
    const bool described = ranged && save_run_sidecar(run);
    if (size != 0 && (described || !ranged) && !grow_output(run.output.get(), size)) {
        cause = "write failed: " + system_reason(errno);
        category = FailureCategory::kIo;
        outcome = kStopWorker;
        return false;
    }
    run.probe_state = ranged ? kRanged : kSingleStream;
    task.progress.note_progress();
    task.control.wake(); // the driver starts the other connections now, not at its next tick
    return true;
}

// The size a 416 reports ("bytes */N"); -1 when it reports none.
int64_t unsatisfiable_size(const HttpResponse& response) {
    const std::string value = trim_spaces(response.headers.get("Content-Range"));
    constexpr std::string_view kPrefix = "bytes */";
    if (value.size() <= kPrefix.size() || !equals_ignoring_case(value.substr(0, kPrefix.size()), kPrefix))
        return -1;
    int64_t size = -1;
    const char* first = value.data() + kPrefix.size();
    const char* last = value.data() + value.size();
    const auto [end, ec] = std::from_chars(first, last, size);
    return ec == std::errc() && end == last && size >= 0 ? size : -1;
}

// Whether every byte below `size` is on disk.
bool present_below(const RunContext& task, uint64_t size) {
    std::lock_guard lock(task.progress.segment_lock);
    return std::all_of(
        task.progress.segments.begin(), task.progress.segments.end(), [size](const auto& segment) {
            const uint64_t end = segment->end;
            return segment->start >= size || std::min<uint64_t>(segment->pos, end) >= std::min(end, size);
        });
}

// A range the server cannot satisfy (416). When it reports the size the run knows (or, at the
// probe, any size) and every byte below it is on disk, the file is whole (an empty file answers
// its probe so): the download ends at that size. Otherwise a resumed run's state does not fit
// the file any more and the run starts over. False when the 416 is a failure like any other.
bool judge_unsatisfiable(DriverRun& run, const Segment& segment, const Asked& asked,
                         const HttpResponse& response, ExchangeOutcome& outcome) {
    const RunContext& task = run.task;
    if (asked.probe_state == kSingleStream) return false;
    const int64_t reported = unsatisfiable_size(response);
    const auto size = static_cast<uint64_t>(reported);
    if (reported >= 0 && (asked.probe_state == kNotProbed || size == task.progress.total) &&
        present_below(task, size)) {
        debug_log("[dl] seg %llu 416: all %llu bytes are on disk — finishing", static_cast<ull>(segment.id),
                  static_cast<ull>(size));
        {
            std::lock_guard lock(task.progress.segment_lock);
            for (const auto& s : task.progress.segments) {
                if (s->end > size) s->end = std::max(s->start, size);
            }
        }
        task.progress.total = size;
        task.progress.complete = true;
        task.progress.note_progress();
        outcome = kSegmentDone;
        return true;
    }
    if (asked.probe_state != kRanged) return false;
    debug_log("[dl] seg %llu 416 on resume — resource changed, restarting from scratch",
              static_cast<ull>(segment.id));
    run.request_restart();
    outcome = kStopWorker;
    return true;
}

// A 429 or 503 with Retry-After: the host that answered, and the one this request asked first,
// are left alone by every task for as long as the server asked (core/host_gate.h).
void note_server_pause(const RunContext& task, const Asked& asked, const HttpResponse& response) {
    const int64_t ms =
        server_pause_ms(response.headers.get("Retry-After"), static_cast<int64_t>(std::time(nullptr)));
    if (ms <= 0) return;
    const int64_t now = monotonic_ms();
    const std::string effective = task.progress.effective_url();
    const std::string first = asked.used_effective && !effective.empty() ? effective : task.request.url;
    HostGate& gate = HostGate::shared();
    gate.hold(gate_host(final_url(response)), ms, now);
    gate.hold(gate_host(first), ms, now);
    debug_log("[dl] server asked for a pause of %lld ms", static_cast<long long>(ms));
}

// The digest a server sends for the whole representation (RFC 9530) is checked when the task
// asked for none of its own: Repr-Digest on any answer, Content-Digest on a whole 200 body
// without a content coding (on a 206 it covers the part only).
void note_server_digest(DriverRun& run, const HttpResponse& response) {
    if (!run.task.request.checksum.empty() || run.digest.expecting()) return;
    std::optional<Checksum> digest = parse_digest_field(response.headers.get("Repr-Digest"));
    const std::string coding = to_lower_ascii(trim_spaces(response.headers.get("Content-Encoding")));
    if (!digest && response.status == 200 && (coding.empty() || coding == "identity"))
        digest = parse_digest_field(response.headers.get("Content-Digest"));
    if (!digest) return;
    debug_log("[dl] the server's digest: %s", digest->text().c_str());
    run.digest.expect(*digest);
}

// A status outside 2xx is retried, unless it is final for any retry (a 404): then asking the
// same URL again cannot help, unless the request went to the recorded end of the redirects
// (a link that expired), which the next attempt leaves for the task's own URL. A 2xx after
// redirects records the effective URL.
bool judge_status(const RunContext& task, const Segment& segment, const Asked& asked,
                  const HttpResponse& response, ExchangeResult& result) {
    const int status = response.status;
    if (status < 200 || status > 299) {
        debug_log("[dl] seg %llu http %d", static_cast<ull>(segment.id), status);
        if (asked.used_effective) task.progress.set_effective_url("");
        if (status == 429 || status == 503) {
            task.progress.throttle_hits.fetch_add(1);
            note_server_pause(task, asked, response);
        }
        result.cause = "http " + std::to_string(status);
        result.category = FailureCategory::kHttpStatus;
        result.permanent = status_is_permanent(status) && !asked.used_effective;
        return false;
    }
    if (response.redirected && task.progress.effective_url().empty()) {
        const std::string url = final_url(response);
        task.progress.set_effective_url(url);
        debug_log("[dl] resolved redirects -> %s", url.c_str());
    }
    return true;
}

// A range was asked for and the answer is not a 206: only a 200 to the probe at byte 0 is
// taken. A later 200 carrying another validator than the one stored (If-Range found it stale)
// means the resource changed: the run starts over. With the same validator, or none at all, the
// file is the same and the server no longer honours ranges: the run starts over as a single
// stream, which needs none.
bool judge_unranged_answer(DriverRun& run, const Segment& segment, const Asked& asked,
                           const HttpResponse& response, ExchangeOutcome& outcome) {
    const int status = response.status;
    if (asked.probe_state == kNotProbed && asked.pos == 0 && status == 200) return true;
    if (status == 200 && asked.probe_state == kRanged) {
        const std::string stored = run.validator();
        if (!stored.empty() && response_validator(response) != stored) {
            debug_log("[dl] seg %llu If-Range validator stale (200 on resume) — resource changed, restarting "
                      "from scratch",
                      static_cast<ull>(segment.id));
        } else {
            debug_log("[dl] seg %llu 200 for a range request — ranges no longer honoured, restarting as a "
                      "single stream",
                      static_cast<ull>(segment.id));
            run.restart_single = true;
        }
        run.request_restart();
        outcome = kStopWorker;
        return false;
    }
    debug_log("[dl] seg %llu unexpected status %d for a %s request — refusing", static_cast<ull>(segment.id),
              status, "range");
    return false;
}

// On a ranged transfer with a stored validator, a 206 must carry the same one: a server that
// ignores If-Range would otherwise splice another file's bytes into this one. A changed or
// missing validator means the resource changed: the run restarts from scratch.
bool judge_validator(DriverRun& run, const Segment& segment, const Asked& asked, const HttpResponse& response,
                     ExchangeOutcome& outcome) {
    if (asked.probe_state != kRanged) return true;
    const std::string stored = run.validator();
    if (stored.empty() || response_validator(response) == stored) return true;
    debug_log(
        "[dl] seg %llu 206 with another validator than \"%s\" — resource changed, restarting from scratch",
        static_cast<ull>(segment.id), stored.c_str());
    run.request_restart();
    outcome = kStopWorker;
    return false;
}

// A 206 must start at the byte asked for and, once the size is known, report that size: another
// size means another file, which the run starts over for.
bool judge_partial_answer(DriverRun& run, const Segment& segment, const Asked& asked,
                          const HttpResponse& response, ExchangeOutcome& outcome) {
    const RunContext& task = run.task;
    if (response.range_start != static_cast<int64_t>(asked.pos)) {
        debug_log("[dl] seg %llu bad Content-Range start %lld (want %llu)", static_cast<ull>(segment.id),
                  static_cast<long long>(response.range_start), static_cast<ull>(asked.pos));
        return false;
    }
    if (asked.probe_state == kRanged && response.range_total >= 1 &&
        static_cast<uint64_t>(response.range_total) != task.progress.total) {
        debug_log(
            "[dl] seg %llu remote total %lld != recorded %llu — resource changed, restarting from scratch",
            static_cast<ull>(segment.id), static_cast<long long>(response.range_total),
            static_cast<ull>(task.progress.total.load()));
        run.request_restart();
        outcome = kStopWorker;
        return false;
    }
    return true;
}

// Decides whether the body of `response` is to be read. Returns false with the outcome (and
// the cause) in `result`.
bool judge_response(WorkerState& w, Segment& segment, const Asked& asked, const HttpResponse& response,
                    ExchangeResult& result) {
    const RunContext& task = w.run.task;
    const int status = response.status;
    ExchangeOutcome& outcome = result.outcome;
    outcome = kRetry;
    if (status == 416 && judge_unsatisfiable(w.run, segment, asked, response, outcome)) return false;
    if (!judge_status(task, segment, asked, response, result)) return false;
    note_server_digest(w.run, response);
    result.cause = "unexpected status " + std::to_string(status);
    if (asked.probe_state != kSingleStream && status != 206 &&
        !judge_unranged_answer(w.run, segment, asked, response, outcome))
        return false;
    if (status == 206) {
        result.cause = "bad Content-Range";
        if (!judge_partial_answer(w.run, segment, asked, response, outcome)) return false;
        if (!judge_validator(w.run, segment, asked, response, outcome)) return false;
    }
    result.cause.clear();
    if (asked.probe_state == kNotProbed)
        return judge_probe(w, segment, response, outcome, result.cause, result.category);
    if (asked.probe_state == kSingleStream && status != 200) {
        debug_log("[dl] seg %llu unexpected status %d for a %s request — refusing",
                  static_cast<ull>(segment.id), status, "non-range");
        result.cause = "unexpected status " + std::to_string(status);
        return false;
    }
    return true;
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
    clean_end = false;
    while (!pass_ending(w.run)) {
        const uint64_t pos = segment.pos;
        const uint64_t end = segment.end; // a split may have shortened it
        if (pos >= end) break;
        const int n =
            reader.read(w.buffer.data(), static_cast<int>(std::min<uint64_t>(end - pos, w.buffer.size())));
        if (n < 0) {
            debug_log_if("TWK_DEBUG_SEG", "[seg] %llu CONN-DROP mid-body after %llu bytes (pos=%llu/%llu)",
                         static_cast<ull>(segment.id), static_cast<ull>(result.received),
                         static_cast<ull>(pos), static_cast<ull>(end));
            result.cause = "connection lost mid-body";
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
        w.run.digest.wrote(w.run.output.get(), w.buffer.data(), static_cast<size_t>(n), pos,
                           [&task](uint64_t from) { return on_disk_until(task, from); });
        task.progress.note_progress();
        if (!w.run.progressed.load(std::memory_order_relaxed)) w.run.progressed = true;
        task.progress.last_progress_ms = task_elapsed_ms(task.progress);
        w.run.limiter.charge(static_cast<uint64_t>(n), abandon);
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

bool status_is_permanent(int status) {
    if (status >= 400 && status <= 499) return status != 408 && status != 429;
    return status == 501 || status == 505;
}

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
