// Whole stream downloads of real media: ffmpeg's hls and dash muxers write a short synthetic
// clip (testsrc2 and sine, 3 s at 128x72, a key frame every second), nginx serves it on loopback,
// and an engine downloads it with the stream driver. Each output must hold exactly the bytes the
// segments carry (decrypted by openssl where they are encrypted), and ffprobe and a full decode
// must accept it with the source's streams and duration.
#include "tests/media/media_tools.h"
#include "tests/media/stream_engine.h"
#include "tests/support/nginx_site.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace twk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::run_ffmpeg;
using test::StreamEngine;
using test::TempDir;

constexpr const char* kKeyHex = "30313233343536373839616263646566"; // "0123456789abcdef"
constexpr const char* kIvHex = "f0e1d2c3b4a5968778695a4b3c2d1e0f";
constexpr double kFrameSeconds = 0.1; // the clip runs at 10 frames a second

struct Probe {
    std::string streams; // "video:h264 audio:aac"
    double duration = 0;
};

Probe probe(const std::string& dir, const std::string& file, std::string& error) {
    std::string text = test::program_output(dir,
                                            {"ffprobe", "-v", "error", "-show_entries",
                                             "stream=index,codec_type,codec_name:format=duration", "-of",
                                             "default=noprint_wrappers=1", file},
                                            error);
    // An MPEG-TS lists its streams once more under its program: each index counts once.
    std::map<int, std::string> streams;
    Probe out;
    std::istringstream lines(text);
    std::string line, name;
    int index = 0;
    while (std::getline(lines, line)) {
        if (line.starts_with("index=")) index = std::atoi(line.c_str() + 6);
        if (line.starts_with("codec_name=")) name = line.substr(11);
        if (line.starts_with("codec_type=")) streams[index] = line.substr(11) + ":" + name;
        if (line.starts_with("duration=")) out.duration = std::strtod(line.c_str() + 9, nullptr);
    }
    for (const auto& [i, stream] : streams)
        out.streams += (out.streams.empty() ? "" : " ") + stream;
    return out;
}

// Empty when ffmpeg decodes every frame of `file` without a complaint.
std::string decode_errors(const std::string& dir, const std::string& file) {
    std::string failure =
        test::run_program(dir, {"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
    return failure.empty() ? read_file(dir + "/tool.log") : failure;
}

class StreamPeers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        fs::create_directories(s_dir->file("www"));
        fs::create_directories(s_dir->file("nginx"));
        s_error = run_ffmpeg(s_dir->file("www"),
                             {"-f",      "lavfi",     "-i",   "testsrc2=size=128x72:rate=10",
                              "-f",      "lavfi",     "-i",   "sine=frequency=440:sample_rate=22050",
                              "-t",      "3",         "-c:v", "libx264",
                              "-preset", "ultrafast", "-g",   "10",
                              "-c:a",    "aac",       "-b:a", "32k",
                              "src.mp4"});
        if (s_error.empty()) s_nginx = new test::NginxSite();
        if (s_nginx && !s_nginx->start(s_dir->file("www"), s_dir->file("nginx"), "", s_error))
            s_error = "nginx: " + s_error;
    }
    static void TearDownTestSuite() {
        delete s_nginx;
        s_nginx = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_EQ(s_error, ""); }

    // Runs ffmpeg on the clip in a fresh served folder www/<name>.
    static std::string mux(const std::string& name, std::vector<std::string> args) {
        fs::create_directories(s_dir->file("www/" + name));
        args.insert(args.begin(), {"-i", "../src.mp4", "-c", "copy"});
        return run_ffmpeg(s_dir->file("www/" + name), args);
    }
    static std::string served(const std::string& relative) { return s_dir->file("www/" + relative); }
    static std::string url(const std::string& relative) { return s_nginx->url("/" + relative); }
    // The files of www/<name> whose names start with `prefix` and end with `suffix`, sorted.
    static std::vector<std::string> files(const std::string& name, const std::string& prefix,
                                          const std::string& suffix) {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(served(name))) {
            const std::string file = entry.path().filename();
            if (file.starts_with(prefix) && file.ends_with(suffix)) out.push_back(entry.path());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    static std::string joined(const std::vector<std::string>& paths) {
        std::string out;
        for (const auto& path : paths)
            out += read_file(path);
        return out;
    }

    // The output has the source's streams (`streams`), its duration within a frame, and decodes.
    static void expect_playable(const std::string& path, const std::string& streams) {
        std::string error;
        const Probe source = probe(served(""), served("src.mp4"), error);
        ASSERT_EQ(error, "");
        const Probe out = probe(served(""), path, error);
        ASSERT_EQ(error, "");
        EXPECT_EQ(out.streams, streams);
        EXPECT_NEAR(out.duration, source.duration, kFrameSeconds);
        EXPECT_EQ(decode_errors(served(""), path), "");
    }

    static TempDir* s_dir;
    static test::NginxSite* s_nginx;
    static std::string s_error;
};

TempDir* StreamPeers::s_dir = nullptr;
test::NginxSite* StreamPeers::s_nginx = nullptr;
std::string StreamPeers::s_error;

TEST_F(StreamPeers, SingleTrackStreamsJoinToTheSegmentsBytes) {
    const std::vector<std::string> hls = {"-f", "hls", "-hls_time", "1", "-hls_list_size", "0"};
    auto with = [](std::vector<std::string> a, std::vector<std::string> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string manifest;
        std::string extra; // more start-request members
        std::string output;
        std::function<std::string(const std::string&)> expected; // from the served folder's name
        std::string streams;
    } cases[] = {
        {"hls-ts", with(hls, {"-hls_segment_filename", "seg%03d.ts", "index.m3u8"}), "index.m3u8", "",
         "index.ts", [](const std::string& n) { return joined(files(n, "seg", ".ts")); },
         "video:h264 audio:aac"},
        {"hls-fmp4",
         with(hls, {"-hls_segment_type", "fmp4", "-hls_segment_filename", "seg%03d.m4s", "index.m3u8"}),
         "index.m3u8", "", "index.mp4",
         [](const std::string& n) {
             return read_file(served(n + "/init.mp4")) + joined(files(n, "seg", ".m4s"));
         },
         "video:h264 audio:aac"},
        {"hls-single",
         with(hls, {"-hls_flags", "single_file", "-hls_segment_filename", "all.ts", "index.m3u8"}),
         "index.m3u8", "", "index.ts", [](const std::string& n) { return read_file(served(n + "/all.ts")); },
         "video:h264 audio:aac"},
        {"dash-timeline",
         {"-map", "0:v", "-f", "dash", "-seg_duration", "1", "-use_timeline", "1", "manifest.mpd"},
         "manifest.mpd",
         "",
         "manifest.mp4",
         [](const std::string& n) {
             return read_file(served(n + "/init-stream0.m4s")) + joined(files(n, "chunk-stream0-", ".m4s"));
         },
         "video:h264"},
        // A manifest URL that does not end in .mpd, typed by the request.
        {"dash-number",
         {"-map", "0:v", "-f", "dash", "-seg_duration", "1", "-use_timeline", "0", "manifest.mpd"},
         "manifest.mpd?session=1",
         ",\"type\":\"dash\",\"filename\":\"clip.mpd\"",
         "clip.mp4",
         [](const std::string& n) {
             return read_file(served(n + "/init-stream0.m4s")) + joined(files(n, "chunk-stream0-", ".m4s"));
         },
         "video:h264"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mux(c.name, c.args), "");
        TempDir out;
        StreamEngine engine(out.path());
        const int32_t id = engine.add(url(c.name + "/" + c.manifest), 4, c.extra);
        ASSERT_TRUE(engine.wait_settled(id));
        auto task = engine.entry(id)->task;
        ASSERT_EQ(task->progress.status(), "done");
        EXPECT_EQ(task->progress.name(), c.output);
        const std::string expected = c.expected(c.name);
        ASSERT_GT(expected.size(), 1000u);
        EXPECT_TRUE(read_file(out.file(c.output)) == expected) << "the output is not the segments' bytes";
        test::expect_progress_tiles(*task, expected.size());
        EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 1)
            << "something beside the output is left";
        expect_playable(out.file(c.output), c.streams);
    }
}

TEST_F(StreamPeers, Aes128SegmentsEqualWhatOpensslDecrypts) {
    fs::create_directories(served("hls-aes/keys"));
    test::write_file(served("hls-aes/keys/key.bin"), "0123456789abcdef");
    test::write_file(served("hls-aes/keyinfo"),
                     "keys/key.bin\n" + served("hls-aes/keys/key.bin") + "\n" + kIvHex + "\n");
    ASSERT_EQ(mux("hls-aes", {"-f", "hls", "-hls_time", "1", "-hls_list_size", "0", "-hls_key_info_file",
                              "keyinfo", "-hls_segment_filename", "seg%03d.ts", "index.m3u8"}),
              "");
    std::string expected;
    for (const auto& segment : files("hls-aes", "seg", ".ts")) {
        std::string error;
        expected += test::program_output(
            served("hls-aes"), {"openssl", "aes-128-cbc", "-d", "-K", kKeyHex, "-iv", kIvHex, "-in", segment},
            error);
        ASSERT_EQ(error, "");
    }
    TempDir out;
    StreamEngine engine(out.path());
    ASSERT_EQ(engine.download(url("hls-aes/index.m3u8"), 4), "done");
    EXPECT_TRUE(read_file(out.file("index.ts")) == expected) << "the output is not the decrypted segments";
    expect_playable(out.file("index.ts"), "video:h264 audio:aac");
}

TEST_F(StreamPeers, SeparateAudioIsRemuxedWithTheSourcesPackets) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string manifest;
        std::string output;
        std::vector<std::string> video; // the chosen variant's init and segments, by prefix
        std::vector<std::string> audio;
    } cases[] = {
        // Two video variants (the larger one is chosen) sharing an fMP4 audio rendition.
        {"master",
         test::hls_master_with_audio_args(),
         "master.m3u8",
         "master.mp4",
         {"init_0.mp4", "s0_"},
         {"init_2.mp4", "s2_"}},
        {"dash-av",
         {"-map", "0:v", "-map", "0:a", "-f", "dash", "-seg_duration", "1", "-use_timeline", "1",
          "manifest.mpd"},
         "manifest.mpd",
         "manifest.mp4",
         {"init-stream0.m4s", "chunk-stream0-"},
         {"init-stream1.m4s", "chunk-stream1-"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mux(c.name, c.args), "");
        // The track as one fragmented file: what the packets must equal.
        for (const auto* track : {&c.video, &c.audio}) {
            test::write_file(served(c.name + "/" + (*track)[1] + "whole.mp4"),
                             read_file(served(c.name + "/" + (*track)[0])) +
                                 joined(files(c.name, (*track)[1], ".m4s")));
        }
        TempDir out;
        StreamEngine engine(out.path());
        const int32_t id = engine.add(url(c.name + "/" + c.manifest), 4);
        ASSERT_TRUE(engine.wait_settled(id));
        auto task = engine.entry(id)->task;
        ASSERT_EQ(task->progress.status(), "done");
        const std::string output = out.file(c.output);
        test::expect_progress_tiles(*task, fs::file_size(output));
        EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 1);
        std::string error;
        for (const auto& [kind, track] : {std::pair{"v", &c.video}, std::pair{"a", &c.audio}}) {
            const auto expected =
                test::packet_sums(served(""), served(c.name + "/" + (*track)[1] + "whole.mp4"), kind, error);
            ASSERT_EQ(error, "");
            ASSERT_GT(expected.size(), 10u);
            EXPECT_EQ(test::packet_sums(served(""), output, kind, error), expected) << kind;
            EXPECT_EQ(error, "");
            // Picture and sound start where they started in the source (its edit lists kept),
            // so that they stay in step.
            const double source_start = test::first_presented(
                served(""), served(c.name + "/" + (*track)[1] + "whole.mp4"), kind, error);
            EXPECT_NEAR(test::first_presented(served(""), output, kind, error), source_start, 0.001) << kind;
            EXPECT_EQ(error, "");
        }
        expect_playable(output, "video:h264 audio:aac");
    }
}

TEST_F(StreamPeers, TwkGetDownloadsAPlaylistLink) {
    ASSERT_EQ(mux("cli-ts", {"-f", "hls", "-hls_time", "1", "-hls_list_size", "0", "-hls_segment_filename",
                             "seg%03d.ts", "live.m3u8"}),
              "");
    TempDir out;
    std::string error;
    const std::string lines = test::program_output(
        out.path(), {TWK_BINARY, "get", "-x", "4", "-d", out.path(), url("cli-ts/live.m3u8")}, error);
    ASSERT_EQ(error, "");
    EXPECT_NE(lines.find("done  " + out.path() + "/live.ts"), std::string::npos) << lines;
    EXPECT_TRUE(read_file(out.file("live.ts")) == joined(files("cli-ts", "seg", ".ts")));
}

} // namespace
} // namespace twk
