// Fetching a stream task's segments: one GET with the task's request settings, the retry rules
// around it, and the worker threads that fetch (and decrypt) the parts into the parts store.
//
// Every request passes the process-wide host gate (core/host_gate.h) as plain downloads do: it
// takes a connection slot of its host's budget, and a 429 or 503 with Retry-After holds the host
// for every task (at most ten minutes), the wait not counted as a stall.
//
// A failed segment is tried again with a growing pause as long as the task made progress within
// the stall window; a body cut short is
// continued by range from where it stopped; a failure no retry
// can mend (a 404, an unknown host, a refused certificate, a key that is no key) ends the run at
// once. Every pause is the task's own wait, so a pause or cancel ends it at once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "media/stream_parts.h"

namespace twk {

struct Task;

// One GET with the task's user agent, headers, proxy and TLS setting (method and body of the
// task are not used), on the request every transfer of the task starts from, so that a pause or
// cancel ends it at once. An offset and length of -1 fetch the whole resource; an offset with a
// length of -1 the rest from that offset; otherwise a Range is asked for, and a server that answers 200 with
// the whole resource has the range cut out here. False with the reason: the exchange's error, "http " +
// status, "read error", or "body over 2 GiB"; `failure`, when given, tells whether asking again can help and
// how long the server asked to wait. The request first waits at the host gate, ending early
// (false) when the task stops or `abandon`, when given, is set.
struct FetchFailure {
    bool permanent = false;      // no retry can mend it: a 404, an unknown host, a certificate...
    int64_t retry_after_ms = -1; // the server's Retry-After; -1 when it sent none
    bool cut_short = false;      // the body broke off: `body` holds the bytes that came
};
bool fetch_resource(Task& task, const std::string& url, int64_t range_offset, int64_t range_length,
                    std::string& body, std::string& error, FetchFailure* failure = nullptr,
                    const std::atomic<bool>* abandon = nullptr);

// How long the fetcher waits between attempts. Tests shorten them; the program uses the defaults.
struct StreamTiming {
    // A part whose three attempts failed is tried again while some part of the task was
    // finished within this window.
    int64_t stall_window_ms = 90'000;
    // The pause after the first failed attempt; it doubles with each further one, up to the
    // longest.
    int64_t first_backoff_ms = 150;
    int64_t longest_backoff_ms = 10'000;
    // A live recording honours a server's Retry-After up to this (other fetches wait at the
    // host gate, up to its own limit).
    int64_t longest_retry_after_ms = 120'000;
    // A live recording: every wait for a playlist reload is multiplied by this (tests run a
    // stream's clock faster), and the recording ends after this long without a new segment.
    double live_wait_scale = 1.0;
    int64_t live_outage_ms = 300'000;
};
// Applies to runs that start afterwards.
void set_stream_timing(const StreamTiming& timing);
StreamTiming stream_timing();

// The wait a Retry-After value asks for: delta-seconds or an HTTP date (measured from `now`,
// seconds since the epoch). -1 when the value is neither.
int64_t retry_after_ms(std::string_view value, int64_t now);

// A playlist or manifest, whole, with the same retry rules as the segments (the stall window
// counted from now). False with the last attempt's reason.
bool fetch_manifest(Task& task, const std::string& url, std::string& body, std::string& error);

// Key URI to its 16 bytes, shared by the workers of one run.
class KeyCache {
public:
    bool find(const std::string& uri, std::array<uint8_t, 16>& key);
    void store(const std::string& uri, const std::array<uint8_t, 16>& key);

private:
    std::mutex m_lock;
    std::map<std::string, std::array<uint8_t, 16>> m_keys;
};

// What the workers of one run share.
struct FetchRun {
    FetchRun(std::shared_ptr<Task> t, PartTable& p);
    std::shared_ptr<Task> task;
    PartTable& parts;
    StreamTiming timing;
    KeyCache keys;
    std::atomic<bool> error{false}; // a part failed: the task's status says why
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> payload{0};
    std::atomic<int64_t> last_progress_ms; // when a part was last finished
    std::atomic<int64_t> last_layout_ms{0};
};

// Fetches an initialisation segment into `path`. False with the reason in `error` (empty when
// the run is ending anyway).
bool fetch_init(FetchRun& run, const StreamInit& init, const std::string& path, std::string& error);

// Fetches every part not yet finished with up to `connections` threads, and returns when all are
// in, one failed (`run.error`, the status set) or the task is stopped.
void run_workers(FetchRun& run, uint64_t connections);

} // namespace twk
