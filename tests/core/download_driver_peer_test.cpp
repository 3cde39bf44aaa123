// The download driver against a real nginx on loopback: generated files around the split
// thresholds and one of a few hundred MiB, over 1, 8 and 32 connections; a location that
// ignores ranges; a file that changes between runs; the bandwidth limit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <thread>
#include <utility>
#include <vector>

#include "core/sidecar.h"
#include "net/text.h"
#include "tests/core/driver_fixture.h"
#include "tests/support/real_peers.h"

namespace twk {
namespace {

using test::DriverFixture;
using test::RealPeers;

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kLargeSize = 48ull << 20; // ThreadSanitizer runs everything many times slower
#else
constexpr uint64_t kLargeSize = (224ull << 20) + 4321;
#endif

class NginxDownload : public DriverFixture {
protected:
    void SetUp() override {
        DriverFixture::SetUp();
        port = RealPeers::get().nginx().http;
        ASSERT_NE(port, 0) << RealPeers::get().failure();
    }

    // Serves a new file of `size` bytes at `name` (under nginx's folder) and returns its URL.
    std::string serve(const std::string& name, uint64_t size, uint64_t seed) {
        test::write_random_file(RealPeers::get().www_dir() + "/" + name, size, seed);
        return url(name);
    }
    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(port) + "/" + name;
    }
    // Downloads `name` into `output` with `connections` and checks the bytes.
    void download(const std::string& name, const std::string& output, int connections, int64_t timeout_ms) {
        int32_t id = add(url(name), "\"connections\":" + std::to_string(connections) + ",\"filename\":\"" +
                                        output + "\"");
        ASSERT_GT(id, 0);
        EXPECT_EQ(settle(id, timeout_ms), "done") << name << " with " << connections;
        std::string why;
        EXPECT_TRUE(test::same_file(RealPeers::get().www_dir() + "/" + name, dir.file(output), why))
            << name << " with " << connections << ": " << why;
        EXPECT_FALSE(test::file_exists(dir.file(output) + ".twk"));
    }

    int port = 0;
};

TEST_F(NginxDownload, SizesAroundTheSplitThresholdsAreByteIdentical) {
    const uint64_t sizes[] = {1, 524'287, 524'288, 557'056, 600'000, 1'114'113, (3u << 20) + 17};
    for (uint64_t size : sizes) {
        const std::string name = "t" + std::to_string(size) + ".bin";
        serve(name, size, size);
        for (int connections : {1, 8, 32})
            download(name, std::to_string(connections) + "-" + name, connections, 60'000);
    }
}

TEST_F(NginxDownload, ALargeFileIsByteIdenticalWithEightAndThirtyTwoConnections) {
    serve("large.bin", kLargeSize, 77);
    download("large.bin", "large-32.bin", 32, 240'000);
    download("large.bin", "large-8.bin", 8, 240'000);
}

TEST_F(NginxDownload, HttpsDownloadsAreByteIdentical) {
    serve("secure.bin", (3u << 20) + 5, 12);
    const std::string secure =
        "https://127.0.0.1:" + std::to_string(RealPeers::get().nginx().tls) + "/secure.bin";
    int32_t id = add(secure, "\"connections\":8");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    std::string why;
    EXPECT_TRUE(test::same_file(RealPeers::get().www_dir() + "/secure.bin", dir.file("secure.bin"), why))
        << why;
}

TEST_F(NginxDownload, APausedDownloadContinuesFromItsSidecar) {
    serve("paused.bin", 4u << 20, 13);
    int32_t id = add(url("paused.bin"), "\"connections\":4,\"bandwidthLimit\":1048576");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 1'000'000; }, 30'000));
    engine_pause(engine, id);
    ASSERT_EQ(settle(id), "paused");
    const uint64_t kept = task(id)->progress.bytes_done();
    EXPECT_GT(kept, 1'000'000u);
    // The resumed run must not fetch again what the pause kept: a mark written over kept bytes
    // survives it, where a fresh start would write the server's bytes over it.
    const auto state = load_sidecar(dir.file("paused.bin.twk"), dir.file("paused.bin"));
    ASSERT_TRUE(state);
    const std::string mark(16, 'Z');
    uint64_t marked_at = UINT64_MAX;
    for (const auto& segment : state->segments) {
        if (segment->pos >= segment->start + mark.size()) marked_at = segment->start;
    }
    ASSERT_NE(marked_at, UINT64_MAX);
    std::string source = test::read_file(RealPeers::get().www_dir() + "/paused.bin");
    std::string marked = test::read_file(dir.file("paused.bin"));
    ASSERT_NE(source.compare(marked_at, mark.size(), mark), 0);
    marked.replace(marked_at, mark.size(), mark);
    test::write_file(dir.file("paused.bin"), marked);

    task(id)->control.bandwidth_limit = 0;
    engine_resume(engine, id);
    EXPECT_EQ(settle(id), "done");
    source.replace(marked_at, mark.size(), mark);
    EXPECT_TRUE(test::read_file(dir.file("paused.bin")) == source)
        << "the kept bytes were fetched again, or lost";
    EXPECT_FALSE(test::file_exists(dir.file("paused.bin.twk")));
}

TEST_F(NginxDownload, ACanceledDownloadLeavesNothingBehind) {
    serve("canceled.bin", 4u << 20, 14);
    int32_t id = add(url("canceled.bin"), "\"connections\":4,\"bandwidthLimit\":1048576");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 300'000; }, 30'000));
    engine_cancel(engine, id);
    EXPECT_EQ(settle(id), "canceled");
    EXPECT_FALSE(test::file_exists(dir.file("canceled.bin")));
    EXPECT_FALSE(test::file_exists(dir.file("canceled.bin.twk")));
}

TEST_F(NginxDownload, AServerThatIgnoresRangesGivesOneWholeStream) {
    serve("noranges/whole.bin", (2u << 20) + 3, 5);
    int32_t id = add(url("noranges/whole.bin"), "\"connections\":8");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_FALSE(task(id)->progress.supports_range);
    std::string why;
    EXPECT_TRUE(
        test::same_file(RealPeers::get().www_dir() + "/noranges/whole.bin", dir.file("whole.bin"), why))
        << why;
}

TEST_F(NginxDownload, AFileThatChangedBetweenRunsIsFetchedAgainFromScratch) {
    const uint64_t size = 4u << 20;
    const std::string source = RealPeers::get().www_dir() + "/changing.bin";
    serve("changing.bin", size, 1);
    // Slow enough to be paused halfway.
    int32_t id = add(url("changing.bin"), "\"connections\":4,\"bandwidthLimit\":1048576");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 1'000'000; }, 30'000));
    engine_pause(engine, id);
    ASSERT_EQ(settle(id), "paused");
    ASSERT_TRUE(test::file_exists(dir.file("changing.bin.twk")));
    ASSERT_LT(task(id)->progress.bytes_done(), size);

    // New bytes, same size, another modification time: nginx's ETag changes.
    test::write_random_file(source, size, 2);
    struct timeval times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimes(source.c_str(), times), 0);
    task(id)->control.bandwidth_limit = 0;
    engine_resume(engine, id);
    EXPECT_EQ(settle(id), "done");
    std::string why;
    EXPECT_TRUE(test::same_file(source, dir.file("changing.bin"), why)) << why;
}

// The limiter's credit starts at nothing and never exceeds one second's worth; each worker has
// at most one read (at most 64 KiB) written ahead of its charge. With 4 connections over 8 MiB
// that bounds the rate to about 3 % above the limit.
TEST_F(NginxDownload, TheBandwidthLimitHoldsOverSeveralSeconds) {
    const uint64_t size = 8u << 20;
    const int64_t limit = 2 << 20;
    serve("limited.bin", size, 9);
    const int64_t started = monotonic_ms();
    int32_t id = add(url("limited.bin"), "\"connections\":4,\"bandwidthLimit\":" + std::to_string(limit));
    ASSERT_GT(id, 0);
    ASSERT_EQ(settle(id), "done");
    const double seconds = static_cast<double>(monotonic_ms() - started) / 1000.0;
    const double rate = static_cast<double>(size) / seconds;
    EXPECT_LE(rate, limit * 1.06) << seconds << " s";
    EXPECT_GE(rate, limit * 0.5) << seconds << " s";
}

// A low limit shared by the list, four connections: sampled every few milliseconds over two
// seconds, the bytes written never run ahead of the limit by more than half a second's worth,
// neither at the start (when the connections read their first pieces together) nor later. Each
// sample's time is taken after its byte count, so the bound only errs towards passing. Lifted,
// the limit lets the file finish whole.
TEST_F(NginxDownload, ALowLimitHoldsFromTheFirstSecond) {
    constexpr int64_t kLimit = 128 * 1024;
    constexpr uint64_t kSize = 2u << 20; // room for four connections
    constexpr double kAllowance = kLimit / 2.0;
    constexpr double kWatchSeconds = 2.0;
    serve("slow-start.bin", kSize, 27);
    engine->set_global_limit(kLimit);
    const auto start = std::chrono::steady_clock::now();
    const auto since_start = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const int32_t id = add(url("slow-start.bin"), "\"connections\":4");
    ASSERT_GT(id, 0);
    const std::shared_ptr<Task> t = task(id);
    std::vector<std::pair<uint64_t, double>> samples; // bytes written, seconds since the start
    for (double seconds = 0; seconds < kWatchSeconds;) {
        const uint64_t bytes = t->progress.bytes_done();
        seconds = since_start();
        samples.emplace_back(bytes, seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    engine->set_global_limit(0);
    ASSERT_EQ(settle(id), "done");
    std::string why;
    EXPECT_TRUE(
        test::same_file(RealPeers::get().www_dir() + "/slow-start.bin", t->progress.output_path(), why))
        << why;
    for (const auto& [bytes, seconds] : samples)
        ASSERT_LE(static_cast<double>(bytes), kLimit * seconds + kAllowance)
            << bytes << " bytes at " << seconds << " s";
    // Not starved either: most of what the limit allowed arrived.
    EXPECT_GE(static_cast<double>(samples.back().first), kLimit * kWatchSeconds * 0.5);
}

} // namespace
} // namespace twk
