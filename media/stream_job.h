// A stream task's work list: the manifest read into the parts the stream driver fetches.
//
// The HLS and DASH readers give a StreamPlan; this turns it into a flat list of parts (video
// first, then the separate audio), each with its part file name, byte range, key and size
// estimate, plus the two initialisation segments. The list is kept apart from the plan records so
// that the driver, which also handles the engine's task record, sees only what it fetches.
//
// The list's `signature` is a text that names every part, range and key: a work folder left by an
// earlier run is picked up only when its signature is the same.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "media/stream_plan.h"

namespace twk {

// Estimates below 1 byte, or not finite, become this (bytes).
constexpr int64_t kDefaultPartEstimate = 512000;

// The driver's GET: whole resource when offset and length are -1.
using StreamFetch = std::function<bool(const std::string& url, int64_t range_offset, int64_t range_length,
                                       std::string& body, std::string& error)>;

// One part: a media segment of one track, seen through the job that owns it.
struct StreamPart {
    bool audio = false; // the separate audio track; otherwise the main track
    size_t index = 0;   // position within its track
    const SegmentList* track = nullptr;
    MediaSegment segment() const { return (*track)[index]; }
    int64_t estimate() const { return track->estimate(index); }
    // "v_000000.part", "a_000017.part".
    std::string file_name() const;
};

struct StreamInit {
    std::string uri; // empty: the track has no initialisation segment
    int64_t range_offset = -1;
    int64_t range_length = -1;
};

// The segments are the readers' own compact lists, moved here rather than copied: a playlist of
// a million segments should cost one small record per segment, not two.
struct StreamJob {
    std::string error;     // empty on success: the reader's refusal otherwise
    std::string container; // "ts" or "mp4"
    bool separate_audio = false;
    StreamInit video_init;
    StreamInit audio_init;
    SegmentList video; // each with its size estimate filled in
    SegmentList audio; // empty unless separate_audio
    // A live stream (media/live_recorder.h): the media playlist to reload, its target duration
    // and the media sequence of `video`'s first segment.
    bool live = false;
    std::string kind; // "hls" or "dash": how the playlist is read again
    std::string playlist_url;
    double target_duration = 0;
    uint64_t first_sequence = 0;

    // Video parts first, then audio.
    size_t part_count() const { return video.size() + audio.size(); }
    StreamPart part(size_t i) const {
        return i < video.size() ? StreamPart{false, i, &video} : StreamPart{true, i - video.size(), &audio};
    }
    // A digest of every initialisation segment, part, range and key: equal texts mean the same
    // work.
    std::string signature() const;
};

// Reads the manifest `text` fetched from `base_url`: DASH when `kind` is "dash", else HLS (whose
// master playlists fetch their child playlists through `fetch`). The reader's refusal, or
// "manifest parse failed" when the main track lists no segment, comes back as `error`.
StreamJob read_stream_job(std::string_view kind, std::string_view base_url, std::string_view text,
                          const StreamFetch& fetch);

// Bits per second times seconds, in bytes; not finite or not above 0 gives the default estimate,
// and values of 9.2e18 or more are held at 9.0e18.
int64_t estimate_part_size(int64_t bandwidth, double duration_seconds);

} // namespace twk
