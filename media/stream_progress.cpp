#include "media/stream_progress.h"

#include <algorithm>
#include <mutex>

#include "core/task.h"

namespace twk {

namespace {

// A stream of more parts than this shows them in this many progress segments, each covering
// a run of neighbouring parts.
constexpr size_t kMaxProgressSegments = 1000;

// The size a part counts for: its own once known, else the mean of the known ones, else its
// estimate.
uint64_t counted_size(const PartTable& parts, size_t i) {
    const PartState& part = parts.state[i];
    if (part.finished && part.size > 0) return part.size;
    if (parts.known_count > 0) return parts.known_bytes / parts.known_count;
    return static_cast<uint64_t>(parts.part(i).estimate());
}

} // namespace

uint64_t lay_out_group(PartTable& parts, size_t g, uint64_t start) {
    uint64_t span = 0, done = 0;
    const size_t last = std::min(parts.size(), (g + 1) * parts.per_group);
    for (size_t i = g * parts.per_group; i < last; ++i) {
        const uint64_t size = counted_size(parts, i);
        span += size;
        if (parts.state[i].finished) done += size;
    }
    Segment& segment = *parts.groups[g];
    segment.start = start;
    segment.end = start + span;
    segment.pos = start + done;
    return start + span;
}

// Lays the progress segments end to end by the best sizes known. Returns the sum.
uint64_t lay_out_locked(PartTable& parts) {
    uint64_t running = 0;
    for (size_t g = 0; g < parts.groups.size(); ++g)
        running = lay_out_group(parts, g, running);
    return running;
}

void set_in_flight(const RunContext& task, PartTable& parts, size_t index, bool flying) {
    std::lock_guard lock(task.progress.segment_lock);
    const size_t g = parts.group_of(index);
    if (flying) {
        ++parts.in_flight[g];
    } else {
        --parts.in_flight[g];
    }
    parts.groups[g]->active = parts.in_flight[g] > 0;
}

void rescale_progress(const RunContext& task, PartTable& parts, uint64_t total) {
    std::lock_guard lock(task.progress.segment_lock);
    const uint64_t laid = lay_out_locked(parts);
    uint64_t previous = 0;
    for (const auto& group : parts.groups) {
        Segment& segment = *group;
        const auto scaled = static_cast<uint64_t>(static_cast<unsigned __int128>(segment.end.load()) * total /
                                                  std::max<uint64_t>(1, laid));
        segment.start = previous;
        segment.end = scaled;
        segment.pos = scaled;
        previous = scaled;
    }
}

uint64_t lay_out_progress(const RunContext& task, PartTable& parts) {
    std::lock_guard lock(task.progress.segment_lock);
    parts.per_group = std::max<size_t>(1, (parts.size() + kMaxProgressSegments - 1) / kMaxProgressSegments);
    const size_t count = (parts.size() + parts.per_group - 1) / parts.per_group;
    task.progress.segments.clear();
    task.progress.segments.reserve(count);
    parts.groups.clear();
    parts.in_flight.assign(count, 0);
    for (size_t g = 0; g < count; ++g) {
        auto segment = make_segment(0, 0, 0);
        segment->id = g + 1;
        parts.groups.push_back(segment);
        task.progress.segments.push_back(std::move(segment));
    }
    return lay_out_locked(parts);
}

} // namespace twk
