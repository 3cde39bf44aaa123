// The HLS reader: the text of an m3u8 playlist, and the URL it came from, become a StreamPlan.
//
// A media playlist is read as it stands. A master playlist is resolved here to one variant (the
// highest bandwidth, then the larger picture, then the earlier entry) and at most one audio
// rendition of that variant's group, whose playlists are fetched through the caller's fetch
// operation. Separate audio is kept only when both it and the video are fragmented MP4; a live
// variant with an audio rendition of its own is refused (a recording would have no sound).
//
// Only clear and AES-128 (identity key format) segments are accepted: every other METHOD or
// KEYFORMAT is DRM, and the plan is refused rather than fetched as garbage.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "media/stream_plan.h"

namespace twk {

// The playlist's lines: split at LF (a CR before it dropped), trimmed of whitespace, empty ones
// skipped.
std::vector<std::string> split_lines(std::string_view text);

// The same lines one at a time, for texts too long to copy whole.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_rest(text) {}
    // The next line into `line`; false at the end.
    bool next(std::string& line);

private:
    std::string_view m_rest;
};

// NAME=VALUE items separated by commas outside double quotes. Names are upper-cased, a quoted
// value loses its quotes, a repeated name keeps the last value, items without "=" are ignored.
std::map<std::string, std::string> parse_attribute_list(std::string_view text);

// Reads one media playlist into `track`, URIs resolved against `base_url`. Returns false, with
// `error` set, when the playlist is refused (DRM, a key without URI, or more segments than
// kMaxStreamSegments).
bool parse_media_playlist(std::string_view base_url, std::string_view text, TrackPlan& track,
                          std::string& error);

// The entry: any playlist into a plan. `base_url` is the URL as requested; `fetch` is called for
// a master playlist's child playlists, always for the whole resource.
StreamPlan parse_hls(std::string_view base_url, std::string_view text, const FetchResource& fetch);

} // namespace twk
