// Reading ISO base media (MP4) boxes: the box walk, a track's description from its `moov`, and
// the samples that the `moof` fragments of a part file describe.
//
// Everything here works on bytes already in memory and never fails loudly: what cannot be read
// is skipped. A sample is kept as a place in its part file (part number and offset), not as
// bytes, so that a stream's sample tables can be collected without holding its media data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace twk {

// A track keeps at most this many samples; fragments beyond that are ignored.
inline constexpr size_t kMaxTrackSamples = size_t{1} << 23;
// The sample-flags bit that marks a sample as not a sync sample.
inline constexpr uint32_t kSampleIsNonSync = 0x10000;

// One box found in a byte range: where it starts, where its payload starts, where it ends.
struct BoxSpan {
    size_t start = 0;
    size_t payload = 0;
    size_t end = 0;
};

// A box header read from the first bytes of a box.
struct BoxHeader {
    std::array<char, 4> type{};
    uint64_t header_size = 0; // 8, or 16 with a 64-bit size
    uint64_t box_size = 0;    // header included
};

// Reads the header of a box that has `room` bytes left in its range; `head` holds its first
// min(16, room) bytes. Size 1 means a 64-bit size follows the type, size 0 a box that runs to the
// end of the range. Empty when fewer than 8 bytes remain or the size does not fit the range.
std::optional<BoxHeader> read_box_header(std::string_view head, uint64_t room);

// The first box of `type` (four characters) among the boxes in [start, end) of `data`. The walk
// stops at the first malformed size.
std::optional<BoxSpan> find_box(std::string_view data, size_t start, size_t end, std::string_view type);

// Descends one box type inside the other, starting with the boxes in [start, end).
std::optional<BoxSpan> find_path(std::string_view data, size_t start, size_t end,
                                 std::initializer_list<std::string_view> types);

// What the remux needs of a track, read from its `moov`.
struct TrackInfo {
    bool ok = false;               // a sample entry was found
    uint32_t timescale = 1;        // `mdhd`; never 0
    std::array<char, 4> handler{}; // `hdlr` handler type: "vide", "soun", ...
    std::string sample_entry;      // the first `stsd` entry, whole
    uint16_t width = 0;            // `tkhd`, integer part
    uint16_t height = 0;
    uint32_t default_duration = 0; // `mvex`/`trex`; 0 when absent
    uint32_t default_size = 0;
    uint32_t default_flags = 0;
    // The source's edit list (`edts`/`elst`), as far as a remux carries it over: the empty
    // edits before the media (a pause before the first picture or sound), in milliseconds, and
    // where presentation starts in the media (the first entry that is not empty), in the track
    // timescale: the B-frame delay of a video, the encoder priming of AAC audio. Both 0
    // without an edit list.
    uint64_t edit_delay_ms = 0;
    uint64_t edit_media_time = 0;

    bool is_video() const { return std::string_view(handler.data(), 4) == "vide"; }
};

// One media sample: where its bytes lie and how it is timed.
struct Sample {
    int64_t offset = 0; // in its part file
    uint32_t part = 0;  // index of that part file in its track's list
    uint32_t size = 0;
    uint32_t duration = 0; // track timescale
    int32_t composition_offset = 0;
    bool sync = false;
};

// Fills `info` from the first `trak` of the top-level `moov` in `data`. False (and `info.ok`
// false) without a `moov`, a `trak` or a readable sample entry.
bool read_track_info(std::string_view data, TrackInfo& info);

// The duration given to samples whose fragments say 0: a frame at 30 per second for video,
// one AAC frame (1024) for audio.
uint32_t fallback_duration(const TrackInfo& info, bool video);

// Where the samples of one part file come from.
struct FragmentContext {
    const TrackInfo* info = nullptr;
    uint32_t fallback_duration = 1024;
    uint32_t part = 0;      // stored in every sample
    uint64_t part_size = 0; // a sample must lie wholly inside [0, part_size)
};

// Appends the samples of one `moof` box (`moof` holds the whole box, header included) that starts
// at `moof_offset` in its part file, up to kMaxTrackSamples in `samples`.
void read_moof(std::string_view moof, int64_t moof_offset, const FragmentContext& context,
               std::vector<Sample>& samples);

// Appends the samples of every top-level `moof` in a part file held whole in `data`.
void read_fragments(std::string_view data, const TrackInfo& info, uint32_t fallback_duration, uint32_t part,
                    std::vector<Sample>& samples);

} // namespace twk
