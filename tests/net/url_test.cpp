#include "net/url.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

TEST(ParseUrl, SplitsWhatTheTransportServes) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* host;
        int port;
        const char* path;
        bool tls;
        const char* user;
        const char* password;
    } cases[] = {
        {"  HTTP://MyHost  ", "http", "MyHost", 80, "/", false, "", ""},
        {"https://h?x=1#top", "https", "h", 443, "/?x=1", true, "", ""},
        {"https://h/a#b", "https", "h", 443, "/a", true, "", ""},
        {"https://h#frag", "https", "h", 443, "/", true, "", ""},
        {"http://a%40b:p%3Aq@h/", "http", "h", 80, "/", false, "a@b", "p:q"},
        {"http://a:b@c@h/", "http", "h", 80, "/", false, "a", "b@c"},
        {"http://user@h/", "http", "h", 80, "/", false, "user", ""},
        {"http://h:65535/x/../y", "http", "h", 65535, "/x/../y", false, "", ""},
        {"http://[::1]:8080/x", "http", "::1", 8080, "/x", false, "", ""},
        {"http://[fe80::1%25eth0]/", "http", "fe80::1%25eth0", 80, "/", false, "", ""},
        {"http://[::ffff:1.2.3.4]", "http", "::ffff:1.2.3.4", 80, "/", false, "", ""},
        {"ftps://files.example/pub", "ftps", "files.example", 21, "/pub", false, "", ""},
        {"ftp://h", "ftp", "h", 21, "/", false, "", ""},
    };
    for (const auto& c : cases) {
        UrlParts u;
        ASSERT_TRUE(parse_url(c.text, u)) << c.text;
        EXPECT_EQ(u.scheme, c.scheme) << c.text;
        EXPECT_EQ(u.host, c.host) << c.text;
        EXPECT_EQ(u.port, c.port) << c.text;
        EXPECT_EQ(u.path, c.path) << c.text;
        EXPECT_EQ(u.tls, c.tls) << c.text;
        EXPECT_EQ(u.user, c.user) << c.text;
        EXPECT_EQ(u.password, c.password) << c.text;
    }
}

TEST(ParseUrl, RefusesWhatItCannotServe) {
    const char* bad[] = {
        "example.com/file",      // no scheme
        "gopher://h/",           // unknown scheme
        "http://",               // empty host
        "http:///path",          // empty host
        "http://user@/x",        // empty host after userinfo
        "http://:80/",           // empty host before port
        "http://h:0/",           // port 0
        "http://h:65536/",       // port too large
        "http://h:/",            // empty port
        "http://h:8a/",          // letter in port
        "http://h:+80/",         // sign in port
        "http://h:99999999999/", // overflow
        "http://::1/",           // unbracketed IPv6
        "http://[::1/",          // no closing bracket
        "http://[1.2.3.4]/",     // bracketed host without ":"
        "http://[]/",            // empty bracketed host
        "http://[g::1]/",        // not hex
        "http://[::1%]/",        // empty zone
        "http://[::1%a/b]/",     // "/" ends the authority first
        "http://[::1%e!]/",      // zone outside the unreserved set
        "http://[::1]x/",        // text after "]"
        "http://[::1]:/",        // empty port after "]"
        "http://a%0Ab@h/",       // user decodes to a control byte
        "http://a:%7f@h/",       // password decodes to DEL
        "http://a%09@h/",        // TAB counts too in credentials
        "http://us%4@h/",        // incomplete escape
        "http://%zz@h/",         // non-hex escape
    };
    for (const char* text : bad) {
        UrlParts u;
        EXPECT_FALSE(parse_url(text, u)) << text;
    }
}

TEST(UrlAuthority, BracketsIpv6AndOmitsDefaultPorts) {
    struct Case {
        const char* url;
        const char* authority;
    } cases[] = {
        {"http://[::1]:8080/x", "[::1]:8080"},
        {"http://[::1]/", "[::1]"},
        {"https://h:80/", "h:80"},
        {"http://h:443/", "h:443"},
        {"https://h:443/", "h"},
        {"ftps://h:990/", "h:990"},
        {"ftp://h/", "h"},
    };
    for (const auto& c : cases) {
        UrlParts u;
        ASSERT_TRUE(parse_url(c.url, u)) << c.url;
        EXPECT_EQ(url_authority(u), c.authority) << c.url;
    }
}

TEST(ResolveUrl, AgainstABaseWithCredentialsPortAndQuery) {
    const char* base = "https://u:p@h:8443/a/b?q";
    struct Case {
        const char* reference;
        const char* resolved;
    } cases[] = {
        {"c", "https://u:p@h:8443/a/c"},
        {"/z", "https://u:p@h:8443/z"},
        {"//x/y", "https://x/y"},
        {"?r", "https://u:p@h:8443/a/?r"},
        {"  c  ", "https://u:p@h:8443/a/c"},
        {"../c", "https://u:p@h:8443/a/../c"},
        {"http://other/x", "http://other/x"},
        {"/go?to=http://x", "https://u:p@h:8443/go?to=http://x"},
        {"", ""},
        {"   ", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve_url(base, c.reference), c.resolved) << c.reference;
}

TEST(ResolveUrl, EdgeBases) {
    EXPECT_EQ(resolve_url("not a url", " seg.ts "), "seg.ts");
    EXPECT_EQ(resolve_url("http://h", "x"), "http://h/x");
    EXPECT_EQ(resolve_url("http://h/dir/?a=/b/c", "x"), "http://h/dir/x");
    // Credentials are re-encoded; an empty user gives no userinfo even with a password.
    EXPECT_EQ(resolve_url("http://a%40b:p%3A@h/", "x"), "http://a%40b:p%3A@h/x");
    EXPECT_EQ(resolve_url("http://u@h/", "x"), "http://u:@h/x");
    EXPECT_EQ(resolve_url("http://:pw@h/", "x"), "http://h/x");
    EXPECT_EQ(resolve_url("http://[::1]:81/a", "b"), "http://[::1]:81/b");
}

TEST(PercentCoding, EncodeDecode) {
    EXPECT_EQ(percent_encode("aZ09-._~ /?%\xC3\xA9"), "aZ09-._~%20%2F%3F%25%C3%A9");
    std::string out;
    EXPECT_TRUE(percent_decode("a%2fb%2F+c", out));
    EXPECT_EQ(out, "a/b/+c");
    EXPECT_TRUE(percent_decode("%00", out));
    EXPECT_EQ(out, std::string(1, '\0'));
    EXPECT_FALSE(percent_decode("%4", out));
    EXPECT_FALSE(percent_decode("%", out));
    EXPECT_FALSE(percent_decode("%g0", out));
    EXPECT_FALSE(percent_decode("%0g", out));
}

TEST(ParsePort, DecimalOneTo65535) {
    struct Case {
        const char* text;
        bool ok;
        int port;
    } cases[] = {{"1", true, 1},    {"65535", true, 65535}, {"00080", true, 80},
                 {"0", false, 0},   {"65536", false, 0},    {"", false, 0},
                 {" 80", false, 0}, {"-1", false, 0},       {"4294967377", false, 0}};
    for (const auto& c : cases) {
        int32_t port = -5;
        EXPECT_EQ(parse_port(c.text, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(UrlHelpers, TrimAndBasicCredentials) {
    EXPECT_EQ(trim_spaces(" \t\r\n\v\fa b\n"), "a b");
    EXPECT_EQ(trim_spaces("   "), "");
    // RFC 7617's example, and each padding length.
    EXPECT_EQ(basic_credentials("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(basic_credentials("a", ""), "YTo=");
    EXPECT_EQ(basic_credentials("ab", ""), "YWI6");
    EXPECT_EQ(basic_credentials("", "x"), "Ong=");
}

TEST(RedactUrl, HidesThePasswordAndNothingElse) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"http://ann:pw@h/a", "http://ann:***@h/a"},
        {"ftp://ann:p%40ss:w@h:2121/f?x@y", "ftp://ann:***@h:2121/f?x@y"},
        {"https://ann:pw@[::1]:8443/", "https://ann:***@[::1]:8443/"},
        {"https://:pw@h", "https://:***@h"},
        {"https://ann@h/p:q@r", "https://ann@h/p:q@r"}, // no password; the path is no user information
        {"http://h/a?u=x:y@z", "http://h/a?u=x:y@z"},
        {"not a url", "not a url"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(redact_url(c.text), c.shown) << c.text;
    EXPECT_EQ(redact_urls_in("error: http 404 for \"http://a:b@h/x\" and ftp://c:d@g/"),
              "error: http 404 for \"http://a:***@h/x\" and ftp://c:***@g/");
    EXPECT_EQ(redact_urls_in("  two  spaces\tkept "), "  two  spaces\tkept ");
}

TEST(RequestTarget, EncodesWhatMayNotAppearInARequestLineAsBrowsersDo) {
    struct Case {
        const char* path;
        const char* target;
    } cases[] = {
        {"/a b/c", "/a%20b/c"},
        {"/\xC3\xBC.bin", "/%C3%BC.bin"},
        {"/x%20y/%zz", "/x%20y/%zz"},                   // escapes, even broken ones, as they are
        {"/{a}`<\">", "/%7Ba%7D%60%3C%22%3E"},          // the path's set
        {"/p?q={a} b&c='d'", "/p?q={a}%20b&c=%27d%27"}, // the query's set
        {"/a;b=c/d?e=f&g=h~!$*()", "/a;b=c/d?e=f&g=h~!$*()"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(request_target(c.path), c.target) << c.path;
}

} // namespace
} // namespace twk
