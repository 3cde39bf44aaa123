#include "media/dash_segments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "media/dash_manifest.h" // expand_template
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

// A live template without timeShiftBufferDepth lists this many of its newest segments.
constexpr int64_t kLiveNumbersWithoutDepth = 1000;
// Segment indexes past this (2^52: still exact in a double) are nonsense.
constexpr double kMaxLiveIndex = 4503599627370496.0;

// Template widths beyond this are capped: no sane segment name needs more digits.
constexpr size_t kMaxTemplateWidth = 20;
// A repeat-to-the-end timeline entry stops here whatever the duration claims.
constexpr double kMaxTimelineLimit = 9.0e18;

int64_t saturating_add(int64_t a, int64_t b) {
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t saturating_mul(int64_t a, int64_t b) {
    int64_t product;
    if (!__builtin_mul_overflow(a, b, &product)) return product;
    return (a < 0) != (b < 0) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
}

std::string decimal(int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// "%d", "%5d", "%05d" (also with "i" or "u"); anything else prints plain decimal.
std::string format_number(int64_t value, std::string_view format) {
    std::string digits = decimal(value);
    if (format.size() < 2 || format[0] != '%' || format.find_first_of("diu") != format.size() - 1)
        return digits;
    const std::string_view width_text = format.substr(1, format.size() - 2);
    size_t width = 0;
    for (char c : width_text) {
        if (c < '0' || c > '9') return digits;
        width = std::min(kMaxTemplateWidth, width * 10 + static_cast<size_t>(c - '0'));
    }
    if (digits.size() >= width) return digits;
    const size_t fill = width - digits.size();
    if (!width_text.starts_with("0")) return std::string(fill, ' ') + digits;
    const size_t sign = value < 0 ? 1 : 0;
    return digits.substr(0, sign) + std::string(fill, '0') + digits.substr(sign);
}

// "first-last" as an offset and a length; false unless both are sane and last >= first.
bool parse_byte_range(std::string_view text, int64_t& offset, int64_t& length) {
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos) return false;
    const int64_t first = lenient_int64(text.substr(0, dash));
    const int64_t last = lenient_int64(text.substr(dash + 1));
    if (first < 0 || last < first || last > kMaxRangeValue) return false;
    offset = first;
    length = last - first + 1;
    return true;
}

class TrackBuilder {
public:
    TrackBuilder(const XmlDocument& doc, std::string_view manifest_url, double total_seconds,
                 DashLiveClock clock)
        : m_doc(doc), m_manifest_url(manifest_url), m_total(total_seconds), m_clock(clock) {}

    TrackPlan build(const DashTrackSource& source) {
        TrackPlan track;
        const int32_t r = source.representation;
        m_id = m_doc.attribute(r, "id");
        m_bandwidth = m_doc.attribute_int(r, "bandwidth", 0);
        track.bandwidth = m_bandwidth;
        track.width = lenient_int32(m_doc.attribute(r, "width"));
        track.height = lenient_int32(m_doc.attribute(r, "height"));
        track.codecs = m_doc.attribute(r, "codecs");
        track.fragmented = true;

        // Each level's BaseURL refines the one above it.
        m_base = std::string(m_manifest_url);
        for (int32_t level : {source.mpd, source.period, source.set, r}) {
            const int32_t base_node = m_doc.first_child(level, "BaseURL");
            if (base_node < 0) continue;
            const std::string reference = trim_spaces(m_doc.nodes[base_node].text);
            if (!reference.empty()) m_base = resolve_url(m_base, reference);
        }

        int32_t node = first_of(r, source.set, "SegmentTemplate");
        if (node >= 0) {
            read_template(node, track);
        } else if ((node = first_of(r, source.set, "SegmentList")) >= 0) {
            read_list(node, track);
        } else {
            // SegmentBase, or a bare BaseURL: the whole resource is the one segment.
            MediaSegment segment;
            segment.uri = m_base;
            track.segments.push_back(std::move(segment));
        }
        track.has_segments = !track.segments.empty();
        return track;
    }

private:
    int32_t first_of(int32_t representation, int32_t set, std::string_view name) const {
        const int32_t node = m_doc.first_child(representation, name);
        return node >= 0 ? node : m_doc.first_child(set, name);
    }

    // True once the track holds the most segments it may; asked only when another one is due,
    // so that a manifest that yields more is known (`over`) and refused, never cut.
    bool full(const TrackPlan& track) {
        if (track.segments.size() < kMaxStreamSegments) return false;
        m_over = true;
        return true;
    }

    void add(TrackPlan& track, std::string uri, double duration) {
        MediaSegment segment;
        segment.uri = std::move(uri);
        segment.duration = duration;
        track.segments.push_back(std::move(segment));
    }

    void read_template(int32_t node, TrackPlan& track) {
        const std::string initialization = m_doc.attribute(node, "initialization");
        const std::string media = m_doc.attribute(node, "media");
        const int64_t timescale = std::max<int64_t>(1, m_doc.attribute_int(node, "timescale", 1));
        const int64_t start_number = m_doc.attribute_int(node, "startNumber", 1);
        const int64_t duration = m_doc.attribute_int(node, "duration", 0);
        const auto seconds = [timescale](int64_t units) {
            return static_cast<double>(units) / static_cast<double>(timescale);
        };

        if (!initialization.empty())
            track.init_uri = resolve_url(m_base, expand_template(initialization, m_id, m_bandwidth, 0, 0));
        const UrlResolver base(m_base);

        const int32_t timeline = m_doc.first_child(node, "SegmentTimeline");
        track.first_sequence = static_cast<uint64_t>(std::max<int64_t>(0, start_number));
        if (timeline >= 0) {
            int64_t number = start_number;
            int64_t time = 0;
            for (int32_t s : children_named(m_doc, timeline, "S")) {
                if (m_doc.has_attribute(s, "t")) time = m_doc.attribute_int(s, "t", 0);
                const int64_t d = m_doc.attribute_int(s, "d", 0);
                track.target_duration = std::max(track.target_duration, seconds(d));
                const int64_t repeat = m_doc.attribute_int(s, "r", 0);
                const int64_t count = repeat >= 0 ? std::min<int64_t>(repeat, kMaxStreamSegments) + 1
                                                  : repeat_to_end(timescale, time, d) + 1;
                for (int64_t k = 0; k < count; ++k) {
                    if (full(track)) return;
                    add(track, base.resolve(expand_template(media, m_id, m_bandwidth, number, time)),
                        seconds(d));
                    number = saturating_add(number, 1);
                    time = saturating_add(time, d);
                }
            }
        } else if (duration > 0 && m_clock.dynamic) {
            read_live_numbers(media, start_number, duration, seconds(duration), track);
        } else if (duration > 0 && m_total > 0) {
            // A remainder of more than a thousandth of a segment counts as one more segment.
            const double n = 0.999 + m_total / seconds(duration);
            if (!std::isfinite(n) || n <= 0) return;
            // One past the cap is enough to tell a manifest over it.
            const auto most = static_cast<int64_t>(kMaxStreamSegments) + 1;
            const int64_t count = n >= static_cast<double>(most) ? most : static_cast<int64_t>(n);
            for (int64_t i = 0; i < count && !full(track); ++i) {
                add(track,
                    base.resolve(expand_template(media, m_id, m_bandwidth, saturating_add(start_number, i),
                                                 saturating_mul(i, duration))),
                    seconds(duration));
            }
        }
    }

    // The segments of a fixed-duration template that are available now, on the client's clock.
    void read_live_numbers(const std::string& media, int64_t start_number, int64_t duration, double seconds,
                           TrackPlan& track) {
        track.target_duration = seconds;
        const double available = std::floor(m_clock.elapsed / seconds); // segments whole by now
        if (!std::isfinite(available) || available < 1) return;
        const double kept = m_clock.depth > 0 ? std::max(1.0, std::floor(m_clock.depth / seconds))
                                              : static_cast<double>(kLiveNumbersWithoutDepth);
        const double first =
            std::max(0.0, available - std::min(kept, static_cast<double>(kMaxStreamSegments)));
        if (first >= kMaxLiveIndex) return;
        const auto first_index = static_cast<int64_t>(first);
        const auto end_index = static_cast<int64_t>(std::min(available, kMaxLiveIndex));
        track.first_sequence =
            static_cast<uint64_t>(std::max<int64_t>(0, saturating_add(start_number, first_index)));
        const UrlResolver base(m_base);
        for (int64_t i = first_index; i < end_index && !full(track); ++i) {
            add(track,
                base.resolve(expand_template(media, m_id, m_bandwidth, saturating_add(start_number, i),
                                             saturating_mul(i, duration))),
                seconds);
        }
    }

    // How many more times an S with r < 0 repeats: up to the end of the presentation. A last
    // segment cut short by that end still counts (it holds the end of the media) when more
    // than a thousandth of it remains, as in a template without a timeline.
    int64_t repeat_to_end(int64_t timescale, int64_t time, int64_t d) const {
        double limit = static_cast<double>(timescale) * m_total;
        if (!std::isfinite(limit) || limit <= 0) limit = 0;
        if (limit > kMaxTimelineLimit) limit = kMaxTimelineLimit;
        if (d < 1) return 0;
        int64_t span;
        if (__builtin_sub_overflow(static_cast<int64_t>(limit), time, &span)) return kMaxStreamSegments;
        const int64_t segments = span / d + (span % d > d / 1000 ? 1 : 0);
        return std::clamp<int64_t>(segments - 1, 0, kMaxStreamSegments);
    }

    void read_list(int32_t node, TrackPlan& track) {
        const int32_t init = m_doc.first_child(node, "Initialization");
        if (init >= 0) {
            const std::string source = m_doc.attribute(init, "sourceURL");
            track.init_uri = source.empty() ? m_base : resolve_url(m_base, source);
            // A single-file representation names its header by range; without it the whole file
            // would be taken for the header and the media written twice.
            int64_t offset, length;
            if (parse_byte_range(m_doc.attribute(init, "range"), offset, length)) {
                track.init_range_offset = offset;
                track.init_range_length = length;
            }
        }
        const UrlResolver base(m_base);
        for (int32_t entry : children_named(m_doc, node, "SegmentURL")) {
            if (full(track)) return;
            const std::string media = m_doc.attribute(entry, "media");
            add(track, media.empty() ? m_base : base.resolve(media), 0);
            int64_t offset, length;
            if (parse_byte_range(m_doc.attribute(entry, "mediaRange"), offset, length)) {
                track.segments.set_range(track.segments.size() - 1, offset, length);
            }
        }
    }

public:
    // A track that was built yielded more segments than kMaxStreamSegments.
    bool over() const { return m_over; }

private:
    const XmlDocument& m_doc;
    std::string_view m_manifest_url;
    double m_total;
    DashLiveClock m_clock;
    std::string m_base;
    std::string m_id;
    int64_t m_bandwidth = 0;
    bool m_over = false;
};

} // namespace

std::vector<int32_t> children_named(const XmlDocument& doc, int32_t node, std::string_view name) {
    std::vector<int32_t> out;
    for (int32_t child : doc.nodes[node].children) {
        if (doc.nodes[child].name == name) out.push_back(child);
    }
    return out;
}

std::string expand_template(std::string_view pattern, std::string_view representation_id, int64_t bandwidth,
                            int64_t number, int64_t time) {
    std::string out;
    size_t i = 0;
    while (i < pattern.size()) {
        const size_t open = pattern.find('$', i);
        const size_t close = open == std::string_view::npos ? open : pattern.find('$', open + 1);
        if (close == std::string_view::npos) {
            out.append(pattern.substr(i));
            break;
        }
        out.append(pattern.substr(i, open - i));
        const std::string_view identifier = pattern.substr(open + 1, close - open - 1);
        const size_t percent = identifier.find('%');
        const std::string_view name = identifier.substr(0, percent);
        const std::string_view format = percent == std::string_view::npos ? "" : identifier.substr(percent);
        if (identifier.empty())
            out += '$';
        else if (name == "RepresentationID")
            out.append(representation_id);
        else if (name == "Bandwidth")
            out += format_number(bandwidth, format);
        else if (name == "Number")
            out += format_number(number, format);
        else if (name == "Time")
            out += format_number(time, format);
        else
            out.append(pattern.substr(open, close - open + 1));
        i = close + 1;
    }
    return out;
}

TrackPlan build_dash_track(const XmlDocument& doc, std::string_view manifest_url, double total_seconds,
                           const DashLiveClock& clock, const DashTrackSource& source, bool& over) {
    TrackBuilder builder(doc, manifest_url, total_seconds, clock);
    TrackPlan track = builder.build(source);
    if (builder.over()) over = true;
    return track;
}

} // namespace twk
