#include "media/stream_job.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <mbedtls/sha256.h>

#include "media/dash_manifest.h"
#include "media/hls_playlist.h"

namespace twk {

namespace {

constexpr double kMaxEstimate = 9.2e18;
constexpr double kHeldEstimate = 9.0e18;

void fill_estimates(TrackPlan& track) {
    SegmentList& segments = track.segments;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (segments.estimate(i) <= 0)
            segments.set_estimate(i, estimate_part_size(track.bandwidth, segments.duration(i)));
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
    mbedtls_sha256_context sha;
    mbedtls_sha256_init(&sha);
    mbedtls_sha256_starts(&sha, 0);
    auto add = [&sha](std::string_view text) {
        mbedtls_sha256_update(&sha, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    };
    add("container " + container + "\n");
    for (const auto* init : {&video_init, &audio_init})
        add("init " + number(init->range_offset) + " " + number(init->range_length) + " " + init->uri + "\n");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line;
    for (size_t i = 0; i < part_count(); ++i) {
        const StreamPart part = this->part(i);
        const MediaSegment segment = part.segment();
        line =
            part.file_name() + " " + number(segment.range_offset) + " " + number(segment.range_length) + " ";
        if (segment.encrypted) {
            for (uint8_t b : segment.iv) {
                line += kHex[b >> 4];
                line += kHex[b & 15];
            }
            line += " " + segment.key_uri + " ";
        }
        line += segment.uri + "\n";
        add(line);
    }
    std::array<unsigned char, 32> digest{};
    mbedtls_sha256_finish(&sha, digest.data());
    mbedtls_sha256_free(&sha);
    std::string text = "parts " + std::to_string(part_count()) + " sha256 ";
    for (unsigned char b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text + "\n";
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
    // A live stream may not have its first segment yet; the recorder waits for it.
    if (plan.video.segments.empty() && !plan.live) {
        job.error = "manifest parse failed";
        return job;
    }
    job.container = plan.container;
    job.live = plan.live;
    job.kind = plan.kind;
    job.playlist_url = plan.video.playlist_url;
    job.target_duration = plan.video.target_duration;
    job.first_sequence = plan.video.first_sequence;
    job.video_init = init_of(plan.video);
    fill_estimates(plan.video);
    job.video = std::move(plan.video.segments);
    if (plan.has_separate_audio) {
        job.separate_audio = true;
        job.audio_init = init_of(plan.audio);
        fill_estimates(plan.audio);
        job.audio = std::move(plan.audio.segments);
    }
    return job;
}

} // namespace twk
