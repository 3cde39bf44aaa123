// A segment worker's own state and what one of its exchanges comes to (core/segment_exchange.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/driver_run.h"
#include "net/socket.h"
#include "net/transport_error.h"

namespace twk {

constexpr size_t kReceiveBufferSize = 65'536;
// The first response is asked for again while it is a 200 that advertises byte ranges, this
// many times; after that it is taken as a single stream.
constexpr uint32_t kMaxReprobes = 2;
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

} // namespace twk
