#include "net/proxy_spec.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

TEST(ParseProxyUrl, KindsHostsPortsAndCredentials) {
    struct Case {
        const char* text;
        int kind;
        const char* host;
        int port;
        const char* user;
        const char* password;
    } cases[] = {
        {"http://proxy:3128", kProxyHttp, "proxy", 3128, "", ""},
        {"  proxy:8080  ", kProxyHttp, "proxy", 8080, "", ""},
        {"HTTPS://p:443", kProxyHttps, "p", 443, "", ""},
        {"socks5://p:1080", kProxySocks5, "p", 1080, "", ""},
        {"socks5h://p:1080/ignored", kProxySocks5Remote, "p", 1080, "", ""},
        {"socks://p:1080", kProxySocks5Remote, "p", 1080, "", ""},
        {"http://u%40:p:w@p:1", kProxyHttp, "p", 1, "u%40", "p:w"},
        {"http://user@p:1", kProxyHttp, "p", 1, "user", ""},
        {"http://[::1]:3128", kProxyHttp, "::1", 3128, "", ""},
        {"http://a:b:3128", kProxyHttp, "a:b", 3128, "", ""}, // the last ":" splits
    };
    for (const auto& c : cases) {
        ProxySpec p;
        ASSERT_TRUE(parse_proxy_url(c.text, p)) << c.text;
        EXPECT_EQ(p.kind, c.kind) << c.text;
        EXPECT_EQ(p.host, c.host) << c.text;
        EXPECT_EQ(p.port, c.port) << c.text;
        EXPECT_EQ(p.user, c.user) << c.text;
        EXPECT_EQ(p.password, c.password) << c.text;
        EXPECT_TRUE(p.configured()) << c.text;
    }
}

TEST(ParseProxyUrl, EmptyMeansNoProxyAndBadTextFails) {
    ProxySpec p;
    EXPECT_TRUE(parse_proxy_url("   ", p));
    EXPECT_EQ(p.kind, kProxyNone);
    EXPECT_FALSE(p.configured());
    const char* bad[] = {"ftp://p:21",         "http://p",       "http://:3128",
                         "http://p:0",         "http://p:x",     "http://[::1]",
                         "http://[::1]x:3128", "http://p:65536", "socks4://p:1080"};
    for (const char* text : bad) {
        EXPECT_FALSE(parse_proxy_url(text, p)) << text;
    }
}

} // namespace
} // namespace twk
