// Checksums of whole downloads against a server that can flip a byte: the file is checked when
// complete (the asked checksum, or the server's own Repr-Digest or Content-Digest), and a file
// that does not match is kept as "<name>.bad", never under its own name.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "core/sidecar.h"
#include "net/checksum.h"
#include "tests/core/driver_fixture.h"
#include "tests/support/script_server.h"

namespace twk {
namespace {

using test::DriverFixture;
using test::ScriptPeer;
using test::ScriptServer;

std::string sha256_hex(const std::string& bytes) {
    auto hasher = Hasher::create("sha-256");
    hasher->update(bytes.data(), bytes.size());
    return hasher->finish();
}

// Serves byte ranges of `body`; byte `flip` (when below the size) goes out inverted, and
// `headers` (CRLF-ended lines) go into every answer. With a `wall`, no byte at or past it is
// sent: an answer stops there and holds its connection open.
std::unique_ptr<ScriptServer> flipping_server(std::shared_ptr<const std::string> body, uint64_t flip,
                                              std::string headers = "",
                                              std::shared_ptr<std::atomic<uint64_t>> wall = nullptr) {
    return std::make_unique<ScriptServer>([body, flip, headers, wall](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            uint64_t first = 0, last = body->size() - 1;
            const std::string range = test::request_header(request, "range");
            const bool ranged = range.starts_with("bytes=");
            if (ranged) {
                char* rest = nullptr;
                first = std::strtoull(range.c_str() + 6, &rest, 10);
                if (rest && *rest == '-' && rest[1] != '\0')
                    last = std::min<uint64_t>(std::strtoull(rest + 1, nullptr, 10), last);
            }
            std::string slice = body->substr(first, last - first + 1);
            if (flip >= first && flip <= last) slice[flip - first] = static_cast<char>(~slice[flip - first]);
            std::string head = "Accept-Ranges: bytes\r\n" + headers;
            if (ranged)
                head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                        std::to_string(body->size()) + "\r\n";
            const std::string answer =
                test::http_response(ranged ? "206 Partial Content" : "200 OK", head, slice);
            if (wall && *wall <= last) {
                const uint64_t sent = *wall > first ? *wall - first : 0;
                peer.send(answer.substr(0, answer.size() - slice.size() + sent));
                peer.wait_for_close();
                return;
            }
            peer.send(answer);
        }
    });
}

class ChecksumDownload : public DriverFixture {
protected:
    std::shared_ptr<const std::string> body =
        std::make_shared<const std::string>(test::random_bytes(3 * 1024 * 1024 + 123, 5));
    std::string good = "sha-256=" + sha256_hex(*body);
};

// Over one connection and over eight (the prefix then grows from other connections' bytes too).
TEST_F(ChecksumDownload, AMatchingFileIsDoneAFlippedByteIsSetAsideAsBad) {
    struct Case {
        uint64_t flip;
        int connections;
    };
    const Case cases[] = {
        {UINT64_MAX, 1}, {UINT64_MAX, 8}, {2 * 1024 * 1024 + 7, 1}, {2 * 1024 * 1024 + 7, 8}};
    int n = 0;
    for (const Case& c : cases) {
        auto server = flipping_server(body, c.flip);
        const std::string name = "f" + std::to_string(++n) + ".bin";
        const int32_t id = add(server->url("/" + name), "\"connections\":" + std::to_string(c.connections) +
                                                            ",\"checksum\":\"" + good + "\"");
        ASSERT_GT(id, 0);
        const std::string status = settle(id);
        if (c.flip == UINT64_MAX) {
            EXPECT_EQ(status, "done") << n;
            EXPECT_TRUE(test::read_file(dir.file(name)) == *body) << n;
            continue;
        }
        std::string flipped = *body;
        flipped[c.flip] = static_cast<char>(~flipped[c.flip]);
        EXPECT_EQ(status, "error: checksum mismatch (expected " + good + ", got " + sha256_hex(flipped) + ")")
            << n;
        EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << n;
        EXPECT_FALSE(std::filesystem::exists(dir.file(name + ".twk"))) << n;
        EXPECT_TRUE(test::read_file(dir.file(name + ".bad")) == flipped) << n;
    }
}

// A paused run's hash is gone with it: the next run hashes the bytes already on disk first.
TEST_F(ChecksumDownload, AResumedDownloadIsCheckedOverAllItsBytes) {
    auto wall = std::make_shared<std::atomic<uint64_t>>(1'500'000);
    auto server = flipping_server(body, UINT64_MAX, "", wall);
    const int32_t id = add(server->url("/resumed.bin"), "\"connections\":1,\"checksum\":\"" + good + "\"");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() >= 1'000'000; }, 10'000));
    engine_pause(engine, id);
    ASSERT_EQ(settle(id), "paused");
    *wall = UINT64_MAX;
    engine_resume(engine, id);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(test::read_file(dir.file("resumed.bin")) == *body);
}

// With a checksum and eight connections the file is handed out in small pieces in file order
// (the order itself: OrderedClaim in download_driver_test.cpp); the file verifies, and a
// flipped byte in the middle is caught.
TEST_F(ChecksumDownload, EightConnectionsInPiecesVerifyTheFileAndCatchAFlippedByte) {
    constexpr uint64_t kPiece = 256 * 1024;
    constexpr uint64_t kFlip = 4 * 1024 * 1024 + 3;
    settings.ordered_piece = kPiece;
    auto big = std::make_shared<const std::string>(test::random_bytes(6 * 1024 * 1024 + 99, 7));
    const std::string sum = "sha-256=" + sha256_hex(*big);
    for (const uint64_t flip : {UINT64_MAX, kFlip}) {
        auto server = flipping_server(big, flip);
        const std::string name = flip == UINT64_MAX ? "ordered.bin" : "flipped.bin";
        const int32_t id = add(server->url("/" + name), "\"connections\":8,\"checksum\":\"" + sum + "\"");
        ASSERT_GT(id, 0);
        const std::string status = settle(id);
        if (flip == UINT64_MAX) {
            EXPECT_EQ(status, "done");
            EXPECT_TRUE(test::read_file(dir.file(name)) == *big);
            continue;
        }
        std::string flipped = *big;
        flipped[flip] = static_cast<char>(~flipped[flip]);
        EXPECT_EQ(status, "error: checksum mismatch (expected " + sum + ", got " + sha256_hex(flipped) + ")");
        EXPECT_FALSE(std::filesystem::exists(dir.file(name)));
        EXPECT_TRUE(test::read_file(dir.file(name + ".bad")) == flipped);
    }
}

// An interrupted run left holes (garbage on disk where nothing was written): the next run with
// eight connections fetches only the holes, hashes the bytes it already had from disk, and the
// file verifies.
TEST_F(ChecksumDownload, AResumedDownloadWithHolesVerifiesFetchingOnlyTheHoles) {
    constexpr uint64_t kMiB = 1024 * 1024;
    settings.ordered_piece = 256 * 1024;
    auto big = std::make_shared<const std::string>(test::random_bytes(6 * kMiB + 5, 11));
    struct Record {
        uint64_t start, pos, end;
    };
    const Record records[] = {{0, kMiB, kMiB},
                              {kMiB, kMiB, 5 * kMiB / 2},
                              {5 * kMiB / 2, 3 * kMiB, 3 * kMiB},
                              {3 * kMiB, 7 * kMiB / 2, big->size()}};
    std::string on_disk(big->size(), 'x');
    ResumeState state;
    state.total = big->size();
    for (const Record& r : records) {
        on_disk.replace(r.start, r.pos - r.start, big->substr(r.start, r.pos - r.start));
        state.segments.push_back(make_segment(r.start, r.pos, r.end));
    }
    test::write_file(dir.file("holes.bin"), on_disk);
    test::write_file(dir.file("holes.bin.twk"), sidecar_image(state));

    auto server = flipping_server(big, UINT64_MAX);
    const int32_t id =
        add(server->url("/holes.bin"), "\"connections\":8,\"checksum\":\"sha-256=" + sha256_hex(*big) + "\"");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(test::read_file(dir.file("holes.bin")) == *big);
    for (const std::string& request : server->requests()) {
        const uint64_t first = std::strtoull(test::request_header(request, "range").c_str() + 6, nullptr, 10);
        for (const Record& r : records)
            EXPECT_FALSE(first >= r.start && first < r.pos) << "fetched again from " << first;
    }
}

TEST_F(ChecksumDownload, TheServersOwnDigestIsCheckedWithoutBeingAsked) {
    // The digest of other bytes: every answer carries it, so the file cannot match.
    const std::string wrong = "Repr-Digest: sha-256=:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=:\r\n";
    auto liar = flipping_server(body, UINT64_MAX, wrong);
    const int32_t lied = add(liar->url("/lied.bin"), "\"connections\":4");
    EXPECT_TRUE(settle(lied).starts_with("error: checksum mismatch (expected sha-256=ba7816bf"))
        << settle(lied);
    EXPECT_FALSE(std::filesystem::exists(dir.file("lied.bin")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("lied.bin.bad")));

    // A Content-Digest on a 206 covers that part only: it is not taken for the whole file.
    auto partial = flipping_server(
        body, UINT64_MAX, "Content-Digest: sha-256=:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=:\r\n");
    EXPECT_EQ(settle(add(partial->url("/partial.bin"), "\"connections\":4")), "done");
}

TEST_F(ChecksumDownload, ABadChecksumIsRefusedWhenTheTaskIsAdded) {
    EXPECT_EQ(add("http://127.0.0.1:1/x.bin", "\"checksum\":\"sha-256=abc\""), -1);
    StartOptions options;
    options.url = "http://127.0.0.1:1/x.bin";
    options.checksum = "sha-256=abc";
    EXPECT_EQ(engine->add(options).error, AddError::kBadChecksum);
}

} // namespace
} // namespace twk
