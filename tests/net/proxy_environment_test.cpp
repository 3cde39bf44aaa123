// The proxy the environment names for a URL, with curl's rules for the variables' names and
// case and for no_proxy.
#include "net/proxy_environment.h"

#include <gtest/gtest.h>

#include <map>

namespace twk {
namespace {

EnvironmentLookup environment(std::map<std::string, std::string> values) {
    return [values](const char* name) {
        const auto found = values.find(name);
        return found == values.end() ? std::string() : found->second;
    };
}

TEST(NoProxy, MatchesNamesBelowADomainAddressesAndRanges) {
    struct Case {
        const char* no_proxy;
        const char* host;
        bool matches;
    };
    const Case cases[] = {
        {"*", "anything.example", true},
        {"example.com", "example.com", true},
        {"example.com", "a.b.example.com", true},
        {".example.com", "example.com", true},
        {".example.com", "files.EXAMPLE.com.", true},
        {"example.com", "badexample.com", false},
        {"example.com", "example.com.evil", false},
        {"a.com, b.com\tc.com", "x.c.com", true},
        {"a.com,,b.com", "b.com", true},
        {"*.example.com", "a.example.com", false}, // "*" is special only alone
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.0/8", "127.1.2.3", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.1.0/23", "192.168.0.9", true},
        {"::1", "[::1]", true},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"127.0.0.1", "localhost", false}, // names are not resolved to compare them
        {"localhost", "127.0.0.1", false},
        {"", "example.com", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(no_proxy_matches(c.no_proxy, c.host), c.matches) << c.no_proxy << " / " << c.host;
}

TEST(EnvironmentProxy, PicksTheVariableCurlWould) {
    struct Case {
        std::map<std::string, std::string> variables;
        const char* url;
        const char* variable; // empty: direct
        int32_t kind;
        const char* host;
        int32_t port;
    };
    const Case cases[] = {
        {{{"http_proxy", "http://p:3128"}}, "http://a.test/f", "http_proxy", kProxyHttp, "p", 3128},
        // HTTP_PROXY may be a request header handed to a CGI program: never trusted.
        {{{"HTTP_PROXY", "http://p:3128"}}, "http://a.test/f", "", kProxyNone, "", 0},
        {{{"HTTPS_PROXY", "socks5h://s:1080"}},
         "https://a.test/f",
         "HTTPS_PROXY",
         kProxySocks5Remote,
         "s",
         1080},
        {{{"https_proxy", "p1:1"}, {"HTTPS_PROXY", "p2:2"}},
         "https://a.test/",
         "https_proxy",
         kProxyHttp,
         "p1",
         1},
        {{{"ftp_proxy", "socks5://s:9"}}, "ftp://a.test/f", "ftp_proxy", kProxySocks5, "s", 9},
        {{{"all_proxy", "socks5://s:9"}, {"http_proxy", "h:1"}},
         "https://a.test/",
         "all_proxy",
         kProxySocks5,
         "s",
         9},
        {{{"ALL_PROXY", "h:2"}}, "ftp://a.test/", "ALL_PROXY", kProxyHttp, "h", 2},
        {{{"http_proxy", "http://user:pw@p/"}}, "http://a.test/", "http_proxy", kProxyHttp, "p", 1080},
        {{{"http_proxy", "h:1"}, {"no_proxy", "a.test"}}, "http://x.a.test/", "", kProxyNone, "", 0},
        {{{"http_proxy", "h:1"}, {"NO_PROXY", "*"}}, "http://x.b.test/", "", kProxyNone, "", 0},
        {{{"http_proxy", "h:1"}, {"no_proxy", "other"}, {"NO_PROXY", "*"}},
         "http://x/",
         "http_proxy",
         kProxyHttp,
         "h",
         1},
        {{}, "https://a.test/", "", kProxyNone, "", 0},
    };
    for (const Case& c : cases) {
        const EnvironmentProxy found = environment_proxy(c.url, environment(c.variables));
        EXPECT_EQ(found.variable, c.variable) << c.url;
        EXPECT_TRUE(found.usable) << c.url;
        EXPECT_EQ(found.proxy.kind, c.kind) << c.url;
        EXPECT_EQ(found.proxy.host, c.host) << c.url;
        EXPECT_EQ(found.proxy.port, c.port) << c.url;
    }
    const EnvironmentProxy credentials =
        environment_proxy("http://a.test/", environment({{"http_proxy", "http://user:pw@p/"}}));
    EXPECT_EQ(credentials.proxy.user, "user");
    EXPECT_EQ(credentials.proxy.password, "pw");

    // A value we cannot use is reported, never quietly taken as "direct".
    const EnvironmentProxy socks4 =
        environment_proxy("http://a.test/", environment({{"http_proxy", "socks4://s:1"}}));
    EXPECT_FALSE(socks4.usable);
    EXPECT_EQ(socks4.variable, "http_proxy");
    EXPECT_EQ(socks4.proxy.kind, kProxyNone);
}

} // namespace
} // namespace twk
