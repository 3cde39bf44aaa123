// The segment workers of a download pass: each claims a byte range of the output (a segment),
// fetches it with one HTTP request, writes the body at its offset and claims the next. When no
// segment is free, a worker splits the largest remaining one in half and takes the upper half.
//
// The worker that receives the first response (the probe) decides whether the transfer is
// ranged, learns the total size, and may move the output to the server's file name
// (core/naming.h). Failed requests are retried with back-off on the segment's retry budget;
// once that is spent, a ranged transfer keeps trying while the task made progress within the
// stall window.
#pragma once

#include <cstdint>
#include <memory>

#include "core/segment_exchange.h"
#include "core/task.h"

namespace twk {

// Splits stop when the list holds this many segments (so it never grows past 25,001)...
constexpr size_t kMaxSegmentsBeforeSplit = 25'000;
// ...and a segment is split only when more than this much of it remains (512 KiB).
constexpr uint64_t kMinSplitRemaining = 524'288;

// The worker with index `index` (0, 1, 2, ... in order of creation within the pass). Returns
// when the pass no longer needs it: restart, stop, pause, failure or completion.
void run_segment_worker(DriverRun& run, uint64_t index);

// Under the segment lock: halves the unfinished segment with the most remaining bytes (the first
// such on ties) and returns the new upper half, already active. Nothing when the method is not
// GET, the transfer is not ranged, the list is full or no segment has more than 512 KiB left.
std::shared_ptr<Segment> split_largest_segment(DriverRun& run);

} // namespace twk
