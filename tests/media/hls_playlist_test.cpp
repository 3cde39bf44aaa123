#include "media/hls_playlist.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace twk {
namespace {

using Bytes = std::array<uint8_t, 16>;

// Child playlists served from a table; anything else fails as a server would.
struct FakeServer {
    std::map<std::string, std::string> files;
    std::vector<std::string> fetched;

    FetchResource fetch() {
        return [this](const std::string& url, int64_t offset, int64_t length, std::string& body,
                      std::string& error) {
            EXPECT_EQ(offset, -1);
            EXPECT_EQ(length, -1);
            fetched.push_back(url);
            auto it = files.find(url);
            if (it == files.end()) {
                error = "http 404";
                return false;
            }
            body = it->second;
            return true;
        };
    }
};

StreamPlan media_plan(const std::string& text) {
    return parse_hls("http://cdn.test/live/index.m3u8", text, FetchResource());
}

TEST(HlsLines, SplitTrimAndSkipEmpty) {
    EXPECT_EQ(split_lines("#EXTM3U\r\n  a.ts \n\n\r\n\tb.ts"),
              (std::vector<std::string>{"#EXTM3U", "a.ts", "b.ts"}));
    EXPECT_EQ(split_lines("x\r\r\ny\n"), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(split_lines("").empty());
}

TEST(HlsAttributes, QuotedCommasCaseRepeatsAndBareItems) {
    auto a = parse_attribute_list(
        R"(method=AES-128, URI="k?a=1,b=2" ,IV=0x01,BARE,CODECS="avc1,mp4a",IV=0x02,Q="")");
    EXPECT_EQ(a["METHOD"], "AES-128");
    EXPECT_EQ(a["URI"], "k?a=1,b=2");
    EXPECT_EQ(a["CODECS"], "avc1,mp4a");
    EXPECT_EQ(a["IV"], "0x02");
    EXPECT_EQ(a["Q"], "");
    EXPECT_EQ(a.count("BARE"), 0u);
    // A lone quote is no quoted value; values are not unescaped otherwise.
    auto b = parse_attribute_list(R"(A=",B=x\"y)");
    EXPECT_EQ(b["A"], "\",B=x\\\"y");
    EXPECT_EQ(b.size(), 1u);
}

TEST(HlsMediaPlaylist, SegmentsResolvedWithDurationsAndContainer) {
    StreamPlan plan = media_plan("#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:3.5,title\nseg0.ts\n"
                                 "#EXTINF:garbage\n/abs/seg1.ts\n#EXT-X-UNKNOWN\nhttps://other.test/s2.ts\n");
    ASSERT_EQ(plan.error, "");
    EXPECT_EQ(plan.kind, "hls");
    EXPECT_EQ(plan.container, "ts");
    EXPECT_FALSE(plan.video.fragmented);
    EXPECT_FALSE(plan.has_separate_audio);
    ASSERT_EQ(plan.video.segments.size(), 3u);
    EXPECT_TRUE(plan.video.has_segments);
    EXPECT_EQ(plan.video.segments[0].uri, "http://cdn.test/live/seg0.ts");
    EXPECT_EQ(plan.video.segments[1].uri, "http://cdn.test/abs/seg1.ts");
    EXPECT_EQ(plan.video.segments[2].uri, "https://other.test/s2.ts");
    EXPECT_DOUBLE_EQ(plan.video.segments[0].duration, 3.5);
    EXPECT_DOUBLE_EQ(plan.video.segments[1].duration, 0);
    EXPECT_DOUBLE_EQ(plan.video.segments[2].duration, 0);
    EXPECT_EQ(plan.video.segments[0].range_offset, -1);
    EXPECT_EQ(plan.video.segments[0].range_length, -1);
    EXPECT_FALSE(plan.video.segments[0].encrypted);
}

TEST(HlsMediaPlaylist, Refusals) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"seg0.ts\nseg1.ts\n", "not an m3u8 (no #EXTM3U)"},
        {"#EXTM3U\n#EXT-X-ENDLIST\n", "empty media playlist"},
        {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128\ns.ts\n", "protected: EXT-X-KEY without URI"},
        {"#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\ns.ts\n",
         "protected: unsupported DRM (METHOD=SAMPLE-AES, KEYFORMAT=identity)"},
        {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"skd://"
         "k\",KEYFORMAT=\"com.apple.streamingkeydelivery\"\ns.ts\n",
         "protected: unsupported DRM (METHOD=AES-128, KEYFORMAT=com.apple.streamingkeydelivery)"},
        {"#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES-CTR,KEYFORMAT=\"\",URI=\"k\"\ns.ts\n",
         "protected: unsupported DRM (METHOD=SAMPLE-AES-CTR)"},
        // A refusal anywhere refuses the whole playlist, even after clear segments.
        {"#EXTM3U\na.ts\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\",KEYFORMAT=\"urn:uuid:edef8ba9\"\nb.ts\n",
         "protected: unsupported DRM (METHOD=SAMPLE-AES, KEYFORMAT=urn:uuid:edef8ba9)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(media_plan(c.text).error, c.error) << c.text;

    EXPECT_EQ(media_plan("# comment\n#EXTM3U\ns.ts\n").error, "") << "#EXTM3U on a later line";
    EXPECT_EQ(media_plan("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",KEYFORMAT=\"\"\ns.ts\n").error, "");
}

Bytes iv_of(std::initializer_list<std::pair<int, uint8_t>> bytes) {
    Bytes iv{};
    for (auto [index, value] : bytes)
        iv[index] = value;
    return iv;
}

TEST(HlsKeys, ExplicitAndImplicitIvs) {
    struct Case {
        const char* iv_attribute; // empty: no IV attribute
        Bytes expected;
    } cases[] = {
        {"0x0102", iv_of({{14, 0x01}, {15, 0x02}})},
        {"0X123", iv_of({{15, 0x12}})},
        {"0x1", Bytes{}},
        {"0x00112233445566778899AABBCCDDEEFF01020304",
         {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x02, 0x03, 0x04}},
        {"zz01", iv_of({{15, 0x01}})},
        {"", Bytes{}}, // implicit: sequence number 0
    };
    for (const auto& c : cases) {
        std::string text = "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"../keys/k1\"";
        if (*c.iv_attribute) text += std::string(",IV=") + c.iv_attribute;
        text += "\ns.ts\n";
        StreamPlan plan = media_plan(text);
        ASSERT_EQ(plan.error, "") << text;
        const MediaSegment& s = plan.video.segments.at(0);
        EXPECT_TRUE(s.encrypted);
        EXPECT_EQ(s.key_uri, "http://cdn.test/live/../keys/k1");
        EXPECT_EQ(s.iv, c.expected) << c.iv_attribute;
    }
}

TEST(HlsKeys, ImplicitIvFollowsMediaSequenceAndKeyStateCarries) {
    StreamPlan plan =
        media_plan("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:7\n#EXT-X-KEY:METHOD=AES-128,URI=\"k1\"\n"
                   "a.ts\nb.ts\nc.ts\n#EXT-X-KEY:METHOD=AES-128,URI=\"k2\",IV=0x05\nd.ts\ne.ts\n"
                   "#EXT-X-KEY:METHOD=NONE\nf.ts\n#EXT-X-KEY:METHOD=AES-128,URI=\"k3\"\ng.ts\n");
    ASSERT_EQ(plan.error, "");
    const auto& s = plan.video.segments;
    ASSERT_EQ(s.size(), 7u);
    EXPECT_EQ(s[0].iv, iv_of({{15, 7}}));
    EXPECT_EQ(s[2].iv, iv_of({{15, 9}}));
    EXPECT_EQ(s[2].key_uri, "http://cdn.test/live/k1");
    EXPECT_EQ(s[3].iv, iv_of({{15, 5}}));
    EXPECT_EQ(s[4].iv, iv_of({{15, 5}})) << "an explicit IV stays until the next key";
    EXPECT_EQ(s[4].key_uri, "http://cdn.test/live/k2");
    EXPECT_FALSE(s[5].encrypted);
    EXPECT_TRUE(s[5].key_uri.empty());
    EXPECT_EQ(s[6].iv, iv_of({{15, 13}})) << "a new key drops the old explicit IV";

    // The sequence number is 64 bits wide and big-endian in the IV.
    plan = media_plan(
        "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:72623859790382856\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\ns.ts\n");
    EXPECT_EQ(plan.video.segments.at(0).iv,
              iv_of({{8, 1}, {9, 2}, {10, 3}, {11, 4}, {12, 5}, {13, 6}, {14, 7}, {15, 8}}));
}

TEST(HlsByteRanges, ImplicitOffsetsContinuePerUri) {
    StreamPlan plan =
        media_plan("#EXTM3U\n#EXT-X-BYTERANGE:500@0\nall.ts\n#EXT-X-BYTERANGE:1000\nall.ts\n"
                   "#EXT-X-BYTERANGE:300\nother.ts\n#EXT-X-BYTERANGE:200\nall.ts\n"
                   "#EXT-X-BYTERANGE:10@7000\nall.ts\n#EXT-X-BYTERANGE:5\nall.ts\n"
                   "plain.ts\n#EXT-X-BYTERANGE:281474976710657@0\nbig.ts\n"
                   "#EXT-X-BYTERANGE:10@281474976710657\nfar.ts\n#EXT-X-BYTERANGE:-4@0\nneg.ts\n");
    ASSERT_EQ(plan.error, "");
    struct Expected {
        int64_t offset, length;
    } expected[] = {{0, 500},  {500, 1000}, {0, 300}, {1500, 200}, {7000, 10},
                    {7010, 5}, {-1, -1},    {-1, -1}, {-1, -1},    {-1, -1}};
    ASSERT_EQ(plan.video.segments.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(plan.video.segments[i].range_offset, expected[i].offset) << i;
        EXPECT_EQ(plan.video.segments[i].range_length, expected[i].length) << i;
    }
}

TEST(HlsFragmented, MapAndSegmentExtensions) {
    StreamPlan plan =
        media_plan("#EXTM3U\n#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"720@16\"\n#EXTINF:2,\nseg1.ts\n");
    ASSERT_EQ(plan.error, "");
    EXPECT_TRUE(plan.video.fragmented);
    EXPECT_EQ(plan.container, "mp4");
    EXPECT_EQ(plan.video.init_uri, "http://cdn.test/live/init.mp4");
    EXPECT_EQ(plan.video.init_range_offset, 16);
    EXPECT_EQ(plan.video.init_range_length, 720);
    EXPECT_EQ(
        media_plan("#EXTM3U\n#EXT-X-MAP:URI=\"i.mp4\",BYTERANGE=\"720\"\ns.m4s\n").video.init_range_offset,
        0);

    struct Case {
        const char* segment;
        bool fragmented;
    } cases[] = {{"seg1.m4s?token=1", true}, {"seg1.M4S", false}, {"a.cmfv#t=1", true}, {"a.m4a", true},
                 {"a.ts?x=.mp4", false},     {"a.mp4.ts", false}, {"a.cmf", true}};
    for (const auto& c : cases) {
        StreamPlan p = media_plan(std::string("#EXTM3U\n") + c.segment + "\n");
        EXPECT_EQ(p.video.fragmented, c.fragmented) << c.segment;
        EXPECT_EQ(p.container, c.fragmented ? "mp4" : "ts") << c.segment;
        EXPECT_TRUE(p.video.init_uri.empty());
    }
}

// A cut list would join into part of the stream reported as the whole.
TEST(HlsMediaPlaylist, APlaylistOverTheSegmentCapIsRefusedNotCut) {
    std::string text = "#EXTM3U\n";
    for (size_t i = 0; i <= kMaxStreamSegments; ++i)
        text += "s" + std::to_string(i) + ".ts\n";
    EXPECT_EQ(media_plan(text).error, "playlist lists more than 1000000 segments");
}

constexpr const char* kMaster = "http://cdn.test/show/master.m3u8";

TEST(HlsMaster, ChoosesByBandwidthThenAreaThenOrder) {
    struct Case {
        const char* variants;
        const char* chosen;
    } cases[] = {
        {"BANDWIDTH=800000,RESOLUTION=640x360\nlo.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION="
         "1280x720\nhi.m3u8",
         "hi.m3u8"},
        {"BANDWIDTH=800000,RESOLUTION=640x360\nfirst.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION="
         "640x360\n"
         "second.m3u8",
         "first.m3u8"},
        {"BANDWIDTH=900000\nbig.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=1920x1080\nhd.m3u8",
         "big.m3u8"},
        {"AVERAGE-BANDWIDTH=500\navg.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=400\nfour.m3u8", "avg.m3u8"},
        {"BANDWIDTH=7\n\n# comment\nafter-comment.m3u8", "after-comment.m3u8"},
    };
    for (const auto& c : cases) {
        FakeServer server;
        const std::string chosen_url = std::string("http://cdn.test/show/") + c.chosen;
        server.files[chosen_url] = "#EXTM3U\n#EXTINF:4,\nv0.ts\n";
        StreamPlan plan = parse_hls(kMaster, std::string("#EXTM3U\n#EXT-X-STREAM-INF:") + c.variants + "\n",
                                    server.fetch());
        ASSERT_EQ(plan.error, "") << c.variants;
        EXPECT_EQ(server.fetched, std::vector<std::string>{chosen_url});
        // Segments resolve against the variant playlist's own URL.
        EXPECT_EQ(plan.video.segments.at(0).uri, "http://cdn.test/show/v0.ts");
    }
}

TEST(HlsMaster, VariantDetailsAndSeparateFragmentedAudio) {
    FakeServer server;
    server.files["http://cdn.test/show/v/hi.m3u8"] =
        "#EXTM3U\n#EXT-X-MAP:URI=\"init.mp4\"\nseg0.m4s\nseg1.m4s\n#EXT-X-ENDLIST\n";
    server.files["http://cdn.test/show/a/de.m3u8"] =
        "#EXTM3U\n#EXT-X-MAP:URI=\"ainit.mp4\"\na0.m4s\n#EXT-X-ENDLIST\n";
    const std::string master =
        "#EXTM3U\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",LANGUAGE=\"en\",URI=\"a/en.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",LANGUAGE=\"de\",DEFAULT=YES,URI=\"a/de.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",LANGUAGE=\"fr\",DEFAULT=YES,URI=\"a/fr.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"aac\",URI=\"subs.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=1500000,RESOLUTION=1280x720,CODECS=\"avc1.64001f,mp4a.40.2\","
        "AUDIO=\"aac\"\nv/hi.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=500000,AUDIO=\"aac\"\nv/lo.m3u8\n";
    StreamPlan plan = parse_hls(kMaster, master, server.fetch());
    ASSERT_EQ(plan.error, "");
    EXPECT_EQ(plan.container, "mp4");
    EXPECT_EQ(plan.video.bandwidth, 1500000);
    EXPECT_EQ(plan.video.width, 1280);
    EXPECT_EQ(plan.video.height, 720);
    EXPECT_EQ(plan.video.codecs, "avc1.64001f,mp4a.40.2");
    EXPECT_EQ(plan.video.init_uri, "http://cdn.test/show/v/init.mp4");
    ASSERT_TRUE(plan.has_separate_audio) << "the first DEFAULT=YES rendition of the group";
    EXPECT_EQ(plan.audio.language, "de");
    EXPECT_EQ(plan.audio.bandwidth, 128000);
    EXPECT_EQ(plan.audio.init_uri, "http://cdn.test/show/a/ainit.mp4");
    EXPECT_EQ(plan.audio.segments.at(0).uri, "http://cdn.test/show/a/a0.m4s");
    EXPECT_EQ(plan.audio.width, 0);
    EXPECT_TRUE(plan.audio.codecs.empty());
}

TEST(HlsMaster, AudioIsLeftOutUnlessBothTracksAreFragmented) {
    struct Case {
        const char* video;
        const char* audio; // nullptr: the rendition's playlist cannot be fetched
        bool separate;
        const char* container;
    } cases[] = {
        {"#EXTM3U\nv.ts\n#EXT-X-ENDLIST\n", "#EXTM3U\n#EXT-X-MAP:URI=\"i.mp4\"\na.m4s\n", false, "ts"},
        {"#EXTM3U\nv.m4s\n#EXT-X-ENDLIST\n", "#EXTM3U\na.ts\n", false, "mp4"},
        {"#EXTM3U\nv.m4s\n#EXT-X-ENDLIST\n", nullptr, false, "mp4"},
        {"#EXTM3U\nv.m4s\n#EXT-X-ENDLIST\n", "#EXTM3U\n#EXT-X-ENDLIST\n", false, "mp4"},
        {"#EXTM3U\nv.m4s\n#EXT-X-ENDLIST\n", "#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\na.m4s\n",
         false, "mp4"},
        {"#EXTM3U\nv.m4s\n#EXT-X-ENDLIST\n", "#EXTM3U\na.m4s\n", true, "mp4"},
    };
    for (const auto& c : cases) {
        FakeServer server;
        server.files["http://cdn.test/show/v.m3u8"] = c.video;
        if (c.audio) server.files["http://cdn.test/show/a.m3u8"] = c.audio;
        StreamPlan plan = parse_hls(kMaster,
                                    "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"g\",URI=\"a.m3u8\"\n"
                                    "#EXT-X-STREAM-INF:BANDWIDTH=1,AUDIO=\"g\"\nv.m3u8\n",
                                    server.fetch());
        ASSERT_EQ(plan.error, "") << c.video << " / " << (c.audio ? c.audio : "404");
        EXPECT_EQ(plan.has_separate_audio, c.separate) << c.video << " / " << (c.audio ? c.audio : "404");
        EXPECT_EQ(plan.container, c.container);
        if (!c.separate) {
            EXPECT_TRUE(plan.audio.segments.empty());
            EXPECT_EQ(plan.audio.bandwidth, 0);
            EXPECT_TRUE(plan.audio.language.empty());
        }
    }
}

// A live variant whose audio comes as a playlist of its own would be recorded without sound:
// refused, whatever the containers, before the audio playlist is fetched. Audio within the
// variant (a rendition without URI) is recorded with it.
TEST(HlsMaster, ALiveVariantWithSeparateAudioIsRefused) {
    struct Case {
        const char* video;
        const char* media_uri;
        const char* error;
    } cases[] = {
        {"#EXTM3U\nv.ts\n", ",URI=\"a.m3u8\"",
         "live stream with separate audio: its audio rendition (EXT-X-MEDIA TYPE=AUDIO) has a playlist of "
         "its "
         "own, and recording the video alone would leave out the sound"},
        {"#EXTM3U\n#EXT-X-MAP:URI=\"i.mp4\"\nv.m4s\n", ",URI=\"a.m3u8\"",
         "live stream with separate audio: its audio rendition (EXT-X-MEDIA TYPE=AUDIO) has a playlist of "
         "its "
         "own, and recording the video alone would leave out the sound"},
        {"#EXTM3U\nv.ts\n", "", ""},
        {"#EXTM3U\nv.ts\n#EXT-X-ENDLIST\n", ",URI=\"a.m3u8\"", ""},
    };
    for (const auto& c : cases) {
        FakeServer server;
        server.files["http://cdn.test/show/v.m3u8"] = c.video;
        server.files["http://cdn.test/show/a.m3u8"] = "#EXTM3U\na.ts\n";
        const StreamPlan plan =
            parse_hls(kMaster,
                      std::string("#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"g\"") + c.media_uri +
                          "\n#EXT-X-STREAM-INF:BANDWIDTH=1,AUDIO=\"g\"\nv.m3u8\n",
                      server.fetch());
        EXPECT_EQ(plan.error, c.error) << c.video << c.media_uri;
        if (*c.error) {
            EXPECT_EQ(server.fetched, std::vector<std::string>{"http://cdn.test/show/v.m3u8"});
        }
    }
}

TEST(HlsMaster, Refusals) {
    FakeServer server;
    server.files["http://cdn.test/show/empty.m3u8"] = "#EXTM3U\n#EXT-X-ENDLIST\n";
    server.files["http://cdn.test/show/drm.m3u8"] = "#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\ns.ts\n";
    // A variant that leads back to a master playlist (itself, or one like it).
    server.files[kMaster] = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nmaster.m3u8\n";
    server.files["http://cdn.test/show/again.m3u8"] = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nagain.m3u8\n";
    struct Case {
        const char* master;
        const char* error;
    } cases[] = {
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n#EXT-X-ENDLIST\n", "master playlist has no variants"},
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nmissing.m3u8\n", "fetch variant playlist failed: http 404"},
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nempty.m3u8\n", "variant playlist empty"},
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\ndrm.m3u8\n",
         "protected: unsupported DRM (METHOD=SAMPLE-AES, KEYFORMAT=identity)"},
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nmaster.m3u8\n", "playlist refers to itself"},
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nmaster.m3u8#again\n", "playlist refers to itself"},
        {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nagain.m3u8\n", "playlist refers to itself"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_hls(kMaster, c.master, server.fetch()).error, c.error) << c.master;
    // Without a fetch operation a master playlist cannot be followed, and nothing crashes.
    EXPECT_EQ(parse_hls(kMaster, cases[1].master, FetchResource()).error,
              "fetch variant playlist failed: no fetch operation");
}

} // namespace
} // namespace twk
