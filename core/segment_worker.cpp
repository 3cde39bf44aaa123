#include "core/segment_worker.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/naming.h"
#include "core/output_file.h"
#include "net/debug_log.h"
#include "net/http_exchange.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

enum Outcome {
    kSegmentDone = 0, // the segment is finished, or this exchange ended cleanly
    kRetry = 1,
    kStopWorker = 2,
};

struct ExchangeResult {
    Outcome outcome = kRetry;
    uint64_t received = 0; // body bytes written in this exchange
};

constexpr int64_t kIdleSleepMs = 100;
constexpr int64_t kSplitWaitMs = 60;
constexpr int64_t kQuickRetryMs = 60;
constexpr int64_t kRecentProgressMs = 3'000;
constexpr int64_t kBaseBackoffMs = 120;
constexpr int64_t kJitterMs = 60;
constexpr uint32_t kMaxReprobes = 2;
constexpr int kMaxRedirects = 10;

struct Worker {
    DriverRun& run;
    Task& task;
    uint64_t index;
    std::unique_ptr<ByteStream> kept; // an idle connection for the next request
    std::vector<char> buffer = std::vector<char>(kReceiveBufferSize);
};

using ull = unsigned long long;

bool leaving(const Task& task) { return task.stop || task.pause || task.failed || task.restart; }

// Sleeps about `ms`, waking early when the worker is no longer wanted.
void nap(const Task& task, int64_t ms) {
    const int64_t until = monotonic_ms() + ms;
    for (int64_t left = ms; left > 0 && !leaving(task); left = until - monotonic_ms())
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, 20)));
}

void set_error_once(Task& task, std::string_view text) {
    if (!task.status_is_error()) task.set_status(text);
}

enum class Claim { kGot, kWait, kExit };

// The first free segment in list order, else the upper half of a split.
Claim claim_segment(Task& task, std::shared_ptr<Segment>& out) {
    {
        std::lock_guard lock(task.segment_lock);
        bool unfinished = false;
        for (const auto& segment : task.segments) {
            if (segment->pos >= segment->end) continue;
            unfinished = true;
            if (!segment->active) {
                segment->active = true;
                out = segment;
                return Claim::kGot;
            }
        }
        if (!unfinished && (task.total != 0 || task.complete)) return Claim::kExit;
    }
    out = split_largest_segment(task);
    return out ? Claim::kGot : Claim::kWait;
}

std::string range_value(uint64_t pos, std::optional<uint64_t> last) {
    std::string value = "bytes=" + std::to_string(pos) + "-";
    if (last) value += std::to_string(*last);
    return value;
}

HttpRequest build_request(const Worker& w, const Segment& segment, uint8_t probe_state,
                          bool& used_effective) {
    const Task& task = w.task;
    HttpRequest request;
    request.method = task.method;
    std::string effective = task.effective_url();
    used_effective = !effective.empty();
    request.url = used_effective ? effective : task.url;
    request.headers.emplace_back("User-Agent", task.user_agent);
    request.headers.insert(request.headers.end(), task.headers.begin(), task.headers.end());
    const uint64_t pos = segment.pos;
    if (probe_state == kNotProbed) {
        request.headers.emplace_back("Range", range_value(pos, std::nullopt));
    } else if (probe_state == kRanged) {
        request.headers.emplace_back("Range", range_value(pos, segment.end - 1));
        std::lock_guard lock(task.segment_lock);
        if (task.has_validator && !task.validator.empty())
            request.headers.emplace_back("If-Range", task.validator);
    }
    request.body = task.post_data;
    request.proxy = task.proxy;
    request.insecure = task.insecure;
    request.max_redirects = kMaxRedirects;
    request.connect_timeout_ms = w.run.settings.connect_timeout_ms;
    request.io_timeout_ms = w.run.settings.io_timeout_ms;
    return request;
}

// scheme "://" host (bracketed when it holds ":") [":" port] path, the port left out when it is
// 0 or the scheme's default.
std::string final_url(const HttpResponse& response) {
    std::string url = response.scheme + "://";
    url += response.host.find(':') != std::string::npos ? "[" + response.host + "]" : response.host;
    const int32_t default_port = response.tls ? 443 : 80;
    if (response.port != 0 && response.port != default_port) url += ":" + std::to_string(response.port);
    url += response.path.empty() ? "/" : response.path;
    return url;
}

// The probe's verdict on range support and size. Returns false with the outcome to take when
// the response is not to be read.
bool judge_probe(Worker& w, Segment& segment, const HttpResponse& response, Outcome& outcome) {
    Task& task = w.task;
    const std::string accept_ranges = to_lower_ascii(trim_spaces(response.headers.get("Accept-Ranges")));
    if (response.status == 200 && accept_ranges == "bytes" && task.reprobes.fetch_add(1) < kMaxReprobes) {
        debug_log("[dl] probe: 200 but Accept-Ranges: bytes — re-probing for range support");
        outcome = kRetry;
        return false;
    }
    uint64_t size = 0;
    if (response.status == 206) {
        if (response.range_total < 1) {
            debug_log("[dl] probe: 206 with unknown total (Content-Range '*') — cannot determine file size, "
                      "refusing to avoid silent truncation");
            task.set_status("error: server did not report total size (206 with unknown Content-Range total)");
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
    if (apply_server_file_name(task, naming) == ServerNameResult::kAdoptResume) {
        outcome = kStopWorker;
        return false;
    }
    if (size != 0) {
        task.total = size;
        if (!grow_output(task.output_fd, size)) {
            outcome = kStopWorker;
            return false;
        }
        segment.end = size;
        if (ranged) {
            std::string validator = response.headers.get("ETag");
            if (validator.empty()) validator = response.headers.get("Last-Modified");
            std::lock_guard lock(task.segment_lock);
            task.validator = validator;
            task.has_validator = !validator.empty();
        }
    }
    task.supports_range = ranged;
    task.probe_state = ranged ? kRanged : kSingleStream;
    return true;
}

// Decides whether the body of `response` is to be read. Returns false with the outcome to take.
bool judge_response(Worker& w, Segment& segment, uint8_t probe_state, uint64_t pos, bool used_effective,
                    const HttpResponse& response, Outcome& outcome) {
    Task& task = w.task;
    const int status = response.status;
    outcome = kRetry;
    if (status < 200 || status > 299) {
        debug_log("[dl] seg %llu http %d", static_cast<ull>(segment.id), status);
        if (used_effective) task.set_effective_url("");
        if (status == 429 || status == 503) task.throttle_hits.fetch_add(1);
        return false;
    }
    if (response.redirected && task.effective_url().empty()) {
        const std::string url = final_url(response);
        task.set_effective_url(url);
        debug_log("[dl] resolved redirects -> %s", url.c_str());
    }
    if (probe_state != kSingleStream && status != 206) {
        const bool probing_at_start = probe_state == kNotProbed && pos == 0 && status == 200;
        bool stale = false;
        if (!probing_at_start && status == 200) {
            std::lock_guard lock(task.segment_lock);
            stale = task.has_validator;
        }
        if (stale) {
            debug_log("[dl] seg %llu If-Range validator stale (200 on resume) — resource changed, restarting "
                      "from scratch",
                      static_cast<ull>(segment.id));
            task.restart = true;
            outcome = kStopWorker;
            return false;
        }
        if (!probing_at_start) {
            debug_log("[dl] seg %llu unexpected status %d for a %s request — refusing",
                      static_cast<ull>(segment.id), status, "range");
            return false;
        }
    }
    if (status == 206 && response.range_start != static_cast<int64_t>(pos)) {
        debug_log("[dl] seg %llu bad Content-Range start %lld (want %llu)", static_cast<ull>(segment.id),
                  static_cast<long long>(response.range_start), static_cast<ull>(pos));
        return false;
    }
    if (probe_state == kNotProbed) return judge_probe(w, segment, response, outcome);
    if (status == 206 && probe_state == kRanged && response.range_total >= 1 &&
        static_cast<uint64_t>(response.range_total) != task.total) {
        debug_log("[dl] seg %llu remote total %lld != recorded %llu — resource changed, aborting resume",
                  static_cast<ull>(segment.id), static_cast<long long>(response.range_total),
                  static_cast<ull>(task.total.load()));
        task.set_status("error: remote file changed since last run");
        outcome = kStopWorker;
        return false;
    }
    if (probe_state == kSingleStream && status != 200) {
        debug_log("[dl] seg %llu unexpected status %d for a %s request — refusing",
                  static_cast<ull>(segment.id), status, "non-range");
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
ExchangeResult read_body(Worker& w, Segment& segment, BodyReader& reader, bool& clean_end) {
    Task& task = w.task;
    ExchangeResult result;
    const bool guard_dribble = task.probe_state == kRanged;
    DribbleGuard guard{w.run.settings.dribble_window_ms, w.run.settings.dribble_min_bytes};
    const auto abandon = [&task] { return task.stop || task.pause; };
    clean_end = false;
    while (!leaving(task)) {
        const uint64_t pos = segment.pos;
        const uint64_t end = segment.end; // a split may have shortened it
        if (pos >= end) break;
        const int n =
            reader.read(w.buffer.data(), static_cast<int>(std::min<uint64_t>(end - pos, w.buffer.size())));
        if (n < 0) {
            debug_log_if("TWK_DEBUG_SEG", "[seg] %llu CONN-DROP mid-body after %llu bytes (pos=%llu/%llu)",
                         static_cast<ull>(segment.id), static_cast<ull>(result.received),
                         static_cast<ull>(pos), static_cast<ull>(end));
            break;
        }
        if (n == 0) {
            clean_end = true;
            break;
        }
        if (!write_at(task.output_fd, w.buffer.data(), static_cast<size_t>(n), pos)) {
            result.outcome = kStopWorker;
            return result;
        }
        advance(segment, pos, static_cast<uint64_t>(n));
        task.last_progress_ms = task_elapsed_ms(task);
        w.run.limiter.charge(static_cast<uint64_t>(n), abandon);
        result.received += static_cast<uint64_t>(n);
        if (guard_dribble && guard.dribbling(static_cast<uint64_t>(n))) {
            debug_log("[dl] seg %llu connection dribbling (<32KB/60s) — abandoning for a fresh one",
                      static_cast<ull>(segment.id));
            break;
        }
    }
    return result;
}

// Keeps the connection for the next request when no redirect was followed and the body was
// read to its end; otherwise it is closed.
void keep_or_drop(Worker& w, const Segment& segment, const HttpResponse& response, BodyReader& reader,
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

ExchangeResult exchange(Worker& w, Segment& segment) {
    Task& task = w.task;
    const uint8_t probe_state = task.probe_state;
    const uint64_t pos = segment.pos;
    bool used_effective = false;
    const HttpRequest request = build_request(w, segment, probe_state, used_effective);
    HttpResponse response;
    std::string error;
    const bool pooled = w.kept != nullptr;
    bool ok = http_exchange(request, response, error, &w.kept);
    if (!ok && pooled && error.find("(stale)") != std::string::npos) {
        // The kept connection had been closed by the server meanwhile: a fresh one is no retry.
        response = HttpResponse{};
        ok = http_exchange(request, response, error, nullptr);
    }
    if (!ok) {
        debug_log("[dl] seg %llu open failed: %s", static_cast<ull>(segment.id), error.c_str());
        return {};
    }
    Outcome judged;
    if (!judge_response(w, segment, probe_state, pos, used_effective, response, judged)) return {judged, 0};

    BodyReader reader(response);
    reader.read_bound_ms = w.run.settings.body_read_bound_ms;
    bool clean_end = false;
    ExchangeResult result = read_body(w, segment, reader, clean_end);
    if (result.outcome == kStopWorker) return result;
    keep_or_drop(w, segment, response, reader, result.received);

    const bool ranged_known = task.probe_state == kRanged && task.total != 0;
    if (!clean_end || ranged_known) {
        result.outcome = segment.pos < segment.end ? kRetry : kSegmentDone;
        debug_log_if("TWK_DEBUG_SEG", "[seg] %llu %s got=%llu ne=%d pos=%llu end=%llu",
                     static_cast<ull>(segment.id), result.outcome == kRetry ? "SHORT-RETRY" : "DONE",
                     static_cast<ull>(result.received), clean_end ? 0 : 1,
                     static_cast<ull>(segment.pos.load()), static_cast<ull>(segment.end.load()));
        return result;
    }
    // The end of a single-stream or unknown-size body is the end of the file.
    const uint64_t end_of_file = segment.pos;
    task.total = end_of_file;
    segment.end = end_of_file;
    task.complete = true;
    result.outcome = kSegmentDone;
    return result;
}

void back_off(Worker& w, int32_t budget) {
    const Task& task = w.task;
    const bool single = task.probe_state == kSingleStream;
    int64_t ms = kBaseBackoffMs << (3 - std::clamp(budget, 0, 3));
    if (!single && task_elapsed_ms(task) - task.last_progress_ms < kRecentProgressMs) ms = kQuickRetryMs;
    ms += monotonic_ns() % kJitterMs;
    nap(task, ms);
}

// Takes one from the budget without going below 0; returns what it held before.
int32_t take_retry(Segment& segment) {
    int32_t had = segment.retry_budget;
    while (had > 0 && !segment.retry_budget.compare_exchange_weak(had, had - 1)) {
    }
    return had;
}

// Acts on an exchange's outcome after the segment was released; false ends the worker.
bool settle(Worker& w, Segment& segment, const ExchangeResult& result) {
    Task& task = w.task;
    if (result.outcome == kSegmentDone) {
        segment.retry_budget = kSegmentRetryBudget;
        return true;
    }
    if (result.outcome == kStopWorker) {
        if (!task.restart) set_error_once(task, "error: write failed");
        return false;
    }
    if (leaving(task)) return false;
    if (task.method != "GET") {
        set_error_once(task, "error: request failed (non-GET, not retried)");
        return false;
    }
    const bool single = task.probe_state == kSingleStream;
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
        set_error_once(task, "error: retries exhausted");
        return false;
    }
    if (task_elapsed_ms(task) - task.last_progress_ms < w.run.settings.stall_window_ms) {
        back_off(w, segment.retry_budget);
        return true;
    }
    set_error_once(task, "error: stalled (no progress)");
    return false;
}

// One turn of the worker loop; false ends the worker.
bool work_once(Worker& w) {
    Task& task = w.task;
    if (task.restart) return false;
    if (w.index >= task.active_target) {
        w.kept.reset();
        if (task.stop || task.pause || task.failed || download_complete(task)) return false;
        nap(task, kIdleSleepMs);
        return true;
    }
    std::shared_ptr<Segment> segment;
    const Claim claim = claim_segment(task, segment);
    if (claim == Claim::kExit) return false;
    if (claim == Claim::kWait) {
        if (task.stop || task.failed || download_complete(task)) return false;
        nap(task, kSplitWaitMs);
        return true;
    }
    if (task.stop || task.pause) {
        segment->active = false;
        return false;
    }
    const ExchangeResult result = exchange(w, *segment);
    // A single stream cannot be resumed: a retry starts its body again.
    if (result.outcome == kRetry && task.probe_state == kSingleStream) segment->pos = segment->start;
    segment->active = false;
    return settle(w, *segment, result);
}

} // namespace

std::shared_ptr<Segment> split_largest_segment(Task& task) {
    if (task.method != "GET" || task.probe_state != kRanged) return nullptr;
    std::lock_guard lock(task.segment_lock);
    if (task.segments.size() > kMaxSegmentsBeforeSplit) return nullptr;
    std::shared_ptr<Segment> largest;
    uint64_t largest_remaining = 0;
    for (const auto& segment : task.segments) {
        const uint64_t pos = segment->pos;
        const uint64_t end = segment->end;
        if (pos >= end || end == kUnknownEnd) continue;
        if (end - pos > largest_remaining) {
            largest = segment;
            largest_remaining = end - pos;
        }
    }
    if (!largest || largest_remaining <= kMinSplitRemaining) return nullptr;
    const uint64_t end = largest->end;
    uint64_t split = largest->pos + largest_remaining / 2;
    split = std::max<uint64_t>(split, largest->pos); // its worker may have moved on meanwhile
    if (split >= end) return nullptr;
    largest->end = split;
    auto upper = make_segment(split, split, end);
    upper->active = true;
    task.segments.push_back(upper);
    return upper;
}

void run_segment_worker(DriverRun& run, uint64_t index) {
    Worker w{run, run.task, index, nullptr};
    while (work_once(w)) {
    }
}

} // namespace twk
