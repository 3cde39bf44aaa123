// Judging one response of a segment worker (core/segment_exchange.h), in order: a failed status
// is retried (429 and 503 count as throttling, a server's pause holds the host); a 416 is read
// against what is on disk; a 200 where a 206 was due restarts the run when the validator went
// stale and is retried otherwise; a 206 must start at the requested byte and, once the size is
// known, report the same total; the first response (the probe) settles range support, the
// size, the validator and the server's file name (core/naming.h).
#pragma once

#include <cstdint>

#include "core/worker_state.h"
#include "net/http_message.h"

namespace twk {

// Whether a status is final for any retry: 4xx but 408 and 429, 501 and 505.
bool status_is_permanent(int status);

// What was asked: the probe state and position at request time, and whether the request went
// to the recorded effective URL.
struct Asked {
    uint8_t probe_state = kNotProbed;
    uint64_t pos = 0;
    bool used_effective = false;
};

// Whether the body of `response` may be read into `segment`: false with `result` saying what
// follows (a retry, the worker's end, a restart of the run).
bool judge_response(WorkerState& w, Segment& segment, const Asked& asked, const HttpResponse& response,
                    ExchangeResult& result);

} // namespace twk
