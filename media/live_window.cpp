#include "media/live_window.h"

#include <algorithm>

namespace twk {

namespace {

double mean_duration(const TrackPlan& track) {
    double sum = 0;
    size_t known = 0;
    for (size_t i = 0; i < track.segments.size(); ++i) {
        if (track.segments.duration(i) > 0) {
            sum += track.segments.duration(i);
            ++known;
        }
    }
    return known > 0 ? sum / static_cast<double>(known) : track.target_duration;
}

} // namespace

size_t live_edge_index(const TrackPlan& track) {
    const double behind = kLiveEdgeTargets * track.target_duration;
    size_t i = track.segments.size();
    double covered = 0;
    while (i > 0 && covered < behind) {
        --i;
        // A segment without a duration counts as a target duration long.
        const double duration = track.segments.duration(i);
        covered += duration > 0 ? duration : track.target_duration;
    }
    return i;
}

LiveStep LiveWindow::take(const TrackPlan& track, bool from_start, bool rejoin) const {
    LiveStep step;
    const size_t count = track.segments.size();
    const uint64_t first = track.first_sequence;
    const uint64_t end = first + count; // one past the newest listed sequence
    // An empty list says nothing about where the stream stands.
    if (count == 0) return step;
    if (m_next < 0) {
        step.first = from_start ? 0 : live_edge_index(track);
        return step;
    }
    const auto next = static_cast<uint64_t>(m_next);
    // A recent segment listed under another name, or a list that ends before the last recorded
    // segment and shares none with it: a new encoder counts from the start again.
    bool shared = false, renamed = false;
    for (const auto& [sequence, uri] : m_recent) {
        if (sequence < first || sequence >= end) continue;
        if (track.segments.uri(static_cast<size_t>(sequence - first)) == uri) {
            shared = true;
        } else {
            renamed = true;
        }
    }
    if (renamed || (end < next && !shared)) {
        step.restarted = true;
        step.first = 0;
        return step;
    }
    uint64_t start = std::max(next, first);
    if (rejoin) start = std::max(start, first + live_edge_index(track));
    step.first = static_cast<size_t>(std::min(start - first, static_cast<uint64_t>(count)));
    if (start > next) {
        step.lost = start - next;
        step.lost_seconds = static_cast<double>(step.lost) * mean_duration(track);
    }
    return step;
}

void LiveWindow::recorded(uint64_t sequence, const std::string& uri) {
    m_next = static_cast<int64_t>(sequence) + 1;
    m_recent.emplace_back(sequence, uri);
    if (m_recent.size() > kRecentKept) m_recent.pop_front();
}

} // namespace twk
