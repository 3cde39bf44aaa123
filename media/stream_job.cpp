#include "media/stream_job.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "media/dash_manifest.h"
#include "media/hls_playlist.h"

namespace twk {

namespace {

constexpr double kMaxEstimate = 9.2e18;
constexpr double kHeldEstimate = 9.0e18;

void add_track(const TrackPlan& track, bool audio, StreamJob& job) {
    for (size_t i = 0; i < track.segments.size(); ++i) {
        const MediaSegment& segment = track.segments[i];
        StreamPart part;
        part.audio = audio;
        part.index = i;
        part.uri = segment.uri;
        part.range_offset = segment.range_offset;
        part.range_length = segment.range_length;
        part.encrypted = segment.encrypted;
        part.key_uri = segment.key_uri;
        part.iv = segment.iv;
        part.estimate =
            segment.estimate > 0 ? segment.estimate : estimate_part_size(track.bandwidth, segment.duration);
        job.parts.push_back(std::move(part));
    }
}

StreamInit init_of(const TrackPlan& track) {
    return StreamInit{track.init_uri, track.init_range_offset, track.init_range_length};
}

std::string number(int64_t value) {
    char buffer[24];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

} // namespace

std::string StreamPart::file_name() const {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%s_%06zu.part", audio ? "a" : "v", index);
    return buffer;
}

std::string StreamJob::signature() const {
    std::string text = "container " + container + "\n";
    for (const auto* init : {&video_init, &audio_init})
        text +=
            "init " + number(init->range_offset) + " " + number(init->range_length) + " " + init->uri + "\n";
    static constexpr char kHex[] = "0123456789abcdef";
    for (const StreamPart& part : parts) {
        text += part.file_name() + " " + number(part.range_offset) + " " + number(part.range_length) + " ";
        if (part.encrypted) {
            for (uint8_t b : part.iv) {
                text += kHex[b >> 4];
                text += kHex[b & 15];
            }
            text += " " + part.key_uri + " ";
        }
        text += part.uri + "\n";
    }
    return text;
}

int64_t estimate_part_size(int64_t bandwidth, double duration_seconds) {
    const double estimate = static_cast<double>(bandwidth) * duration_seconds / 8;
    if (!std::isfinite(estimate) || estimate <= 0) return kDefaultPartEstimate;
    if (estimate >= kMaxEstimate) return static_cast<int64_t>(kHeldEstimate);
    // A fraction of a byte still counts as something to fetch.
    return std::max<int64_t>(1, static_cast<int64_t>(estimate));
}

StreamJob read_stream_job(std::string_view kind, std::string_view base_url, std::string_view text,
                          const StreamFetch& fetch) {
    StreamPlan plan = kind == "dash" ? parse_dash(base_url, text) : parse_hls(base_url, text, fetch);
    StreamJob job;
    if (!plan.error.empty()) {
        job.error = plan.error;
        return job;
    }
    if (plan.video.segments.empty()) {
        job.error = "manifest parse failed";
        return job;
    }
    job.container = plan.container;
    job.video_init = init_of(plan.video);
    add_track(plan.video, false, job);
    if (plan.has_separate_audio) {
        job.separate_audio = true;
        job.audio_init = init_of(plan.audio);
        add_track(plan.audio, true, job);
    }
    return job;
}

} // namespace twk
