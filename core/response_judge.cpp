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
#include "core/sidecar.h"
#include "net/checksum.h"
#include "net/debug_log.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

using ull = unsigned long long;

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

} // namespace

bool status_is_permanent(int status) {
    if (status >= 400 && status <= 499) return status != 408 && status != 429;
    return status == 501 || status == 505;
}

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

} // namespace twk
