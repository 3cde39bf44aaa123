// The HLS reader on arbitrary text. The input splits at zero bytes into the playlist and the
// bodies the fetch operation hands back, in order, for a master's child playlists.
#include "media/hls_playlist.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

void check_track(const twk::TrackPlan& track) {
    if (track.segments.size() > twk::kMaxStreamSegments) std::abort();
    if (track.has_segments != !track.segments.empty()) std::abort();
    for (const twk::Segment& s : track.segments) {
        const bool whole = s.range_offset == -1 && s.range_length == -1;
        if (!whole && (s.range_offset < 0 || s.range_length < 0 || s.range_offset > twk::kMaxRangeValue ||
                       s.range_length > twk::kMaxRangeValue))
            std::abort();
        if (s.encrypted && s.key_uri.empty()) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t zero = all.find('\0', start);
        parts.push_back(all.substr(start, zero == std::string_view::npos ? zero : zero - start));
        if (zero == std::string_view::npos) break;
        start = zero + 1;
    }
    size_t next = 1;
    auto fetch = [&](const std::string&, int64_t, int64_t, std::string& body, std::string& error) {
        if (next >= parts.size()) {
            error = "http 404";
            return false;
        }
        body = parts[next++];
        return true;
    };
    twk::StreamPlan plan = twk::parse_hls("http://fuzz.test/a/b.m3u8", parts[0], fetch);
    if (next > 3) std::abort(); // a variant and at most one rendition
    check_track(plan.video);
    check_track(plan.audio);
    if (plan.error.empty()) {
        if (!plan.video.has_segments) std::abort();
        if (plan.has_separate_audio && !(plan.video.fragmented && plan.audio.fragmented)) std::abort();
        if (plan.container != (plan.video.fragmented || plan.has_separate_audio ? "mp4" : "ts")) std::abort();
    }
    return 0;
}
