#include "cli/get_options.h"
#include "cli/serve_options.h"

#include "tests/support/comma_locale.h"
#include "json/json.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

bool parse(std::vector<std::string> args, GetOptions& out, std::string& error) {
    return parse_get_options(args, out, error);
}

TEST(GetOptions, ReadsEveryOptionInEachSpelling) {
    GetOptions o;
    std::string error;
    ASSERT_TRUE(parse({"-d",
                       "/tmp/dl",
                       "-oname.bin",
                       "--connections=16",
                       "-j",
                       "5",
                       "--limit",
                       "1.5M",
                       "--proxy",
                       "socks5h://p:1080",
                       "-k",
                       "-H",
                       "X-A: 1",
                       "--header=X-B:two",
                       "--user-agent",
                       "UA/1",
                       "--referer",
                       "http://r/",
                       "--cookie",
                       "a=b",
                       "-q",
                       "--json",
                       "--type",
                       "dash",
                       "--live-from-start",
                       "--skip-bad-segments",
                       "--max-per-host=6",
                       "--live-outage-limit",
                       "900",
                       "http://h/f"},
                      o, error))
        << error;
    EXPECT_EQ(o.directory, "/tmp/dl");
    EXPECT_EQ(o.request.filename, "name.bin");
    EXPECT_EQ(o.request.connections, 16);
    EXPECT_EQ(o.max_concurrent, 5);
    EXPECT_EQ(o.max_per_host, 6);
    EXPECT_EQ(o.request.bandwidth_limit, 1572864);
    EXPECT_EQ(o.request.proxy, "socks5h://p:1080");
    EXPECT_TRUE(o.request.insecure && o.quiet && o.json);
    ASSERT_EQ(o.request.headers.size(), 2u);
    EXPECT_EQ(o.request.headers[0], (std::pair<std::string, std::string>{"X-A", "1"}));
    EXPECT_EQ(o.request.headers[1], (std::pair<std::string, std::string>{"X-B", "two"}));
    EXPECT_EQ(o.request.user_agent, "UA/1");
    EXPECT_EQ(o.request.referrer, "http://r/");
    EXPECT_EQ(o.request.cookies, "a=b");
    EXPECT_EQ(o.request.type, "dash");
    EXPECT_TRUE(o.request.live_from_start && o.request.skip_bad_segments);
    EXPECT_EQ(o.request.live_outage_limit, 900);
    EXPECT_EQ(o.urls, std::vector<std::string>{"http://h/f"});
}

TEST(GetOptions, DefaultsAndUrlsAfterDoubleDash) {
    GetOptions o;
    std::string error;
    ASSERT_TRUE(parse({"http://a/", "--", "-weird-name"}, o, error));
    EXPECT_EQ(o.request.connections, 8);
    EXPECT_EQ(o.max_concurrent, 3);
    EXPECT_EQ(o.request.bandwidth_limit, 0);
    EXPECT_EQ(o.urls, (std::vector<std::string>{"http://a/", "-weird-name"}));
}

TEST(GetOptions, BadUsageIsRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{}, "no URL given"},
        {{"-x", "3", "u"}, "connections must be one of 1, 2, 4, 8, 12, 16, 24, 32"},
        {{"-x", "8x", "u"}, "connections must be one of 1, 2, 4, 8, 12, 16, 24, 32"},
        {{"-j", "0", "u"}, "max-concurrent must be a whole number from 1 to 1000"},
        {{"--max-per-host", "0", "u"}, "max-per-host must be a whole number from 1 to 1000"},
        {{"--live-outage-limit", "0", "u"},
         "live-outage-limit must be a whole number of seconds from 1 to 86400"},
        {{"--live-outage-limit=86401", "u"},
         "live-outage-limit must be a whole number of seconds from 1 to 86400"},
        {{"--limit", "10X", "u"}, "bad rate: 10X (bytes per second, with optional K, M or G)"},
        {{"--limit", "-5", "u"}, "bad rate: -5 (bytes per second, with optional K, M or G)"},
        {{"-H", "NoColon", "u"}, "bad header: expected 'Name: Value'"},
        {{"-H", "X: a\r\nY: b", "u"}, "bad header: expected 'Name: Value'"},
        {{"-o", "n", "u1", "u2"}, "--output works with one URL only"},
        {{"--frobnicate", "u"}, "unknown option: --frobnicate"},
        {{"u", "-d"}, "option -d needs a value"},
        {{"--proxy", "sock5://p:1080", "u"},
         "bad proxy: sock5://p:1080 (http://, socks5:// or socks5h://host:port)"},
        {{"--proxy", "https://p:443", "u"},
         "bad proxy: https://p:443 (http://, socks5:// or socks5h://host:port)"},
        {{"--proxy", "socks5://p", "u"}, "bad proxy: socks5://p (http://, socks5:// or socks5h://host:port)"},
        {{"-o", "sub/", "u"}, "--output needs a file name, not a folder: sub/"},
        {{"-o", "sub/..", "u"}, "--output needs a file name, not a folder: sub/.."},
        {{"-o", ".", "u"}, "--output needs a file name, not a folder: ."},
        {{"-o", "../up.bin", "u"},
         "--output leaves the download folder: ../up.bin (use an absolute path to save elsewhere)"},
        {{"-o", "a/./../../up.bin", "u"},
         "--output leaves the download folder: a/./../../up.bin (use an absolute path to save elsewhere)"},
        {{"--type", "m3u8", "u"}, "--type takes hls or dash"},
    };
    for (const auto& c : cases) {
        GetOptions o;
        std::string error;
        EXPECT_FALSE(parse(c.args, o, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(GetOptions, TheThreeProxySchemesAreTaken) {
    for (const char* proxy : {"http://p:3128", "socks5://u:pw@p:1080", "SOCKS5H://p:1080", "p:3128"}) {
        GetOptions o;
        std::string error;
        EXPECT_TRUE(parse({"--proxy", proxy, "u"}, o, error)) << proxy << ": " << error;
        EXPECT_TRUE(o.environment_proxy) << proxy; // it wins for every URL anyway
    }
}

TEST(GetOptions, TheEnvironmentsProxyIsFollowedUnlessTurnedOff) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"u"}, true},
        {{"--no-proxy", "u"}, false},
        {{"--proxy", "", "u"}, false},
        {{"--proxy=", "u"}, false},
        {{"--proxy", "p:1", "--no-proxy", "u"}, false},
    };
    for (const auto& [args, follows] : cases) {
        GetOptions o;
        std::string error;
        ASSERT_TRUE(parse(args, o, error)) << error;
        EXPECT_EQ(o.environment_proxy, follows) << args.front();
        EXPECT_EQ(o.request.proxy, "") << args.front();
    }
}

// -o with a folder part: relative under the download folder, absolute as given.
TEST(GetOptions, AnOutputPathPlacesTheFile) {
    struct Case {
        const char* output;
        const char* folder;
        const char* name;
    } cases[] = {
        {"n.bin", "/dl", "n.bin"},
        {"sub/n.bin", "/dl/sub", "n.bin"},
        {"a/b/n.bin", "/dl/a/b", "n.bin"},
        {"/tmp/x/n.bin", "/tmp/x", "n.bin"},
        {"/n.bin", "/", "n.bin"},
        // Steps resolved; names that merely start with dots are names.
        {"/a/../b.bin", "/", "b.bin"},
        {"/../n.bin", "/", "n.bin"},
        {"/tmp/./x/../y/n.bin", "/tmp/y", "n.bin"},
        {"a/../n.bin", "/dl", "n.bin"},
        {"..x.bin", "/dl", "..x.bin"},
        {"sub/..x.bin", "/dl/sub", "..x.bin"},
    };
    for (const Case& c : cases) {
        std::string folder = "/dl";
        std::string name = c.output;
        place_output(folder, name);
        EXPECT_EQ(folder, c.folder) << c.output;
        EXPECT_EQ(name, c.name) << c.output;
    }
}

// -o keeps the user's own name as given (leading dots too) when the engine cleans it.
TEST(GetOptions, TheUsersOutputNameKeepsItsLeadingDots) {
    GetOptions o;
    std::string error;
    ASSERT_TRUE(parse({"-o", "..x.bin", "http://h/f"}, o, error)) << error;
    EXPECT_EQ(output_path_for(start_options(o, "http://h/f"), "/dl"), "/dl/..x.bin");
}

// Headers the engine sets itself are dropped with a note for standard error; cookies from -H
// Cookie and --cookie are joined into one list, in the order given.
TEST(GetOptions, DroppedHeadersAreNamedAndCookiesJoined) {
    GetOptions o;
    std::string error;
    ASSERT_TRUE(parse({"-H", "Host: evil", "-H", "range: bytes=5-", "--header=Content-Length: 3", "-H",
                       "Cookie: a=1", "--cookie", "c=3", "-H", "X-Ok: 1", "-H", "cookie: b=2", "http://h/f"},
                      o, error))
        << error;
    EXPECT_EQ(o.notes,
              (std::vector<std::string>{"-H Host: ignored, twk sets this header itself",
                                        "-H range: ignored, twk sets this header itself",
                                        "--header Content-Length: ignored, twk sets this header itself"}));
    EXPECT_EQ(o.request.headers, (std::vector<std::pair<std::string, std::string>>{{"X-Ok", "1"}}));
    EXPECT_EQ(o.request.cookies, "a=1; b=2; c=3");

    // One of the two alone stays as it was.
    ASSERT_TRUE(parse({"-H", "Cookie: a=1", "http://h/f"}, o, error));
    EXPECT_EQ(o.request.cookies, "a=1");
    EXPECT_TRUE(o.request.headers.empty());
    ASSERT_TRUE(parse({"--cookie", "c=3", "http://h/f"}, o, error));
    EXPECT_EQ(o.request.cookies, "c=3");
    EXPECT_TRUE(o.notes.empty());
}

TEST(ParseRate, SuffixesAre1024Based) {
    struct Case {
        const char* text;
        bool ok;
        int64_t bytes;
    } cases[] = {{"512", true, 512},       {"64K", true, 65536}, {"64k", true, 65536}, {"2M", true, 2097152},
                 {"1G", true, 1073741824}, {"0", false, 0},      {"", false, 0},       {"K", false, 0},
                 {"1KB", false, 0},        {"1e400", false, 0},  {"nan", false, 0}};
    for (const auto& c : cases) {
        int64_t bytes = -1;
        EXPECT_EQ(parse_rate(c.text, bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
    // A decimal point whatever the locale says, and no other number forms.
    test::CommaLocale comma;
    int64_t bytes = 0;
    EXPECT_TRUE(parse_rate("1.5M", bytes));
    EXPECT_EQ(bytes, 1572864);
    EXPECT_FALSE(parse_rate("1,5M", bytes));
    EXPECT_FALSE(parse_rate("0x10", bytes));
}

TEST(ServeOptions, ReadsTheFolderTheQueueAndTheSharedLimit) {
    ServeOptions o;
    std::string error;
    ASSERT_TRUE(parse_serve_options({}, o, error));
    EXPECT_EQ(o.max_concurrent, 3);
    EXPECT_EQ(o.speed_limit, 0);
    ASSERT_TRUE(parse_serve_options({"-d", "dl", "-j", "5", "--speed-limit", "2M"}, o, error)) << error;
    EXPECT_EQ(o.directory, "dl");
    EXPECT_EQ(o.max_concurrent, 5);
    EXPECT_EQ(o.speed_limit, 2 << 20);
    ASSERT_TRUE(parse_serve_options({"--speed-limit", "0"}, o, error)) << error;
    EXPECT_EQ(o.speed_limit, 0);

    const std::string rate = "--speed-limit needs bytes per second, with optional K, M or G (0: no limit)";
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"-d"}, "-d needs a folder"},
        {{"-j", "0"}, "-j needs a number from 1 to 1000"},
        {{"--max-concurrent", "1001"}, "--max-concurrent needs a number from 1 to 1000"},
        {{"-j", "2x"}, "-j needs a number from 1 to 1000"},
        {{"--speed-limit"}, rate},
        {{"--speed-limit", "-1"}, rate},
        {{"--speed-limit", "fast"}, rate},
        {{"--speed-limit", "1KB"}, rate},
        {{"--speed-limit", "0K"}, rate},
        {{"--limit", "1M"}, "unknown option of serve: --limit"},
    };
    for (const auto& c : cases) {
        ServeOptions bad;
        std::string why;
        EXPECT_FALSE(parse_serve_options(c.args, bad, why)) << c.error;
        EXPECT_EQ(why, c.error);
    }
}

TEST(StartRequest, CarriesTheOptionsAsACaptureRequest) {
    GetOptions o;
    o.request.connections = 32;
    o.request.bandwidth_limit = 1024;
    o.request.insecure = true;
    o.request.filename = "a \"b\".iso";
    o.request.cookies = "k=v";
    o.request.referrer = "http://r/";
    o.request.user_agent = "UA";
    o.request.proxy = "http://p:1";
    o.request.headers = {{"X-Z", "1"}, {"X-A", "2"}};
    o.request.type = "hls";
    OrderedJsonValue doc;
    ASSERT_TRUE(parse_ordered_document(build_start_request(o, "http://h/\xC3\xA9"), doc));
    EXPECT_EQ(doc.string_member("url", ""), "http://h/\xC3\xA9");
    EXPECT_EQ(doc.unsigned_member("connections", 0), 32u);
    EXPECT_EQ(doc.unsigned_member("bandwidthLimit", 0), 1024u);
    EXPECT_TRUE(doc.member("insecure")->boolean);
    EXPECT_EQ(doc.string_member("filename", ""), "a \"b\".iso");
    EXPECT_EQ(doc.string_member("cookies", ""), "k=v");
    EXPECT_EQ(doc.string_member("referrer", ""), "http://r/");
    EXPECT_EQ(doc.string_member("userAgent", ""), "UA");
    EXPECT_EQ(doc.string_member("proxy", ""), "http://p:1");
    EXPECT_EQ(doc.string_member("type", ""), "hls");
    const OrderedJsonValue* headers = doc.member("headers");
    ASSERT_NE(headers, nullptr);
    ASSERT_EQ(headers->members.size(), 2u);
    EXPECT_EQ(headers->members[0].key, "X-Z"); // command-line order is kept

    GetOptions plain;
    EXPECT_EQ(build_start_request(plain, "http://h/"), "{\"url\":\"http://h/\",\"connections\":8}");
}

// The options record the engine takes directly is the one the JSON request reads back as.
TEST(StartRequest, TheOptionsRecordMatchesTheJsonRequest) {
    GetOptions o;
    o.request.connections = 4;
    o.request.bandwidth_limit = 2048;
    o.request.insecure = true;
    o.request.filename = "x.bin";
    o.request.cookies = "k=v";
    o.request.referrer = "http://r/";
    o.request.user_agent = "UA";
    o.request.proxy = "socks5h://p:1080";
    o.request.headers = {{"X-Z", "1"}, {"X-A", "2"}, {"X-Z", "3"}};
    o.request.type = "dash";
    o.request.live_from_start = true;
    o.request.skip_bad_segments = true;
    o.request.live_outage_limit = 45;
    for (const GetOptions& options : {o, GetOptions{}}) {
        const std::string url = "http://h/f.bin";
        const StartOptions direct = start_options(options, url);
        JsonValue json;
        ASSERT_TRUE(parse_json(build_start_request(options, url), json));
        StartOptions read = read_start_options(json, true);
        if (auto headers = ordered_headers(build_start_request(options, url))) read.headers = *headers;
        EXPECT_EQ(direct.url, read.url);
        EXPECT_EQ(direct.connections, read.connections);
        EXPECT_EQ(direct.bandwidth_limit, read.bandwidth_limit);
        EXPECT_EQ(direct.insecure, read.insecure);
        EXPECT_EQ(direct.proxy, read.proxy);
        EXPECT_EQ(direct.filename, read.filename);
        EXPECT_EQ(direct.cookies, read.cookies);
        EXPECT_EQ(direct.referrer, read.referrer);
        EXPECT_EQ(direct.user_agent, read.user_agent);
        EXPECT_EQ(direct.type, read.type);
        EXPECT_EQ(direct.method, read.method);
        EXPECT_EQ(direct.headers, read.headers);
        EXPECT_EQ(direct.live_from_start, read.live_from_start);
        EXPECT_EQ(direct.skip_bad_segments, read.skip_bad_segments);
        EXPECT_EQ(direct.live_outage_limit, read.live_outage_limit);
    }
}

} // namespace
} // namespace twk
