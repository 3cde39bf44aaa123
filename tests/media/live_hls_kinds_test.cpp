// Live HLS beyond plain MPEG-TS: a fragmented MP4 stream whose initialisation segment changes
// while the program is away, AES-128 segments whose key changes from one reload to the next, and
// a dynamic DASH manifest that gains a separate audio set mid-recording, which ends it at once
// rather than recording on without sound. The server is a plain table of files and a playlist
// the test rewrites.
#include "media/mp4_init.h"
#include "media/segment_fetcher.h"

#include "tests/media/hls_crypto.h"
#include "tests/media/media_tools.h"
#include "tests/media/stream_engine.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <vector>

namespace twk {
namespace {

using test::StreamEngine;
using test::TempDir;
using test::wait_until;

constexpr int64_t kWaitMs = 30000;
constexpr size_t kPacketsPerSegment = 20; // 2 s at 10 frames a second

// Serves the playlist ("/live.m3u8", or the path given) as the test last set it and any other
// path from its table of files.
class PlaylistServer {
public:
    explicit PlaylistServer(std::string playlist_path = "/live.m3u8") : m_path(std::move(playlist_path)) {}
    std::string url() const { return m_server.url(m_path); }
    void set_playlist(std::string text) {
        std::lock_guard lock(m_lock);
        m_playlist = std::move(text);
        ++m_version;
    }
    void put(const std::string& path, std::string body) {
        std::lock_guard lock(m_lock);
        m_files[path] = std::move(body);
    }
    // Playlist answers given since the playlist was last set.
    int loads_of_current() const {
        std::lock_guard lock(m_lock);
        return m_loads_of_version;
    }
    std::vector<std::string> served() const {
        std::lock_guard lock(m_lock);
        return m_served;
    }

private:
    void serve(test::ScriptPeer& peer) {
        for (std::string request; peer.read_request(request);) {
            const std::string path = test::request_path(request);
            std::unique_lock lock(m_lock);
            std::string answer;
            if (path == m_path) {
                if (m_loaded_version != m_version) m_loads_of_version = 0;
                m_loaded_version = m_version;
                ++m_loads_of_version;
                answer = test::http_response("200 OK", "Content-Type: application/vnd.apple.mpegurl\r\n",
                                             m_playlist);
            } else if (auto file = m_files.find(path); file != m_files.end()) {
                m_served.push_back(path);
                answer = test::http_response("200 OK", "", file->second);
            } else {
                answer = test::http_response("404 Not Found", "", "");
            }
            lock.unlock();
            peer.send(answer);
        }
    }

    const std::string m_path;
    mutable std::mutex m_lock;
    std::string m_playlist;
    int m_version = 0;
    int m_loaded_version = -1;
    int m_loads_of_version = 0;
    std::map<std::string, std::string> m_files;
    std::vector<std::string> m_served;
    test::ScriptServer m_server{[this](test::ScriptPeer& peer) { serve(peer); }};
};

// A live media playlist: 2 s segments from `first_sequence`, each line of `lines` being a URI or
// a tag line (starting with "#") put before the next URI.
std::string live_playlist(uint64_t first_sequence, const std::vector<std::string>& lines,
                          bool ended = false) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:" +
                       std::to_string(first_sequence) + "\n";
    for (const std::string& line : lines)
        text += line.starts_with("#") ? line + "\n" : "#EXTINF:2.000,\n" + line + "\n";
    if (ended) text += "#EXT-X-ENDLIST\n";
    return text;
}

class LiveHlsKinds : public ::testing::Test {
protected:
    void SetUp() override {
        StreamTiming timing;
        timing.first_backoff_ms = 1;
        timing.longest_backoff_ms = 4;
        timing.live_wait_scale = 0.002;
        set_stream_timing(timing);
    }
    void TearDown() override { set_stream_timing(StreamTiming{}); }

    TempDir dir;
};

// --- fragmented MP4 whose initialisation segment changes across a restart ---

// Two encodings of 2 s fMP4 segments cut by ffmpeg: "a" at 64x48 and "c" at 96x64 (other codec
// settings), each an init file and eight segments.
struct Fmp4Media {
    TempDir dir;
    std::string error;
    std::map<std::string, std::string> init;                  // by encoding
    std::map<std::string, std::vector<std::string>> segments; // by encoding
};

const Fmp4Media& fmp4_media() {
    static Fmp4Media* made = [] {
        auto* m = new Fmp4Media;
        for (const auto& [name, size] : {std::pair<std::string, std::string>{"a", "64x48"}, {"c", "96x64"}}) {
            m->error = test::run_ffmpeg(m->dir.path(), {"-f",
                                                        "lavfi",
                                                        "-i",
                                                        "testsrc=size=" + size + ":rate=10",
                                                        "-t",
                                                        "16",
                                                        "-c:v",
                                                        "libx264",
                                                        "-preset",
                                                        "ultrafast",
                                                        "-g",
                                                        "20",
                                                        "-sc_threshold",
                                                        "0",
                                                        "-f",
                                                        "hls",
                                                        "-hls_time",
                                                        "2",
                                                        "-hls_list_size",
                                                        "0",
                                                        "-hls_segment_type",
                                                        "fmp4",
                                                        "-hls_fmp4_init_filename",
                                                        name + "_init.mp4",
                                                        "-hls_segment_filename",
                                                        name + "%d.m4s",
                                                        name + ".m3u8"});
            if (!m->error.empty()) break;
            m->init[name] = test::read_file(m->dir.file(name + "_init.mp4"));
            for (int i = 0; test::file_exists(m->dir.file(name + std::to_string(i) + ".m4s")); ++i)
                m->segments[name].push_back(test::read_file(m->dir.file(name + std::to_string(i) + ".m4s")));
        }
        return m;
    }();
    return *made;
}

// The same initialisation segment with another creation time in its `mvhd`: other bytes, the
// same tracks and codec settings (an encoder restarted with the same configuration).
std::string restamped(std::string init) {
    const size_t mvhd = init.find("mvhd");
    if (mvhd != std::string::npos && mvhd + 12 <= init.size()) init[mvhd + 8] ^= 0x5A;
    return init;
}

TEST_F(LiveHlsKinds, ANewInitSegmentAfterARestartIsFollowedOrEndsTheRecordingCleanly) {
    const Fmp4Media& media = fmp4_media();
    ASSERT_EQ(media.error, "");
    ASSERT_GE(media.segments.at("a").size(), 8u);
    ASSERT_GE(media.segments.at("c").size(), 8u);
    struct Case {
        const char* name;
        std::string init;     // what the restarted encoder's EXT-X-MAP names
        std::string encoding; // whose segments it lists from 6 on
        bool fits;
    };
    const Case cases[] = {
        {"the same settings", restamped(media.init.at("a")), "a", true},
        {"another picture size", media.init.at("c"), "c", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        PlaylistServer server;
        server.put("/a.mp4", media.init.at("a"));
        server.put("/b.mp4", c.init);
        for (int i = 0; i < 8; ++i) {
            server.put("/a" + std::to_string(i) + ".m4s", media.segments.at("a")[i]);
            server.put("/b" + std::to_string(i) + ".m4s", media.segments.at(c.encoding)[i]);
        }
        const std::string journal = folder.file("state/tasks.json");
        std::string recorded = media.init.at("a");
        int32_t id = 0;
        std::string output;
        {
            server.set_playlist(
                live_playlist(0, {"#EXT-X-MAP:URI=\"a.mp4\"", "a0.m4s", "a1.m4s", "a2.m4s", "a3.m4s"}));
            StreamEngine engine(folder.path(), journal);
            id = engine.add(server.url(), 1, ",\"liveFromStart\":true");
            ASSERT_TRUE(wait_until([&] { return server.served().size() == 5; }, kWaitMs));
            output = engine.entry(id)->task->progress.output_path();
        }
        for (int i = 0; i < 4; ++i)
            recorded += media.segments.at("a")[i];
        ASSERT_TRUE(test::read_file(output) == recorded);

        // Back later: the encoder started over with the initialisation segment of the case.
        server.set_playlist(
            live_playlist(6, {"#EXT-X-MAP:URI=\"b.mp4\"", "b6.m4s", "b7.m4s"}, /*ended=*/true));
        StreamEngine engine(folder.path(), journal);
        engine_resume(engine.engine(), id);
        ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
        const auto task = engine.entry(id)->task;
        EXPECT_EQ(task->progress.output_path(), output);
        size_t segments = 4;
        if (c.fits) {
            EXPECT_EQ(task->progress.status(), "done");
            recorded += media.segments.at("a")[6] + media.segments.at("a")[7];
            segments += 2;
        } else {
            EXPECT_EQ(task->progress.status(),
                      "error: the stream's format changed (a new initialization segment with "
                      "other tracks or codec settings); the recording ends here");
            EXPECT_FALSE(task->progress.created_output.load()); // a new run records into a file of its own
        }
        EXPECT_TRUE(test::read_file(output) == recorded)
            << "the file is not the first init and its fragments";
        std::string error;
        const auto packets = test::packet_sums(folder.path(), output, "v", error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(packets.size(), kPacketsPerSegment * segments);
    }
}

// --- a dynamic DASH manifest that gains a separate audio set ---

// A dynamic manifest listing `count` 2 s fragments of encoding "a" by $Number$, and with
// `audio` an audio AdaptationSet beside the video.
std::string live_manifest(int count, bool audio) {
    std::string text =
        "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"dynamic\" "
        "availabilityStartTime=\"2026-01-01T00:00:00Z\" minimumUpdatePeriod=\"PT2S\">\n<Period id=\"0\" "
        "start=\"PT0S\">\n<AdaptationSet contentType=\"video\" mimeType=\"video/mp4\">\n"
        "<SegmentTemplate timescale=\"10\" initialization=\"a.mp4\" media=\"a$Number$.m4s\" "
        "startNumber=\"0\"><SegmentTimeline><S t=\"0\" d=\"20\" r=\"" +
        std::to_string(count - 1) +
        "\"/></SegmentTimeline></SegmentTemplate>\n"
        "<Representation id=\"v\" bandwidth=\"100000\" width=\"64\" height=\"48\"/>\n</AdaptationSet>\n";
    if (audio)
        text += "<AdaptationSet contentType=\"audio\" mimeType=\"audio/mp4\">\n"
                "<SegmentTemplate timescale=\"10\" initialization=\"au.mp4\" media=\"au$Number$.m4s\" "
                "startNumber=\"0\"><SegmentTimeline><S t=\"0\" d=\"20\" r=\"" +
                std::to_string(count - 1) +
                "\"/></SegmentTimeline></SegmentTemplate>\n"
                "<Representation id=\"s\" bandwidth=\"64000\"/>\n</AdaptationSet>\n";
    return text + "</Period>\n</MPD>\n";
}

// The sound joins the stream as an AdaptationSet of its own: no outage to wait out, since
// recording on would leave it out. The recording ends at once, naming why, and its file is the
// video so far, whole.
TEST_F(LiveHlsKinds, ADashManifestThatGainsSeparateAudioEndsTheRecordingAtOnce) {
    const Fmp4Media& media = fmp4_media();
    ASSERT_EQ(media.error, "");
    PlaylistServer server("/live.mpd");
    server.put("/a.mp4", media.init.at("a"));
    for (int i = 0; i < 6; ++i)
        server.put("/a" + std::to_string(i) + ".m4s", media.segments.at("a")[i]);
    server.set_playlist(live_manifest(4, false));
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(server.url(), 1, ",\"liveFromStart\":true");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(wait_until([&] { return server.served().size() == 5; }, kWaitMs)); // init, 4 fragments
    const auto task = engine.entry(id)->task;
    ASSERT_EQ(task->progress.status(), "recording");

    server.set_playlist(live_manifest(6, true));
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs)) << task->progress.status();
    EXPECT_EQ(task->progress.status(),
              "error: the live stream gained a separate audio track; recording the video alone would leave "
              "out the sound, so the recording ends here");
    EXPECT_EQ(server.served().size(), 5u) << "nothing fetched after the audio came";
    const std::string output = task->progress.output_path();
    EXPECT_EQ(output, dir.file("live.mp4"));
    std::string recorded = media.init.at("a");
    for (int i = 0; i < 4; ++i)
        recorded += media.segments.at("a")[i];
    EXPECT_TRUE(test::read_file(output) == recorded) << "the file is not the init and the fragments so far";
    std::string error;
    EXPECT_EQ(test::packet_sums(dir.path(), output, "v", error).size(), 4 * kPacketsPerSegment);
    EXPECT_EQ(error, "");
    EXPECT_FALSE(task->progress.created_output.load()) << "a retry records into a file of its own";
}

// --- AES-128 segments whose key changes as the playlist slides ---

std::array<uint8_t, 16> key_of(char fill) {
    std::array<uint8_t, 16> key;
    key.fill(static_cast<uint8_t>(fill));
    return key;
}

// The IV a playlist without an IV attribute means: the media sequence, big-endian.
std::array<uint8_t, 16> sequence_iv(uint8_t sequence) {
    std::array<uint8_t, 16> iv{};
    iv[15] = sequence;
    return iv;
}

// Three keys one after the other across three loads, the last one without an IV (the media
// sequence is the IV). Every segment is decrypted with its own key, each key is fetched once,
// and the init segment (listed before the first key) stays clear.
TEST_F(LiveHlsKinds, EncryptedSegmentsFollowTheKeyAcrossReloads) {
    const Fmp4Media& media = fmp4_media();
    ASSERT_EQ(media.error, "");
    const auto& plain = media.segments.at("a");
    PlaylistServer server;
    server.put("/init.mp4", media.init.at("a"));
    server.put("/k1", std::string(16, '1'));
    server.put("/k2", std::string(16, '2'));
    server.put("/k3", std::string(16, '3'));
    const std::array<char, 6> key_names = {'1', '1', '1', '2', '2', '3'};
    for (int i = 0; i < 6; ++i) {
        const auto iv = i < 5 ? test::kIv : sequence_iv(static_cast<uint8_t>(i));
        server.put("/s" + std::to_string(i) + ".m4s", test::encrypt(plain[i], key_of(key_names[i]), iv));
    }
    const std::string map = "#EXT-X-MAP:URI=\"init.mp4\"";
    const auto key = [](int n, bool with_iv) {
        return "#EXT-X-KEY:METHOD=AES-128,URI=\"k" + std::to_string(n) + "\"" +
               (with_iv ? ",IV=" + test::iv_attribute() : std::string());
    };
    server.set_playlist(live_playlist(0, {map, key(1, true), "s0.m4s", "s1.m4s", "s2.m4s"}));
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(server.url(), 1, ",\"liveFromStart\":true");
    ASSERT_TRUE(wait_until([&] { return server.served().size() == 5; }, kWaitMs)); // init, a key, 3 segments
    server.set_playlist(
        live_playlist(1, {map, key(1, true), "s1.m4s", "s2.m4s", key(2, true), "s3.m4s", "s4.m4s"}));
    ASSERT_TRUE(wait_until([&] { return server.served().size() == 8; }, kWaitMs));
    server.set_playlist(
        live_playlist(3, {map, key(2, true), "s3.m4s", "s4.m4s", key(3, false), "s5.m4s"}, true));
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    const auto task = engine.entry(id)->task;
    EXPECT_EQ(task->progress.status(), "done");
    // Each key right after the first segment it opens.
    EXPECT_EQ(server.served(), (std::vector<std::string>{"/init.mp4", "/s0.m4s", "/k1", "/s1.m4s", "/s2.m4s",
                                                         "/s3.m4s", "/k2", "/s4.m4s", "/s5.m4s", "/k3"}));
    std::string expected = media.init.at("a");
    for (int i = 0; i < 6; ++i)
        expected += plain[i];
    EXPECT_TRUE(test::read_file(task->progress.output_path()) == expected)
        << "the recording is not the clear segments";
    std::string error;
    EXPECT_EQ(test::packet_sums(dir.path(), task->progress.output_path(), "v", error).size(),
              6 * kPacketsPerSegment);
    EXPECT_EQ(error, "");
}

TEST(Mp4Init, FragmentsFitAnInitOfTheSameTracksAndCodecSettings) {
    const Fmp4Media& media = fmp4_media();
    ASSERT_EQ(media.error, "");
    const std::string& a = media.init.at("a");
    std::string other_timescale = a;
    const size_t mdhd = other_timescale.find("mdhd");
    ASSERT_NE(mdhd, std::string::npos);
    other_timescale[mdhd + 4 + 12 + 3] ^= 1; // version 0: the timescale's last byte
    std::string other_track = a;
    const size_t tkhd = other_track.find("tkhd");
    ASSERT_NE(tkhd, std::string::npos);
    other_track[tkhd + 4 + 12 + 3] ^= 1; // version 0: the track ID's last byte
    struct Case {
        const char* name;
        std::string next;
        bool fits;
    };
    const Case cases[] = {
        {"the same bytes", a, true},
        {"another creation time", restamped(a), true},
        {"another picture size", media.init.at("c"), false},
        {"another timescale", other_timescale, false},
        {"another track ID", other_track, false},
        {"no moov", a.substr(0, a.find("moov") - 4), false},
        {"cut short", a.substr(0, a.size() / 2), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(init_fits(a, c.next), c.fits);
    }
    EXPECT_FALSE(init_fits("", a));
    EXPECT_NE(init_digest(a), init_digest(restamped(a)));
    EXPECT_NE(init_digest(""), 0u);
}

} // namespace
} // namespace twk
