// The stream driver against a scripted server: the faults no real server produces on demand
// (refused segments, missing keys, broken ciphertext, ranges ignored), cancel and pause in the
// middle of a download, and the naming of the output. Plus the pure helpers on tables of cases.
#include "core/status_document.h"
#include "media/segment_decrypt.h"
#include "media/segment_fetcher.h"
#include "media/stream_driver.h"
#include "media/stream_job.h"
#include "media/stream_join.h"
#include "media/stream_parts.h"
#include "net/checksum.h"
#include "net/socket.h"
#include "net/text.h"

#include "tests/control/process.h"
#include "tests/media/hls_crypto.h"
#include "tests/media/stream_engine.h"
#include "tests/support/real_peers.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

namespace twk {
namespace {

using test::encrypt;
using test::encrypt_raw;
using test::file_exists;
using test::folder_exists;
using test::kIv;
using test::kKey;
using test::read_file;
using test::StreamEngine;
using test::TempDir;
using test::wait_until;

// Distinct bytes for segment `n`, of a length that is no multiple of 16.
std::string segment_bytes(int n) {
    std::string out;
    for (int i = 0; i < 3000 + 77 * n; ++i)
        out += static_cast<char>((i * 31 + n * 7) & 0xFF);
    return out;
}

// A site of files on the scripted server. `fault` may answer a request instead of the file
// (the hit count of the path, from 1, is given); it runs on the connection's thread and may block.
class FakeSite {
public:
    using Fault = std::function<std::optional<std::string>(const std::string& path, int hit)>;

    void put(const std::string& path, const std::string& body) {
        std::lock_guard lock(m_lock);
        m_files[path] = body;
    }
    void set_fault(Fault fault) {
        std::lock_guard lock(m_lock);
        m_fault = std::move(fault);
    }
    int hits(const std::string& path) {
        std::lock_guard lock(m_lock);
        return m_hits[path];
    }
    std::string url(const std::string& path) const { return m_server.url(path); }

private:
    void serve(test::ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const std::string path = test::request_path(request);
            Fault fault;
            std::optional<std::string> body;
            int hit;
            {
                std::lock_guard lock(m_lock);
                hit = ++m_hits[path];
                fault = m_fault;
                if (m_files.count(path)) body = m_files[path];
            }
            std::optional<std::string> answer = fault ? fault(path, hit) : std::nullopt;
            if (!answer) {
                answer = body ? test::http_response("200 OK", "", *body)
                              : test::http_response("404 Not Found", "", "missing");
            }
            peer.send(*answer);
        }
    }

    std::mutex m_lock;
    std::map<std::string, std::string> m_files;
    std::map<std::string, int> m_hits;
    Fault m_fault;
    test::ScriptServer m_server{[this](test::ScriptPeer& peer) { serve(peer); }};
};

// A media playlist of `count` one-second TS segments "/seg<n>.ts", with `key_line` before them.
std::string playlist(int count, const std::string& key_line = "") {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n" + key_line;
    for (int n = 0; n < count; ++n)
        text += "#EXTINF:1.0,\nseg" + std::to_string(n) + ".ts\n";
    return text + "#EXT-X-ENDLIST\n";
}

class StreamDriverFaults : public ::testing::Test {
protected:
    // Five plain segments and their playlist at "/index.m3u8".
    void serve_plain(int count = 5) {
        site.put("/index.m3u8", playlist(count));
        for (int n = 0; n < count; ++n)
            site.put("/seg" + std::to_string(n) + ".ts", segment_bytes(n));
    }
    std::string joined(int count) const {
        std::string out;
        for (int n = 0; n < count; ++n)
            out += segment_bytes(n);
        return out;
    }
    std::string work_dir() const { return dir.path() + "/.index.ts.parts"; }

    // Short pauses between attempts; a test that needs the stall rule sets its own window.
    void SetUp() override { set_timing(90'000); }
    void TearDown() override { set_stream_timing(StreamTiming{}); }
    static void set_timing(int64_t stall_window_ms) {
        StreamTiming timing;
        timing.stall_window_ms = stall_window_ms;
        timing.first_backoff_ms = 10;
        timing.longest_backoff_ms = 40;
        set_stream_timing(timing);
    }

    TempDir dir;
    FakeSite site;
};

// The site holds the request for "/seg<n>.ts" until released, so that the test can act while a
// part is in flight.
struct Gate {
    std::atomic<bool> open{false};
    void hold(FakeSite& site, const std::string& held) {
        site.set_fault([this, held](const std::string& path, int) -> std::optional<std::string> {
            if (path == held) wait_until([this] { return open.load(); }, 30000);
            return std::nullopt;
        });
    }
};

TEST_F(StreamDriverFaults, PlainSegmentsJoinInOrderBesideAUsersFileOfTheSameName) {
    serve_plain();
    test::write_file(dir.file("index.ts"), "the user's own file");
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(site.url("/index.m3u8"), 2);
    ASSERT_TRUE(engine.wait_settled(id));
    auto task = engine.entry(id)->task;
    ASSERT_EQ(task->progress.status(), "done");
    EXPECT_EQ(task->progress.name(), "index (1).ts");
    EXPECT_EQ(read_file(dir.file("index.ts")), "the user's own file");
    EXPECT_TRUE(read_file(dir.file("index (1).ts")) == joined(5));
    EXPECT_FALSE(folder_exists(dir.path() + "/.index (1).ts.parts"));
    test::expect_progress_tiles(*task, joined(5).size());
}

// What no retry mends ends the task at once; a transient failure is tried again until the stall
// window passes (here it has passed at once). Either way the parts fetched so far stay for the
// next run: only a cancel removes them.
TEST_F(StreamDriverFaults, FailuresEndTheTaskWithTheirMessageAndKeepTheWorkFolder) {
    set_timing(0);
    const std::string html = "<html><body>Please log in</body></html>";
    const std::string key_line =
        "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\",IV=0x0102030405060708090A0B0C0D0E0F10\n";
    std::array<uint8_t, 16> wrong_key = kKey;
    wrong_key[0] ^= 1;
    struct Case {
        const char* name;
        std::function<void(FakeSite&)> setup;
        std::string status;
        const char* path; // requested this many times
        int hits;
        bool work_folder; // the run got as far as fetching parts
    } cases[] = {
        {"503 three times on index 3",
         [](FakeSite& s) {
             s.set_fault([](const std::string& path, int) -> std::optional<std::string> {
                 if (path != "/seg3.ts") return std::nullopt;
                 return test::http_response("503 Service Unavailable", "", "busy");
             });
         },
         "error: segment 3 failed: http 503", "/seg3.ts", 3, true},
        {"404 on index 2, not retried",
         [](FakeSite& s) {
             s.set_fault([](const std::string& path, int) -> std::optional<std::string> {
                 if (path != "/seg2.ts") return std::nullopt;
                 return test::http_response("404 Not Found", "", "gone");
             });
         },
         "error: segment 2 failed: http 404", "/seg2.ts", 1, true},
        {"key answering 404", [&](FakeSite& s) { s.put("/index.m3u8", playlist(5, key_line)); },
         "error: segment 0 failed: key fetch failed: http 404", "/key.bin", 1, true},
        {"key answered by a login page with 200",
         [&](FakeSite& s) {
             s.put("/index.m3u8", playlist(5, key_line));
             s.put("/key.bin", html);
         },
         "error: segment 0 failed: key fetch failed: the answer is " + std::to_string(html.size()) +
             " bytes, not a 16-byte key",
         "/key.bin", 1, true},
        {"a key that is not the segments' key",
         [&](FakeSite& s) {
             s.put("/index.m3u8", playlist(1, key_line));
             s.put("/key.bin", std::string(wrong_key.begin(), wrong_key.end()));
             s.put("/seg0.ts", encrypt(segment_bytes(0)));
         },
         "error: key for segment 0 does not decrypt it", "/seg0.ts", 1, true},
        {"encrypted segment of 1000 bytes",
         [&](FakeSite& s) {
             s.put("/index.m3u8", playlist(1, key_line));
             s.put("/key.bin", std::string(kKey.begin(), kKey.end()));
             s.put("/seg0.ts", std::string(1000, 'x'));
         },
         "error: segment 0 failed: decrypt failed", "/seg0.ts", 1, true},
        {"manifest missing", [](FakeSite& s) { s.put("/index.m3u8", ""); }, "error: not an m3u8 (no #EXTM3U)",
         "/index.m3u8", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        FakeSite fresh;
        for (int n = 0; n < 5; ++n)
            fresh.put("/seg" + std::to_string(n) + ".ts", segment_bytes(n));
        fresh.put("/index.m3u8", playlist(5));
        c.setup(fresh);
        StreamEngine engine(out.path());
        EXPECT_EQ(engine.download(fresh.url("/index.m3u8"), 1), c.status);
        EXPECT_EQ(fresh.hits(c.path), c.hits);
        EXPECT_EQ(folder_exists(out.path() + "/.index.ts.parts"), c.work_folder);
        EXPECT_FALSE(file_exists(out.path() + "/index.ts"));
    }
}

// A checksum is checked on the joined file: a segment with a flipped byte makes a file that is
// kept as "<name>.bad" only, and the task fails with both digests.
TEST_F(StreamDriverFaults, TheJoinedFileIsCheckedAgainstItsChecksum) {
    const auto sha256 = [](const std::string& bytes) {
        auto hasher = Hasher::create("sha-256");
        hasher->update(bytes.data(), bytes.size());
        return hasher->finish();
    };
    const std::string good = "sha-256=" + sha256(joined(5));
    for (const bool flip : {false, true}) {
        SCOPED_TRACE(flip ? "flipped" : "intact");
        TempDir out;
        serve_plain();
        std::string expected_file = joined(5);
        if (flip) {
            std::string bad = segment_bytes(2);
            bad[100] = static_cast<char>(~bad[100]);
            site.put("/seg2.ts", bad);
            expected_file = segment_bytes(0) + segment_bytes(1) + bad + segment_bytes(3) + segment_bytes(4);
        }
        StreamEngine engine(out.path());
        const std::string status =
            engine.download(site.url("/index.m3u8"), 2, ",\"checksum\":\"" + good + "\"");
        if (!flip) {
            EXPECT_EQ(status, "done");
            EXPECT_TRUE(read_file(out.path() + "/index.ts") == expected_file);
            continue;
        }
        EXPECT_EQ(status,
                  "error: checksum mismatch (expected " + good + ", got " + sha256(expected_file) + ")");
        EXPECT_FALSE(file_exists(out.path() + "/index.ts"));
        EXPECT_TRUE(read_file(out.path() + "/index.ts.bad") == expected_file);
        EXPECT_FALSE(folder_exists(out.path() + "/.index.ts.parts"));
    }
}

TEST_F(StreamDriverFaults, ASegmentThatFailsFourTimesThenSucceedsIsWaitedFor) {
    serve_plain();
    std::mutex lock;
    std::vector<int64_t> seen_ms;
    site.set_fault([&](const std::string& path, int hit) -> std::optional<std::string> {
        if (path != "/seg2.ts" || hit > 4) return std::nullopt;
        std::lock_guard guard(lock);
        seen_ms.push_back(monotonic_ms());
        // The first refusal asks for a second's rest; the others say nothing.
        return test::http_response(hit == 1 ? "503 Service Unavailable" : "500 Internal Server Error",
                                   hit == 1 ? "Retry-After: 1\r\n" : "", "busy");
    });
    StreamEngine engine(dir.path());
    EXPECT_EQ(engine.download(site.url("/index.m3u8"), 2), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == joined(5));
    EXPECT_EQ(site.hits("/seg2.ts"), 5);
    std::lock_guard guard(lock);
    ASSERT_EQ(seen_ms.size(), 4u);
    EXPECT_GE(seen_ms[1] - seen_ms[0], 950);
}

// The playlist itself gets the same patience as its segments.
TEST_F(StreamDriverFaults, APlaylistThatFailsTwiceIsFetchedAgain) {
    serve_plain();
    site.set_fault([](const std::string& path, int hit) -> std::optional<std::string> {
        if (path != "/index.m3u8" || hit > 2) return std::nullopt;
        return test::http_response("503 Service Unavailable", "", "busy");
    });
    StreamEngine engine(dir.path());
    EXPECT_EQ(engine.download(site.url("/index.m3u8"), 2), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == joined(5));
    EXPECT_EQ(site.hits("/index.m3u8"), 3);
}

// A server asking for a minute's rest must not hold a pause up for that minute, whether it
// refuses a segment or the playlist itself (then the run has nothing yet and is simply paused).
// Each case has a server of its own: the minute holds the host for the whole process.
TEST_F(StreamDriverFaults, APauseEndsTheWaitBeforeARetryAtOnce) {
    for (const char* busy : {"/seg2.ts", "/index.m3u8"}) {
        SCOPED_TRACE(busy);
        TempDir folder;
        FakeSite site;
        site.put("/index.m3u8", playlist(5));
        for (int n = 0; n < 5; ++n)
            site.put("/seg" + std::to_string(n) + ".ts", segment_bytes(n));
        const std::string refused = busy;
        site.set_fault([refused](const std::string& path, int) -> std::optional<std::string> {
            if (path != refused) return std::nullopt;
            return test::http_response("503 Service Unavailable", "Retry-After: 60\r\n", "busy");
        });
        const int before = site.hits(refused);
        StreamEngine engine(folder.path());
        const int32_t id = engine.add(site.url("/index.m3u8"), 1);
        ASSERT_TRUE(wait_until([&] { return site.hits(refused) == before + 1; }, 20000));
        engine_pause(engine.engine(), id);
        ASSERT_TRUE(engine.wait_settled(id, 10000));
        EXPECT_EQ(engine.entry(id)->task->progress.status(), "paused");
        EXPECT_EQ(site.hits(refused), before + 1);
        if (refused == "/seg2.ts") {
            EXPECT_TRUE(file_exists(folder.path() + "/.index.ts.parts/v_000001.part"));
        }
    }
}

// Ctrl-C keeps three parts; the next run fails on a later part; that failure must keep them,
// and the run after it fetches only what is missing.
TEST_F(StreamDriverFaults, AnErrorAfterAnInterruptKeepsEveryFetchedPart) {
    set_timing(0);
    serve_plain();
    Gate gate;
    gate.hold(site, "/seg3.ts");
    {
        StreamEngine first(dir.path());
        const int32_t id = first.add(site.url("/index.m3u8"), 1);
        ASSERT_TRUE(wait_until([&] { return site.hits("/seg3.ts") == 1; }, 20000));
        engine_pause(first.engine(), id);
        ASSERT_TRUE(first.wait_settled(id));
        gate.open = true;
    }
    site.set_fault([](const std::string& path, int) -> std::optional<std::string> {
        if (path != "/seg3.ts") return std::nullopt;
        return test::http_response("502 Bad Gateway", "", "down");
    });
    {
        StreamEngine second(dir.path());
        EXPECT_EQ(second.download(site.url("/index.m3u8"), 1), "error: segment 3 failed: http 502");
    }
    for (int n = 0; n < 3; ++n)
        EXPECT_TRUE(file_exists(work_dir() + "/v_00000" + std::to_string(n) + ".part")) << n;
    site.set_fault(nullptr);
    StreamEngine third(dir.path());
    EXPECT_EQ(third.download(site.url("/index.m3u8"), 2), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == joined(5));
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(site.hits("/seg" + std::to_string(n) + ".ts"), 1) << n;
    EXPECT_FALSE(folder_exists(work_dir()));
}

TEST_F(StreamDriverFaults, ASecondRunOnTheSameStreamSaysItIsBusy) {
    serve_plain();
    // Another process's run holds the folder's lock (a lock of another open file counts the same).
    std::filesystem::create_directory(work_dir());
    const int held = ::open(work_dir().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    {
        StreamEngine engine(dir.path());
        EXPECT_EQ(engine.download(site.url("/index.m3u8"), 2),
                  "error: this stream is already being downloaded (" + work_dir() + ")");
    }
    EXPECT_EQ(site.hits("/seg0.ts"), 0);
    ::close(held);
    StreamEngine engine(dir.path());
    EXPECT_EQ(engine.download(site.url("/index.m3u8"), 2), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == joined(5));
}

// Parts far smaller than the bandwidth guess: once some are in, the total follows their sizes,
// and says it is an estimate until all are.
TEST_F(StreamDriverFaults, TotalsFollowTheFetchedPartsAndSayTheyAreEstimates) {
    serve_plain();
    Gate gate;
    gate.hold(site, "/seg3.ts");
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(site.url("/index.m3u8"), 1);
    ASSERT_TRUE(wait_until([&] { return site.hits("/seg3.ts") == 1; }, 20000));
    engine_pause(engine.engine(), id);
    ASSERT_TRUE(engine.wait_settled(id));
    gate.open = true;
    auto task = engine.entry(id)->task;
    const uint64_t fetched = segment_bytes(0).size() + segment_bytes(1).size() + segment_bytes(2).size();
    EXPECT_EQ(task->progress.total.load(), fetched + 2 * (fetched / 3));
    EXPECT_EQ(task->progress.bytes_done(), fetched);
    EXPECT_NE(task_entry_json(id, kPaused, *task).find("\"totalEstimated\":true"), std::string::npos);
    engine_resume(engine.engine(), id);
    ASSERT_TRUE(engine.wait_settled(id));
    EXPECT_EQ(task->progress.status(), "done");
    EXPECT_EQ(task_entry_json(id, kDone, *task).find("totalEstimated"), std::string::npos);
    test::expect_progress_tiles(*task, joined(5).size());
}

TEST_F(StreamDriverFaults, EncryptedSegmentsAreDecryptedWithTheirKeyFetchedOnce) {
    std::string clear;
    site.put("/index.m3u8",
             playlist(4, "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\",IV=" + test::iv_attribute() + "\n"));
    site.put("/key.bin", std::string(kKey.begin(), kKey.end()));
    for (int n = 0; n < 4; ++n) {
        site.put("/seg" + std::to_string(n) + ".ts", encrypt(segment_bytes(n)));
        clear += segment_bytes(n);
    }
    StreamEngine engine(dir.path());
    ASSERT_EQ(engine.download(site.url("/index.m3u8"), 1), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == clear);
    EXPECT_EQ(site.hits("/key.bin"), 1);
}

TEST_F(StreamDriverFaults, ARangeAnsweredWholeIsCutOutLocally) {
    // One file: a header no range covers, then three segments as byte ranges.
    const std::string body = "HEADER-NOT-MEDIA" + segment_bytes(0) + segment_bytes(1) + segment_bytes(2);
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
    size_t at = 16;
    for (int n = 0; n < 3; ++n) {
        const size_t size = segment_bytes(n).size();
        text +=
            "#EXTINF:1,\n#EXT-X-BYTERANGE:" + std::to_string(size) + "@" + std::to_string(at) + "\nall.ts\n";
        at += size;
    }
    site.put("/index.m3u8", text + "#EXT-X-ENDLIST\n");
    site.put("/all.ts", body); // the scripted server ignores Range: always 200 with everything
    StreamEngine engine(dir.path());
    ASSERT_EQ(engine.download(site.url("/index.m3u8"), 2), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == body.substr(16));
}

// A segment whose body breaks off is not fetched whole again: the next request asks for the rest
// from where it stopped, for a whole file (an open range) and for a byte range alike.
TEST_F(StreamDriverFaults, ABodyCutShortIsContinuedByRangeFromWhereItStopped) {
    struct Case {
        const char* name;
        bool byte_ranges; // the segments are ranges of one file "all.ts" from offset 16
        const char* asked_again;
    };
    const std::string cut = segment_bytes(1);
    for (const Case& c : {Case{"whole files", false, "bytes=1000-"}, Case{"byte ranges", true, ""}}) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        const std::string all = "HEADER-NOT-MEDIA" + joined(3);
        const size_t start = c.byte_ranges ? 16 + segment_bytes(0).size() : 0; // of segment 1
        const std::string expected_range = c.byte_ranges ? "bytes=" + std::to_string(start + 1000) + "-" +
                                                               std::to_string(start + cut.size() - 1)
                                                         : c.asked_again;
        std::mutex lock;
        std::vector<std::string> ranges; // of every request for segment 1's resource
        int cuts = 0;
        test::ScriptServer server([&](test::ScriptPeer& peer) {
            for (std::string request; peer.read_request(request);) {
                const std::string path = test::request_path(request);
                const std::string range = test::request_header(request, "Range");
                std::unique_lock guard(lock);
                if (path == "/index.m3u8") {
                    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
                    size_t at = 16;
                    for (int n = 0; n < 3; ++n) {
                        const size_t size = segment_bytes(n).size();
                        text += c.byte_ranges ? "#EXTINF:1,\n#EXT-X-BYTERANGE:" + std::to_string(size) + "@" +
                                                    std::to_string(at) + "\nall.ts\n"
                                              : "#EXTINF:1,\nseg" + std::to_string(n) + ".ts\n";
                        at += size;
                    }
                    guard.unlock();
                    peer.send(test::http_response("200 OK", "", text + "#EXT-X-ENDLIST\n"));
                    continue;
                }
                // The file a request is for, and the bytes it asked for.
                const std::string file = c.byte_ranges ? all
                                                       : segment_bytes(path == "/seg0.ts"   ? 0
                                                                       : path == "/seg1.ts" ? 1
                                                                                            : 2);
                size_t from = 0, to = file.size() - 1;
                if (!range.empty()) {
                    from = std::stoul(range.substr(6));
                    const size_t dash = range.find('-');
                    if (dash + 1 < range.size()) to = std::stoul(range.substr(dash + 1));
                }
                const bool segment_1 =
                    c.byte_ranges ? from >= start && from < start + cut.size() : path == "/seg1.ts";
                if (segment_1) ranges.push_back(range);
                const std::string part = file.substr(from, to - from + 1);
                const std::string head = range.empty()
                                             ? "HTTP/1.1 200 OK\r\n"
                                             : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                                   std::to_string(from) + "-" + std::to_string(to) + "/" +
                                                   std::to_string(file.size()) + "\r\n";
                const std::string whole =
                    head + "Content-Length: " + std::to_string(part.size()) + "\r\n\r\n";
                if (segment_1 && cuts == 0) {
                    // The first answer for segment 1 breaks off after 1000 bytes.
                    ++cuts;
                    guard.unlock();
                    peer.send(whole + part.substr(0, 1000));
                    peer.close();
                    return;
                }
                guard.unlock();
                peer.send(whole + part);
            }
        });
        StreamEngine engine(folder.path());
        ASSERT_EQ(engine.download(server.url("/index.m3u8"), 1), "done");
        EXPECT_TRUE(read_file(folder.file("index.ts")) == joined(3));
        std::lock_guard guard(lock);
        ASSERT_EQ(ranges.size(), 2u);
        EXPECT_EQ(ranges[1], expected_range);
    }
}

// `--skip-bad-segments`: segments that keep failing are left out and named; the rest is joined.
// Without any good segment there is nothing to finish.
TEST_F(StreamDriverFaults, SkippingBadSegmentsFinishesWithoutThemAndNamesThem) {
    serve_plain();
    site.set_fault([](const std::string& path, int) -> std::optional<std::string> {
        if (path == "/seg1.ts") return test::http_response("500 Internal Server Error", "", "broken");
        if (path == "/seg3.ts") return test::http_response("404 Not Found", "", "gone");
        return std::nullopt;
    });
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(site.url("/index.m3u8"), 2, ",\"skipBadSegments\":true");
    ASSERT_TRUE(engine.wait_settled(id));
    const auto task = engine.entry(id)->task;
    EXPECT_EQ(task->progress.status(), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == segment_bytes(0) + segment_bytes(2) + segment_bytes(4));
    EXPECT_EQ(task->progress.left_out, (std::vector<size_t>{1, 3}));
    const std::string document = task_list_document(*engine_task_list(engine.engine()));
    EXPECT_NE(document.find("\"leftOut\":[1,3]"), std::string::npos) << document;
    EXPECT_EQ(site.hits("/seg1.ts"), 3); // three attempts, then left out
    EXPECT_EQ(site.hits("/seg3.ts"), 1); // a 404 is not asked again

    TempDir other;
    FakeSite broken;
    broken.put("/index.m3u8", playlist(2));
    StreamEngine second(other.path());
    EXPECT_EQ(second.download(broken.url("/index.m3u8"), 1, ",\"skipBadSegments\":true"),
              "error: every segment failed");
}

TEST_F(StreamDriverFaults, CancelInTheMiddleLeavesNothingBehind) {
    serve_plain();
    Gate gate;
    gate.hold(site, "/seg2.ts");
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(site.url("/index.m3u8"), 1);
    ASSERT_TRUE(wait_until([&] { return site.hits("/seg2.ts") == 1; }, 20000));
    EXPECT_TRUE(file_exists(work_dir() + "/v_000001.part"));
    engine_cancel(engine.engine(), id);
    gate.open = true;
    ASSERT_TRUE(engine.wait_settled(id));
    EXPECT_EQ(engine.entry(id)->task->progress.status(), "canceled");
    EXPECT_EQ(site.hits("/seg3.ts"), 0);
    EXPECT_FALSE(folder_exists(work_dir()));
    EXPECT_FALSE(file_exists(dir.file("index.ts")));
}

// A paused stream keeps its parts for the next run; cancelling it then (no run going) must not
// leave them behind.
TEST_F(StreamDriverFaults, CancelAfterPauseRemovesTheKeptParts) {
    serve_plain();
    Gate gate;
    gate.hold(site, "/seg2.ts");
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(site.url("/index.m3u8"), 1);
    ASSERT_TRUE(wait_until([&] { return site.hits("/seg2.ts") == 1; }, 20000));
    engine_pause(engine.engine(), id);
    ASSERT_TRUE(engine.wait_settled(id, 10000));
    gate.open = true;
    ASSERT_EQ(engine.entry(id)->task->progress.status(), "paused");
    ASSERT_TRUE(file_exists(work_dir() + "/v_000001.part"));
    engine_cancel(engine.engine(), id);
    EXPECT_EQ(engine.entry(id)->task->progress.status(), "canceled");
    EXPECT_FALSE(folder_exists(work_dir()));
    EXPECT_FALSE(file_exists(dir.file("index.ts")));
}

TEST_F(StreamDriverFaults, PauseKeepsTheFinishedPartsForTheNextRun) {
    // Resumed in the same engine, and run again by a new engine (as `twk get` run again after
    // Ctrl-C): either way only the missing parts are fetched.
    for (bool same_engine : {true, false}) {
        SCOPED_TRACE(same_engine ? "resume" : "new engine");
        TempDir out;
        FakeSite fresh;
        for (int n = 0; n < 5; ++n)
            fresh.put("/seg" + std::to_string(n) + ".ts", segment_bytes(n));
        fresh.put("/index.m3u8", playlist(5));
        Gate gate;
        gate.hold(fresh, "/seg3.ts");
        const std::string parts = out.path() + "/.index.ts.parts";
        auto first = std::make_unique<StreamEngine>(out.path());
        const int32_t id = first->add(fresh.url("/index.m3u8"), 1);
        ASSERT_TRUE(wait_until([&] { return fresh.hits("/seg3.ts") == 1; }, 20000));
        engine_pause(first->engine(), id);
        // The pause ends the fetch in flight at once, while the server still holds its answer;
        // that part is fetched again by the next run. (The server would hold it for 30 s.)
        ASSERT_TRUE(first->wait_settled(id, 10000));
        gate.open = true;
        ASSERT_EQ(first->entry(id)->task->progress.status(), "paused");
        EXPECT_TRUE(file_exists(parts + "/v_000002.part"));
        EXPECT_FALSE(file_exists(parts + "/v_000003.part"));
        EXPECT_FALSE(file_exists(parts + "/v_000004.part"));

        if (same_engine) {
            engine_resume(first->engine(), id);
            ASSERT_TRUE(first->wait_settled(id));
            EXPECT_EQ(first->entry(id)->task->progress.status(), "done");
        } else {
            first.reset();
            StreamEngine second(out.path());
            EXPECT_EQ(second.download(fresh.url("/index.m3u8"), 4), "done");
        }
        EXPECT_TRUE(read_file(out.path() + "/index.ts") == joined(5));
        for (int n = 0; n < 5; ++n)
            EXPECT_EQ(fresh.hits("/seg" + std::to_string(n) + ".ts"), n == 3 ? 2 : 1) << n;
        EXPECT_FALSE(folder_exists(parts));
    }
}

TEST_F(StreamDriverFaults, AChangedPartListStartsOver) {
    serve_plain();
    Gate gate;
    gate.hold(site, "/seg3.ts");
    {
        StreamEngine first(dir.path());
        const int32_t id = first.add(site.url("/index.m3u8"), 1);
        ASSERT_TRUE(wait_until([&] { return site.hits("/seg3.ts") == 1; }, 20000));
        engine_pause(first.engine(), id);
        gate.open = true;
        ASSERT_TRUE(first.wait_settled(id));
    }
    // The playlist gained a segment: the old parts may no longer fit, so everything is fetched.
    site.put("/index.m3u8", playlist(6));
    site.put("/seg5.ts", segment_bytes(5));
    StreamEngine second(dir.path());
    EXPECT_EQ(second.download(site.url("/index.m3u8"), 2), "done");
    EXPECT_TRUE(read_file(dir.file("index.ts")) == joined(6));
    EXPECT_EQ(site.hits("/seg0.ts"), 2);
}

// `count` segments of `size` bytes each, distinct, and their playlist at "/index.m3u8".
std::string serve_sized(FakeSite& site, int count, size_t size) {
    std::string all;
    site.put("/index.m3u8", playlist(count));
    for (int n = 0; n < count; ++n) {
        std::string bytes = test::test_pattern(size + static_cast<size_t>(n)).substr(static_cast<size_t>(n));
        bytes[0] = static_cast<char>(n);
        site.put("/seg" + std::to_string(n) + ".ts", bytes);
        all += bytes;
    }
    return all;
}

// A small file system of its own, so that the disk can be full. Needs root; skipped otherwise.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& path) : m_path(path) {
        std::filesystem::create_directory(path);
        m_mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=16m") == 0;
        if (!m_mounted) m_error = system_reason(errno);
    }
    ~SmallDisk() {
        if (m_mounted) ::umount2(m_path.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }

private:
    std::string m_path;
    bool m_mounted = false;
    std::string m_error;
};

// Ten parts of 1 MiB on a 16 MiB disk: the join refuses while another 5.5 MB lie there, naming
// both sizes and keeping every part; once there is room for a batch of parts (not for a second
// copy of the stream), the rerun only joins.
TEST_F(StreamDriverFaults, JoiningNeedsRoomForABatchOfPartsAndARefusalKeepsTheParts) {
    SmallDisk disk(dir.file("small"));
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
    const std::string folder = dir.file("small");
    const std::string all = serve_sized(site, 10, 1 << 20);
    test::write_file(folder + "/ballast", std::string(5'500'000, 'b'));
    const std::string parts = folder + "/.index.ts.parts";
    {
        StreamEngine engine(folder);
        const std::string status = engine.download(site.url("/index.m3u8"), 4);
        EXPECT_TRUE(status.starts_with("error: not enough space to join: need 5.0 MB, ") &&
                    status.ends_with(" free"))
            << status;
    }
    EXPECT_FALSE(file_exists(folder + "/index.ts"));
    for (int n = 0; n < 10; ++n)
        EXPECT_TRUE(file_exists(parts + "/v_00000" + std::to_string(n) + ".part")) << n;
    ::unlink((folder + "/ballast").c_str());
    StreamEngine engine(folder);
    EXPECT_EQ(engine.download(site.url("/index.m3u8"), 4), "done");
    EXPECT_TRUE(read_file(folder + "/index.ts") == all);
    for (int n = 0; n < 10; ++n)
        EXPECT_EQ(site.hits("/seg" + std::to_string(n) + ".ts"), 1) << n;
    EXPECT_FALSE(folder_exists(parts));
}

// The parts a join record counts; 0 without one.
size_t joined_parts(const std::string& record) {
    size_t count = 0;
    uint64_t size = 0;
    return parse_join_record(read_file(record), count, size) ? count : 0;
}

// `twk get` killed again and again while it joins: each run continues the join where the last
// one's record says it stopped, no part is fetched twice, and the file comes out whole under its
// own name.
TEST_F(StreamDriverFaults, KillsDuringTheJoinAreContinuedByTheNextRun) {
    const std::string all = serve_sized(site, 400, 20000);
    const std::string record = work_dir() + "/joined.list";
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null_fd, 0);
    int kills_in_join = 0, runs = 0, status = -1;
    size_t killed_at = 0;
    while (runs < 60) {
        ++runs;
        const pid_t pid = test::spawn(
            {TWK_BINARY, "get", "-q", "-x", "4", "-d", dir.path(), site.url("/index.m3u8")}, {}, null_fd);
        ASSERT_GT(pid, 0);
        bool exited = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            // Killed once the join went on by a hundred parts in this run: by then it has
            // released parts that live only in the joined file.
            if (kills_in_join < 8 && joined_parts(record) >= killed_at + 100) {
                killed_at = joined_parts(record);
                ::kill(pid, SIGKILL);
                ++kills_in_join;
                break;
            }
            ::usleep(200);
        }
        if (!exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            continue;
        }
        break;
    }
    ::close(null_fd);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "after " << runs << " runs";
    EXPECT_GE(kills_in_join, 1);
    EXPECT_TRUE(read_file(dir.file("index.ts")) == all);
    EXPECT_FALSE(file_exists(dir.file("index (1).ts")));
    EXPECT_FALSE(folder_exists(work_dir()));
    for (int n = 0; n < 400; ++n)
        ASSERT_EQ(site.hits("/seg" + std::to_string(n) + ".ts"), 1) << n;
}

TEST(StreamDriverHelpers, OutputBaseName) {
    struct Case {
        const char* name;
        const char* base;
    } cases[] = {
        {"live.m3u8?token=x", "live"}, {"Show.MP4", "Show"}, {"", "video"},          {"a.mpd#t=3", "a"},
        {"clip.ts.m3u8", "clip.ts"},   {".m3u8", "video"},   {"movie.mkv", "movie"}, {"song.mp3", "song.mp3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stream_base_name(c.name), c.base) << c.name;
    EXPECT_EQ(stream_work_dir("/d/x/Show (1).mp4"), "/d/x/.Show (1).mp4.parts");
}

TEST(StreamDriverHelpers, DecryptionNeedsWellFormedPadding) {
    // Plaintexts of whole blocks, encrypted without padding (encrypt_raw): the rule looks at the
    // plaintext's end.
    const std::string body(16, 'm');
    struct Case {
        std::string plain;
        Decrypted result;
        std::string kept;
    } cases[] = {
        {body + std::string(16, '\x10'), Decrypted::ok, body},
        {body.substr(0, 13) + "\x03\x03\x03", Decrypted::ok, body.substr(0, 13)},
        {body.substr(0, 15) + '\x01', Decrypted::ok, body.substr(0, 15)},
        {body.substr(0, 14) + "\x05\x04", Decrypted::bad_padding, ""},
        {body.substr(0, 15) + '\0', Decrypted::bad_padding, ""},
        {body.substr(0, 15) + '\x11', Decrypted::bad_padding, ""},
        {body.substr(0, 13) + "\x02\x03\x03", Decrypted::bad_padding, ""},
    };
    for (const auto& c : cases) {
        std::string out;
        ASSERT_EQ(decrypt_segment(encrypt_raw(c.plain), kKey, kIv, out), c.result) << c.plain.size();
        if (c.result == Decrypted::ok) {
            EXPECT_TRUE(out == c.kept) << c.plain.size();
        }
    }
    std::string out;
    EXPECT_EQ(decrypt_segment("", kKey, kIv, out), Decrypted::bad_length);
    EXPECT_EQ(decrypt_segment(std::string(1000, 'x'), kKey, kIv, out), Decrypted::bad_length);
}

TEST(StreamDriverHelpers, RetryAfterJoinRecordsAndJoinSizes) {
    const int64_t now = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
    EXPECT_EQ(retry_after_ms("120", now), 120000);
    EXPECT_EQ(retry_after_ms(" 0 ", now), 0);
    EXPECT_EQ(retry_after_ms("Sun, 06 Nov 1994 08:49:47 GMT", now), 10000);
    EXPECT_EQ(retry_after_ms("Sun, 06 Nov 1994 08:49:00 GMT", now), 0);
    EXPECT_EQ(retry_after_ms("99999999999999999999", now), INT64_MAX);
    for (const char* bad :
         {"", "-5", "soon", "1.5", "Sun, 06 Nov 1994 08:49:47", "Sun, 06 Foo 1994 08:49:47 GMT"})
        EXPECT_EQ(retry_after_ms(bad, now), -1) << bad;
    size_t count = 0;
    uint64_t size = 0;
    EXPECT_TRUE(parse_join_record("12 4096\n", count, size));
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(size, 4096u);
    for (const char* bad :
         {"", "12 4096", "12  4096\n", "-1 5\n", "1 x\n", "1 99999999999999999999999\n", " 1 2\n"})
        EXPECT_FALSE(parse_join_record(bad, count, size)) << bad;
    EXPECT_EQ(join_size_text(512), "512 B");
    EXPECT_EQ(join_size_text(7864320), "7.5 MB");
    EXPECT_EQ(join_size_text(4299161), "4.1 MB");
    EXPECT_EQ(join_size_text(1024), "1.0 KB");
}

TEST(StreamDriverHelpers, SizeEstimates) {
    EXPECT_EQ(estimate_part_size(800000, 2.0), 200000);
    EXPECT_EQ(estimate_part_size(0, 2.0), kDefaultPartEstimate);
    EXPECT_EQ(estimate_part_size(800000, 0), kDefaultPartEstimate);
    EXPECT_EQ(estimate_part_size(800000, -1), kDefaultPartEstimate);
    EXPECT_EQ(estimate_part_size(INT64_MAX, 1e9), 9000000000000000000);
}

} // namespace
} // namespace twk
