// The remux against ffmpeg: fragments made by ffmpeg's fMP4 muxers from its synthetic sources
// (testsrc2 as H.264, sine as AAC), remuxed by us, then read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "media/mp4_remux.h"
#include "tests/media/media_tools.h"
#include "tests/support/temp_dir.h"

namespace twk {
namespace {

using test::read_file;
using test::TempDir;

// Runs `command` through the shell; its standard output, and whether it exited with 0.
std::pair<std::string, bool> run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {out, false};
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    return {out, ::pclose(pipe) == 0};
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

struct StreamInfo {
    std::string codec, type;
    double start = 0; // when the first sample is presented (test::first_presented)
    double duration = 0;
};

std::vector<StreamInfo> probe(const std::string& file) {
    auto [out, ok] = run("ffprobe -v error -show_entries stream=codec_name,codec_type,duration -of csv=p=0 " +
                         quoted(file));
    const std::string dir = std::filesystem::path(file).parent_path();
    std::string error;
    std::vector<StreamInfo> streams;
    for (const std::string& line : lines(out)) {
        size_t a = line.find(','), b = line.find(',', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string type = line.substr(a + 1, b - a - 1);
        streams.push_back({line.substr(0, a), type,
                           test::first_presented(dir, file, type == "video" ? "v" : "a", error),
                           std::atof(line.c_str() + b + 1)});
    }
    return streams;
}

std::vector<std::string> sorted_files(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename();
        if (name.starts_with(prefix) && name.ends_with(".m4s")) out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string concatenate(const std::string& path, const std::string& init,
                        const std::vector<std::string>& parts) {
    std::string bytes = read_file(init);
    for (const std::string& p : parts)
        bytes += read_file(p);
    test::write_file(path, bytes);
    return path;
}

constexpr double kFrame = 1.0 / 30;

// Three seconds of each, made once for all tests: HLS fMP4 init and segment files per track, and
// each track once more as one fragmented file with its moov in front.
class Mp4FfmpegTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<TempDir>();
        const std::string d = s_dir->path();
        const std::string hls = " -f hls -hls_segment_type fmp4 -hls_time 1 -hls_playlist_type vod";
        const std::string video =
            "ffmpeg -v error -y -f lavfi -i testsrc2=size=192x108:rate=30 -t 3 -c:v libx264 "
            "-preset veryfast -g 30 -bf 2 -pix_fmt yuv420p";
        const std::string audio =
            "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 -c:a aac -b:a 64k";
        const std::string frag =
            " -movflags frag_keyframe+empty_moov+default_base_moof -frag_duration 500000 ";
        s_made = run(video + hls + " -hls_fmp4_init_filename v_init.mp4 -hls_segment_filename " +
                     quoted(d + "/v_%03d.m4s") + " " + quoted(d + "/v.m3u8"))
                     .second &&
                 run(audio + hls + " -hls_fmp4_init_filename a_init.mp4 -hls_segment_filename " +
                     quoted(d + "/a_%03d.m4s") + " " + quoted(d + "/a.m3u8"))
                     .second &&
                 run(video + frag + quoted(d + "/v_frag.mp4")).second &&
                 run(audio + frag + quoted(d + "/a_frag.mp4")).second;
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    void SetUp() override {
        ASSERT_TRUE(s_made)
            << "ffmpeg (with libx264) could not make the test media; scripts/setup.sh installs it";
        const std::string d = s_dir->path();
        video_init = d + "/v_init.mp4";
        audio_init = d + "/a_init.mp4";
        video_parts = sorted_files(d, "v_");
        audio_parts = sorted_files(d, "a_");
        ASSERT_GE(video_parts.size(), 3u);
        ASSERT_GE(audio_parts.size(), 3u);
    }

    std::string file(const std::string& name) const { return m_out.file(name); }

    // The remuxed file must be read as two streams with the source's packets, and decode cleanly.
    void expect_matches_sources(const std::string& out, const std::string& video_source,
                                const std::string& audio_source) {
        auto streams = probe(out);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].codec, "h264");
        EXPECT_EQ(streams[0].type, "video");
        EXPECT_EQ(streams[1].codec, "aac");
        EXPECT_EQ(streams[1].type, "audio");
        auto video_streams = probe(video_source), audio_streams = probe(audio_source);
        ASSERT_EQ(video_streams.size(), 1u);
        ASSERT_EQ(audio_streams.size(), 1u);
        EXPECT_NEAR(streams[0].duration, video_streams[0].duration, kFrame);
        EXPECT_NEAR(streams[1].duration, audio_streams[0].duration, 1024.0 / 48000);
        // The source's edit lists carried over: picture and sound start where they started there,
        // so they stay in step.
        EXPECT_NEAR(streams[0].start, video_streams[0].start, 0.001);
        EXPECT_NEAR(streams[1].start, audio_streams[0].start, 0.001);

        auto [errors, decoded] = run("ffmpeg -v error -i " + quoted(out) + " -f null - 2>&1");
        EXPECT_TRUE(decoded);
        EXPECT_EQ(errors, "");

        std::string error;
        const std::string dir = m_out.path();
        auto video_sums = test::packet_sums(dir, out, "v", error);
        EXPECT_EQ(video_sums.size(), 90u);
        EXPECT_EQ(video_sums, test::packet_sums(dir, video_source, "v", error));
        auto audio_sums = test::packet_sums(dir, out, "a", error);
        EXPECT_GT(audio_sums.size(), 140u);
        EXPECT_EQ(audio_sums, test::packet_sums(dir, audio_source, "a", error));
    }

    static inline std::unique_ptr<TempDir> s_dir;
    static inline bool s_made = false;
    TempDir m_out;
    std::string video_init, audio_init;
    std::vector<std::string> video_parts, audio_parts;
};

TEST_F(Mp4FfmpegTest, HlsInitAndSegmentFiles) {
    std::string out = file("out.mp4"), error;
    ASSERT_TRUE(remux_tracks(out, video_init, video_parts, audio_init, audio_parts, error)) << error;
    expect_matches_sources(out, concatenate(file("v_src.mp4"), video_init, video_parts),
                           concatenate(file("a_src.mp4"), audio_init, audio_parts));
}

TEST_F(Mp4FfmpegTest, TracksWithoutInitFilesTakeTheMoovOfTheirFirstPart) {
    const std::string d = s_dir->path();
    std::string out = file("out.mp4"), error;
    ASSERT_TRUE(remux_tracks(out, "", {d + "/v_frag.mp4"}, "", {d + "/a_frag.mp4"}, error)) << error;
    expect_matches_sources(out, d + "/v_frag.mp4", d + "/a_frag.mp4");
}

TEST_F(Mp4FfmpegTest, StreamedOutputEqualsWholeFileOutput) {
    std::string whole = file("whole.mp4"), out = file("out.mp4"), error;
    ASSERT_TRUE(remux_tracks(whole, video_init, video_parts, audio_init, audio_parts, error,
                             RemuxReading::whole_files))
        << error;
    const std::string reference = read_file(whole);
    EXPECT_GT(reference.size(), 50000u);
    for (RemuxReading reading : {RemuxReading::streamed, RemuxReading::streamed_buffered}) {
        ASSERT_TRUE(remux_tracks(out, video_init, video_parts, audio_init, audio_parts, error, reading))
            << error;
        EXPECT_TRUE(read_file(out) == reference);
    }
}

} // namespace
} // namespace twk
