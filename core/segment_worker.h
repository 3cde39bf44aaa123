// The segment workers of a download pass: each claims a byte range of the output (a segment),
// fetches it with one HTTP request, writes the body at its offset and claims the next. When no
// segment is free, a worker splits the largest remaining one in half and takes the upper half.
//
// When the file's hash is taken while it downloads (a checksum was asked for or the server sent
// one), the workers take the file in order instead: the lowest free offset first, a piece at a
// time, so that the contiguous prefix the hash follows grows at the whole download's rate rather
// than at one connection's. Only when nothing is left to take does a worker split the largest
// remaining piece, as above.
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

// The pieces taken in file order: 1/2048 of the file, rounded up to whole MiB, at least 4 MiB
// and at most 256 MiB, so that the sidecar of a file of up to 32 GiB holds at most about 2,048
// records (48 KiB) and a piece costs few requests.
constexpr uint64_t kOrderedPiecesPerFile = 2'048;
constexpr uint64_t kMinOrderedPiece = 4 * 1'048'576;
constexpr uint64_t kMaxOrderedPiece = 256 * 1'048'576;

// The worker with index `index` (0, 1, 2, ... in order of creation within the pass). Returns
// when the pass no longer needs it: restart, stop, pause, failure or completion.
void run_segment_worker(DriverRun& run, uint64_t index);

// Under the segment lock: halves the unfinished segment with the most remaining bytes (the first
// such on ties) and returns the new upper half, already active. Nothing when the method is not
// GET, the transfer is not ranged, the list is full or no segment has more than 512 KiB left.
std::shared_ptr<Segment> split_largest_segment(DriverRun& run);

// Whether the run hands out its file in order: its hash is taken as it downloads and the
// transfer is ranged (GET, size known).
bool takes_file_in_order(const DriverRun& run);

// The size of a piece taken in file order (DriverSettings::ordered_piece when set).
uint64_t ordered_piece(const DriverRun& run);

// Under the segment lock: the free range at the lowest offset, already active. It is at most a
// piece long, and once fewer than two pieces per active worker are free, at most the free bytes
// over twice the workers (256 KiB at least). A longer free segment is cut, its rest left free
// behind it. When no segment is free, the part of an active segment past its request in flight
// is cut off when longer than a piece (the first response's segment, one continued from a
// sidecar). Nothing when neither exists. Once the list is full, segments are taken whole.
std::shared_ptr<Segment> claim_in_file_order(DriverRun& run);

} // namespace twk
