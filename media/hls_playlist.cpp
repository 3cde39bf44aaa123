#include "media/hls_playlist.h"

#include <cctype>
#include <cmath>
#include <unordered_map>

#include "net/url.h"

namespace twk {

namespace {

constexpr std::string_view kMediaSequenceTag = "#EXT-X-MEDIA-SEQUENCE:";
constexpr std::string_view kTargetDurationTag = "#EXT-X-TARGETDURATION:";
constexpr std::string_view kEndListTag = "#EXT-X-ENDLIST";
constexpr std::string_view kKeyTag = "#EXT-X-KEY:";
constexpr std::string_view kMapTag = "#EXT-X-MAP:";
constexpr std::string_view kByteRangeTag = "#EXT-X-BYTERANGE:";
constexpr std::string_view kInfTag = "#EXTINF:";
constexpr std::string_view kMediaTag = "#EXT-X-MEDIA:";
constexpr std::string_view kStreamInfTag = "#EXT-X-STREAM-INF:";

// Bandwidth given to a kept audio rendition: playlists rarely state one, and the driver only
// uses it to estimate segment sizes.
constexpr int64_t kAudioRenditionBandwidth = 128000;

// Segment names that mean fragmented MP4 when no EXT-X-MAP says so (case as written).
constexpr std::string_view kFragmentedExtensions[] = {".m4s",  ".mp4",  ".m4v", ".m4a",
                                                      ".cmfv", ".cmfa", ".cmf"};

struct Variant {
    int64_t bandwidth = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::string codecs;
    std::string audio_group;
    std::string uri; // as written
};

struct AudioRendition {
    std::string uri; // as written
    std::string language;
    bool is_default = false;
};

std::string value_or(const std::map<std::string, std::string>& attributes, const std::string& name,
                     std::string fallback) {
    auto it = attributes.find(name);
    return it == attributes.end() ? fallback : it->second;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// An IV attribute: hex digits after an optional "0x", right-aligned in 16 bytes; at most the last
// 32 digits count, an odd last digit does not.
std::array<uint8_t, 16> parse_iv(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    size_t count = text.size() / 2;
    if (count > 16) {
        text = text.substr(text.size() - 32);
        count = 16;
    }
    std::array<uint8_t, 16> iv{};
    for (size_t i = 0; i < count; ++i)
        iv[16 - count + i] = static_cast<uint8_t>(hex_value(text[2 * i]) * 16 + hex_value(text[2 * i + 1]));
    return iv;
}

std::array<uint8_t, 16> sequence_iv(uint64_t sequence) {
    std::array<uint8_t, 16> iv{};
    for (int i = 0; i < 8; ++i)
        iv[15 - i] = static_cast<uint8_t>(sequence >> (8 * i));
    return iv;
}

bool has_fragmented_extension(std::string_view uri) {
    uri = uri.substr(0, uri.find_first_of("?#"));
    for (std::string_view extension : kFragmentedExtensions) {
        if (uri.ends_with(extension)) return true;
    }
    return false;
}

bool in_range(int64_t value) { return value >= 0 && value <= kMaxRangeValue; }

// The key state that carries from segment to segment until the next EXT-X-KEY.
struct KeyState {
    bool encrypted = false;
    std::string uri;
    bool has_iv = false;
    std::array<uint8_t, 16> iv{};
};

bool apply_key_tag(std::string_view base_url, std::string_view attributes_text, KeyState& key,
                   std::string& error) {
    auto attributes = parse_attribute_list(attributes_text);
    const std::string method = value_or(attributes, "METHOD", "NONE");
    const std::string key_format = value_or(attributes, "KEYFORMAT", "identity");
    if (method == "NONE") {
        key = KeyState{};
        return true;
    }
    if (method != "AES-128" || !(key_format == "identity" || key_format.empty())) {
        error = "protected: unsupported DRM (METHOD=" + method;
        if (!key_format.empty()) error += ", KEYFORMAT=" + key_format;
        error += ")";
        return false;
    }
    key = KeyState{};
    key.encrypted = true;
    key.uri = resolve_url(base_url, value_or(attributes, "URI", ""));
    const std::string iv = value_or(attributes, "IV", "");
    if (!iv.empty()) {
        key.iv = parse_iv(iv);
        key.has_iv = true;
    }
    if (key.uri.empty()) {
        error = "protected: EXT-X-KEY without URI";
        return false;
    }
    return true;
}

void apply_map_tag(std::string_view base_url, std::string_view attributes_text, TrackPlan& track) {
    auto attributes = parse_attribute_list(attributes_text);
    track.fragmented = true;
    track.init_uri = resolve_url(base_url, value_or(attributes, "URI", ""));
    auto range = attributes.find("BYTERANGE");
    if (range == attributes.end()) return;
    const std::string_view text = range->second;
    const size_t at = text.find('@');
    const int64_t length = lenient_int64(text.substr(0, at));
    const int64_t offset = at == std::string_view::npos ? 0 : lenient_int64(text.substr(at + 1));
    if (in_range(length) && in_range(offset)) {
        track.init_range_offset = offset;
        track.init_range_length = length;
    }
}

// The index of the next line that names a URI, for every line: a variant's playlist is the first
// such line after its EXT-X-STREAM-INF.
std::vector<size_t> next_uri_lines(const std::vector<std::string>& lines) {
    std::vector<size_t> next(lines.size() + 1, lines.size());
    for (size_t i = lines.size(); i-- > 0;)
        next[i] = lines[i][0] != '#' ? i : next[i + 1];
    return next;
}

// The same URL once fragments are set aside.
bool same_resource(std::string_view a, std::string_view b) {
    return a.substr(0, a.find('#')) == b.substr(0, b.find('#'));
}

bool fetch_text(const FetchResource& fetch, const std::string& url, std::string& body, std::string& error) {
    if (!fetch) {
        error = "no fetch operation";
        return false;
    }
    return fetch(url, -1, -1, body, error);
}

// The variant with the highest bandwidth; on a tie the larger picture; then the earlier one.
const Variant& choose_variant(const std::vector<Variant>& variants) {
    const Variant* best = &variants.front();
    for (const Variant& v : variants) {
        const int64_t area = int64_t{v.width} * v.height;
        const int64_t best_area = int64_t{best->width} * best->height;
        if (v.bandwidth > best->bandwidth || (v.bandwidth == best->bandwidth && area > best_area)) best = &v;
    }
    return *best;
}

} // namespace

namespace {

// The lines that name a segment (neither blank nor a tag or comment), up to the segment cap.
size_t count_uri_lines(std::string_view text) {
    size_t count = 0;
    while (!text.empty() && count < kMaxStreamSegments) {
        const size_t first = text.find_first_not_of(" \t\r\n\f\v");
        if (first == std::string_view::npos) break;
        text.remove_prefix(first);
        if (text.front() != '#') ++count;
        const size_t lf = text.find('\n');
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
    return count;
}

} // namespace

bool LineReader::next(std::string& line) {
    while (!m_rest.empty()) {
        const size_t lf = m_rest.find('\n');
        std::string_view raw = m_rest.substr(0, lf);
        if (lf != std::string_view::npos && raw.ends_with('\r')) raw.remove_suffix(1);
        m_rest.remove_prefix(lf == std::string_view::npos ? m_rest.size() : lf + 1);
        line = trim_spaces(raw);
        if (!line.empty()) return true;
    }
    return false;
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    LineReader reader(text);
    for (std::string line; reader.next(line);)
        lines.push_back(line);
    return lines;
}

std::map<std::string, std::string> parse_attribute_list(std::string_view text) {
    std::map<std::string, std::string> attributes;
    size_t start = 0;
    while (start <= text.size()) {
        // One item: up to the next comma outside quotes; its first "=" outside quotes splits it.
        bool quoted = false;
        size_t equals = std::string_view::npos;
        size_t end = start;
        for (; end < text.size(); ++end) {
            const char c = text[end];
            if (c == '"') quoted = !quoted;
            if (quoted) continue;
            if (c == ',') break;
            if (c == '=' && equals == std::string_view::npos) equals = end;
        }
        if (equals != std::string_view::npos) {
            std::string name = trim_spaces(text.substr(start, equals - start));
            std::string value = trim_spaces(text.substr(equals + 1, end - equals - 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            for (char& c : name)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            attributes[std::move(name)] = std::move(value);
        }
        start = end + 1;
    }
    return attributes;
}

bool parse_media_playlist(std::string_view base_url, std::string_view text, TrackPlan& track,
                          std::string& error) {
    uint64_t sequence = 0;
    double pending_duration = 0;
    int64_t pending_length = -1;
    int64_t pending_offset = -1;
    KeyState key;
    bool map_seen = false;
    std::unordered_map<std::string, int64_t> next_offsets; // per URI, for ranges without "@"

    // Line by line, without a copy of the whole text, into a list sized once: a playlist may
    // list a million segments.
    track.segments.reserve(track.segments.size() + count_uri_lines(text));
    const UrlResolver base(base_url);
    LineReader lines(text);
    for (std::string line_text; lines.next(line_text);) {
        const std::string_view line = line_text;
        if (line.starts_with(kMediaSequenceTag)) {
            sequence = lenient_uint64(line.substr(kMediaSequenceTag.size()));
        } else if (line.starts_with(kTargetDurationTag)) {
            const double target = lenient_double(line.substr(kTargetDurationTag.size()));
            track.target_duration = std::isfinite(target) && target > 0 ? target : 0;
        } else if (line.starts_with(kEndListTag)) {
            track.ended = true;
        } else if (line.starts_with(kKeyTag)) {
            if (!apply_key_tag(base_url, line.substr(kKeyTag.size()), key, error)) {
                track.has_segments = !track.segments.empty();
                return false;
            }
        } else if (line.starts_with(kMapTag)) {
            apply_map_tag(base_url, line.substr(kMapTag.size()), track);
            map_seen = true;
        } else if (line.starts_with(kByteRangeTag)) {
            const std::string_view range = line.substr(kByteRangeTag.size());
            const size_t at = range.find('@');
            pending_length = lenient_int64(range.substr(0, at));
            pending_offset = at == std::string_view::npos ? -1 : lenient_int64(range.substr(at + 1));
        } else if (line.starts_with(kInfTag)) {
            pending_duration = lenient_double(line.substr(kInfTag.size()));
            if (!std::isfinite(pending_duration)) pending_duration = 0;
        } else if (line.starts_with("#")) {
            continue;
        } else {
            // Cutting the list would save part of the stream as if it were the whole of it.
            if (track.segments.size() >= kMaxStreamSegments) {
                error = "playlist lists more than " + std::to_string(kMaxStreamSegments) + " segments";
                track.has_segments = true;
                return false;
            }
            MediaSegment segment;
            segment.uri = base.resolve(line);
            segment.duration = pending_duration;
            // A range is applied only when a BYTERANGE tag gave a sane length; a range without
            // offset continues where the previous range of the same URI ended.
            if (in_range(pending_length)) {
                int64_t offset = pending_offset;
                if (offset == -1) {
                    auto it = next_offsets.find(segment.uri);
                    offset = it == next_offsets.end() ? 0 : it->second;
                }
                if (in_range(offset)) {
                    segment.range_offset = offset;
                    segment.range_length = pending_length;
                    next_offsets[segment.uri] = offset + pending_length;
                }
            }
            if (key.encrypted) {
                segment.encrypted = true;
                segment.key_uri = key.uri;
                segment.iv = key.has_iv ? key.iv : sequence_iv(sequence);
            }
            if (!map_seen && has_fragmented_extension(segment.uri)) track.fragmented = true;
            if (track.segments.empty()) track.first_sequence = sequence;
            track.segments.push_back(segment);
            ++sequence;
            pending_duration = 0;
            pending_length = -1;
            pending_offset = -1;
        }
    }
    track.has_segments = !track.segments.empty();
    return true;
}

StreamPlan parse_hls(std::string_view base_url, std::string_view text, const FetchResource& fetch) {
    StreamPlan plan;
    plan.kind = "hls";
    plan.container = "ts";
    if (text.find("#EXTM3U") == std::string_view::npos) {
        plan.error = "not an m3u8 (no #EXTM3U)";
        return plan;
    }

    if (text.find("#EXT-X-STREAM-INF") == std::string_view::npos) {
        if (!parse_media_playlist(base_url, text, plan.video, plan.error)) return plan;
        plan.video.playlist_url = std::string(base_url);
        plan.live = !plan.video.ended;
        plan.container = plan.video.fragmented ? "mp4" : "ts";
        // A live playlist may not list its first segment yet; it is reloaded.
        if (!plan.video.has_segments && !plan.live) plan.error = "empty media playlist";
        return plan;
    }

    // A master playlist: its variants and the audio renditions by group.
    const std::vector<std::string> lines = split_lines(text);
    const std::vector<size_t> next_uri = next_uri_lines(lines);
    std::vector<Variant> variants;
    std::map<std::string, AudioRendition> renditions;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.starts_with(kMediaTag)) {
            auto attributes = parse_attribute_list(line.substr(kMediaTag.size()));
            auto group = attributes.find("GROUP-ID");
            if (value_or(attributes, "TYPE", "") != "AUDIO" || group == attributes.end()) continue;
            AudioRendition rendition{value_or(attributes, "URI", ""), value_or(attributes, "LANGUAGE", ""),
                                     value_or(attributes, "DEFAULT", "") == "YES"};
            auto stored = renditions.find(group->second);
            if (stored == renditions.end())
                renditions.emplace(group->second, std::move(rendition));
            else if (rendition.is_default && !stored->second.is_default)
                stored->second = std::move(rendition);
        } else if (line.starts_with(kStreamInfTag)) {
            if (next_uri[i + 1] >= lines.size()) continue;
            auto attributes = parse_attribute_list(line.substr(kStreamInfTag.size()));
            Variant variant;
            variant.bandwidth = lenient_int64(value_or(attributes, "BANDWIDTH", ""));
            if (variant.bandwidth == 0 && attributes.count("AVERAGE-BANDWIDTH"))
                variant.bandwidth = lenient_int64(attributes["AVERAGE-BANDWIDTH"]);
            const std::string resolution = value_or(attributes, "RESOLUTION", "");
            const size_t x = resolution.find('x');
            if (x != std::string::npos) {
                variant.width = lenient_int32(std::string_view(resolution).substr(0, x));
                variant.height = lenient_int32(std::string_view(resolution).substr(x + 1));
            }
            variant.codecs = value_or(attributes, "CODECS", "");
            variant.audio_group = value_or(attributes, "AUDIO", "");
            variant.uri = lines[next_uri[i + 1]];
            variants.push_back(std::move(variant));
        }
    }
    if (variants.empty()) {
        plan.error = "master playlist has no variants";
        return plan;
    }

    const Variant& chosen = choose_variant(variants);
    const std::string variant_url = resolve_url(base_url, chosen.uri);
    // A variant that is this playlist again would be read as a media playlist whose segments are
    // the variant lines: the download would be the playlist's own text.
    if (same_resource(variant_url, base_url)) {
        plan.error = "playlist refers to itself";
        return plan;
    }
    std::string body, fetch_error;
    if (!fetch_text(fetch, variant_url, body, fetch_error)) {
        plan.error = "fetch variant playlist failed: " + fetch_error;
        return plan;
    }
    // Variants are media playlists; one that is a master playlist again leads back here or on
    // to further masters, never to media.
    if (body.find(kStreamInfTag) != std::string::npos) {
        plan.error = "playlist refers to itself";
        return plan;
    }
    if (!parse_media_playlist(variant_url, body, plan.video, plan.error)) return plan;
    plan.video.playlist_url = variant_url;
    plan.live = !plan.video.ended;
    plan.video.bandwidth = chosen.bandwidth;
    plan.video.width = chosen.width;
    plan.video.height = chosen.height;
    plan.video.codecs = chosen.codecs;
    if (!plan.video.has_segments) {
        plan.error = "variant playlist empty";
        return plan;
    }

    // The rendition of the variant's audio group, when it has a playlist of its own. Any failure
    // here only leaves the audio out: the variant may well carry sound itself.
    auto rendition = chosen.audio_group.empty() ? renditions.end() : renditions.find(chosen.audio_group);
    // A live recording appends one track as it arrives; the sound of another would be lost.
    if (plan.live && rendition != renditions.end() && !rendition->second.uri.empty()) {
        plan.error = "live stream with separate audio: its audio rendition (EXT-X-MEDIA TYPE=AUDIO) has a "
                     "playlist of its own, and recording the video alone would leave out the sound";
        return plan;
    }
    if (rendition != renditions.end() && !rendition->second.uri.empty()) {
        const std::string audio_url = resolve_url(base_url, rendition->second.uri);
        std::string audio_body, audio_error;
        TrackPlan audio;
        if (!same_resource(audio_url, base_url) && fetch_text(fetch, audio_url, audio_body, audio_error) &&
            audio_body.find(kStreamInfTag) == std::string::npos &&
            parse_media_playlist(audio_url, audio_body, audio, audio_error) && audio.has_segments) {
            audio.language = rendition->second.language;
            audio.bandwidth = kAudioRenditionBandwidth;
            plan.audio = std::move(audio);
            plan.has_separate_audio = true;
        }
    }
    // Only two fragmented MP4 tracks can be remuxed into one file.
    if (plan.has_separate_audio && !(plan.video.fragmented && plan.audio.fragmented)) {
        plan.audio = TrackPlan{};
        plan.has_separate_audio = false;
    }
    plan.container = plan.video.fragmented || plan.has_separate_audio ? "mp4" : "ts";
    return plan;
}

} // namespace twk
