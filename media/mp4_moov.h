// The boxes of a remuxed file around its media data: `ftyp`, the `mdat` header, and the `moov`
// whose sample tables point into that `mdat`. Each track's samples form one chunk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/mp4_boxes.h"

namespace twk {

inline constexpr uint32_t kMovieTimescale = 1000;
inline constexpr size_t kFtypSize = 32;
inline constexpr size_t kMdatHeaderSize = 16;

// "isom", minor version 512, compatible with isom, iso2, mp41 and avc1.
std::string ftyp_box();

// An `mdat` header with a 64-bit size (size field 1); `size` includes the header.
std::string mdat_header(uint64_t size);

// The track's length in the movie timescale: the source's pause before the media
// (TrackInfo::edit_delay_ms) and the sum of its sample durations less the edit list's start
// (TrackInfo::edit_media_time) over its own timescale, truncated.
uint64_t track_duration(const TrackInfo& info, const std::vector<Sample>& samples);

// One `trak` whose single chunk starts at `chunk_offset` in the file. A track whose source had an
// edit list with a pause or a start later than 0 gets the same.
std::string write_trak(const TrackInfo& info, const std::vector<Sample>& samples, uint32_t track_id,
                       uint64_t chunk_offset, uint32_t movie_timescale);

// A track as it goes into the `moov`.
struct MovieTrack {
    const TrackInfo* info = nullptr;
    const std::vector<Sample>* samples = nullptr;
    uint64_t chunk_offset = 0;
};

// `mvhd`, the video `trak` (track 1) and, when given, the audio `trak` (track 2).
std::string moov_box(const MovieTrack& video, const MovieTrack* audio);

} // namespace twk
