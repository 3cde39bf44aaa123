// The XML reader and the DASH reader on arbitrary text; the first line also serves as a
// SegmentTemplate pattern.
#include "media/dash_manifest.h"
#include "media/xml_reader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check_tree(const twk::XmlDocument& doc) {
    const auto count = static_cast<int32_t>(doc.nodes.size());
    if (doc.root < -1 || doc.root >= count) std::abort();
    if (count > 0 && (doc.root < 0 || doc.nodes[doc.root].parent != -1)) std::abort();
    for (int32_t i = 0; i < count; ++i) {
        const int32_t parent = doc.nodes[i].parent;
        if (parent >= i || parent < -1) std::abort(); // parents come first
        for (int32_t child : doc.nodes[i].children) {
            if (child <= i || child >= count || doc.nodes[child].parent != i) std::abort();
        }
    }
}

void check_track(const twk::TrackPlan& track) {
    if (track.segments.size() > twk::kMaxStreamSegments) std::abort();
    if (track.has_segments != !track.segments.empty()) std::abort();
    if (!track.segments.empty() && !track.fragmented) std::abort();
    for (const twk::Segment& s : track.segments) {
        if (s.encrypted) std::abort();
        const bool whole = s.range_offset == -1 && s.range_length == -1;
        if (!whole && (s.range_offset < 0 || s.range_length < 1 || s.range_offset > twk::kMaxRangeValue))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    check_tree(twk::parse_xml(text));
    (void)twk::expand_template(text.substr(0, text.find('\n')), "id", 1000, -7, 9000000000000000000);
    (void)twk::parse_iso_duration(text.substr(0, 64));

    twk::StreamPlan plan = twk::parse_dash("https://fuzz.test/a/m.mpd", text);
    if (plan.container != "mp4" || plan.kind != "dash") std::abort();
    check_track(plan.video);
    check_track(plan.audio);
    if (plan.error.empty() && !plan.video.has_segments) std::abort();
    if (plan.has_separate_audio && !plan.audio.has_segments) std::abort();
    return 0;
}
