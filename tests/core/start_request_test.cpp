#include "core/start_request.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

// Every task field a start request decides, in one line.
std::string describe(const Task& task) {
    const TaskRequest& request = task.request;
    std::string out = "name=" + task.progress.name() + " conn=" + std::to_string(request.connections) + " " +
                      request.method + " ua=" + request.user_agent +
                      " insecure=" + (request.insecure ? "1" : "0") +
                      " limit=" + std::to_string(task.control.bandwidth_limit.load()) +
                      " auto=" + (request.auto_named ? "1" : "0") + " stream=" + request.stream_type;
    if (request.proxy.kind != kProxyNone) {
        out += " proxy=" + std::to_string(request.proxy.kind) + ":" + request.proxy.host + ":" +
               std::to_string(request.proxy.port);
    }
    if (!request.post_data.empty()) out += " body=" + request.post_data;
    if (request.live_outage_limit != 0) out += " outage=" + std::to_string(request.live_outage_limit);
    for (const auto& [name, value] : request.headers)
        out += " [" + name + ": " + value + "]";
    return out;
}

constexpr const char* kPlain = "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream=";

TEST(MapStartRequest, MembersDefaultsAndModes) {
    struct Case {
        const char* json;
        bool capture;
        const char* expected;
    } cases[] = {
        // URL, the derived name and the defaults.
        {R"({"url":"  http://h/a/b.zip  "})", false, kPlain},
        {R"({"url":"http://h/a/b.zip?x=1#f"})", false, kPlain},
        {R"({"url":"http://h/a/"})", false,
         "name=download.bin conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/a%20b.zip"})", false,
         "name=a b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream="},
        // Connection counts: numbers, strings, anything outside the set.
        {R"({"url":"http://h/b.zip","connections":6})", false, kPlain},
        {R"({"url":"http://h/b.zip","connections":"16"})", false,
         "name=b.zip conn=16 GET ua=TWK insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","connections":"32 please"})", false,
         "name=b.zip conn=32 GET ua=TWK insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","connections":4.9})", false,
         "name=b.zip conn=4 GET ua=TWK insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","connections":"x"})", false, kPlain},
        {R"({"url":"http://h/b.zip","connections":1e300})", false, kPlain},
        {R"({"url":"http://h/b.zip","connections":"99999999999999999999"})", false, kPlain},
        // Flags, limits, proxies.
        {R"({"url":"http://h/b.zip","insecure":"Yes"})", false,
         "name=b.zip conn=8 GET ua=TWK insecure=1 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","insecure":0})", false, kPlain},
        {R"({"url":"http://h/b.zip","insecure":"on"})", false, kPlain},
        {R"({"url":"http://h/b.zip","insecure":2})", false,
         "name=b.zip conn=8 GET ua=TWK insecure=1 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","bandwidthLimit":"1000"})", false,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=1000 auto=1 stream="},
        {R"({"url":"http://h/b.zip","bandwidthLimit":-5})", false, kPlain},
        {R"({"url":"http://h/b.zip","proxy":" socks5://p:1080 "})", false,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= proxy=2:p:1080"},
        {R"({"url":"http://h/b.zip","proxy":"ftp://p:1"})", false, kPlain},
        // A live recording's outage limit, in seconds from 1 to a day, in either mode.
        {R"({"url":"http://h/b.zip","liveOutageLimit":600})", false,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= outage=600"},
        {R"({"url":"http://h/b.zip","liveOutageLimit":"86400"})", true,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= outage=86400"},
        {R"({"url":"http://h/b.zip","liveOutageLimit":0})", false, kPlain},
        {R"({"url":"http://h/b.zip","liveOutageLimit":86401})", false, kPlain},
        {R"({"url":"http://h/b.zip","liveOutageLimit":-30})", true, kPlain},
        // Streams: by URL in either mode, by "type" only in capture mode.
        {R"({"url":"http://h/v/index.M3U8?token=1"})", false,
         "name=index.M3U8 conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream=hls"},
        {R"({"url":"http://h/v/manifest.mpd"})", false,
         "name=manifest.mpd conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream=dash"},
        {R"({"url":"http://h/b.zip","type":"hls"})", false, kPlain},
        {R"({"url":"http://h/b.zip","type":"M3U8"})", true,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream=hls"},
        {R"({"url":"http://h/b.zip","type":"mpd"})", true,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream=dash"},
        // Capture-only members have no effect in plain mode.
        {R"({"url":"http://h/b.zip","filename":"x.iso","cookies":"a=1","headers":{"X-A":"1"},"method":"post"})",
         false, kPlain},
        // Names: only the last component, no leading dots, nothing but dots and blanks.
        {R"({"url":"http://h/b.zip","filename":"..\\..\\evil.exe"})", true,
         "name=evil.exe conn=8 GET ua=TWK insecure=0 limit=0 auto=0 stream="},
        {R"({"url":"http://h/b.zip","filename":" . "})", true,
         "name=download.bin conn=8 GET ua=TWK insecure=0 limit=0 auto=0 stream="},
        {R"({"url":"http://h/b.zip","filename":"...hidden"})", true,
         "name=hidden conn=8 GET ua=TWK insecure=0 limit=0 auto=0 stream="},
        {R"({"url":"http://h/b.zip","filename":"a\u0001b\u007f.txt"})", true,
         "name=ab.txt conn=8 GET ua=TWK insecure=0 limit=0 auto=0 stream="},
        // Method, body, user agent.
        {R"({"url":"http://h/b.zip","method":"Post","postData":"q=1"})", true,
         "name=b.zip conn=8 POST ua=TWK insecure=0 limit=0 auto=1 stream= body=q=1"},
        {R"({"url":"http://h/b.zip","method":"HEAD"})", true,
         "name=b.zip conn=8 HEAD ua=TWK insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","method":"put"})", true, kPlain},
        {R"({"url":"http://h/b.zip","userAgent":"Moz","headers":{"User-Agent":"Hdr"}})", true,
         "name=b.zip conn=8 GET ua=Moz insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","headers":{"User-Agent":"Hdr"}})", true,
         "name=b.zip conn=8 GET ua=Hdr insecure=0 limit=0 auto=1 stream="},
        {R"({"url":"http://h/b.zip","userAgent":"bad\r\nX: y"})", true, kPlain},
        // The header filter, Cookie and Referer.
        {R"({"url":"http://h/b.zip","headers":{"Range":"bytes=0-","If-None-Match":"x","Accept-Encoding":"gzip","Connection":"close","Host":"h","X-Ok":"1","X-Bad":"a\nb","Bad Name":"v","X-Num":5}})",
         true, "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= [X-Ok: 1]"},
        {R"({"url":"http://h/b.zip","cookies":"a=1","referrer":"http://r/"})", true,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= [Cookie: a=1] [Referer: http://r/]"},
        {R"({"url":"http://h/b.zip","cookies":"a=1","headers":{"cookie":"b=2"}})", true,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= [cookie: b=2]"},
        {R"({"url":"http://h/b.zip","referrer":"http://r/","headers":{"Referrer":"http://s/"}})", true,
         "name=b.zip conn=8 GET ua=TWK insecure=0 limit=0 auto=1 stream= [Referrer: http://s/]"},
        {R"({"url":"http://h/b.zip","cookies":"a=1\r\n"})", true, kPlain},
    };
    for (const auto& c : cases) {
        JsonValue request;
        ASSERT_TRUE(parse_json(c.json, request)) << c.json;
        auto task = map_start_request(request, "/dl", c.capture);
        ASSERT_TRUE(task) << c.json;
        EXPECT_EQ(describe(*task), c.expected) << c.json;
        EXPECT_EQ(task->progress.output_path(), "/dl/" + task->progress.name()) << c.json;
        EXPECT_EQ(task->progress.sidecar_path(), task->progress.output_path() + ".twk") << c.json;
    }
}

TEST(MapStartRequest, NoTaskWithoutAUrl) {
    for (const char* json : {R"({})", R"({"url":""})", R"({"url":" \t "})", R"({"url":5})", R"([1])"}) {
        JsonValue request;
        ASSERT_TRUE(parse_json(json, request)) << json;
        EXPECT_FALSE(map_start_request(request, "/dl", true)) << json;
    }
}

TEST(MapStartRequest, MaxConcurrentComesBackOnlyInCaptureModeAsANumberAboveZero) {
    struct Case {
        const char* json;
        bool capture;
        int64_t expected;
    } cases[] = {
        {R"({"url":"http://h/f","maxConcurrent":5})", true, 5},
        {R"({"url":"http://h/f","maxConcurrent":2.7})", true, 2},
        {R"({"url":"http://h/f","maxConcurrent":"5"})", true, -1},
        {R"({"url":"http://h/f","maxConcurrent":0})", true, -1},
        {R"({"url":"http://h/f","maxConcurrent":5})", false, -1},
    };
    for (const auto& c : cases) {
        JsonValue request;
        ASSERT_TRUE(parse_json(c.json, request));
        int64_t limit = -1;
        ASSERT_TRUE(map_start_request(request, "/dl", c.capture, &limit));
        EXPECT_EQ(limit, c.expected) << c.json << " capture=" << c.capture;
    }
}

TEST(CreateTask, PathsThatLeaveTheFolderFallBack) {
    StartOptions options;
    options.url = "http://h/f.zip";
    options.filename = "f.zip";
    EXPECT_EQ(create_task(options, "/dl")->progress.output_path(), "/dl/f.zip");
    EXPECT_EQ(create_task(options, "/dl/../etc")->progress.output_path(), "/dl/../etc/download.bin");

    auto task = create_task(options, "/dl");
    ASSERT_EQ(task->progress.segments.size(), 1u);
    EXPECT_EQ(task->progress.segments[0]->end, kUnknownEnd);
    EXPECT_EQ(task->progress.status(), "queued");
}

// A name taken from a URL is percent-decoded as a browser decodes it, then cleaned; every name
// loses its bidirectional controls, never ends in the sidecar suffix and fits in 255 bytes with
// its extension and whole characters.
TEST(OutputPathFor, NamesAreDecodedCleanedAndFitted) {
    std::string han; // 100 CJK characters, 3 bytes each
    std::string han_escaped;
    for (int i = 0; i < 100; ++i) {
        han += "\xE4\xB8\xAD";
        han_escaped += "%E4%B8%AD";
    }
    const std::string han_fitted = han.substr(0, 83 * 3) + ".pdf"; // 253 bytes
    struct Case {
        std::string url;
        std::string filename;
        bool user_named;
        std::string name;
    } cases[] = {
        {"http://h/my%20file.pdf", "", false, "my file.pdf"},
        {"http://h/100%25%zz.txt", "", false, "100%%zz.txt"},
        {"http://h/a%2Fb%5Cc.pdf", "", false, "a_b_c.pdf"},
        {"http://h/%2E%2E", "", false, "download.bin"},
        {"http://h/%00%0Ax.bin", "", false, "x.bin"},
        {"http://h/" + han_escaped + ".pdf", "", false, han_fitted},
        {"http://h/" + han + ".pdf", "", false, han_fitted},
        {"http://h/%E2%80%AEgpj.exe", "", false, "gpj.exe"},
        {"http://h/f",
         "\xE2\x81\xA6"
         "a\xE2\x80\x8F"
         "b\xE2\x80\xAA.txt\xE2\x81\xA9",
         false, "ab.txt"},
        {"http://h/x.bin.twk", "", false, "x.bin_twk"},
        {"http://h/f", "mine.twk", true, "mine_twk"},
        {"http://h/f", std::string(300, 'a') + "." + std::string(40, 'b'), false, std::string(255, 'a')},
        // The user's own name keeps its leading dots; a browser's does not.
        {"http://h/f", "..x.bin", true, "..x.bin"},
        {"http://h/f", "..x.bin", false, "x.bin"},
        {"http://h/f", "..", true, "download.bin"},
    };
    for (const Case& c : cases) {
        StartOptions options;
        options.url = c.url;
        options.filename = c.filename;
        options.user_named = c.user_named;
        EXPECT_EQ(output_path_for(options, "/dl"), "/dl/" + c.name) << c.url << " " << c.filename;
    }
}

} // namespace
} // namespace twk
