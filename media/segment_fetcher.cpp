#include "media/segment_fetcher.h"

#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <system_error>
#include <thread>
#include <vector>

#include "core/host_gate.h"
#include "core/segment_exchange.h" // status_is_permanent
#include "core/task.h"
#include "core/transfer_request.h"
#include "media/segment_decrypt.h"
#include "media/stream_progress.h"
#include "net/body_reader.h"
#include "net/debug_log.h"
#include "net/http_exchange.h"
#include "net/socket.h" // system_reason
#include "net/text.h"

namespace twk {

namespace {

constexpr size_t kReadPiece = 65536;
// A body past this is refused rather than cut: a cut segment would join into a broken file.
constexpr uint64_t kMaxBody = uint64_t{1} << 31;
constexpr int64_t kMaxRange = int64_t{1} << 48;
// What a Content-Length may make us set aside before the body arrives.
constexpr int64_t kMaxReserve = int64_t{64} << 20;
// Attempts of a part before the stall rule decides whether it is tried again.
constexpr int kAttempts = 3;
// How often the progress segments are laid out again from the sizes fetched so far.
constexpr int64_t kRelayoutEveryMs = 1000;
// How often a fetch waiting at the host gate looks again.
constexpr int64_t kGateLookMs = 100;

std::mutex g_timing_lock;
StreamTiming g_timing;

StreamTiming current_timing() {
    std::lock_guard lock(g_timing_lock);
    return g_timing;
}

int64_t now_ms() { return monotonic_ns() / 1'000'000; }

// Waits about `ms`, waking at once when the run ends.
void nap(const RunContext& task, const std::atomic<bool>& failed, int64_t ms) {
    task.control.wait(ms, [&] { return failed || task.control.stop; });
}

// A connection slot of a host's budget (core/host_gate.h), held for one request. Waiting for
// it also waits out a pause the server asked for: no request goes to the host before then, and
// the row says so while the task is downloading.
class HostSlot {
public:
    HostSlot(const RunContext& task, std::string host, const std::atomic<bool>* abandon)
        : m_task(task), m_host(std::move(host)) {
        HostGate& gate = HostGate::shared();
        const auto ending = [&] { return task.control.stop || (abandon && *abandon); };
        bool shown = false;
        while (!ending()) {
            const int64_t now = now_ms();
            const int64_t pause = gate.held_for(m_host, now);
            if (pause > 0) {
                shown = show_pause(pause) || shown;
                task.control.wait(std::min(pause, kGateLookMs), ending);
                continue;
            }
            if (gate.try_acquire(m_host, task.progress.slot_holder, now)) {
                m_held = true;
                break;
            }
            task.control.wait(kGateLookMs, ending);
        }
        if (shown)
            task.progress.replace_status(TaskPhase::kServerPause, TaskPhase::kDownloading, "downloading");
    }
    ~HostSlot() {
        if (m_held) HostGate::shared().release(m_host, m_task.progress.slot_holder, now_ms());
    }
    HostSlot(const HostSlot&) = delete;
    HostSlot& operator=(const HostSlot&) = delete;
    bool held() const { return m_held; }

private:
    // "waiting 42 s (server asked)" in place of "downloading"; true when shown.
    bool show_pause(int64_t ms) {
        const std::string wanted = server_pause_status(ms);
        return m_task.progress.replace_status(TaskPhase::kServerPause, TaskPhase::kServerPause, wanted) ||
               m_task.progress.replace_status(TaskPhase::kDownloading, TaskPhase::kServerPause, wanted);
    }

    const RunContext m_task;
    std::string m_host;
    bool m_held = false;
};

// One resource with the retry rules: a failure no retry can mend ends at once; any other is
// tried again after a pause that doubles (or as long as the server's Retry-After asks), three
// times, and after that for as long as the task finished a part within the stall window. The
// run's other fetches setting `failed` end it too.
bool fetch_with_retries(const RunContext& task, StreamBandwidth& bandwidth, const StreamTiming& timing,
                        const std::atomic<bool>& failed, const std::atomic<int64_t>& last_progress_ms,
                        const std::string& url, int64_t offset, int64_t length, std::string& body,
                        std::string& error, bool give_up_early = false) {
    // The bytes of an attempt whose body was cut short: the next one asks for the rest only.
    std::string have;
    // Time the server asked us to wait: not counted as a stall.
    int64_t asked_ms = 0;
    for (int attempt = 1;; ++attempt) {
        if (failed || task.control.stop) return false;
        body.clear();
        FetchFailure failure;
        const auto got = static_cast<int64_t>(have.size());
        const int64_t from = (offset < 0 ? 0 : offset) + got;
        const int64_t rest = length < 0 ? -1 : length - got;
        const bool fetched =
            got == 0 ? fetch_resource(task, bandwidth, url, offset, length, body, error, &failure, &failed)
                     : fetch_resource(task, bandwidth, url, from, rest, body, error, &failure, &failed);
        if (fetched) {
            if (got > 0) body.insert(0, have);
            return true;
        }
        if (failure.cut_short && body.size() < kMaxBody) {
            debug_log("[dl] stream: %s cut short after %zu bytes; the rest is asked for by range",
                      url.c_str(), have.size() + body.size());
            have += body;
        }
        if (task.control.stop || failure.permanent) return false;
        if (failure.retry_after_ms > 0) asked_ms += std::min(failure.retry_after_ms, kMaxServerPauseMs);
        if (attempt >= kAttempts &&
            (give_up_early || now_ms() - last_progress_ms - asked_ms >= timing.stall_window_ms))
            return false;
        const int shift = std::min(attempt - 1, 20);
        // The server's Retry-After holds the host at the gate, for every task: the next attempt
        // waits there for the rest.
        const int64_t pause = std::min(timing.first_backoff_ms << shift, timing.longest_backoff_ms);
        debug_log("[dl] stream: %s failed (%s), attempt %d, again in %lld ms", url.c_str(), error.c_str(),
                  attempt, static_cast<long long>(pause));
        nap(task, failed, pause);
    }
}

bool fetch_with_retries(StreamRun& context, const std::string& url, int64_t offset, int64_t length,
                        std::string& body, std::string& error) {
    // A task that leaves bad segments out gives each its three attempts and goes on.
    return fetch_with_retries(context.task, context.bandwidth, context.timing, context.error,
                              context.last_progress_ms, url, offset, length, body, error,
                              context.task.request.skip_bad_segments);
}

bool fetch_key(StreamRun& context, const std::string& uri, std::array<uint8_t, 16>& key, std::string& error) {
    if (context.keys.find(uri, key)) return true;
    std::string body;
    if (!fetch_with_retries(context, uri, -1, -1, body, error)) {
        error = "key fetch failed" + (error.empty() ? "" : ": " + error);
        return false;
    }
    // An AES-128 key is 16 bytes and nothing else: a longer answer is a page, not a key.
    if (body.size() != key.size()) {
        error =
            "key fetch failed: the answer is " + std::to_string(body.size()) + " bytes, not a 16-byte key";
        return false;
    }
    std::copy(body.begin(), body.end(), key.begin());
    context.keys.store(uri, key);
    return true;
}

// Fetches (and decrypts) one part into its file. False with the task's status in `failure`
// (empty when the run is ending anyway).
bool fetch_part(StreamRun& context, size_t index, std::string& failure, uint64_t& size, bool& local) {
    local = false;
    const StreamPart part = context.parts.part(index);
    const MediaSegment media = part.segment();
    const std::string segment = "segment " + std::to_string(index);
    std::string body, error;
    if (!fetch_with_retries(context, media.uri, media.range_offset, media.range_length, body, error)) {
        failure = "error: " + segment + " failed: " + error;
        return false;
    }
    if (media.encrypted) {
        std::array<uint8_t, 16> key{};
        if (!fetch_key(context, media.key_uri, key, error)) {
            failure = "error: " + segment + " failed: " + error;
            return false;
        }
        std::string plain;
        const Decrypted decrypted = decrypt_segment(body, key, media.iv, plain);
        if (decrypted == Decrypted::bad_length) {
            failure = "error: " + segment + " failed: decrypt failed";
            return false;
        }
        if (decrypted == Decrypted::bad_padding) {
            failure = "error: key for " + segment + " does not decrypt it";
            return false;
        }
        body.swap(plain);
    }
    if (!write_file_atomically(context.parts.path(index), body)) {
        local = true;
        failure =
            "error: " + segment + " failed: cannot write " + part.file_name() + ": " + system_reason(errno);
        return false;
    }
    context.payload += body.size();
    size = body.size();
    return true;
}

// A part is in: its group moves on at once, and now and then the whole layout and the task's
// total follow the sizes seen so far (neighbouring groups may overlap a little until then).
void finish_part(StreamRun& context, size_t index, uint64_t size) {
    const RunContext& task = context.task;
    PartTable& parts = context.parts;
    context.last_progress_ms = now_ms();
    std::lock_guard lock(task.progress.segment_lock);
    PartState& part = parts.state[index];
    part.finished = true;
    part.size = size;
    if (size > 0) {
        parts.known_bytes += size;
        ++parts.known_count;
    }
    const size_t g = parts.group_of(index);
    lay_out_group(parts, g, parts.groups[g]->start);
    int64_t last = context.last_layout_ms;
    const int64_t now = context.last_progress_ms;
    if (now - last >= kRelayoutEveryMs && context.last_layout_ms.compare_exchange_strong(last, now))
        task.progress.total = lay_out_locked(parts);
}

// A part that failed in a task that skips bad segments: finished without bytes, named in the
// task's list of left-out segments.
void leave_out(StreamRun& context, size_t index, const std::string& failure) {
    const RunContext& task = context.task;
    debug_log("[dl] stream: leaving segment %zu out (%s)", index, failure.c_str());
    {
        std::lock_guard lock(task.progress.segment_lock);
        context.parts.state[index].skipped = true;
        task.progress.left_out.insert(
            std::upper_bound(task.progress.left_out.begin(), task.progress.left_out.end(), index), index);
    }
    finish_part(context, index, 0);
    task.progress.note_progress();
}

void worker_loop(StreamRun& context) {
    const RunContext& task = context.task;
    while (!context.error && !task.control.stop) {
        const uint64_t index = context.next.fetch_add(1);
        if (index >= context.parts.size()) return;
        {
            std::lock_guard lock(task.progress.segment_lock);
            if (context.parts.state[index].finished) continue;
        }
        set_in_flight(task, context.parts, index, true);
        task.progress.note_progress();
        std::string failure;
        uint64_t size = 0;
        bool local = false; // the failure is ours (a write), not the segment's
        const bool fetched = fetch_part(context, index, failure, size, local);
        if (fetched) finish_part(context, index, size);
        set_in_flight(task, context.parts, index, false);
        if (!fetched) {
            // A pause or cancel ends the fetch in flight; that is no failure of the part.
            if (task.control.stop) return;
            if (task.request.skip_bad_segments && !local) {
                leave_out(context, index, failure);
                continue;
            }
            if (!context.error.exchange(true))
                task.progress.set_failure(failure, local ? FailureCategory::kIo : FailureCategory::kOther);
            return;
        }
        // Watchers (the desktop app, the status stream) redraw when the list says it changed.
        task.progress.note_progress();
    }
}

} // namespace

bool KeyCache::find(const std::string& uri, std::array<uint8_t, 16>& key) {
    std::lock_guard lock(m_lock);
    auto it = m_keys.find(uri);
    if (it == m_keys.end()) return false;
    key = it->second;
    return true;
}

void KeyCache::store(const std::string& uri, const std::array<uint8_t, 16>& key) {
    std::lock_guard lock(m_lock);
    m_keys[uri] = key;
}

StreamRun::StreamRun(const RunContext& task, StreamBandwidth& bandwidth, PartTable& parts,
                     const StreamTiming& timing)
    : task(task), bandwidth(bandwidth), parts(parts), timing(timing), last_progress_ms(now_ms()) {}

bool fetch_manifest(const RunContext& task, StreamBandwidth& bandwidth, const std::string& url,
                    std::string& body, std::string& error) {
    const std::atomic<bool> failed{false};
    const std::atomic<int64_t> started_ms{now_ms()};
    return fetch_with_retries(task, bandwidth, current_timing(), failed, started_ms, url, -1, -1, body,
                              error);
}

bool fetch_init(StreamRun& context, const StreamInit& init, const std::string& path, std::string& error) {
    std::string body;
    if (!fetch_with_retries(context, init.uri, init.range_offset, init.range_length, body, error))
        return false;
    if (write_file_atomically(path, body)) return true;
    error = "cannot write: " + system_reason(errno);
    return false;
}

void run_workers(StreamRun& context, uint64_t connections) {
    const uint64_t count = std::max<uint64_t>(1, std::min<uint64_t>(connections, context.parts.size()));
    std::vector<std::thread> threads;
    for (uint64_t i = 0; i < count; ++i) {
        try {
            threads.emplace_back([&context] { worker_loop(context); });
        } catch (const std::system_error&) {
            break; // run with the workers there are
        }
    }
    if (threads.empty()) worker_loop(context);
    for (std::thread& thread : threads)
        thread.join();
}

bool fetch_resource(const RunContext& task, StreamBandwidth& bandwidth, const std::string& url,
                    int64_t range_offset, int64_t range_length, std::string& body, std::string& error,
                    FetchFailure* failure, const std::atomic<bool>* abandon) {
    FetchFailure ignored;
    FetchFailure& verdict = failure ? *failure : ignored;
    verdict = FetchFailure{};
    const std::string host = gate_host(url);
    const HostSlot slot(task, host, abandon);
    if (!slot.held()) {
        error = "stopped";
        return false;
    }
    HttpRequest request = transfer_request(task, url);
    request.method = "GET";
    request.body.clear();
    // An open range (offset, length -1) asks for the rest of a resource from the offset on.
    const bool open_range = range_length == -1 && range_offset >= 1 && range_offset <= kMaxRange;
    const bool ranged = open_range || (range_length >= 1 && range_length <= kMaxRange && range_offset >= 0 &&
                                       range_offset <= kMaxRange);
    if (ranged) {
        request.headers.emplace_back(
            "Range", "bytes=" + std::to_string(range_offset) + "-" +
                         (open_range ? std::string() : std::to_string(range_offset + range_length - 1)));
    }
    HttpResponse response;
    TransportError transport;
    if (!http_exchange(request, response, transport)) {
        error = transport.text;
        verdict.permanent = transport.permanent();
        return false;
    }
    if (response.status < 200 || response.status > 299) {
        error = "http " + std::to_string(response.status);
        verdict.permanent = status_is_permanent(response.status);
        if (const std::string* wait = response.headers.find("Retry-After"))
            verdict.retry_after_ms = retry_after_ms(*wait, static_cast<int64_t>(std::time(nullptr)));
        // A 429 or 503 that names a time leaves the host alone for every task until then.
        if ((response.status == 429 || response.status == 503) && verdict.retry_after_ms > 0) {
            HostGate::shared().hold(host, verdict.retry_after_ms, now_ms());
            debug_log("[dl] stream: %s asked for a pause of %lld ms", host.c_str(),
                      static_cast<long long>(verdict.retry_after_ms));
        }
        return false;
    }
    // A 206 for bytes other than those asked for would put the wrong bytes into the file.
    if (ranged && response.status == 206 && response.range_start != range_offset) {
        error = "http 206 for another range";
        return false;
    }
    // Sized once when the length is known (a long playlist would otherwise be copied as it grows).
    if (response.content_length > 0)
        body.reserve(static_cast<size_t>(std::min<int64_t>(response.content_length, kMaxReserve)));
    BodyReader reader(response);
    char buffer[kReadPiece];
    const auto ending = [&] { return abandon && *abandon; };
    for (;;) {
        int n = reader.read(buffer, static_cast<int>(bandwidth.piece(sizeof buffer)));
        if (n < 0) {
            error = "read error";
            // Bytes that did arrive are kept for the caller, who may ask for the rest.
            // (A 200 to a ranged request holds bytes from the start of the resource, not those.)
            verdict.cut_short = !body.empty() && response.status == (ranged ? 206 : 200);
            return false;
        }
        if (n == 0) break;
        body.append(buffer, static_cast<size_t>(n));
        bandwidth.charge(static_cast<uint64_t>(n), ending);
        if (body.size() > kMaxBody) {
            error = "body over 2 GiB";
            verdict.permanent = true;
            return false;
        }
    }
    if (ranged && response.status == 200) {
        const auto offset = static_cast<size_t>(range_offset);
        if (offset >= body.size()) {
            body.clear();
        } else {
            body = body.substr(offset, open_range ? std::string::npos : static_cast<size_t>(range_length));
        }
    }
    return true;
}

StreamTiming stream_timing() { return current_timing(); }

void set_stream_timing(const StreamTiming& timing) {
    std::lock_guard lock(g_timing_lock);
    g_timing = timing;
}

int64_t retry_after_ms(std::string_view value, int64_t now) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    if (value.empty()) return -1;
    if (value.find_first_not_of("0123456789") == std::string_view::npos) {
        int64_t seconds = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error == std::errc::result_out_of_range) return INT64_MAX;
        return error == std::errc() && end == value.data() + value.size() && seconds <= INT64_MAX / 1000
                   ? seconds * 1000
                   : INT64_MAX;
    }
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const size_t comma = value.find(", ");
    if (comma == std::string_view::npos) return -1;
    const std::string rest(value.substr(comma + 2));
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    char month[4] = {};
    int used = 0;
    if (std::sscanf(rest.c_str(), "%2d %3s %4d %2d:%2d:%2d GMT%n", &day, month, &year, &hour, &minute,
                    &second, &used) != 6 ||
        static_cast<size_t>(used) != rest.size())
        return -1;
    struct tm when {};
    when.tm_mon = -1;
    for (int m = 0; m < 12; ++m) {
        if (kMonths[m] == month) when.tm_mon = m;
    }
    if (when.tm_mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return -1;
    when.tm_mday = day;
    when.tm_year = year - 1900;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    const int64_t at = static_cast<int64_t>(::timegm(&when));
    return at <= now ? 0 : (at - now) * 1000;
}

} // namespace twk
