// A real `twk get` process against nginx, interrupted in the middle and run again: it continues
// from its sidecar, fetches only what was missing and ends with the server's bytes.
#include "core/sidecar.h"
#include "net/text.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/twk_process.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace twk {
namespace {

constexpr size_t kFileSize = 16 * 1024 * 1024;
// Four connections of 1 MiB/s each: the whole file takes about four seconds.
constexpr const char* kThrottle = "location /slow/ { limit_rate 1m; }";
constexpr int64_t kProgressDeadlineMs = 60000;
constexpr int64_t kExitDeadlineMs = 120000;

using test::wait_until;

using test::TwkProcess;

class TwkInterruption : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_dir.file("www/slow"));
        std::filesystem::create_directories(m_dir.file("nginx"));
        std::filesystem::create_directories(m_dir.file("dl"));
        test::write_file(m_dir.file("www/slow/big.bin"), test::test_pattern(kFileSize));
        test::write_file(m_dir.file("www/tiny.bin"), "x");
        std::string error;
        ASSERT_TRUE(m_nginx.start(m_dir.file("www"), m_dir.file("nginx"), kThrottle, error)) << error;
        if (!driver_built_in()) GTEST_SKIP() << "this build has no segmented download driver yet";
    }

    std::vector<std::string> get_args() const {
        return {"get", "-x", "4", "-d", m_dir.file("dl"), m_nginx.url("/slow/big.bin")};
    }
    std::string output() const { return m_dir.file("dl/big.bin"); }

    // Bytes the sidecar says are on disk; 0 while there is none that loads.
    uint64_t saved_bytes() const {
        auto state = load_sidecar(output() + ".twk", output());
        if (!state) return 0;
        uint64_t done = 0;
        for (const auto& segment : state->segments)
            done += segment->pos > segment->start ? segment->pos - segment->start : 0;
        return done;
    }

    // Interrupts a first run once a quarter of the file is saved, then runs the same command
    // again and checks that it fetched little more than what was missing.
    void interrupt_and_resume(int signal_number, int expected_exit) {
        const std::string first_log = m_dir.file("first.log");
        uint64_t saved = 0;
        {
            TwkProcess first(get_args(), first_log);
            ASSERT_TRUE(wait_until([&] { return saved_bytes() >= kFileSize / 4; }, kProgressDeadlineMs))
                << test::read_file(first_log);
            first.signal(signal_number);
            EXPECT_EQ(first.wait_exit(kExitDeadlineMs), expected_exit) << test::read_file(first_log);
            saved = saved_bytes();
            ASSERT_GE(saved, kFileSize / 4) << "the sidecar must survive the interruption";
            if (expected_exit == 130) {
                EXPECT_NE(test::read_file(first_log).find("paused  " + output()), std::string::npos)
                    << test::read_file(first_log);
            }
        }
        const int64_t second_began = test::wall_clock_ms();
        const std::string second_log = m_dir.file("second.log");
        TwkProcess second(get_args(), second_log);
        ASSERT_EQ(second.wait_exit(kExitDeadlineMs), 0) << test::read_file(second_log);

        EXPECT_TRUE(test::read_file(output()) == test::test_pattern(kFileSize)) << "bytes differ";
        EXPECT_FALSE(test::file_exists(output() + ".twk"));
        EXPECT_FALSE(test::file_exists(m_dir.file("dl/big (1).bin"))) << "the second run took a new name";
        EXPECT_NE(test::read_file(second_log).find("done  " + output()), std::string::npos)
            << test::read_file(second_log);
        // nginx logs a request when it ends; the second run's have all ended.
        const uint64_t fetched = m_nginx.body_bytes_since(second_began);
        EXPECT_LE(fetched, kFileSize - saved + kFileSize / 8)
            << "saved before the interruption: " << saved << ", fetched by the second run: " << fetched;
    }

    // A build whose engine has no download driver ends every task at once with an error.
    bool driver_built_in() {
        TwkProcess probe({"get", "-d", m_dir.file("probe"), m_nginx.url("/tiny.bin")},
                         m_dir.file("probe.log"));
        probe.wait_exit(kExitDeadlineMs);
        return test::read_file(m_dir.file("probe.log")).find("no download driver") == std::string::npos;
    }

    test::TempDir m_dir;
    test::NginxSite m_nginx;
};

TEST_F(TwkInterruption, KilledRunResumesFromItsSidecar) { interrupt_and_resume(SIGKILL, -1); }

TEST_F(TwkInterruption, CtrlCPausesWithStatus130AndTheSameCommandResumes) {
    interrupt_and_resume(SIGINT, 130);
}

// Two `twk get` of the same URL into the same folder at once: the second finds the first one's
// file locked and takes the next name; each ends with the server's bytes and no sidecar left.
TEST_F(TwkInterruption, TwoProcessesOnTheSameUrlWriteTwoFiles) {
    TwkProcess first(get_args(), m_dir.file("first.log"));
    ASSERT_TRUE(wait_until([&] { return saved_bytes() > 0; }, kProgressDeadlineMs))
        << test::read_file(m_dir.file("first.log"));
    TwkProcess second(get_args(), m_dir.file("second.log"));
    EXPECT_EQ(second.wait_exit(kExitDeadlineMs), 0) << test::read_file(m_dir.file("second.log"));
    EXPECT_EQ(first.wait_exit(kExitDeadlineMs), 0) << test::read_file(m_dir.file("first.log"));
    const std::string other = m_dir.file("dl/big (1).bin");
    EXPECT_NE(test::read_file(m_dir.file("second.log")).find("done  " + other), std::string::npos)
        << test::read_file(m_dir.file("second.log"));
    for (const std::string& path : {output(), other}) {
        EXPECT_TRUE(test::read_file(path) == test::test_pattern(kFileSize)) << path;
        EXPECT_FALSE(test::file_exists(path + ".twk")) << path;
    }
}

// `-o NAME` where NAME holds the partial download of another link: a link to the same file
// continues it, fetching only what was missing; a link to another file is refused with the
// reason, leaving NAME and its sidecar as they were.
TEST_F(TwkInterruption, ANameLeftByAnotherLinkContinuesOnlyWithTheSameFile) {
    auto run = [&](const std::string& url) {
        return std::vector<std::string>{"get", "-x", "4", "-d", m_dir.file("dl"), "-o", "big.bin", url};
    };
    {
        TwkProcess first(run(m_nginx.url("/slow/big.bin?token=expired")), m_dir.file("first.log"));
        ASSERT_TRUE(wait_until([&] { return saved_bytes() >= kFileSize / 4; }, kProgressDeadlineMs))
            << test::read_file(m_dir.file("first.log"));
        first.signal(SIGINT);
        ASSERT_EQ(first.wait_exit(kExitDeadlineMs), 130) << test::read_file(m_dir.file("first.log"));
    }
    const uint64_t saved = saved_bytes();
    const std::string partial = test::read_file(output());
    const std::string sidecar = test::read_file(output() + ".twk");

    TwkProcess other(run(m_nginx.url("/tiny.bin")), m_dir.file("other.log"));
    EXPECT_EQ(other.wait_exit(kExitDeadlineMs), 1) << test::read_file(m_dir.file("other.log"));
    EXPECT_NE(
        test::read_file(m_dir.file("other.log"))
            .find("error: the new link's file is 1 bytes, the download's is " + std::to_string(kFileSize)),
        std::string::npos)
        << test::read_file(m_dir.file("other.log"));
    EXPECT_TRUE(test::read_file(output()) == partial);
    EXPECT_TRUE(test::read_file(output() + ".twk") == sidecar);

    const int64_t began = test::wall_clock_ms();
    TwkProcess fresh(run(m_nginx.url("/slow/big.bin?token=fresh")), m_dir.file("fresh.log"));
    ASSERT_EQ(fresh.wait_exit(kExitDeadlineMs), 0) << test::read_file(m_dir.file("fresh.log"));
    EXPECT_NE(test::read_file(m_dir.file("fresh.log")).find("continuing with a new link"), std::string::npos)
        << test::read_file(m_dir.file("fresh.log"));
    EXPECT_TRUE(test::read_file(output()) == test::test_pattern(kFileSize)) << "bytes differ";
    EXPECT_FALSE(test::file_exists(m_dir.file("dl/big (1).bin")));
    // What was missing, and no more than the slack of connections cut short.
    const uint64_t fetched = m_nginx.body_bytes_since(began);
    EXPECT_GE(fetched, kFileSize - saved);
    EXPECT_LE(fetched, kFileSize - saved + kFileSize / 8) << "saved before: " << saved;
}

// Against a scripted server that goes silent: what a user sees from the terminal.
class TwkAgainstASilentServer : public ::testing::Test {
protected:
    // Answers the first request (a range from byte 0) with the head and a tenth of its body,
    // then says nothing.
    TwkAgainstASilentServer()
        : m_server([](test::ScriptPeer& peer) {
              std::string request;
              if (!peer.read_request(request)) return;
              if (test::request_path(request) == "/never.bin") return peer.wait_for_close();
              constexpr uint64_t kTotal = 4u << 20;
              const std::string range = test::request_header(request, "range");
              uint64_t last = kTotal - 1;
              if (const size_t dash = range.find('-'); dash != std::string::npos && dash + 1 < range.size())
                  last = std::min<uint64_t>(std::stoull(range.substr(dash + 1)), last);
              const std::string body(last + 1, 'b');
              const std::string whole = test::http_response("206 Partial Content",
                                                            "Content-Range: bytes 0-" + std::to_string(last) +
                                                                "/" + std::to_string(kTotal) + "\r\n",
                                                            body);
              peer.send(whole.substr(0, whole.size() - body.size() * 9 / 10));
              while (peer.read_request(request)) {
              }
          }) {}

    std::vector<std::string> args(const std::string& path = "/f.bin") const {
        return {"get", "-q", "-x", "1", "-d", m_dir.file("dl"), m_server.url(path)};
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir.file("dl")))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempDir m_dir;
    test::ScriptServer m_server;
};

// Ctrl-C takes effect at once although every read is waiting on a silent peer (the I/O
// time-out is 30 s), and the partial file stays with its sidecar.
TEST_F(TwkAgainstASilentServer, CtrlCEndsAtOnce) {
    TwkProcess run(args(), m_dir.file("run.log"));
    // Once a sidecar describes bytes on disk (the driver saves it about once a second).
    ASSERT_TRUE(wait_until(
        [&] {
            auto state = load_sidecar(m_dir.file("dl/f.bin.twk"), m_dir.file("dl/f.bin"));
            return state && state->segments.front()->pos > 0;
        },
        kProgressDeadlineMs));
    run.signal(SIGINT);
    // A deadline far below the 30 s a blocked read would otherwise wait.
    EXPECT_EQ(run.wait_exit(5'000), 130) << test::read_file(m_dir.file("run.log"));
    EXPECT_EQ(files(), (std::vector<std::string>{"f.bin", "f.bin.twk"}));
}

// Runs killed early, again and again, continue one file instead of multiplying it: killed
// before any answer (an empty file) or after the first (a file with its sidecar).
TEST_F(TwkAgainstASilentServer, EarlyKillsNeverMultiplyFiles) {
    for (const std::string name : {"never.bin", "f.bin"}) {
        for (int round = 0; round < 3; ++round) {
            const size_t requests = m_server.requests().size();
            TwkProcess run(args("/" + name), m_dir.file("run.log"));
            ASSERT_TRUE(
                wait_until([&] { return m_server.requests().size() > requests; }, kProgressDeadlineMs));
            run.signal(SIGKILL);
            run.wait_exit(kExitDeadlineMs);
        }
    }
    const std::vector<std::string> names = files();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.front(), "f.bin");
    for (const std::string& name : names)
        EXPECT_TRUE(name.starts_with("f.bin") || name == "never.bin") << testing::PrintToString(names);
}

} // namespace
} // namespace twk
