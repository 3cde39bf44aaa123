// What a stream task fetches: the plan the HLS and DASH readers make from a playlist or manifest,
// before any media is fetched. The stream driver fills each segment's size estimate, fetches the
// segments in order and joins them (by concatenation, or by remux when audio comes separately).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace twk {

// A track never lists more segments than this: a longer HLS playlist, or a DASH manifest whose
// addressing yields more, is refused rather than fetched in part.
constexpr size_t kMaxStreamSegments = 1000000;
// Byte ranges and offsets above 2^48 are passed over as nonsense.
constexpr int64_t kMaxRangeValue = int64_t{1} << 48;

// One media segment of a track. (Named apart from the engine's progress segment record: both
// live in namespace twk, and one program links both.)
struct MediaSegment {
    std::string uri;           // absolute URL
    int64_t range_offset = -1; // first byte; -1 with range_length -1: the whole resource
    int64_t range_length = -1;
    double duration = 0;    // seconds; 0 when unknown
    bool encrypted = false; // AES-128-CBC with the key at key_uri
    std::string key_uri;    // absolute URL of the 16-byte key
    std::array<uint8_t, 16> iv{};
    int64_t estimate = 0; // expected size in bytes; the driver fills it
};

// The segments of a track, kept compact: a playlist may list a million of them. URLs are stored
// as a shared folder prefix plus their own tail in one text arena, key URLs once per run of
// segments that share a key, and IVs only for encrypted segments. Reading a segment gives a
// MediaSegment of its own.
class SegmentList {
public:
    class const_iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = MediaSegment;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = MediaSegment;
        const_iterator(const SegmentList* list, size_t i) : m_list(list), m_i(i) {}
        MediaSegment operator*() const { return (*m_list)[m_i]; }
        const_iterator& operator++() {
            ++m_i;
            return *this;
        }
        const_iterator operator++(int) { return const_iterator(m_list, m_i++); }
        bool operator==(const const_iterator& other) const { return m_i == other.m_i; }

    private:
        const SegmentList* m_list;
        size_t m_i;
    };

    size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    void reserve(size_t count) { m_records.reserve(count); }
    void push_back(const MediaSegment& segment);

    MediaSegment operator[](size_t i) const;
    MediaSegment at(size_t i) const; // throws std::out_of_range past the end, as vector's does
    MediaSegment front() const { return (*this)[0]; }
    MediaSegment back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size()); }

    // Single fields, without building the record.
    std::string uri(size_t i) const;
    int64_t estimate(size_t i) const { return m_records[i].estimate; }
    double duration(size_t i) const { return m_records[i].duration; }
    void set_estimate(size_t i, int64_t estimate) { m_records[i].estimate = estimate; }
    void set_range(size_t i, int64_t offset, int64_t length);

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    struct Record {
        int64_t range_offset;
        int64_t range_length;
        int64_t estimate;
        double duration;
        uint64_t tail_start; // in m_text
        uint32_t tail_length;
        uint32_t prefix; // index into m_prefixes
        uint32_t key;    // index into m_keys; kNone when clear
        uint32_t iv;     // index into m_ivs; kNone when clear
    };
    uint32_t prefix_of(std::string_view folder);

    std::vector<Record> m_records;
    std::string m_text;
    std::vector<std::string> m_prefixes;
    std::vector<std::string> m_keys;
    std::vector<std::array<uint8_t, 16>> m_ivs;
};

struct TrackPlan {
    bool has_segments = false;
    bool fragmented = false;        // fragmented MP4, otherwise MPEG-TS
    std::string init_uri;           // initialisation segment; empty when none
    int64_t init_range_offset = -1; // -1, -1: the whole resource
    int64_t init_range_length = -1;
    SegmentList segments;  // in playlist order, at most kMaxStreamSegments
    int64_t bandwidth = 0; // bits per second
    int32_t width = 0;
    int32_t height = 0;
    std::string codecs;
    std::string language; // audio language; empty when unknown
    // HLS media playlists: where the playlist came from (reloaded while it is live), whether it
    // carried #EXT-X-ENDLIST, its target duration and the media sequence of its first segment.
    std::string playlist_url;
    bool ended = false;
    double target_duration = 0; // seconds
    uint64_t first_sequence = 0;
};

struct StreamPlan {
    std::string kind; // "hls" or "dash"
    TrackPlan video;  // the main track; the only one unless has_separate_audio
    TrackPlan audio;
    bool has_separate_audio = false;
    std::string container; // "ts" or "mp4"
    std::string error;     // empty on success; otherwise the plan is not to be used
    // A live stream: an HLS media playlist without #EXT-X-ENDLIST, recorded as it grows.
    bool live = false;
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
