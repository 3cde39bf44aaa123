// Streams keep to the speed limits as plain downloads do: an HLS stream from nginx with a limit
// of its own, fetched by several workers, takes at least as long as the limit allows; with the
// list's limit, a stream and a plain download together stay under it; and a live recording at
// real time, sharing the list's limit with a plain download, misses nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>

#include "core/engine.h"
#include "core/task_list.h"
#include "media/segment_fetcher.h"
#include "tests/core/driver_fixture.h"
#include "tests/media/stream_engine.h"
#include "tests/support/nginx_site.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

namespace twk {
namespace {

namespace fs = std::filesystem;
using test::StreamEngine;
using test::TempDir;
using test::wait_until;

constexpr int kSegments = 6;
constexpr size_t kSegmentSize = 64 * 1024;
constexpr uint64_t kStreamSize = kSegments * kSegmentSize; // 384 KiB
constexpr uint64_t kPlainSize = 8u << 20;                  // far more than any test lets through
constexpr int64_t kWaitMs = 60'000;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// nginx serving an on-demand HLS stream ("/vod/index.m3u8", six segments of random bytes) and a
// large plain file ("/plain.bin").
class StreamLimits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        fs::create_directories(s_dir->file("www/vod"));
        fs::create_directories(s_dir->file("nginx"));
        std::string playlist = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n";
        for (int n = 0; n < kSegments; ++n) {
            const std::string segment = test::random_bytes(kSegmentSize, 100 + n);
            test::write_file(s_dir->file("www/vod/s" + std::to_string(n) + ".ts"), segment);
            s_stream += segment;
            playlist += "#EXTINF:2.0,\ns" + std::to_string(n) + ".ts\n";
        }
        test::write_file(s_dir->file("www/vod/index.m3u8"), playlist + "#EXT-X-ENDLIST\n");
        test::write_random_file(s_dir->file("www/plain.bin"), kPlainSize, 7);
        s_nginx = new test::NginxSite();
        if (!s_nginx->start(s_dir->file("www"), s_dir->file("nginx"), "", s_error))
            s_error = "nginx: " + s_error;
    }
    static void TearDownTestSuite() {
        delete s_nginx;
        s_nginx = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_EQ(s_error, ""); }

    static std::string url(const std::string& path) { return s_nginx->url(path); }

    // Starts the plain download and waits until it moves bytes.
    static std::shared_ptr<Task> start_plain(StreamEngine& engine) {
        const int32_t id = engine.add(url("/plain.bin"), 1);
        if (id <= 0) return nullptr;
        auto task = engine.entry(id)->task;
        if (!wait_until([&] { return task->progress.bytes_done() > 0; }, kWaitMs)) return nullptr;
        return task;
    }

    static void expect_stream_file(const Task& task) {
        EXPECT_EQ(task.progress.status(), "done");
        EXPECT_TRUE(test::read_file(task.progress.output_path()) == s_stream) << task.progress.output_path();
    }

    static TempDir* s_dir;
    static test::NginxSite* s_nginx;
    static std::string s_error;
    static std::string s_stream; // the segments joined
    TempDir dir;
};

TempDir* StreamLimits::s_dir = nullptr;
test::NginxSite* StreamLimits::s_nginx = nullptr;
std::string StreamLimits::s_error;
std::string StreamLimits::s_stream;

TEST_F(StreamLimits, TheTasksOwnLimitHoldsForAllItsWorkers) {
    constexpr int64_t kLimit = 128 * 1024;
    StreamEngine engine(dir.path());
    const auto start = std::chrono::steady_clock::now();
    const int32_t id = engine.add(url("/vod/index.m3u8"), 4, ",\"bandwidthLimit\":" + std::to_string(kLimit));
    ASSERT_GT(id, 0);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    const double seconds = seconds_since(start);
    expect_stream_file(*engine.entry(id)->task);
    // Four workers together get the task's limit, after at most a second's burst.
    EXPECT_LE(static_cast<double>(kStreamSize), kLimit * (seconds + 1.0))
        << kStreamSize << " bytes in " << seconds << " s";
}

TEST_F(StreamLimits, AStreamAndAPlainDownloadShareTheListsLimit) {
    constexpr int64_t kLimit = 256 * 1024;
    StreamEngine engine(dir.path());
    engine.engine()->set_global_limit(kLimit);
    const auto plain = start_plain(engine);
    ASSERT_TRUE(plain);
    // Past the start, whose burst is the plain download's own.
    ASSERT_TRUE(wait_until([&] { return plain->progress.bytes_done() >= kLimit; }, kWaitMs));
    const uint64_t plain_before = plain->progress.bytes_done();
    const auto start = std::chrono::steady_clock::now();
    const int32_t id = engine.add(url("/vod/index.m3u8"), 4);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    const double seconds = seconds_since(start);
    const uint64_t plain_bytes = plain->progress.bytes_done() - plain_before;
    expect_stream_file(*engine.entry(id)->task);
    const uint64_t total = kStreamSize + plain_bytes;
    EXPECT_LE(static_cast<double>(total), kLimit * (seconds + 1.0))
        << total << " bytes in " << seconds << " s";
    // The stream took its share, not the whole limit.
    EXPECT_GE(static_cast<double>(plain_bytes), static_cast<double>(total) * 0.25)
        << "the plain download got " << plain_bytes << " of " << total;
    EXPECT_LT(plain->progress.bytes_done(), kPlainSize);
}

// A live HLS stream at real time: a segment of one second (24 KiB) appears every second, three
// are listed, the list ends after six.
class RealTimeLive {
public:
    static constexpr int kLiveSegments = 6;
    static constexpr int kListed = 3;
    static constexpr size_t kLiveSegmentSize = 24 * 1024;

    RealTimeLive() {
        for (int n = 0; n < kLiveSegments; ++n)
            m_segments.push_back(test::random_bytes(kLiveSegmentSize, 300 + n));
    }
    std::string url() const { return m_server.url("/live.m3u8"); }
    const std::vector<std::string>& segments() const { return m_segments; }

private:
    // Segments that exist now: the first kListed at once, then one more a second.
    int available() const {
        const auto since = std::chrono::steady_clock::now() - m_start;
        const auto whole = std::chrono::duration_cast<std::chrono::seconds>(since).count();
        return std::min<int>(kLiveSegments, kListed + static_cast<int>(whole));
    }
    std::string playlist() const {
        const int last = available();
        const int first = std::max(0, last - kListed);
        std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:" +
                           std::to_string(first) + "\n";
        for (int n = first; n < last; ++n)
            text += "#EXTINF:1.000,\n" + std::to_string(n) + ".ts\n";
        if (last == kLiveSegments) text += "#EXT-X-ENDLIST\n";
        return text;
    }
    void serve(test::ScriptPeer& peer) {
        for (std::string request; peer.read_request(request);) {
            const std::string path = test::request_path(request);
            if (path == "/live.m3u8") {
                peer.send(test::http_response("200 OK", "", playlist()));
                continue;
            }
            const int n = std::atoi(path.c_str() + 1);
            if (n < 0 || n >= available()) {
                peer.send(test::http_response("404 Not Found", "", ""));
                continue;
            }
            peer.send(test::http_response("200 OK", "Content-Type: video/mp2t\r\n", m_segments[n]));
        }
    }

    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::vector<std::string> m_segments;
    test::ScriptServer m_server{[this](test::ScriptPeer& peer) { serve(peer); }};
};

TEST_F(StreamLimits, ALiveRecordingKeepsUpUnderTheListsLimit) {
    set_stream_timing(StreamTiming{});
    // Shared with a plain download that would take it all, half of it is three times the stream's
    // rate.
    constexpr int64_t kLimit = 3 * RealTimeLive::kLiveSegmentSize * 2;
    StreamEngine engine(dir.path());
    engine.engine()->set_global_limit(kLimit);
    const auto plain = start_plain(engine);
    ASSERT_TRUE(plain);
    RealTimeLive live;
    const int32_t id = engine.add(live.url(), 2);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    const auto task = engine.entry(id)->task;
    EXPECT_EQ(task->progress.status(), "done");
    EXPECT_EQ(task->progress.live.gaps.load(), 0u);
    std::string all;
    for (const std::string& segment : live.segments())
        all += segment;
    EXPECT_TRUE(test::read_file(task->progress.output_path()) == all)
        << test::read_file(task->progress.output_path()).size() << " bytes recorded";
}

} // namespace
} // namespace twk
