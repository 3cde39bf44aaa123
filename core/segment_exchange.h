// One request of a segment worker: the request for its segment (an open-ended Range while the
// first response is awaited, a closed Range with If-Range afterwards, none for a single
// stream), the judgement of the response, and the body written at the segment's offset.
//
// The judgement of the response lives in core/response_judge.h: a failed request or a status
// outside 2xx is retried (429 and 503 count as throttling); a followed redirect records the
// effective URL; a 200 where a 206 was due restarts the run when the validator went stale and
// is retried otherwise; a 206 must start at the requested byte and, once the size is known,
// report the same total; the first response (the probe) settles range support, the size, the
// validator and the server's file name (core/naming.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/driver_run.h"
#include "core/task.h"
#include "net/socket.h"

namespace twk {

constexpr size_t kReceiveBufferSize = 65'536;
// The first response is asked for again while it is a 200 that advertises byte ranges, this
// many times; after that it is taken as a single stream.
constexpr uint32_t kMaxReprobes = 2;
// A ranged request asks for half of what its segment has left, at least 256 KiB and at most
// 4 MiB: the other half is where a split will cut, so a split never shortens a request in
// flight (the bytes on their way would be thrown away with the connection). The cap bounds the
// tail: a piece in flight cannot be split, so the last one takes at most 4 MiB at the speed of
// one connection. The first request asks for the first 1 MiB.
constexpr uint64_t kMinRequestPiece = 262'144;
constexpr uint64_t kMaxRequestPiece = 4 * 1'048'576;
constexpr uint64_t kProbePiece = 1'048'576;

// One worker's own state.
struct WorkerState {
    DriverRun& run;
    uint64_t index;                   // 0, 1, 2, ... in order of creation within the pass
    std::unique_ptr<ByteStream> kept; // an idle connection for the next request, or none
    std::vector<char> buffer = std::vector<char>(kReceiveBufferSize);
    std::string last_cause; // why the last failed request failed, for the final status
    FailureCategory last_category = FailureCategory::kNone; // what that failure was about
    std::string slot_host; // the host whose connection slot it holds (core/host_gate.h); empty: none
};

enum ExchangeOutcome : uint8_t {
    kSegmentDone = 0, // the segment is finished, or the body ended cleanly
    kRetry = 1,       // ask again (after the retry rules)
    kStopWorker = 2,  // this worker ends; a restart, a write failure or an error status
};

struct ExchangeResult {
    ExchangeOutcome outcome = kRetry;
    uint64_t received = 0; // body bytes written in this exchange
    // With kRetry: no retry can mend it (a 404, an unknown host, a refused certificate...).
    bool permanent = false;
    // Why it failed, in the transport's or the server's words ("http 503"); with kStopWorker
    // and no error status set yet, the text of the error status without its "error: ".
    std::string cause;
    FailureCategory category = FailureCategory::kNone; // what `cause` is about
};

// Whether a status is final for any retry: 4xx but 408 and 429, 501 and 505.
bool status_is_permanent(int status);

// Performs one request for `segment`, which the worker holds (active).
ExchangeResult exchange_segment(WorkerState& worker, Segment& segment);

} // namespace twk
