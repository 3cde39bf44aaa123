#include "media/dash_manifest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "media/dash_segments.h"
#include "media/xml_reader.h"
#include "net/text.h"
#include "net/url.h" // trim_spaces

namespace twk {

namespace {

bool mime_begins_with(const XmlDocument& doc, int32_t node, std::string_view prefix) {
    return to_lower_ascii(doc.attribute(node, "mimeType")).starts_with(prefix);
}

bool counts_as_video(const XmlDocument& doc, int32_t set) {
    const std::string content_type = doc.attribute(set, "contentType");
    if (!content_type.empty()) return content_type == "video";
    if (mime_begins_with(doc, set, "video/")) return true;
    const auto representations = children_named(doc, set, "Representation");
    for (int32_t r : representations) {
        if (!doc.attribute(r, "width").empty()) return true;
    }
    return !representations.empty() && mime_begins_with(doc, representations.front(), "video/");
}

bool counts_as_audio(const XmlDocument& doc, int32_t set) {
    const std::string content_type = doc.attribute(set, "contentType");
    if (!content_type.empty()) return content_type == "audio";
    if (mime_begins_with(doc, set, "audio/")) return true;
    if (!doc.attribute(set, "audioSamplingRate").empty()) return true;
    const int32_t first = doc.first_child(set, "Representation");
    return first >= 0 &&
           (!doc.attribute(first, "audioSamplingRate").empty() || mime_begins_with(doc, first, "audio/"));
}

// The Representation with the highest bandwidth, the earlier one on a tie; -1 when there is none.
int32_t choose_representation(const XmlDocument& doc, int32_t set) {
    int32_t best = -1;
    int64_t best_bandwidth = 0;
    for (int32_t r : children_named(doc, set, "Representation")) {
        const int64_t bandwidth = doc.attribute_int(r, "bandwidth", 0);
        if (best < 0 || bandwidth > best_bandwidth) {
            best = r;
            best_bandwidth = bandwidth;
        }
    }
    return best;
}

} // namespace

double parse_iso_duration(std::string_view text) {
    if (text.size() < 2 || text[0] != 'P') return 0;
    double total = 0;
    bool time_part = false;
    size_t i = 1;
    while (i < text.size()) {
        if (text[i] == 'T') {
            time_part = true;
            ++i;
            continue;
        }
        const size_t start = i;
        while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.'))
            ++i;
        double number = lenient_double(text.substr(start, i - start));
        if (!std::isfinite(number)) number = 0;
        if (i >= text.size()) break;
        switch (text[i++]) {
        case 'H': total += number * 3600; break;
        case 'M': total += time_part ? number * 60 : number * 30 * 86400; break;
        case 'S': total += number; break;
        case 'D': total += number * 86400; break;
        default: break; // years, weeks: not counted
        }
    }
    return std::isfinite(total) ? total : 0;
}

double parse_iso_datetime(std::string_view text) {
    const std::string value = trim_spaces(std::string(text));
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
    double second = 0;
    if (std::sscanf(value.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &year, &month, &day, &hour, &minute, &second,
                    &used) != 6)
        return std::nan("");
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || !(second >= 0) ||
        second >= 61)
        return std::nan("");
    std::string_view zone = std::string_view(value).substr(static_cast<size_t>(used));
    double offset = 0;
    if (zone == "Z" || zone.empty()) {
    } else if ((zone[0] == '+' || zone[0] == '-') && zone.size() == 6 && zone[3] == ':') {
        const int h = lenient_int32(zone.substr(1, 2)), m = lenient_int32(zone.substr(4, 2));
        offset = (zone[0] == '-' ? -1 : 1) * (h * 3600.0 + m * 60.0);
    } else {
        return std::nan("");
    }
    struct tm when {};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    return static_cast<double>(::timegm(&when)) + second - offset;
}

StreamPlan parse_dash(std::string_view base_url, std::string_view text, double now) {
    StreamPlan plan;
    plan.kind = "dash";
    plan.container = "mp4";
    const XmlDocument doc = parse_xml(text);
    if (doc.root < 0 || doc.nodes[doc.root].name != "MPD") {
        plan.error = "not an MPD document";
        return plan;
    }
    const int32_t period = doc.first_child(doc.root, "Period");
    if (period < 0) {
        plan.error = "MPD has no Period";
        return plan;
    }
    double total = parse_iso_duration(doc.attribute(period, "duration"));
    if (!(total > 0)) total = parse_iso_duration(doc.attribute(doc.root, "mediaPresentationDuration"));

    const std::vector<int32_t> sets = children_named(doc, period, "AdaptationSet");
    int32_t video_set = -1;
    int32_t audio_set = -1;
    for (int32_t set : sets) {
        if (video_set < 0 && counts_as_video(doc, set))
            video_set = set;
        else if (audio_set < 0 && counts_as_audio(doc, set))
            audio_set = set;
    }
    if (video_set < 0) {
        if (sets.empty()) {
            plan.error = "MPD has no usable AdaptationSet";
            return plan;
        }
        video_set = sets.front();
    }
    // Without video the first set stands in as the main track; when that is the audio set, the
    // stream is audio alone and must not be fetched and muxed a second time as separate audio.
    if (audio_set == video_set) audio_set = -1;

    DashLiveClock clock;
    clock.dynamic = doc.attribute(doc.root, "type") == "dynamic";
    if (clock.dynamic) {
        if (now <= 0) now = static_cast<double>(std::time(nullptr));
        const double start = parse_iso_datetime(doc.attribute(doc.root, "availabilityStartTime"));
        clock.elapsed =
            std::isfinite(start) ? now - start - parse_iso_duration(doc.attribute(period, "start")) : 0;
        clock.depth = parse_iso_duration(doc.attribute(doc.root, "timeShiftBufferDepth"));
    }
    plan.live = clock.dynamic;
    bool over = false;
    const int32_t video_representation = choose_representation(doc, video_set);
    if (video_representation < 0) {
        plan.error = "video AdaptationSet has no Representation";
        return plan;
    }
    plan.video = build_dash_track(doc, base_url, total, clock,
                                  {doc.root, period, video_set, video_representation}, over);
    // A cut list would join into part of the stream reported as the whole.
    if (over) {
        plan.error = "manifest lists more than " + std::to_string(kMaxStreamSegments) + " segments";
        return plan;
    }
    plan.video.playlist_url = std::string(base_url);
    plan.video.ended = !plan.live;
    if (plan.live && plan.video.target_duration <= 0) {
        plan.video.target_duration = parse_iso_duration(doc.attribute(doc.root, "maxSegmentDuration"));
        if (plan.video.target_duration <= 0)
            plan.video.target_duration = parse_iso_duration(doc.attribute(doc.root, "minimumUpdatePeriod"));
    }
    // A live stream that has not finished its first segment yet is no error: it is reloaded.
    if (!plan.video.has_segments && !plan.live) {
        plan.error = "could not build video segment list";
        return plan;
    }
    if (audio_set >= 0) {
        const int32_t audio_representation = choose_representation(doc, audio_set);
        // A live recording appends one track as it arrives; the sound of another would be lost.
        if (audio_representation >= 0 && plan.live) {
            plan.error = kLiveSeparateAudio;
            return plan;
        }
        if (audio_representation >= 0) {
            TrackPlan audio = build_dash_track(doc, base_url, total, clock,
                                               {doc.root, period, audio_set, audio_representation}, over);
            if (over) {
                plan.error = "manifest lists more than " + std::to_string(kMaxStreamSegments) + " segments";
                return plan;
            }
            if (audio.has_segments) {
                plan.audio = std::move(audio);
                plan.has_separate_audio = true;
            }
        }
    }
    return plan;
}

} // namespace twk
