#include "media/dash_manifest.h"
#include "media/xml_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace twk {
namespace {

constexpr const char* kManifestUrl = "https://cdn.test/vod/manifest.mpd";

TEST(XmlReader, FlatTreeWithPrefixesDropped) {
    XmlDocument doc = parse_xml("<?xml version=\"1.0\"?><!-- <Fake/> --><!DOCTYPE x>"
                                "<mpd:MPD xmlns:mpd=\"urn:x\" a='1' b=2 c=\"q\"/d e f>"
                                "<Period><![CDATA[<raw> &amp;]]>  text &amp; more</Period><X/></mpd:MPD>");
    ASSERT_EQ(doc.nodes.size(), 3u);
    const XmlNode& mpd = doc.nodes[doc.root];
    EXPECT_EQ(doc.root, 0);
    EXPECT_EQ(mpd.name, "MPD");
    EXPECT_EQ(mpd.attributes.at("mpd"), "urn:x");
    EXPECT_EQ(mpd.attributes.at("a"), "1");
    EXPECT_EQ(mpd.attributes.at("b"), "2");
    EXPECT_EQ(mpd.attributes.at("c"), "q");
    EXPECT_EQ(mpd.attributes.at("d"), "") << "a name without \"=\" before more attributes";
    EXPECT_EQ(mpd.attributes.at("e"), "");
    EXPECT_EQ(mpd.attributes.count("f"), 0u) << "a name running to the end of the tag is dropped";
    EXPECT_EQ(mpd.children, (std::vector<int32_t>{1, 2}));
    const XmlNode& period = doc.nodes[1];
    EXPECT_EQ(period.parent, 0);
    EXPECT_EQ(period.text, "<raw> &amp;  text & more") << "CDATA raw, character data decoded";
    EXPECT_EQ(doc.first_child(0, "X"), 2);
    EXPECT_EQ(doc.first_child(0, "Nope"), -1);
}

TEST(XmlReader, MalformedInputNeverFails) {
    // A tag without ">" ends the reading; stray closing tags at the top do nothing.
    XmlDocument doc = parse_xml("</a></b><A><B></B></A><C x=\"1\"><D");
    ASSERT_EQ(doc.nodes.size(), 3u);
    EXPECT_EQ(doc.nodes[doc.root].name, "C") << "the last top-level element is the root";
    EXPECT_EQ(doc.nodes[2].attributes.at("x"), "1");
    EXPECT_EQ(parse_xml("").root, -1);
    EXPECT_EQ(parse_xml("<!-- never closed <A>").root, -1);
    // An "=" where a name should start ends the list; an "=" with nothing after it is dropped.
    doc = parse_xml("<A k=v =x y=1><B z=><C q='open></C>");
    EXPECT_EQ(doc.nodes[0].attributes, (std::map<std::string, std::string>{{"k", "v"}}));
    EXPECT_TRUE(doc.nodes[1].attributes.empty());
    EXPECT_EQ(doc.nodes[2].attributes.at("q"), "open");
}

TEST(XmlReader, DecodesEntitiesAndCharacterReferences) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a?x=1&amp;y=2", "a?x=1&y=2"},
        {"&lt;&gt;&quot;&apos;&amp;amp;", "<>\"'&amp;"},
        {"&#65;&#x42;&#X43;&#233;&#x20AC;&#x1F600;", "ABC\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"&nbsp; &unknown; & && &amp", "&nbsp; &unknown; & && &amp"},
        {"&#0; &#xD800; &#x110000; &#; &#x; &#12a; &#99999999999;",
         "&#0; &#xD800; &#x110000; &#; &#x; &#12a; &#99999999999;"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_xml_entities(c.in), c.out) << c.in;
    XmlDocument doc = parse_xml("<A u=\"p?a=1&amp;b=2\" v='&#x26;'>x&lt;y</A>");
    EXPECT_EQ(doc.nodes[0].attributes.at("u"), "p?a=1&b=2");
    EXPECT_EQ(doc.nodes[0].attributes.at("v"), "&");
    EXPECT_EQ(doc.nodes[0].text, "x<y");
}

TEST(DashDuration, Iso8601Forms) {
    struct Case {
        const char* text;
        double seconds;
    } cases[] = {
        {"PT1H2M3.5S", 3723.5},
        {"P1D", 86400},
        {"P1M", 2592000},
        {"P1Y", 0},
        {"P1DT2H", 93600},
        {"PT0.5S", 0.5},
        {"PT90M", 5400},
        {"P2W", 0},
        {"P", 0},
        {"T1S", 0},
        {"", 0},
        {"PTS", 0},
        {"PT1.2.3S", 1.2},
        {"PT-5S", 5},
        {"PT5", 0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(parse_iso_duration(c.text), c.seconds) << c.text;
}

TEST(DashTemplate, Expansion) {
    struct Case {
        const char* pattern;
        const char* out;
    } cases[] = {
        {"$Number%05d$", "00042"},
        {"$Number%5d$", "   42"},
        {"$Number%x$", "42"},
        {"$Number%i$-$Number%u$", "42-42"},
        {"$Number%5$", "42"},
        {"$Number%0d$", "42"},
        {"$Number%099d$", "00000000000000000042"},
        {"$Foo$", "$Foo$"},
        {"$$", "$"},
        {"a$$b$", "a$b$"},
        {"$RepresentationID%05d$/$Bandwidth$/t$Time%08d$.m4s", "v1/800000/t-0000009.m4s"},
        {"no fields", "no fields"},
        {"open $Number", "open $Number"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(expand_template(c.pattern, "v1", 800000, 42, -9), c.out) << c.pattern;
}

// An MPD around one video AdaptationSet whose Representation holds `addressing`.
std::string video_mpd(const std::string& addressing, const std::string& duration = "PT10S") {
    return "<MPD mediaPresentationDuration=\"" + duration +
           "\"><Period><AdaptationSet mimeType=\"video/mp4\">"
           "<Representation id=\"v\" bandwidth=\"1000\">" +
           addressing + "</Representation></AdaptationSet></Period></MPD>";
}

std::vector<std::string> uris(const TrackPlan& track) {
    std::vector<std::string> out;
    for (const MediaSegment& s : track.segments)
        out.push_back(s.uri);
    return out;
}

constexpr size_t kOverTheCap = SIZE_MAX; // the manifest is refused

TEST(DashTemplate, TimelineRepeatsAndDurationCounts) {
    StreamPlan plan =
        parse_dash(kManifestUrl, video_mpd("<SegmentTemplate timescale=\"1000\" startNumber=\"3\" "
                                           "initialization=\"init-$Time$-$Number$.mp4\" "
                                           "media=\"$Number$_$Time$.m4s\"><SegmentTimeline>"
                                           "<S t=\"0\" d=\"2000\" r=\"2\"/><X/><S d=\"500\"/>"
                                           "<S t=\"9000\" d=\"100\"/></SegmentTimeline>"
                                           "</SegmentTemplate>"));
    ASSERT_EQ(plan.error, "");
    EXPECT_EQ(plan.video.init_uri, "https://cdn.test/vod/init-0-0.mp4");
    EXPECT_EQ(uris(plan.video),
              (std::vector<std::string>{"https://cdn.test/vod/3_0.m4s", "https://cdn.test/vod/4_2000.m4s",
                                        "https://cdn.test/vod/5_4000.m4s", "https://cdn.test/vod/6_6000.m4s",
                                        "https://cdn.test/vod/7_9000.m4s"}));
    EXPECT_DOUBLE_EQ(plan.video.segments[0].duration, 2.0);
    EXPECT_DOUBLE_EQ(plan.video.segments[3].duration, 0.5);

    struct Case {
        const char* addressing;
        const char* total;
        size_t count;
    } cases[] = {
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"2000\" r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "PT10S", 5},
        // The segment the end of the presentation cuts short holds the end of the media.
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"2000\" r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "PT11S", 6},
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"2000\" r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "PT10.001S", 5},
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S t=\"4000\" d=\"2000\" "
         "r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "PT10S", 3},
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"2000\" r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "P0D", 1},
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"1\" r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "P9999999999D", kOverTheCap},
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"1\" r=\"999999\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "PT1000S", kMaxStreamSegments},
        {"<SegmentTemplate timescale=\"1000\" media=\"$Number$\"><SegmentTimeline><S d=\"1\" r=\"1000000\"/>"
         "</SegmentTimeline></SegmentTemplate>",
         "PT1001S", kOverTheCap},
        {"<SegmentTemplate duration=\"4\" media=\"$Number$\"/>", "PT10S", 3},
        {"<SegmentTemplate duration=\"4000\" timescale=\"1000\" media=\"$Number$\"/>", "PT8.002S", 2},
        {"<SegmentTemplate duration=\"4\" media=\"$Number$\"/>", "PT8.005S", 3},
        {"<SegmentTemplate duration=\"1\" timescale=\"0\" media=\"$Number$\"/>", "PT3S", 3},
        {"<SegmentTemplate duration=\"1\" media=\"$Number$\"/>", "P99999D", kOverTheCap},
        {"<SegmentTemplate duration=\"1\" media=\"$Number$\"/>", "PT1000000S", kMaxStreamSegments},
        {"<SegmentTemplate duration=\"1\" media=\"$Number$\"/>", "PT1000001S", kOverTheCap},
    };
    for (const auto& c : cases) {
        StreamPlan p = parse_dash(kManifestUrl, video_mpd(c.addressing, c.total));
        if (c.count == 0) {
            EXPECT_EQ(p.error, "could not build video segment list");
            continue;
        }
        // A cut list would join into part of the stream reported as the whole.
        if (c.count == kOverTheCap) {
            EXPECT_EQ(p.error, "manifest lists more than 1000000 segments") << c.addressing << " " << c.total;
            continue;
        }
        ASSERT_EQ(p.error, "") << c.addressing;
        EXPECT_EQ(p.video.segments.size(), c.count) << c.addressing << " " << c.total;
    }

    // Without a timeline the number counts from startNumber and the time in steps of duration.
    plan = parse_dash(kManifestUrl,
                      video_mpd("<SegmentTemplate duration=\"4\" timescale=\"2\" startNumber=\"0\" "
                                "media=\"s$Number%03d$-$Time$.m4s\"/>",
                                "PT4S"));
    EXPECT_EQ(uris(plan.video), (std::vector<std::string>{"https://cdn.test/vod/s000-0.m4s",
                                                          "https://cdn.test/vod/s001-4.m4s"}));
    EXPECT_DOUBLE_EQ(plan.video.segments[1].duration, 2.0);
    // A template without duration or timeline lists nothing.
    EXPECT_EQ(parse_dash(kManifestUrl, video_mpd("<SegmentTemplate media=\"x\"/>")).error,
              "could not build video segment list");
}

TEST(DashLive, DateTimesInUtcWithFractionsAndOffsets) {
    EXPECT_DOUBLE_EQ(parse_iso_datetime("2026-01-01T00:00:00Z"), 1767225600.0);
    EXPECT_DOUBLE_EQ(parse_iso_datetime("2026-01-01T00:00:01.5Z"), 1767225601.5);
    EXPECT_DOUBLE_EQ(parse_iso_datetime("2026-01-01T01:00:00+01:00"), 1767225600.0);
    EXPECT_DOUBLE_EQ(parse_iso_datetime(" 2026-01-01T00:00:00 "), 1767225600.0);
    for (const char* bad : {"", "2026-01-01", "2026-13-01T00:00:00Z", "2026-01-01T00:00:00 GMT", "yesterday"})
        EXPECT_TRUE(std::isnan(parse_iso_datetime(bad))) << bad;
}

// A dynamic manifest is live. A fixed-duration template lists what the client's clock says is
// available, within the time-shift depth; a timeline lists itself, numbered from startNumber.
TEST(DashLive, DynamicManifestsListWhatIsAvailableNow) {
    const std::string head = "<MPD type=\"dynamic\" availabilityStartTime=\"2026-01-01T00:00:00Z\"";
    const std::string clock_based =
        head + R"( timeShiftBufferDepth="PT10S"><Period start="PT1S"><AdaptationSet
        mimeType="video/mp4"><Representation id="v" bandwidth="1"><SegmentTemplate timescale="1" duration="2"
        startNumber="1" initialization="init.mp4" media="seg-$Number$.m4s"/></Representation></AdaptationSet>
        </Period></MPD>)";
    // 62 s after the start, 61 s into the Period: 30 segments whole, the last 5 within 10 s.
    StreamPlan plan = parse_dash("http://h/live.mpd", clock_based, 1767225662.0);
    ASSERT_EQ(plan.error, "");
    EXPECT_TRUE(plan.live);
    EXPECT_FALSE(plan.video.ended);
    EXPECT_EQ(plan.video.playlist_url, "http://h/live.mpd");
    EXPECT_EQ(plan.video.first_sequence, 26u);
    EXPECT_DOUBLE_EQ(plan.video.target_duration, 2);
    ASSERT_EQ(plan.video.segments.size(), 5u);
    EXPECT_EQ(plan.video.segments.uri(0), "http://h/seg-26.m4s");
    EXPECT_EQ(plan.video.segments.uri(4), "http://h/seg-30.m4s");
    // Before the first segment is whole, nothing is listed.
    EXPECT_FALSE(parse_dash("http://h/live.mpd", clock_based, 1767225602.5).video.has_segments);

    const std::string timeline = head + R"(><Period><AdaptationSet mimeType="video/mp4"><Representation id="v"
        bandwidth="1"><SegmentTemplate timescale="10" startNumber="7" media="c-$Number$.m4s"><SegmentTimeline>
        <S t="120" d="20" r="2"/><S d="10"/></SegmentTimeline></SegmentTemplate></Representation>
        </AdaptationSet></Period></MPD>)";
    plan = parse_dash("http://h/live.mpd", timeline, 1);
    EXPECT_TRUE(plan.live);
    EXPECT_EQ(plan.video.first_sequence, 7u);
    EXPECT_DOUBLE_EQ(plan.video.target_duration, 2);
    ASSERT_EQ(plan.video.segments.size(), 4u);
    EXPECT_EQ(plan.video.segments.uri(3), "http://h/c-10.m4s");

    // A separate audio set would be left out of a recording: refused, and said why. (An audio
    // set without a Representation is dropped as for a manifest on demand.)
    const std::string with_audio = head + R"(><Period><AdaptationSet mimeType="video/mp4"><Representation
        id="v" bandwidth="1"><SegmentTemplate timescale="1" duration="2" media="v-$Number$.m4s"/></Representation>
        </AdaptationSet><AdaptationSet mimeType="audio/mp4"><Representation id="a" bandwidth="1"><SegmentTemplate
        timescale="1" duration="2" media="a-$Number$.m4s"/></Representation></AdaptationSet></Period></MPD>)";
    for (const double now : {1767225662.0, 1767225600.5}) { // segments available, and none yet
        EXPECT_EQ(parse_dash("http://h/live.mpd", with_audio, now).error,
                  "live stream with separate audio: its audio comes in an AdaptationSet of its own, and "
                  "recording the video alone would leave out the sound");
    }

    // A static manifest is on demand, as before.
    plan = parse_dash("http://h/live.mpd", R"(<MPD type="static" mediaPresentationDuration="PT4S"><Period>
        <AdaptationSet mimeType="video/mp4"><Representation id="v" bandwidth="1"><SegmentTemplate timescale="1"
        duration="2" media="s-$Number$.m4s"/></Representation></AdaptationSet></Period></MPD>)");
    EXPECT_FALSE(plan.live);
    EXPECT_TRUE(plan.video.ended);
    EXPECT_EQ(plan.video.segments.size(), 2u);
}

TEST(DashAddressing, ListBaseAndBaseUrlChain) {
    const std::string mpd =
        "<MPD><BaseURL>https://media.test/root/</BaseURL><Period><BaseURL> p/ </BaseURL>"
        "<AdaptationSet contentType=\"video\"><BaseURL>https://sig.test/a/?x=1&amp;y=2</BaseURL>"
        "<Representation id=\"1\" bandwidth=\"5\"><BaseURL>file.mp4?sig=a&amp;exp=b</BaseURL>"
        "<SegmentList><Initialization range=\"0-807\"/>"
        "<SegmentURL mediaRange=\"808-1000\"/><SegmentURL media=\"s2.m4s\" mediaRange=\"9-3\"/>"
        "<SegmentURL mediaRange=\"5-281474976710657\"/></SegmentList></Representation>"
        "<Representation id=\"2\" bandwidth=\"4\"><SegmentBase indexRange=\"0-99\"/>"
        "</Representation></AdaptationSet></Period></MPD>";
    StreamPlan plan = parse_dash(kManifestUrl, mpd);
    ASSERT_EQ(plan.error, "");
    const std::string file = "https://sig.test/a/file.mp4?sig=a&exp=b";
    EXPECT_EQ(plan.video.init_uri, file);
    EXPECT_EQ(plan.video.init_range_offset, 0);
    EXPECT_EQ(plan.video.init_range_length, 808);
    EXPECT_EQ(uris(plan.video), (std::vector<std::string>{file, "https://sig.test/a/s2.m4s", file}));
    EXPECT_EQ(plan.video.segments[0].range_offset, 808);
    EXPECT_EQ(plan.video.segments[0].range_length, 193);
    EXPECT_EQ(plan.video.segments[1].range_offset, -1) << "last before first";
    EXPECT_EQ(plan.video.segments[2].range_length, -1) << "beyond 2^48";

    // SegmentBase (or nothing): the whole resource is the one segment, with no header of its own.
    std::string base_only = mpd;
    base_only.replace(base_only.find("bandwidth=\"4\""), 13, "bandwidth=\"9\"");
    plan = parse_dash(kManifestUrl, base_only);
    ASSERT_EQ(plan.error, "");
    EXPECT_EQ(uris(plan.video), (std::vector<std::string>{"https://sig.test/a/?x=1&y=2"}));
    EXPECT_TRUE(plan.video.init_uri.empty());
    EXPECT_EQ(plan.video.segments[0].range_offset, -1);

    // Initialization with a sourceURL of its own, or none: the base.
    plan = parse_dash(kManifestUrl, video_mpd("<SegmentList><Initialization sourceURL=\"i.mp4\"/>"
                                              "<SegmentURL media=\"a.m4s\"/></SegmentList>"));
    EXPECT_EQ(plan.video.init_uri, "https://cdn.test/vod/i.mp4");
    EXPECT_EQ(plan.video.init_range_offset, -1);
    plan = parse_dash(kManifestUrl, video_mpd("<SegmentList><Initialization/><SegmentURL/></SegmentList>"));
    EXPECT_EQ(plan.video.init_uri, kManifestUrl);
    EXPECT_EQ(uris(plan.video), std::vector<std::string>{kManifestUrl});
}

TEST(DashWalk, ClassifiesSetsAndPicksHighestBandwidth) {
    const std::string mpd =
        "<MPD mediaPresentationDuration=\"PT2S\"><Period duration=\"PT4S\">"
        "<AdaptationSet contentType=\"text\"><Representation id=\"t\"/></AdaptationSet>"
        "<AdaptationSet><Representation id=\"a1\" bandwidth=\"64000\" audioSamplingRate=\"48000\" "
        "codecs=\"mp4a\"/>"
        "<SegmentTemplate duration=\"1\" media=\"$RepresentationID$-$Number$.m4s\" "
        "initialization=\"$RepresentationID$.mp4\"/>"
        "</AdaptationSet>"
        "<AdaptationSet><Representation id=\"lo\" bandwidth=\"100\" width=\"320\"/>"
        "<Representation id=\"hi\" bandwidth=\"300\" width=\"1280\" height=\"720\" codecs=\"avc1\"/>"
        "<Representation id=\"hi2\" bandwidth=\"300\" width=\"1920\"/>"
        "<SegmentTemplate duration=\"2\" media=\"$RepresentationID$-$Number$.m4s\"/></AdaptationSet>"
        "</Period></MPD>";
    StreamPlan plan = parse_dash(kManifestUrl, mpd);
    ASSERT_EQ(plan.error, "");
    EXPECT_EQ(plan.kind, "dash");
    EXPECT_EQ(plan.container, "mp4");
    EXPECT_TRUE(plan.video.fragmented);
    EXPECT_EQ(plan.video.bandwidth, 300);
    EXPECT_EQ(plan.video.width, 1280);
    EXPECT_EQ(plan.video.height, 720);
    EXPECT_EQ(plan.video.codecs, "avc1");
    EXPECT_EQ(uris(plan.video),
              (std::vector<std::string>{"https://cdn.test/vod/hi-1.m4s", "https://cdn.test/vod/hi-2.m4s"}))
        << "the Period's duration wins over the MPD's";
    ASSERT_TRUE(plan.has_separate_audio);
    EXPECT_TRUE(plan.audio.fragmented);
    EXPECT_EQ(plan.audio.bandwidth, 64000);
    EXPECT_EQ(plan.audio.init_uri, "https://cdn.test/vod/a1.mp4");
    EXPECT_EQ(plan.audio.segments.size(), 4u);
    EXPECT_FALSE(plan.video.segments[0].encrypted);
}

TEST(DashWalk, AudioOnlyManifestIsOneTrack) {
    const char* manifests[] = {
        "<MPD mediaPresentationDuration=\"PT2S\"><Period><AdaptationSet contentType=\"audio\">"
        "<Representation id=\"a\" bandwidth=\"1\"><SegmentTemplate duration=\"1\" media=\"a$Number$.m4s\"/>"
        "</Representation></AdaptationSet></Period></MPD>",
        // Two languages and no video: the first is the stream, the second is not muxed in.
        "<MPD mediaPresentationDuration=\"PT2S\"><Period><AdaptationSet mimeType=\"audio/mp4\" lang=\"en\">"
        "<Representation id=\"a\" bandwidth=\"1\"><SegmentTemplate duration=\"1\" media=\"a$Number$.m4s\"/>"
        "</Representation></AdaptationSet><AdaptationSet mimeType=\"audio/mp4\" lang=\"de\">"
        "<Representation id=\"b\" bandwidth=\"1\"><SegmentTemplate duration=\"1\" media=\"b$Number$.m4s\"/>"
        "</Representation></AdaptationSet></Period></MPD>",
    };
    for (const char* mpd : manifests) {
        StreamPlan plan = parse_dash(kManifestUrl, mpd);
        ASSERT_EQ(plan.error, "");
        EXPECT_EQ(uris(plan.video),
                  (std::vector<std::string>{"https://cdn.test/vod/a1.m4s", "https://cdn.test/vod/a2.m4s"}));
        EXPECT_FALSE(plan.has_separate_audio);
        EXPECT_TRUE(plan.audio.segments.empty());
    }
}

TEST(DashWalk, Refusals) {
    struct Case {
        const char* mpd;
        const char* error;
    } cases[] = {
        {"", "not an MPD document"},
        {"<mpd><Period/></mpd>", "not an MPD document"},
        {"<html><body>MPD</body></html>", "not an MPD document"},
        {"<MPD/><Other/>", "not an MPD document"},
        {"<MPD><Programinformation/></MPD>", "MPD has no Period"},
        {"<MPD><Period><Nothing/></Period></MPD>", "MPD has no usable AdaptationSet"},
        {"<MPD><Period><AdaptationSet contentType=\"video\"/></Period></MPD>",
         "video AdaptationSet has no Representation"},
        {"<MPD><Period><AdaptationSet><Representation><SegmentTemplate media=\"x\"/></Representation>"
         "</AdaptationSet></Period></MPD>",
         "could not build video segment list"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_dash(kManifestUrl, c.mpd).error, c.error) << c.mpd;

    // A prefixed root is still the MPD; an audio set without Representation is simply dropped.
    StreamPlan plan =
        parse_dash(kManifestUrl, "<mpd:MPD xmlns:mpd=\"urn:mpeg:dash:schema:mpd:2011\"><mpd:Period>"
                                 "<mpd:AdaptationSet contentType=\"video\"><mpd:Representation/>"
                                 "</mpd:AdaptationSet><mpd:AdaptationSet contentType=\"audio\"/>"
                                 "</mpd:Period></mpd:MPD>");
    ASSERT_EQ(plan.error, "");
    EXPECT_EQ(uris(plan.video), std::vector<std::string>{kManifestUrl});
    EXPECT_FALSE(plan.has_separate_audio);
}

} // namespace
} // namespace twk
