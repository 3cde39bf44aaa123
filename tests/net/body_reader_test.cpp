#include "net/body_reader.h"

#include "tests/support/memory_stream.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

using test::MemoryStream;

struct BodyResult {
    std::string body;
    int last = 0; // the read that ended it: 0 or -1
};

// Reads the whole body in pieces of `piece` bytes.
BodyResult read_all(HttpResponse& response, int piece = 7) {
    BodyReader reader(response);
    BodyResult result;
    std::vector<char> buffer(static_cast<size_t>(piece));
    for (int guard = 0; guard < 1000000; ++guard) {
        const int n = reader.read(buffer.data(), piece);
        if (n <= 0) {
            result.last = n;
            return result;
        }
        result.body.append(buffer.data(), static_cast<size_t>(n));
    }
    result.last = -2;
    return result;
}

HttpResponse chunked_over(std::string wire, std::string prefetched = {}, size_t max_read = 3) {
    HttpResponse response;
    response.chunked = true;
    response.prefetched = std::move(prefetched);
    response.connection = std::make_unique<MemoryStream>(std::move(wire), max_read);
    return response;
}

TEST(BodyReader, KnownLengthTakesPrefetchedBytesFirstAndStopsAtTheLength) {
    HttpResponse response;
    response.content_length = 10;
    response.prefetched = "0123";
    response.connection = std::make_unique<MemoryStream>("456789EXTRA", 2);
    const BodyResult r = read_all(response);
    EXPECT_EQ(r.body, "0123456789");
    EXPECT_EQ(r.last, 0);
}

TEST(BodyReader, ABodyCutShortOfItsLengthFails) {
    HttpResponse response;
    response.content_length = 10;
    response.connection = std::make_unique<MemoryStream>("01234");
    EXPECT_EQ(read_all(response, 100).last, -1);
}

TEST(BodyReader, UntilCloseEndsWithTheConnectionAndFailsOnAnError) {
    HttpResponse clean;
    clean.until_close = true;
    clean.connection = std::make_unique<MemoryStream>("all of it", 4);
    const BodyResult whole = read_all(clean);
    EXPECT_EQ(whole.body, "all of it");
    EXPECT_EQ(whole.last, 0);

    HttpResponse broken;
    broken.until_close = true;
    broken.connection = std::make_unique<MemoryStream>("partial", 4, -1);
    const BodyResult r = read_all(broken);
    EXPECT_EQ(r.body, "partial");
    EXPECT_EQ(r.last, -1);
}

TEST(BodyReader, NoBodyAndZeroCapacityReadNothing) {
    HttpResponse head;
    head.no_body = true;
    head.content_length = 100;
    head.connection = std::make_unique<MemoryStream>("not the body");
    const BodyResult nothing = read_all(head);
    EXPECT_EQ(nothing.body, "");
    EXPECT_EQ(nothing.last, 0);

    HttpResponse response;
    response.content_length = 3;
    response.prefetched = "abc";
    BodyReader reader(response);
    char c;
    EXPECT_EQ(reader.read(&c, 0), 0);
}

TEST(BodyReader, ChunkedDecodesExtensionsTrailersAndAnyCut) {
    const std::string wire =
        "4;name=value\r\nWiki\r\n5 \r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nTrailer: x\r\n\r\n";
    for (size_t cut : {1u, 2u, 5u, 1000u}) {
        HttpResponse response = chunked_over(wire.substr(6), wire.substr(0, 6), cut);
        const BodyResult r = read_all(response, 3);
        EXPECT_EQ(r.body, "Wikipedia in\r\n\r\nchunks.") << cut;
        EXPECT_EQ(r.last, 0) << cut;
    }
}

TEST(BodyReader, ChunkedRefusesBrokenFraming) {
    const std::pair<const char*, std::string> cases[] = {
        {"data not followed by an empty line", "3\r\nabcX\r\n0\r\n\r\n"},
        {"size not hexadecimal", "zz\r\nabc\r\n0\r\n\r\n"},
        {"empty size", "\r\nabc\r\n0\r\n\r\n"},
        {"size with trailing junk", "3 4\r\nabc\r\n0\r\n\r\n"},
        {"size past 64 bits", "1000000000000000000\r\nabc\r\n"},
        {"size line too long", std::string(kMaxChunkLine + 10, '0')},
        {"ends inside a chunk", "10\r\nabc"},
        {"ends before the last chunk", "3\r\nabc\r\n"},
        {"ends inside the trailers", "0\r\nTrailer: x\r\n"},
        {"too many trailer lines", "0\r\n" +
                                       [] {
                                           std::string t;
                                           for (int i = 0; i <= kMaxTrailerLines; ++i)
                                               t += "T: v\r\n";
                                           return t + "\r\n";
                                       }()},
    };
    for (const auto& [name, wire] : cases) {
        HttpResponse response = chunked_over(wire, {}, 4096);
        EXPECT_EQ(read_all(response, 64).last, -1) << name;
    }
}

TEST(BodyReader, SixtyFourTrailerLinesAreAccepted) {
    std::string wire = "1\r\nx\r\n0\r\n";
    for (int i = 0; i < kMaxTrailerLines; ++i)
        wire += "T: v\r\n";
    HttpResponse response = chunked_over(wire + "\r\n", {}, 4096);
    const BodyResult r = read_all(response);
    EXPECT_EQ(r.body, "x");
    EXPECT_EQ(r.last, 0);
}

TEST(BodyReader, LongChunkedBodyKeepsItsBufferBounded) {
    // 2.4 MB in chunks of 4,000 to 4,199 bytes, far more than the bound below.
    std::string wire, expected;
    for (int i = 0; i < 600; ++i) {
        const std::string piece(4000 + i % 200, static_cast<char>('a' + i % 26));
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        wire += size + piece + "\r\n";
        expected += piece;
    }
    HttpResponse response = chunked_over(wire + "0\r\n\r\n", {}, 70000);
    BodyReader reader(response);
    std::string body;
    std::vector<char> buffer(100000);
    size_t most_buffered = 0;
    int n;
    while ((n = reader.read(buffer.data(), static_cast<int>(buffer.size()))) > 0) {
        body.append(buffer.data(), static_cast<size_t>(n));
        most_buffered = std::max(most_buffered, reader.buffered());
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(body, expected);
    // Consumed bytes are dropped once more than a chunk line's worth piled up.
    EXPECT_GT(most_buffered, 0u);
    EXPECT_LE(most_buffered, 2 * kMaxChunkLine + kChunkReadSize);
}

} // namespace
} // namespace twk
