// Live DASH recording against ffmpeg's dash muxer in live mode (a dynamic manifest with a
// sliding SegmentTimeline, rewritten every segment and turned static at the end), served by
// nginx while ffmpeg writes it at real time. The recorded fragmented MP4 holds the packets of the
// init segment and of every fragment from where it joined to the end, in order.
#include "media/segment_fetcher.h"

#include "tests/media/media_tools.h"
#include "tests/media/stream_engine.h"
#include "tests/support/nginx_site.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_video.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

namespace twk {
namespace {

namespace fs = std::filesystem;
using test::StreamEngine;
using test::TempDir;
using test::wait_until;

// ffmpeg writing a 12 s live stream into `dir` at real time; killed if the test leaves early.
class LiveEncoder {
public:
    explicit LiveEncoder(const std::string& dir) {
        std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"};
        for (std::string& arg : test::test_video_args(12, true))
            args.push_back(std::move(arg));
        for (const char* arg : {"-f", "dash", "-seg_duration", "2", "-streaming", "1", "-window_size", "3",
                                "-extra_window_size", "100", "-use_template", "1", "-use_timeline", "1",
                                "-remove_at_exit", "0"})
            args.push_back(arg);
        args.push_back(dir + "/live.mpd");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&m_pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) m_pid = -1;
    }
    ~LiveEncoder() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            wait();
        }
    }
    bool started() const { return m_pid > 0; }
    // Waits for ffmpeg to end; true when it ended well.
    bool wait() {
        int status = 0;
        while (m_pid > 0 && ::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t m_pid = -1;
};

TEST(LiveDash, RecordsFfmpegsLiveManifestUntilItTurnsStatic) {
    TempDir dir;
    fs::create_directories(dir.file("www"));
    fs::create_directories(dir.file("nginx"));
    fs::create_directories(dir.file("out"));
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(dir.file("www"), dir.file("nginx"), "", error)) << error;
    LiveEncoder encoder(dir.file("www"));
    ASSERT_TRUE(encoder.started());
    ASSERT_TRUE(wait_until([&] { return test::file_exists(dir.file("www/live.mpd")); }, 30000));

    StreamEngine engine(dir.file("out"));
    const int32_t id = engine.add(nginx.url("/live.mpd"), 1);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(encoder.wait());
    ASSERT_TRUE(engine.wait_settled(id, 60000));
    const auto task = engine.entry(id)->task;
    EXPECT_EQ(task->progress.status(), "done");
    EXPECT_EQ(task->progress.live.gaps.load(), 0u);
    const std::string output = task->progress.output_path();
    EXPECT_EQ(output, dir.file("out/live.mp4"));

    // The recording is the init segment and the fragments from some k to the last.
    std::vector<std::string> chunks;
    for (int n = 1;
         test::file_exists(dir.file("www/chunk-stream0-" + std::string(5 - std::to_string(n).size(), '0') +
                                    std::to_string(n) + ".m4s"));
         ++n)
        chunks.push_back(dir.file("www/chunk-stream0-" + std::string(5 - std::to_string(n).size(), '0') +
                                  std::to_string(n) + ".m4s"));
    ASSERT_GE(chunks.size(), 6u);
    const std::string recorded = test::read_file(output);
    const std::string init = test::read_file(dir.file("www/init-stream0.m4s"));
    int joined_at = -1;
    for (size_t k = 0; k < chunks.size() && joined_at < 0; ++k) {
        std::string expected = init;
        for (size_t i = k; i < chunks.size(); ++i)
            expected += test::read_file(chunks[i]);
        if (expected == recorded) joined_at = static_cast<int>(k);
    }
    EXPECT_GE(joined_at, 0) << "the recording is no run of fragments up to the end";
    // ffmpeg reads it whole: as many packets as the fragments hold.
    const std::vector<std::string> packets = test::packet_sums(dir.path(), output, "v", error);
    EXPECT_EQ(error, "");
    EXPECT_GE(packets.size(), 10u * 2 * (chunks.size() - static_cast<size_t>(std::max(joined_at, 0)) - 1));
}

} // namespace
} // namespace twk
