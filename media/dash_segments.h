// Segment addressing of a DASH Representation (media/dash_manifest.h): its SegmentTemplate
// (with or without a SegmentTimeline, or counted on the client's clock for a live stream),
// SegmentList, SegmentBase or bare BaseURL, expanded into a plain list of segments.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "media/stream_plan.h"
#include "media/xml_reader.h"

namespace twk {

// The nodes a track is read from: the MPD, its first Period, the AdaptationSet and the chosen
// Representation.
struct DashTrackSource {
    int32_t mpd = -1;
    int32_t period = -1;
    int32_t set = -1;
    int32_t representation = -1;
};

// What a dynamic MPD's clock-based templates need: the moment the Period's media began to be
// available and how far back it stays.
struct DashLiveClock {
    bool dynamic = false;
    double elapsed = 0; // seconds from the Period's start to now
    double depth = 0;   // timeShiftBufferDepth; 0 when none
};

// The track of one Representation: its segments, initialisation segment and durations, every
// URL resolved against the BaseURLs of the levels above it. `total_seconds` is the presentation's
// length (0: unknown), which a template without a timeline and a timeline entry repeating to the
// end count up to. `over` is set when the track would list more than kMaxStreamSegments
// segments; the list is then incomplete and must be refused.
TrackPlan build_dash_track(const XmlDocument& doc, std::string_view manifest_url, double total_seconds,
                           const DashLiveClock& clock, const DashTrackSource& source, bool& over);

// The children of `node` named `name`, in document order.
std::vector<int32_t> children_named(const XmlDocument& doc, int32_t node, std::string_view name);

} // namespace twk
