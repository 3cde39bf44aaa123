// The stream driver against a scripted server: the faults no real server produces on demand
// (refused segments, missing keys, broken ciphertext, ranges ignored), cancel and pause in the
// middle of a download, and the naming of the output. Plus the pure helpers on tables of cases.
#include "media/stream_driver.h"
#include "media/stream_job.h"

#include "tests/media/hls_crypto.h"
#include "tests/media/stream_engine.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
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

    TempDir dir;
    FakeSite site;
};

TEST_F(StreamDriverFaults, PlainSegmentsJoinInOrderBesideAUsersFileOfTheSameName) {
    serve_plain();
    test::write_file(dir.file("index.ts"), "the user's own file");
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(site.url("/index.m3u8"), 2);
    ASSERT_TRUE(engine.wait_settled(id));
    auto task = engine.entry(id)->task;
    ASSERT_EQ(task->status(), "done");
    EXPECT_EQ(task->name(), "index (1).ts");
    EXPECT_EQ(read_file(dir.file("index.ts")), "the user's own file");
    EXPECT_TRUE(read_file(dir.file("index (1).ts")) == joined(5));
    EXPECT_FALSE(folder_exists(dir.path() + "/.index (1).ts.parts"));
    test::expect_progress_tiles(*task, joined(5).size());
}

TEST_F(StreamDriverFaults, FailuresEndTheTaskWithTheirMessageAndLeaveNoWorkFolder) {
    struct Case {
        const char* name;
        std::function<void(FakeSite&)> setup;
        const char* status;
        const char* path; // requested this many times
        int hits;
    } cases[] = {
        {"503 three times on index 3",
         [](FakeSite& s) {
             s.set_fault([](const std::string& path, int) -> std::optional<std::string> {
                 if (path != "/seg3.ts") return std::nullopt;
                 return test::http_response("503 Service Unavailable", "", "busy");
             });
         },
         "error: segment 3 failed: http 503", "/seg3.ts", 3},
        {"key answering 404",
         [](FakeSite& s) {
             s.put("/index.m3u8", playlist(5, "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"));
         },
         "error: segment 0 failed: key fetch failed", "/key.bin", 1},
        {"encrypted segment of 1000 bytes",
         [](FakeSite& s) {
             s.put("/index.m3u8", playlist(1, "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"));
             s.put("/key.bin", std::string(kKey.begin(), kKey.end()));
             s.put("/seg0.ts", std::string(1000, 'x'));
         },
         "error: segment 0 failed: decrypt failed", "/seg0.ts", 1},
        {"manifest missing", [](FakeSite& s) { s.put("/index.m3u8", ""); }, "error: not an m3u8 (no #EXTM3U)",
         "/index.m3u8", 1},
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
        EXPECT_FALSE(folder_exists(out.path() + "/.index.ts.parts"));
        EXPECT_FALSE(file_exists(out.path() + "/index.ts"));
    }
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
    EXPECT_EQ(engine.entry(id)->task->status(), "canceled");
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
    ASSERT_EQ(engine.entry(id)->task->status(), "paused");
    ASSERT_TRUE(file_exists(work_dir() + "/v_000001.part"));
    engine_cancel(engine.engine(), id);
    EXPECT_EQ(engine.entry(id)->task->status(), "canceled");
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
        ASSERT_EQ(first->entry(id)->task->status(), "paused");
        EXPECT_TRUE(file_exists(parts + "/v_000002.part"));
        EXPECT_FALSE(file_exists(parts + "/v_000003.part"));
        EXPECT_FALSE(file_exists(parts + "/v_000004.part"));

        if (same_engine) {
            engine_resume(first->engine(), id);
            ASSERT_TRUE(first->wait_settled(id));
            EXPECT_EQ(first->entry(id)->task->status(), "done");
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

TEST(StreamDriverHelpers, DecryptionRemovesOnlyWellFormedPadding) {
    // Plaintexts of whole blocks, encrypted without padding (encrypt_raw): the rule looks at the
    // plaintext's end.
    const std::string body(16, 'm');
    struct Case {
        std::string plain;
        std::string kept;
    } cases[] = {
        {body + std::string(16, '\x10'), body},
        {body.substr(0, 14) + "\x05\x04", body.substr(0, 14) + "\x05\x04"},
        {body.substr(0, 13) + "\x03\x03\x03", body.substr(0, 13)},
        {body.substr(0, 15) + '\0', body.substr(0, 15) + '\0'},
        {body.substr(0, 15) + '\x11', body.substr(0, 15) + '\x11'},
    };
    for (const auto& c : cases) {
        std::string out;
        ASSERT_TRUE(decrypt_segment(encrypt_raw(c.plain), kKey, kIv, out));
        EXPECT_TRUE(out == c.kept) << c.plain.size();
    }
    std::string out;
    EXPECT_FALSE(decrypt_segment("", kKey, kIv, out));
    EXPECT_FALSE(decrypt_segment(std::string(1000, 'x'), kKey, kIv, out));
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
