#include "net/redirect_policy.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

UrlParts url(const char* text) {
    UrlParts parts;
    EXPECT_TRUE(parse_url(text, parts)) << text;
    return parts;
}

TEST(RedirectPolicy, RedirectStatuses) {
    for (int status : {301, 302, 303, 305, 306, 307, 308})
        EXPECT_TRUE(is_redirect_status(status)) << status;
    for (int status : {0, 200, 206, 299, 300, 304, 309, 310, 399, 404, -302})
        EXPECT_FALSE(is_redirect_status(status)) << status;
}

TEST(RedirectPolicy, TargetIsResolvedWithoutFragmentAndEmptyMeansFinal) {
    HeaderMap headers;
    headers.set("Location", "/b/c?q=1#frag");
    EXPECT_EQ(redirect_target(302, "http://h/a/x/y", headers), "http://h/b/c?q=1");
    EXPECT_EQ(redirect_target(200, "http://h/a/x/y", headers), "");
    headers.set("location", "#only-a-fragment");
    EXPECT_EQ(redirect_target(301, "http://h/a", headers), "");
    EXPECT_EQ(redirect_target(301, "http://h/a", HeaderMap{}), "");
}

TEST(RedirectPolicy, OriginIsSchemeHostAndPort) {
    EXPECT_TRUE(same_origin(url("http://Example.COM/a"), url("http://example.com:80/b")));
    EXPECT_FALSE(same_origin(url("https://example.com/"), url("http://example.com/")));
    EXPECT_FALSE(same_origin(url("http://example.com/"), url("http://example.com:8080/")));
    EXPECT_FALSE(same_origin(url("http://example.com/"), url("http://example.org/")));
}

const HeaderList kHeaders = {{"Authorization", "Basic x"}, {"Cookie", "c=1"},
                             {"Range", "bytes=5-"},        {"Referer", "https://r.example/page?p=1"},
                             {"If-Range", "\"e\""},        {"X-Custom", "1"}};

struct RedirectCase {
    const char* name;
    int status;
    const char* method;
    const char* to;
    const char* method_after; // null when refused
    bool body_kept;
    bool all_headers_kept;
    const char* referer_after = nullptr; // on a change of origin: the Referer a browser sends, if any
};

class Redirect : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(Redirect, RewritesOrRefuses) {
    const RedirectCase& c = GetParam();
    std::string method = c.method, body = "payload", error;
    HeaderList headers = kHeaders;
    const bool ok = apply_redirect(c.status, url("http://a.example/x"), c.to, method, body, headers, error);
    ASSERT_EQ(ok, c.method_after != nullptr) << error;
    if (!ok) {
        EXPECT_EQ(error, "cross-origin " + std::to_string(c.status) +
                             " redirect blocked for non-safe method " + c.method);
        return;
    }
    EXPECT_EQ(method, c.method_after);
    EXPECT_EQ(body, c.body_kept ? "payload" : "");
    if (c.all_headers_kept) {
        EXPECT_EQ(headers, kHeaders);
    } else {
        HeaderList expected{{"Range", "bytes=5-"}, {"If-Range", "\"e\""}};
        if (c.referer_after) expected.insert(expected.begin() + 1, {"Referer", c.referer_after});
        EXPECT_EQ(headers, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Redirect,
    ::testing::Values(
        RedirectCase{"same_origin_307_post", 307, "POST", "http://A.example/y", "POST", true, true},
        RedirectCase{"cross_origin_302_post", 302, "POST", "http://b.example/y", "GET", false, false},
        RedirectCase{"same_origin_301_put", 301, "PUT", "http://a.example/y", "PUT", true, true},
        RedirectCase{"same_origin_303_put", 303, "PUT", "http://a.example/y", "GET", false, true},
        RedirectCase{"cross_origin_308_delete", 308, "DELETE", "http://b.example/", nullptr, false, false},
        RedirectCase{"cross_origin_307_post", 307, "POST", "https://a.example/x", nullptr, false, false},
        RedirectCase{"cross_origin_308_get", 308, "GET", "http://b.example/", "GET", true, false},
        RedirectCase{"scheme_change_same_host", 302, "GET", "https://a.example/x", "GET", true, false,
                     "https://r.example/"},
        RedirectCase{"unparsable_target", 302, "GET", "gopher://a.example/", "GET", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace twk
