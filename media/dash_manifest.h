// The DASH reader: an MPD document, and the URL it came from, become a StreamPlan.
//
// Only the first Period is read. Its first video AdaptationSet (or, without one, its first set
// of any kind) gives the main track and its first audio set, when that is another set, the
// separate audio; in each set the Representation with the highest bandwidth is taken. Segment
// addressing by SegmentTemplate (with or without SegmentTimeline), SegmentList, SegmentBase or a
// bare BaseURL is expanded into a plain list (media/dash_segments.h). DASH media is always fragmented MP4, never
// encrypted here, and the container is always "mp4".
//
// A dynamic MPD (type="dynamic") is a live stream: the plan says so (`live`), and its track lists
// what is available now. A SegmentTimeline lists that itself (the first S numbered startNumber);
// a SegmentTemplate with a fixed duration counts from availabilityStartTime (plus the Period's
// start) on the client's clock: segment k (from 0) is available once (k + 1) durations have
// passed, and the list holds those within timeShiftBufferDepth (the last 1000 when none is
// given). `first_sequence` is the first listed segment's $Number$, `target_duration` the longest
// segment's duration (else maxSegmentDuration, else minimumUpdatePeriod). A dynamic manifest
// that lists no segment yet is no error; one with a separate audio set is refused (a recording
// would have no sound).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "media/stream_plan.h"

namespace twk {

// An ISO 8601 duration ("PT1H2M3.5S") in seconds; months count 30 days, years and weeks
// nothing. 0 when the text is no duration.
double parse_iso_duration(std::string_view text);

// A SegmentTemplate attribute with "$RepresentationID$", "$Bandwidth$", "$Number$" and "$Time$"
// filled in; the numeric ones take a printf-like width ("%05d"). "$$" is one "$"; unknown
// identifiers and an unclosed "$" are copied as they stand.
std::string expand_template(std::string_view pattern, std::string_view representation_id, int64_t bandwidth,
                            int64_t number, int64_t time);

// An ISO 8601 date and time ("2026-12-11T01:00:00Z", with optional fractions of a second and a
// "+01:00" offset; none means UTC) in seconds since the epoch; NaN when the text is none.
double parse_iso_datetime(std::string_view text);

// The error of a dynamic manifest with a separate audio set.
inline constexpr const char* kLiveSeparateAudio =
    "live stream with separate audio: its audio comes in an AdaptationSet of its own, "
    "and recording the video alone would leave out the sound";

// `now` (seconds since the epoch) is the client's clock for dynamic manifests; 0 takes the
// system clock.
StreamPlan parse_dash(std::string_view base_url, std::string_view text, double now = 0);

} // namespace twk
