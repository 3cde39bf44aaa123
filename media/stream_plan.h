// What a stream task fetches: the plan the HLS and DASH readers make from a playlist or manifest,
// before any media is fetched. The stream driver fills each segment's size estimate, fetches the
// segments in order and joins them (by concatenation, or by remux when audio comes separately).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace twk {

// A track never lists more segments than this; a longer playlist or manifest is cut here.
constexpr size_t kMaxStreamSegments = 200000;
// Byte ranges and offsets above 2^48 are passed over as nonsense.
constexpr int64_t kMaxRangeValue = int64_t{1} << 48;

struct Segment {
    std::string uri;           // absolute URL
    int64_t range_offset = -1; // first byte; -1 with range_length -1: the whole resource
    int64_t range_length = -1;
    double duration = 0;    // seconds; 0 when unknown
    bool encrypted = false; // AES-128-CBC with the key at key_uri
    std::string key_uri;    // absolute URL of the 16-byte key
    std::array<uint8_t, 16> iv{};
    int64_t estimate = 0; // expected size in bytes; the driver fills it
};

struct TrackPlan {
    bool has_segments = false;
    bool fragmented = false;        // fragmented MP4, otherwise MPEG-TS
    std::string init_uri;           // initialisation segment; empty when none
    int64_t init_range_offset = -1; // -1, -1: the whole resource
    int64_t init_range_length = -1;
    std::vector<Segment> segments; // in playlist order, at most kMaxStreamSegments
    int64_t bandwidth = 0;         // bits per second
    int32_t width = 0;
    int32_t height = 0;
    std::string codecs;
    std::string language; // audio language; empty when unknown
};

struct StreamPlan {
    std::string kind; // "hls" or "dash"
    TrackPlan video;  // the main track; the only one unless has_separate_audio
    TrackPlan audio;
    bool has_separate_audio = false;
    std::string container; // "ts" or "mp4"
    std::string error;     // empty on success; otherwise the plan is not to be used
};

// The driver's GET, as the HLS reader calls it for child playlists: whole resource when offset
// and length are -1. Returns success; on failure `error` holds the reason.
using FetchResource = std::function<bool(const std::string& url, int64_t range_offset, int64_t range_length,
                                         std::string& body, std::string& error)>;

// Numbers in playlists and manifests are read leniently, as the C conversions do, but without
// regard to the process locale: leading whitespace and a sign are skipped, the longest valid
// prefix counts, garbage reads as 0 and values beyond the type saturate.
int64_t lenient_int64(std::string_view text);
int32_t lenient_int32(std::string_view text);
// Unsigned, with a leading "-" negating modulo 2^64 (as strtoull does).
uint64_t lenient_uint64(std::string_view text);
// Decimal or exponent notation, "inf" and "nan"; 0 for garbage or a value out of range.
double lenient_double(std::string_view text);

} // namespace twk
