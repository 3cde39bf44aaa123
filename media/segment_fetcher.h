// Fetching a stream task's segments: one GET with the task's request settings, the retry rules
// around it, and the worker threads that fetch (and decrypt) the parts into the parts store.
//
// Every request passes the process-wide host gate (core/host_gate.h) as plain downloads do: it
// takes a connection slot of its host's budget, and a 429 or 503 with Retry-After holds the host
// for every task (at most ten minutes), the wait not counted as a stall. Every body byte is
// charged to the run's limiter (media/stream_bandwidth.h), so a stream keeps to the task's speed
// limit and to its share of the list's, as plain downloads do.
//
// A failed segment is tried again with a growing pause as long as the task made progress within
// the stall window; a body cut short is
// continued by range from where it stopped; a failure no retry
// can mend (a 404, an unknown host, a refused certificate, a key that is no key) ends the run at
// once. Every pause is the task's own wait, so a pause or cancel ends it at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "media/stream_bandwidth.h"
#include "media/stream_parts.h"
#include "media/stream_run.h"

namespace twk {

struct RunContext;

// One GET with the task's user agent, headers, proxy and TLS setting (method and body of the
// task are not used), on the request every transfer of the task starts from, so that a pause or
// cancel ends it at once. An offset and length of -1 fetch the whole resource; an offset with a
// length of -1 the rest from that offset; otherwise a Range is asked for, and a server that answers 200 with
// the whole resource has the range cut out here. False with the reason: the exchange's error, "http " +
// status, "read error", or "body over 2 GiB"; `failure`, when given, tells whether asking again can help and
// how long the server asked to wait. The request first waits at the host gate, ending early
// (false) when the task stops or `abandon`, when given, is set; the body's bytes are charged to
// `bandwidth` as they arrive.
struct FetchFailure {
    bool permanent = false;      // no retry can mend it: a 404, an unknown host, a certificate...
    int64_t retry_after_ms = -1; // the server's Retry-After; -1 when it sent none
    bool cut_short = false;      // the body broke off: `body` holds the bytes that came
};
bool fetch_resource(const RunContext& task, StreamBandwidth& bandwidth, const std::string& url,
                    int64_t range_offset, int64_t range_length, std::string& body, std::string& error,
                    FetchFailure* failure = nullptr, const std::atomic<bool>* abandon = nullptr);

// How long the fetcher waits between attempts (media/stream_run.h); applies to runs that start
// afterwards.
void set_stream_timing(const StreamTiming& timing);
StreamTiming stream_timing();

// The wait a Retry-After value asks for: delta-seconds or an HTTP date (measured from `now`,
// seconds since the epoch). -1 when the value is neither.
int64_t retry_after_ms(std::string_view value, int64_t now);

// A playlist or manifest, whole, with the same retry rules as the segments (the stall window
// counted from now). False with the last attempt's reason.
bool fetch_manifest(const RunContext& task, StreamBandwidth& bandwidth, const std::string& url,
                    std::string& body, std::string& error);

// Fetches an initialisation segment into `path`. False with the reason in `error` (empty when
// the run is ending anyway).
bool fetch_init(StreamRun& run, const StreamInit& init, const std::string& path, std::string& error);

// Fetches every part not yet finished with up to `connections` threads, and returns when all are
// in, one failed (`run.error`, the status set) or the task is stopped.
void run_workers(StreamRun& run, uint64_t connections);

} // namespace twk
