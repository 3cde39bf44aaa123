// The progress a stream task shows: its parts laid out as the task's progress segments.
//
// One progress segment per part, or, for a stream of more than 1000 parts, one per run of
// neighbouring parts, so that status documents and memory stay small. Until every part is in,
// sizes are estimates: a part counts for its own size once fetched, else for the mean of those
// fetched so far, else for its plan's estimate. At the end the segments are rescaled to tile the
// finished file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/stream_parts.h"

namespace twk {

struct RunContext;

// Makes the task's progress segments for `parts` and lays them out. Returns their total.
uint64_t lay_out_progress(const RunContext& task, PartTable& parts);

// With the task's segment lock held: lays out group `g` from `start` (returns its end), or every
// group end to end (returns the total).
uint64_t lay_out_group(PartTable& parts, size_t g, uint64_t start);
uint64_t lay_out_locked(PartTable& parts);

// Marks a part's group active while the part is in flight.
void set_in_flight(const RunContext& task, PartTable& parts, size_t index, bool flying);

// Sets each progress segment to span its share of the finished file of `total` bytes, in order
// and without gaps.
void rescale_progress(const RunContext& task, PartTable& parts, uint64_t total);

} // namespace twk
