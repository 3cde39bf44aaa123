#include "app/launch_link.h"

#include <gtest/gtest.h>

#include <string>

namespace twk::app {
namespace {

TEST(LaunchLink, AcceptedFormsGiveTheDownloadLink) {
    struct Case {
        const char* text;
        const char* url;
    };
    const Case cases[] = {
        {"https://example.test/a.iso", "https://example.test/a.iso"},
        {"ftp://example.test/pub/b.tar", "ftp://example.test/pub/b.tar"},
        {"twk:https://example.test/a.iso?x=1&y=%41", "https://example.test/a.iso?x=1&y=%41"},
        {"TWK:HTTP://example.test/a", "HTTP://example.test/a"},
        // An escape in a link that is not itself encoded stays an escape.
        {"twk:https://example.test/a%0Ab", "https://example.test/a%0Ab"},
        {"twk:https%3A%2F%2Fexample.test%2Fa.iso", "https://example.test/a.iso"},
        {"twk://add?url=https%3A%2F%2Fexample.test%2Fa.iso%3Fk%3Dv", "https://example.test/a.iso?k=v"},
        {"twk://add?from=page&url=ftps%3A%2F%2Fh%2Ff#top", "ftps://h/f"},
    };
    for (const Case& c : cases) {
        const LaunchLink link = parse_launch_link(c.text);
        EXPECT_TRUE(link.ok) << c.text << ": " << link.error;
        EXPECT_EQ(link.url, c.url) << c.text;
    }
}

TEST(LaunchLink, OtherLinksAreRefusedWithTheReason) {
    struct Case {
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"", "empty link"},
        {"twk:", "twk: link without a url"},
        {"twk://add?name=x", "twk: link without a url"},
        {"twk://add?url=", "twk: link without a url"},
        {"twk://add?url=https%3A%2", "twk: link with a bad %-escape"},
        {"twk:file:///etc/passwd", "only http, https, ftp and ftps links can be downloaded"},
        {"twk:javascript%3Aalert(1)", "only http, https, ftp and ftps links can be downloaded"},
        {"twk://add?url=file%3A%2F%2F%2Fetc%2Fpasswd",
         "only http, https, ftp and ftps links can be downloaded"},
        {"gopher://example.test/", "only http, https, ftp and ftps links can be downloaded"},
        {"/home/u/file.iso", "only http, https, ftp and ftps links can be downloaded"},
        {"--verbose", "only http, https, ftp and ftps links can be downloaded"},
        {"https://", "invalid url"},
        {"https://example.test:99999/a", "invalid url"},
        {"twk:https%3A%2F%2Fexample.test%2Fa%20b.iso", "link with blanks or control characters"},
        {"twk:https%3A%2F%2Fexample.test%2Fa%0Ab", "link with blanks or control characters"},
        {"https://example.test/a b", "link with blanks or control characters"},
        {"https://example.test/" + std::string(kMaxLaunchLink, 'a'), "link too long"},
    };
    for (const Case& c : cases) {
        const LaunchLink link = parse_launch_link(c.text);
        EXPECT_FALSE(link.ok) << c.text;
        EXPECT_EQ(link.error, c.error) << c.text;
        EXPECT_TRUE(link.url.empty()) << c.text;
    }
}

} // namespace
} // namespace twk::app
