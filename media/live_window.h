// Where a live recording stands in a playlist that slides: which of the listed segments are new,
// which went missing while the playlist could not be read, and when the encoder started over.
//
// Pure bookkeeping over media sequence numbers, no I/O: the recorder (media/live_recorder.h)
// reloads the playlist, asks `take` what to record, and reports each segment it appended.
//
// - The first load starts at the live edge minus three target durations, as players do (the
//   segment holding that moment), or at the oldest listed segment when asked to.
// - A later load records every segment past the last one recorded. Segments that left the
//   window before they could be fetched are a gap: counted, with their media time estimated from
//   the listed segments' mean duration.
// - A rejoin (after a pause) starts at the live edge again; what lies between is a gap.
// - A playlist that lists a recently recorded sequence under another URI, or ends before the last
//   recorded sequence without listing any recent one, comes from a restarted encoder: all of it
//   is new, a new discontinuity. One that merely lags (a stale cache) lists recent segments
//   under their own URIs and brings nothing new.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "media/stream_plan.h"

namespace twk {

// A live player starts this many target durations behind the newest segment.
constexpr double kLiveEdgeTargets = 3;

struct LiveStep {
    size_t first = 0;        // index of the first listed segment to record; == size: none new
    uint64_t lost = 0;       // segments that went missing before `first`
    double lost_seconds = 0; // their estimated media time
    bool restarted = false;  // the sequence went back: a new discontinuity begins
};

class LiveWindow {
public:
    // `next`: the sequence to record next, from an earlier run (-1: nothing recorded yet).
    explicit LiveWindow(int64_t next = -1) : m_next(next) {}

    // What to record from `track` (its segments, first_sequence and target_duration). A
    // `rejoin` starts at the live edge even when recording could go on from `next`.
    LiveStep take(const TrackPlan& track, bool from_start, bool rejoin) const;

    // The segment at `sequence` with `uri` is in the output.
    void recorded(uint64_t sequence, const std::string& uri);
    // A segment that could not be fetched is passed over (the caller counts it as lost).
    void skipped(uint64_t sequence) { m_next = static_cast<int64_t>(sequence) + 1; }
    // After a restart the window counts from the new encoder's sequence.
    void restart_at(uint64_t sequence) {
        m_next = static_cast<int64_t>(sequence);
        m_recent.clear();
    }

    int64_t next() const { return m_next; }

private:
    // Recent segments this run recorded, to tell a lagging playlist from a restarted encoder.
    static constexpr size_t kRecentKept = 64;
    int64_t m_next;
    std::deque<std::pair<uint64_t, std::string>> m_recent;
};

// The index where a player joins: the segment that holds the moment three target durations
// before the end of the listed media (0 when the list is shorter).
size_t live_edge_index(const TrackPlan& track);

} // namespace twk
