#include "net/http_head.h"

#include "tests/support/memory_stream.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

using test::MemoryStream;

TEST(ResponseHead, ReadsThroughTheEmptyLineAndKeepsTheRestAsBody) {
    MemoryStream stream("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef");
    std::string head, prefetched;
    ASSERT_TRUE(read_response_head(stream, head, prefetched));
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(prefetched, "abcdef");
}

TEST(ResponseHead, RefusesAClosedConnectionAndAnEndlessHead) {
    std::string head, prefetched;
    MemoryStream cut("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n");
    EXPECT_FALSE(read_response_head(cut, head, prefetched));
    MemoryStream endless("HTTP/1.1 200 OK\r\nX: " + std::string(kMaxResponseHead + 1, 'a'));
    EXPECT_FALSE(read_response_head(endless, head, prefetched));
}

TEST(ResponseHead, StatusIsExactlyThreeDigits) {
    const std::pair<const char*, int> cases[] = {
        {"HTTP/1.1 206 Partial Content\r\n\r\n", 206},
        {"HTTP/1.1 404\r\n\r\n", 404},
        {"HTTP/1.1 20 OK\r\n\r\n", 0},
        {"HTTP/1.1 2000 OK\r\n\r\n", 0},
        {"HTTP/1.1 2x0 OK\r\n\r\n", 0},
        {"garbage\r\n\r\n", 0},
    };
    for (const auto& [head, status] : cases)
        EXPECT_EQ(parse_response_head(head).status, status) << head;
}

TEST(ResponseHead, MergesRepeatedHeaders) {
    const ResponseHead head = parse_response_head("HTTP/1.1 200 OK\r\n"
                                                  "Set-Cookie: a=1\r\n"
                                                  "set-cookie: b=2\r\n"
                                                  "Transfer-Encoding: gzip\r\n"
                                                  "transfer-encoding: chunked\r\n"
                                                  "X-Thing:  first \r\n"
                                                  "X-THING: last\n"
                                                  "no colon here\r\n"
                                                  "Content-Length: 5\r\n"
                                                  "Content-Length: 5\r\n"
                                                  "\r\n"
                                                  "After: the end\r\n");
    EXPECT_EQ(head.headers.get("set-cookie"), "a=1\nb=2");
    EXPECT_EQ(head.headers.get("Transfer-Encoding"), "gzip, chunked");
    EXPECT_EQ(head.headers.get("x-thing"), "last");
    EXPECT_EQ(head.headers.get("after"), "");
    EXPECT_FALSE(head.conflicting_length);
    EXPECT_TRUE(parse_response_head("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n")
                    .conflicting_length);
}

TEST(ResponseHead, AHeadFullOfDistinctHeadersIsParsedWhole) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; head.size() < kMaxResponseHead - 16; ++i)
        head += "h" + std::to_string(i) + ":\n";
    const ResponseHead parsed = parse_response_head(head + "\r\n");
    EXPECT_GT(parsed.headers.entries.size(), 100000u);
    EXPECT_EQ(parsed.status, 200);
}

struct FramingCase {
    const char* name;
    const char* head;
    const char* method;
    const char* range; // the caller's Range header, or null
    const char* error; // empty when accepted
};

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, AcceptsOrRefusesWithTheExactMessage) {
    const FramingCase& c = GetParam();
    HttpResponse response;
    ResponseHead head = parse_response_head(c.head);
    response.status = head.status;
    response.headers = head.headers;
    HeaderList request_headers;
    if (c.range) request_headers.emplace_back("Range", c.range);
    std::string error;
    EXPECT_EQ(apply_response_framing(c.method, request_headers, response, error), *c.error == 0);
    EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Framing,
    ::testing::Values(
        FramingCase{"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n", "GET", nullptr, ""},
        FramingCase{"gzip_before_chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
                    "GET", nullptr, "unsupported Transfer-Encoding: gzip, chunked"},
        FramingCase{"malformed_length", "HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n\r\n", "GET", nullptr,
                    "malformed Content-Length"},
        FramingCase{"negative_length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", "GET", nullptr,
                    "malformed Content-Length"},
        FramingCase{"length_past_int64", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\n",
                    "GET", nullptr, "malformed Content-Length"},
        FramingCase{"identity_encoding", "HTTP/1.1 200 OK\r\nContent-Encoding: Identity, \r\n\r\n", "GET",
                    nullptr, ""},
        FramingCase{"gzip_encoding", "HTTP/1.1 200 OK\r\nContent-Encoding: identity, GZip\r\n\r\n", "GET",
                    nullptr, "unsupported Content-Encoding: identity, GZip"},
        FramingCase{"unsolicited_206", "HTTP/1.1 206 P\r\nContent-Range: bytes 0-9/10\r\n\r\n", "GET",
                    nullptr, "unsolicited 206 (no Range requested)"},
        FramingCase{"matching_206",
                    "HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1000\r\nContent-Length: 100\r\n\r\n",
                    "GET", "bytes=100-199", ""},
        FramingCase{"unknown_total_206", "HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/*\r\n\r\n", "GET",
                    "bytes=100-199", ""},
        FramingCase{"open_ended_206", "HTTP/1.1 206 P\r\nContent-Range: BYTES 100-999/1000\r\n\r\n", "GET",
                    "bytes=100-", ""},
        FramingCase{"longer_than_asked_206", "HTTP/1.1 206 P\r\nContent-Range: bytes 100-299/1000\r\n\r\n",
                    "GET", "bytes=100-199", "invalid 206 Content-Range"},
        FramingCase{"other_start_206", "HTTP/1.1 206 P\r\nContent-Range: bytes 0-99/1000\r\n\r\n", "GET",
                    "bytes=100-199", "invalid 206 Content-Range"},
        FramingCase{"length_mismatch_206",
                    "HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1000\r\nContent-Length: 99\r\n\r\n",
                    "GET", "bytes=100-199", "invalid 206 Content-Range"},
        FramingCase{"total_not_past_last_206", "HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/199\r\n\r\n",
                    "GET", "bytes=100-199", "invalid 206 Content-Range"},
        FramingCase{"other_unit_206", "HTTP/1.1 206 P\r\nContent-Range: items 100-199/1000\r\n\r\n", "GET",
                    "bytes=100-199", "invalid 206 Content-Range"},
        FramingCase{"missing_content_range_206", "HTTP/1.1 206 P\r\n\r\n", "GET", "bytes=100-199",
                    "invalid 206 Content-Range"},
        FramingCase{"reversed_206", "HTTP/1.1 206 P\r\nContent-Range: bytes 199-100/1000\r\n\r\n", "GET",
                    "bytes=100-199", "invalid 206 Content-Range"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Framing, SetsTheBodyShape) {
    std::string error;
    HttpResponse until_close;
    until_close.status = 200;
    ASSERT_TRUE(apply_response_framing("GET", {}, until_close, error));
    EXPECT_TRUE(until_close.until_close);
    EXPECT_EQ(until_close.content_length, -1);

    for (auto [method, status] : {std::pair{"HEAD", 200}, std::pair{"GET", 204}, std::pair{"GET", 304}}) {
        HttpResponse response;
        response.status = status;
        ASSERT_TRUE(apply_response_framing(method, {}, response, error));
        EXPECT_TRUE(response.no_body) << method << " " << status;
    }

    HttpResponse partial;
    partial.status = 206;
    partial.headers.set("Content-Range", "bytes 100-199/*");
    partial.headers.set("Content-Length", "100");
    ASSERT_TRUE(apply_response_framing("GET", {{"range", "bytes=100-199"}}, partial, error));
    EXPECT_EQ(partial.range_start, 100);
    EXPECT_EQ(partial.range_total, -1);
    EXPECT_EQ(partial.content_length, 100);
}

} // namespace
} // namespace twk
