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
#include "core/response_judge.h"
#include "core/task.h"
#include "core/worker_state.h"
#include "net/socket.h"

namespace twk {

// A ranged request asks for half of what its segment has left, at least 256 KiB and at most
// 4 MiB: the other half is where a split will cut, so a split never shortens a request in
// flight (the bytes on their way would be thrown away with the connection). The cap bounds the
// tail: a piece in flight cannot be split, so the last one takes at most 4 MiB at the speed of
// one connection. The first request asks for the first 1 MiB.
constexpr uint64_t kMinRequestPiece = 262'144;
constexpr uint64_t kMaxRequestPiece = 4 * 1'048'576;
constexpr uint64_t kProbePiece = 1'048'576;

// Performs one request for `segment`, which the worker holds (active).
ExchangeResult exchange_segment(WorkerState& worker, Segment& segment);

} // namespace twk
