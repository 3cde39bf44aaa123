// Live HLS recording against a scripted live server whose clock the test moves on, one segment
// (two seconds of media) at a time: a sliding window of six segments, an encoder that restarts,
// an outage of 503 answers and refused connections, the end of the list; stops and a pause on
// the way. The recorded file is compared packet by packet (ffmpeg's framemd5) with the segments
// the server handed out. Plus the window bookkeeping on tables of cases.
#include "media/live_recorder.h"
#include "media/live_window.h"
#include "media/segment_fetcher.h"

#include "core/status_document.h"
#include "tests/control/process.h"
#include "tests/media/media_tools.h"
#include "tests/media/stream_engine.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_video.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <mutex>
#include <vector>

namespace twk {
namespace {

using test::StreamEngine;
using test::TempDir;
using test::wait_until;

constexpr int kWindow = 6;         // segments a playlist lists
constexpr int kMediaFiles = 45;    // 90 s of media in 2 s segments
constexpr int64_t kWaitMs = 30000; // for any one thing the recorder should do

std::string seg_name(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "s%03d.ts", i);
    return name;
}

// The media every live server hands out: 2 s MPEG-TS segments cut by ffmpeg, and the size and
// MD5 of each one's packets.
struct Media {
    TempDir dir;
    std::string error;
    std::vector<std::string> files;
    std::vector<std::vector<std::string>> packets;
};

const Media& media() {
    static Media* made = [] {
        auto* m = new Media;
        std::vector<std::string> args = test::test_video_args(90);
        for (const char* arg : {"-f", "hls", "-hls_time", "2", "-hls_list_size", "0", "-hls_segment_filename",
                                "s%03d.ts", "src.m3u8"})
            args.push_back(arg);
        m->error = test::run_ffmpeg(m->dir.path(), std::move(args));
        for (int i = 0; m->error.empty() && test::file_exists(m->dir.file(seg_name(i))); ++i) {
            m->files.push_back(test::read_file(m->dir.file(seg_name(i))));
            m->packets.push_back(test::packet_sums(m->dir.path(), seg_name(i), "v", m->error));
        }
        return m;
    }();
    return *made;
}

// A live encoder behind a web server. At tick T the media files 0..T-1 exist; the encoder that
// made file f numbers it from 0 when it began at `restart_tick` (files from restart_tick - 1 on
// are "b/<sequence>.ts", earlier ones "a/<sequence>.ts"). At `end_tick` the list ends.
class LiveServer {
public:
    enum class Phase { kServing, kUnavailable, kRefused };

    LiveServer(int restart_tick, int end_tick) : m_restart(restart_tick), m_end(end_tick) {}

    std::string url() const { return m_server.url("/live.m3u8"); }

    void set_tick(int tick) {
        std::lock_guard lock(m_lock);
        m_tick = tick;
    }
    void set_phase(Phase phase) {
        m_server.refuse_connections(phase == Phase::kRefused);
        std::lock_guard lock(m_lock);
        m_phase = phase;
    }
    // Playlist requests answered (or refused with 503) while the clock stood at `tick`.
    int loads_at(int tick) const {
        std::lock_guard lock(m_lock);
        auto it = m_loads.find(tick);
        return it == m_loads.end() ? 0 : it->second;
    }
    // The media files handed out, in order.
    std::vector<int> served() const {
        std::lock_guard lock(m_lock);
        return m_served;
    }

private:
    int first_of_b() const { return m_restart > 0 ? m_restart - 1 : kMediaFiles; }

    std::string playlist(int tick) const {
        const bool b = tick >= first_of_b() + 1;
        const int base = b ? first_of_b() : 0; // the file the current encoder numbers 0
        const int first = std::max(base, tick - kWindow);
        std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:" +
                           std::to_string(first - base) + "\n";
        for (int f = first; f < tick; ++f)
            text += "#EXTINF:2.000,\n" + std::string(b ? "b/" : "a/") + std::to_string(f - base) + ".ts\n";
        if (tick >= m_end) text += "#EXT-X-ENDLIST\n";
        return text;
    }

    void serve(test::ScriptPeer& peer) {
        for (std::string request; peer.read_request(request);) {
            const std::string path = test::request_path(request);
            std::unique_lock lock(m_lock);
            if (path == "/live.m3u8") {
                ++m_loads[m_tick];
                const std::string answer =
                    m_phase == Phase::kUnavailable
                        ? test::http_response("503 Service Unavailable", "Retry-After: 0\r\n", "busy")
                        : test::http_response("200 OK", "Content-Type: application/vnd.apple.mpegurl\r\n",
                                              playlist(m_tick));
                lock.unlock();
                peer.send(answer);
                continue;
            }
            int file = -1;
            if (path.starts_with("/a/")) file = std::atoi(path.c_str() + 3);
            if (path.starts_with("/b/")) file = first_of_b() + std::atoi(path.c_str() + 3);
            if (file < 0 || file >= m_tick || file >= static_cast<int>(media().files.size())) {
                lock.unlock();
                peer.send(test::http_response("404 Not Found", "", ""));
                continue;
            }
            m_served.push_back(file);
            lock.unlock();
            peer.send(test::http_response("200 OK", "Content-Type: video/mp2t\r\n", media().files[file]));
        }
    }

    const int m_restart;
    const int m_end;
    mutable std::mutex m_lock;
    int m_tick = 0;
    Phase m_phase = Phase::kServing;
    std::map<int, int> m_loads;
    std::vector<int> m_served;
    test::ScriptServer m_server{[this](test::ScriptPeer& peer) { serve(peer); }};
};

std::vector<int> range(int from, int to) { // [from, to]
    std::vector<int> out;
    for (int i = from; i <= to; ++i)
        out.push_back(i);
    return out;
}

class LiveHls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(media().error, "");
        ASSERT_EQ(media().files.size(), static_cast<size_t>(kMediaFiles));
        StreamTiming timing;
        timing.first_backoff_ms = 1;
        timing.longest_backoff_ms = 4;
        timing.live_wait_scale = 0.002; // a 2 s target duration becomes 4 ms
        timing.live_outage_ms = 60000;
        set_stream_timing(timing);
    }
    void TearDown() override { set_stream_timing(StreamTiming{}); }

    // Moves the clock to `tick` and waits until the recorder has looked at the playlist there.
    static void step(LiveServer& server, int tick) {
        server.set_tick(tick);
        ASSERT_TRUE(wait_until([&] { return server.loads_at(tick) > 0; }, kWaitMs)) << "tick " << tick;
    }

    std::shared_ptr<Task> task(StreamEngine& engine, int32_t id) { return engine.entry(id)->task; }

    // The file holds exactly the packets of these media files, in this order, and ffmpeg reads
    // it to the end without complaint.
    static void expect_packets_of(const std::string& path, const std::vector<int>& files) {
        std::vector<std::string> expected;
        for (int f : files)
            expected.insert(expected.end(), media().packets[f].begin(), media().packets[f].end());
        std::string error;
        const auto dir = std::filesystem::path(path).parent_path().string();
        const std::vector<std::string> got = test::packet_sums(dir, path, "v", error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }

    TempDir dir;
};

TEST_F(LiveHls, RecordsThroughAnEncoderRestartAndAnOutageUntilTheListEnds) {
    // Encoder restart at tick 9; playlist 503 from tick 13 to 27, connections refused from 28
    // to 42 (60 s of media in all); the list ends at tick 45, after 90 s of media.
    LiveServer server(9, 45);
    server.set_tick(4);
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(server.url(), 1);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(wait_until([&] { return server.loads_at(4) > 0; }, kWaitMs));
    for (int tick = 5; tick <= 45; ++tick) {
        if (tick == 13) server.set_phase(LiveServer::Phase::kUnavailable);
        if (tick == 28) server.set_phase(LiveServer::Phase::kRefused);
        if (tick == 43) {
            // The clock moves before the server comes back, so no reload sees the window of tick 42.
            server.set_tick(tick);
            server.set_phase(LiveServer::Phase::kServing);
        }
        if (tick >= 28 && tick <= 42) {
            server.set_tick(tick);
            continue;
        }
        step(server, tick);
        if (tick == 44) {
            // Files 12 to 36 (25 segments, 50 s) left the window while the playlist was away.
            ASSERT_TRUE(wait_until(
                [&] { return task(engine, id)->progress.status() == "recording, 1 gap of 50 s"; }, kWaitMs))
                << task(engine, id)->progress.status();
            const std::string document = task_list_document(*engine_task_list(engine.engine()));
            EXPECT_NE(document.find("\"live\":true,\"recorded\":"), std::string::npos) << document;
        }
    }
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    const auto recorded = task(engine, id);
    EXPECT_EQ(recorded->progress.status(), "done");
    // Three target durations behind the edge at the start (files 1 to 3 of 0 to 3), each file
    // once, the restarted encoder's files after the old one's, nothing of the gap.
    std::vector<int> expected = range(1, 11);
    for (int f : range(37, 44))
        expected.push_back(f);
    EXPECT_EQ(server.served(), expected);
    EXPECT_EQ(recorded->progress.live.gaps.load(), 1u);
    EXPECT_EQ(recorded->progress.live.gap_ms.load(), 50000);
    EXPECT_EQ(recorded->progress.live.recorded_ms.load(), 2000 * static_cast<int64_t>(expected.size()));
    EXPECT_EQ(recorded->progress.output_path(), dir.file("live.ts"));
    expect_packets_of(recorded->progress.output_path(), expected);
}

// A stop that asks to finish (twk get's Ctrl-C) ends the recording "done" at any moment: while
// segments arrive, right after the encoder restarted, in the middle of an outage.
TEST_F(LiveHls, AStopAtAnyMomentLeavesAWholePlayableFile) {
    struct Case {
        int stop_tick;
        bool outage;
        std::vector<int> files;
    };
    for (const Case& c :
         {Case{6, false, range(1, 5)}, Case{9, false, range(1, 8)}, Case{11, true, range(1, 9)}}) {
        SCOPED_TRACE(c.stop_tick);
        TempDir folder;
        LiveServer server(9, 45);
        server.set_tick(4);
        StreamEngine engine(folder.path());
        const int32_t id = engine.add(server.url(), 1, ",\"type\":\"hls\"");
        ASSERT_TRUE(wait_until([&] { return server.loads_at(4) > 0; }, kWaitMs));
        for (int tick = 5; tick <= c.stop_tick; ++tick) {
            if (c.outage && tick == c.stop_tick) server.set_phase(LiveServer::Phase::kUnavailable);
            step(server, tick);
        }
        // Every segment listed at the stop is in the file before the stop comes.
        const auto recording = task(engine, id);
        const int64_t listed_ms = 2000 * static_cast<int64_t>(c.files.size());
        ASSERT_TRUE(
            wait_until([&] { return recording->progress.live.recorded_ms.load() == listed_ms; }, kWaitMs));
        recording->progress.live.finish = true;
        engine_pause(engine.engine(), id);
        ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
        EXPECT_EQ(recording->progress.status(), "done");
        EXPECT_EQ(server.served(), c.files);
        expect_packets_of(recording->progress.output_path(), c.files);
    }
}

// Pause keeps what was recorded; resume goes on at the live edge and counts what it missed.
TEST_F(LiveHls, ResumeAfterAPauseRejoinsAtTheLiveEdgeWithAGap) {
    LiveServer server(0, 16);
    server.set_tick(4);
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(server.url(), 1);
    ASSERT_TRUE(wait_until([&] { return server.loads_at(4) > 0; }, kWaitMs));
    for (int tick = 5; tick <= 6; ++tick)
        step(server, tick);
    const auto recording = task(engine, id);
    ASSERT_TRUE(wait_until([&] { return recording->progress.live.recorded_ms.load() == 10000; }, kWaitMs));
    engine_pause(engine.engine(), id);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    EXPECT_EQ(recording->progress.status(), "paused");
    expect_packets_of(recording->progress.output_path(), range(1, 5));

    // Back at tick 14: files 8 to 13 are listed, the edge is three target durations back (11).
    server.set_tick(14);
    engine_resume(engine.engine(), id);
    ASSERT_TRUE(wait_until([&] { return server.loads_at(14) > 0; }, kWaitMs));
    for (int tick = 15; tick <= 16; ++tick)
        step(server, tick);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    EXPECT_EQ(recording->progress.status(), "done");
    std::vector<int> expected = range(1, 5);
    for (int f : range(11, 15))
        expected.push_back(f);
    EXPECT_EQ(server.served(), expected);
    EXPECT_EQ(recording->progress.live.gaps.load(), 1u);
    EXPECT_EQ(recording->progress.live.gap_ms.load(), 10000);
    EXPECT_EQ(recording->progress.output_path(), dir.file("live.ts"));
    expect_packets_of(recording->progress.output_path(), expected);
}

// A finished recording is whole: a retry records the stream again into a file of its own and
// leaves the finished one exactly as it was. The stop that finished the first run is not the
// retry's: its pause pauses.
TEST_F(LiveHls, ARetryOfAFinishedRecordingRecordsIntoANewFile) {
    LiveServer server(0, 20);
    server.set_tick(4);
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(server.url(), 1);
    ASSERT_TRUE(wait_until([&] { return server.loads_at(4) > 0; }, kWaitMs));
    step(server, 5);
    const auto recording = task(engine, id);
    ASSERT_TRUE(wait_until([&] { return recording->progress.live.recorded_ms.load() == 8000; }, kWaitMs));
    engine.engine()->finish_recording(id);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    ASSERT_EQ(recording->progress.status(), "done");
    std::string finished;
    for (int f : range(1, 4))
        finished += media().files[f];
    ASSERT_TRUE(test::read_file(dir.file("live.ts")) == finished);

    server.set_tick(10);
    engine.engine()->retry(id);
    ASSERT_TRUE(wait_until([&] { return server.loads_at(10) > 0; }, kWaitMs));
    ASSERT_TRUE(wait_until([&] { return recording->progress.live.recorded_ms.load() == 6000; }, kWaitMs))
        << recording->progress.live.recorded_ms.load();
    EXPECT_EQ(recording->progress.output_path(), dir.file("live (1).ts"));
    engine_pause(engine.engine(), id);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    EXPECT_EQ(recording->progress.status(), "paused");

    engine_resume(engine.engine(), id);
    for (int tick = 11; tick <= 20; ++tick)
        step(server, tick);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    EXPECT_EQ(recording->progress.status(), "done");
    std::vector<int> expected = range(1, 4);
    for (int f : range(7, 19))
        expected.push_back(f);
    EXPECT_EQ(server.served(), expected);
    EXPECT_EQ(recording->progress.live.gaps.load(), 0u);
    EXPECT_TRUE(test::read_file(dir.file("live.ts")) == finished) << "the finished recording changed";
    EXPECT_EQ(recording->progress.output_path(), dir.file("live (1).ts"));
    expect_packets_of(dir.file("live (1).ts"), range(7, 19));
}

// A restart of the program (the engine gone, its journal read by the next one) is a pause: the
// recording goes on in the same file from the live edge and counts what it missed. What a
// killed process appended beyond the last segment it accounted for (half a segment here) is cut
// off first, so the file is exactly the segments recorded.
TEST_F(LiveHls, AfterARestartTheRecordingGoesOnInTheSameFile) {
    LiveServer server(0, 16);
    server.set_tick(4);
    const std::string journal = dir.file("state/tasks.json");
    int32_t id = 0;
    std::string output;
    {
        StreamEngine engine(dir.path(), journal);
        id = engine.add(server.url(), 1, ",\"liveOutageLimit\":120");
        ASSERT_TRUE(wait_until([&] { return server.loads_at(4) > 0; }, kWaitMs));
        for (int tick = 5; tick <= 6; ++tick)
            step(server, tick);
        const auto recording = task(engine, id);
        ASSERT_TRUE(
            wait_until([&] { return recording->progress.live.recorded_ms.load() == 10000; }, kWaitMs));
        output = recording->progress.output_path();
    }
    EXPECT_NE(test::read_file(journal).find("\"live\":{\"next\":6,"), std::string::npos)
        << test::read_file(journal);
    const std::string torn = media().files[6].substr(0, media().files[6].size() / 2);
    { std::ofstream(output, std::ios::binary | std::ios::app) << torn; }

    server.set_tick(14);
    StreamEngine engine(dir.path(), journal);
    const auto recording = task(engine, id);
    ASSERT_NE(recording, nullptr);
    EXPECT_EQ(recording->progress.status(), "paused");
    EXPECT_EQ(recording->progress.live.recorded_ms.load(), 10000);
    EXPECT_EQ(recording->request.live_outage_limit, 120);
    engine_resume(engine.engine(), id);
    ASSERT_TRUE(wait_until([&] { return server.loads_at(14) > 0; }, kWaitMs));
    for (int tick = 15; tick <= 16; ++tick)
        step(server, tick);
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    EXPECT_EQ(recording->progress.status(), "done");
    std::vector<int> expected = range(1, 5);
    for (int f : range(11, 15))
        expected.push_back(f);
    EXPECT_EQ(server.served(), expected);
    EXPECT_EQ(recording->progress.live.gaps.load(), 1u);
    EXPECT_EQ(recording->progress.live.gap_ms.load(), 10000);
    EXPECT_EQ(recording->progress.output_path(), output);
    std::string joined;
    for (int f : expected)
        joined += media().files[f];
    EXPECT_TRUE(test::read_file(output) == joined) << "the file is not the recorded segments";
    expect_packets_of(output, expected);
}

// A task's own outage limit ends a recording whose playlist stopped advancing that long, with what
// it recorded kept, however long the program's default would have waited.
TEST_F(LiveHls, TheTasksOutageLimitEndsAStalledRecording) {
    LiveServer server(0, 45);
    server.set_tick(4);
    StreamEngine engine(dir.path());
    const int32_t id = engine.add(server.url(), 1, ",\"liveOutageLimit\":1");
    ASSERT_TRUE(engine.wait_settled(id, kWaitMs));
    const auto recording = task(engine, id);
    EXPECT_EQ(recording->progress.status(),
              "error: live stream lost for 1 s (the playlist stopped advancing)");
    expect_packets_of(recording->progress.output_path(), range(1, 3));
}

// `twk get` on a live stream: Ctrl-C ends the recording "done", with a playable file that holds
// what was listed, and the closing line says where it is.
TEST_F(LiveHls, CtrlCInTwkGetEndsTheRecordingDone) {
    LiveServer server(0, 45);
    server.set_tick(4);
    const std::string log = dir.file("twk.log");
    const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(log_fd, 0);
    const pid_t pid =
        test::spawn({TWK_BINARY, "get", "--live-from-start", "-d", dir.file("dl"), server.url()}, {}, log_fd);
    ::close(log_fd);
    ASSERT_GT(pid, 0);
    // From the oldest listed segment: files 0 to 3.
    size_t listed_bytes = 0;
    for (int f : range(0, 3))
        listed_bytes += media().files[f].size();
    const bool recorded = wait_until(
        [&] {
            return server.served().size() == 4 &&
                   test::read_file(dir.file("dl/live.ts")).size() == listed_bytes;
        },
        kWaitMs);
    ::kill(pid, SIGINT);
    int status = -1;
    ASSERT_TRUE(wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, kWaitMs));
    ASSERT_TRUE(recorded) << test::read_file(log);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << test::read_file(log);
    EXPECT_NE(test::read_file(log).find("done  " + dir.file("dl/live.ts")), std::string::npos)
        << test::read_file(log);
    EXPECT_EQ(server.served(), range(0, 3));
    expect_packets_of(dir.file("dl/live.ts"), range(0, 3));
}

// --- the window bookkeeping ---

TrackPlan listed(uint64_t first_sequence, int count, const std::string& prefix = "s", double duration = 2) {
    TrackPlan track;
    track.first_sequence = first_sequence;
    track.target_duration = 2;
    for (int i = 0; i < count; ++i) {
        MediaSegment segment;
        segment.uri = "http://h/" + prefix + std::to_string(first_sequence + i) + ".ts";
        segment.duration = duration;
        track.segments.push_back(segment);
    }
    return track;
}

TEST(LiveWindow, DecidesWhereToGoOnFromTheSequenceNumbers) {
    // Recorded up to sequence 19 ("s19.ts") in every case but the first ones.
    auto after_19 = [] {
        LiveWindow window;
        for (uint64_t s = 14; s <= 19; ++s)
            window.recorded(s, "http://h/s" + std::to_string(s) + ".ts");
        return window;
    };
    struct Case {
        const char* name;
        LiveWindow window;
        TrackPlan track;
        bool from_start;
        bool rejoin;
        size_t first;
        uint64_t lost;
        bool restarted;
    };
    const Case cases[] = {
        {"first load: three targets behind the edge", LiveWindow(), listed(10, 6), false, false, 3, 0, false},
        {"first load from the start", LiveWindow(), listed(10, 6), true, false, 0, 0, false},
        {"first load of a short list", LiveWindow(), listed(10, 2), false, false, 0, 0, false},
        {"first load of long segments", LiveWindow(), listed(10, 6, "s", 7), false, false, 5, 0, false},
        {"the next one", after_19(), listed(15, 6), false, false, 5, 0, false},
        {"nothing new", after_19(), listed(14, 6), false, false, 6, 0, false},
        {"a lagging cache", after_19(), listed(12, 6), false, false, 6, 0, false},
        {"an outage lost 20 to 24", after_19(), listed(25, 6), false, false, 0, 5, false},
        {"a rejoin at the edge", after_19(), listed(18, 6), false, true, 3, 1, false},
        {"a rejoin before the edge is reached", after_19(), listed(16, 6), false, true, 4, 0, false},
        {"the encoder restarted", after_19(), listed(0, 2, "new"), false, false, 0, 0, true},
        {"restarted under the same numbers", after_19(), listed(17, 6, "new"), false, false, 0, 0, true},
        {"an empty list", after_19(), listed(0, 0), false, false, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LiveStep step = c.window.take(c.track, c.from_start, c.rejoin);
        EXPECT_EQ(step.first, c.first);
        EXPECT_EQ(step.lost, c.lost);
        EXPECT_EQ(step.restarted, c.restarted);
        EXPECT_DOUBLE_EQ(step.lost_seconds, 2.0 * static_cast<double>(c.lost));
    }
}

TEST(LiveWindow, StatusNamesTheGaps) {
    EXPECT_EQ(live_status_text(0, 0), "recording");
    EXPECT_EQ(live_status_text(1, 12000), "recording, 1 gap of 12 s");
    EXPECT_EQ(live_status_text(3, 31600), "recording, 3 gaps of 32 s");
}

} // namespace
} // namespace twk
