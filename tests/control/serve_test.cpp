// A real `twk serve` process: it listens, takes start requests, pauses its downloads on SIGTERM
// and exits 0; a taken port ends it with 1. Then the status page it serves, in headless Chromium.
#include "core/sidecar.h"
#include "tests/control/process.h"
#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

namespace twk {
namespace {

using test::wait_until;

constexpr int64_t kDeadlineMs = 30000;
constexpr const char* kTokenLine = "[twk] control API bearer token: ";
// Two connections of 128 KiB/s each: the 8 MiB file takes half a minute, time enough to watch.
constexpr const char* kThrottle = "location /slow/ { limit_rate 128k; }";
constexpr size_t kSlowFileSize = 8 << 20;

// True once the sidecar of `output` records a received byte: a pause before the first byte has
// nothing to keep, so a test that pauses waits for this.
bool sidecar_holds_bytes(const std::string& output) {
    const std::optional<ResumeState> state = load_sidecar(output + ".twk", output);
    if (!state) return false;
    for (const auto& segment : state->segments)
        if (segment->pos > segment->start) return true;
    return false;
}

class Serve {
public:
    // The task journal goes beside the folder, never into the user's state folder.
    Serve(const std::string& folder, const std::string& log, const std::vector<std::string>& options = {})
        : m_port(test::free_port()), m_process(arguments(folder, options), log,
                                               {{"TWK_CONTROL_PORT", std::to_string(m_port)},
                                                {"TWK_PRINT_TOKEN", "1"},
                                                {"XDG_STATE_HOME", folder + "-state"},
                                                {"XDG_RUNTIME_DIR", folder + "-run"}}) {}

    bool wait_listening() {
        return wait_until([&] { return log().find("control API on") != std::string::npos; }, kDeadlineMs);
    }
    std::string log() const { return test::read_file(m_process.log()); }
    std::string token() const {
        std::string text = log();
        size_t at = text.find(kTokenLine);
        return at == std::string::npos ? "" : text.substr(at + std::strlen(kTokenLine), 32);
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    int port() const { return m_port; }
    test::BackgroundProcess& process() { return m_process; }

    // POST /start with the bearer token; the reply body.
    std::string start(const std::string& url, int connections) {
        return test::run_process(
                   {"curl", "-s", "--max-time", "20", "-H", "Authorization: Bearer " + token(),
                    "--data-binary",
                    "{\"url\":\"" + url + "\",\"connections\":" + std::to_string(connections) + "}",
                    base() + "/start"})
            .output;
    }

    // GET /limits with the bearer token; the reply body.
    std::string limits() {
        return test::run_process({"curl", "-s", "--max-time", "20", "-H", "Authorization: Bearer " + token(),
                                  base() + "/limits"})
            .output;
    }

private:
    static std::vector<std::string> arguments(const std::string& folder,
                                              const std::vector<std::string>& options) {
        std::vector<std::string> args = {TWK_BINARY, "serve", "-d", folder};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    int m_port;
    test::BackgroundProcess m_process;
};

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"www/slow", "nginx", "dl"})
            std::filesystem::create_directories(m_dir.file(dir));
        test::write_file(m_dir.file("www/slow/big.bin"), test::test_pattern(kSlowFileSize));
        test::write_file(m_dir.file("www/small.bin"), test::test_pattern(100000));
        std::string error;
        ASSERT_TRUE(m_nginx.start(m_dir.file("www"), m_dir.file("nginx"), kThrottle, error)) << error;
    }

    test::TempDir m_dir;
    test::NginxSite m_nginx;
};

TEST_F(ServeTest, SigtermPausesTheDownloadsAndExitsZero) {
    Serve serve(m_dir.file("dl"), m_dir.file("serve.log"));
    ASSERT_TRUE(serve.wait_listening()) << serve.log();
    EXPECT_EQ(serve.token().size(), 32u) << serve.log();
    EXPECT_EQ(serve.start(m_nginx.url("/slow/big.bin"), 2), "{\"ok\":true,\"id\":1,\"connections\":2}");
    const std::string sidecar = m_dir.file("dl/big.bin.twk");
    ASSERT_TRUE(wait_until([&] { return sidecar_holds_bytes(m_dir.file("dl/big.bin")); }, kDeadlineMs))
        << serve.log();

    serve.process().signal(SIGTERM);
    EXPECT_EQ(serve.process().wait_exit(kDeadlineMs), 0) << serve.log();
    EXPECT_TRUE(test::file_exists(sidecar)) << "a paused download keeps its sidecar";
    EXPECT_LT(std::filesystem::file_size(m_dir.file("dl/big.bin")), kSlowFileSize + 1);
    EXPECT_NE(serve.log().find("stopping"), std::string::npos) << serve.log();
    EXPECT_FALSE(test::accepts_connections(serve.port()));
}

TEST_F(ServeTest, ARestartedServeKeepsItsListWithTheDownloadPaused) {
    const std::string journal = m_dir.file("dl-state/tarnwick/tasks.json");
    {
        Serve serve(m_dir.file("dl"), m_dir.file("serve.log"));
        ASSERT_TRUE(serve.wait_listening()) << serve.log();
        ASSERT_EQ(serve.start(m_nginx.url("/slow/big.bin"), 2), "{\"ok\":true,\"id\":1,\"connections\":2}");
        ASSERT_TRUE(wait_until([&] { return sidecar_holds_bytes(m_dir.file("dl/big.bin")); }, kDeadlineMs));
        serve.process().signal(SIGTERM);
        ASSERT_EQ(serve.process().wait_exit(kDeadlineMs), 0) << serve.log();
    }
    const std::string first = test::read_file(journal);
    EXPECT_NE(first.find("\"id\":1,"), std::string::npos) << first;
    EXPECT_NE(first.find("\"state\":\"paused\""), std::string::npos) << first;

    Serve again(m_dir.file("dl"), m_dir.file("serve-again.log"));
    ASSERT_TRUE(again.wait_listening()) << again.log();
    // The paused task is back under its id, so the next one gets the id after it.
    EXPECT_EQ(again.start(m_nginx.url("/small.bin"), 1), "{\"ok\":true,\"id\":2,\"connections\":1}");
    again.process().signal(SIGTERM);
    ASSERT_EQ(again.process().wait_exit(kDeadlineMs), 0) << again.log();
    const std::string second = test::read_file(journal);
    EXPECT_NE(second.find("\"id\":1,"), std::string::npos) << second;
    EXPECT_NE(second.find("\"id\":2,"), std::string::npos) << second;
    EXPECT_TRUE(test::file_exists(m_dir.file("dl/big.bin.twk"))) << "still resumable";
}

TEST_F(ServeTest, ATakenPortEndsWithOne) {
    test::Listener taken;
    test::ProcessResult result = test::run_process(
        {TWK_BINARY, "serve", "-d", m_dir.file("dl")}, kDeadlineMs,
        {{"TWK_CONTROL_PORT", std::to_string(taken.port())}, {"XDG_STATE_HOME", m_dir.file("state")}});
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("127.0.0.1:" + std::to_string(taken.port()) + ": Address already in use"),
              std::string::npos)
        << result.output;
}

// The shared limit and the downloads at once come from the options, and the control API reads
// them back; a value that is no rate is refused before anything starts.
TEST_F(ServeTest, TheLimitsGivenAtTheStartAreInForce) {
    Serve serve(m_dir.file("dl"), m_dir.file("serve.log"), {"-j", "2", "--speed-limit", "512K"});
    ASSERT_TRUE(serve.wait_listening()) << serve.log();
    EXPECT_EQ(serve.limits(), "{\"ok\":true,\"speedLimit\":524288,\"downloadsAtOnce\":2}");
    serve.process().signal(SIGTERM);
    EXPECT_EQ(serve.process().wait_exit(kDeadlineMs), 0) << serve.log();

    test::ProcessResult bad = test::run_process({TWK_BINARY, "serve", "--speed-limit", "1,5M"}, kDeadlineMs,
                                                {{"XDG_STATE_HOME", m_dir.file("state")}});
    EXPECT_EQ(bad.status, 2) << bad.output;
    EXPECT_NE(bad.output.find("twk: --speed-limit needs bytes per second"), std::string::npos) << bad.output;
}

TEST_F(ServeTest, StatusPageInHeadlessChromium) {
    test::ProcessResult install = test::run_process({"bash", TWK_BROWSER_DIR "/install.sh"}, 300000);
    ASSERT_EQ(install.status, 0) << install.output;

    Serve serve(m_dir.file("dl"), m_dir.file("serve.log"));
    ASSERT_TRUE(serve.wait_listening()) << serve.log();
    ASSERT_EQ(serve.start(m_nginx.url("/slow/big.bin"), 2), "{\"ok\":true,\"id\":1,\"connections\":2}");

    const std::string output_dir = TWK_TEST_OUTPUT_DIR;
    test::ProcessResult page = test::run_process({"node", TWK_BROWSER_DIR "/status_page.mjs",
                                                  serve.base() + "/", m_nginx.url("/small.bin"), output_dir},
                                                 180000);
    EXPECT_EQ(page.status, 0) << page.output << serve.log();
    EXPECT_NE(page.output.find("PASS"), std::string::npos) << page.output;
    EXPECT_TRUE(test::file_exists(output_dir + "/status_page.png"));
    EXPECT_TRUE(test::read_file(m_dir.file("dl/small.bin")) == test::test_pattern(100000))
        << "the download the form started";

    serve.process().signal(SIGINT);
    EXPECT_EQ(serve.process().wait_exit(kDeadlineMs), 0) << serve.log();
}

// A live recording on the status page: the media time and bytes it holds instead of a
// percentage, and a Stop button that ends it "done" with its file whole.
TEST_F(ServeTest, StatusPageShowsAndStopsALiveRecording) {
    test::ProcessResult install = test::run_process({"bash", TWK_BROWSER_DIR "/install.sh"}, 300000);
    ASSERT_EQ(install.status, 0) << install.output;
    // A playlist that never ends (nothing new comes either): the recording holds its two segments.
    test::write_file(m_dir.file("www/live.m3u8"),
                     "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
                     "#EXTINF:2.0,\ns0.ts\n#EXTINF:2.0,\ns1.ts\n");
    test::write_file(m_dir.file("www/s0.ts"), std::string(188, 'a'));
    test::write_file(m_dir.file("www/s1.ts"), std::string(188, 'b'));

    Serve serve(m_dir.file("dl"), m_dir.file("serve.log"));
    ASSERT_TRUE(serve.wait_listening()) << serve.log();
    ASSERT_EQ(serve.start(m_nginx.url("/live.m3u8"), 1), "{\"ok\":true,\"id\":1,\"connections\":1}");

    test::ProcessResult page = test::run_process(
        {"node", TWK_BROWSER_DIR "/status_page_live.mjs", serve.base() + "/", TWK_TEST_OUTPUT_DIR}, 180000);
    EXPECT_EQ(page.status, 0) << page.output << serve.log();
    EXPECT_NE(page.output.find("PASS"), std::string::npos) << page.output;
    EXPECT_EQ(test::read_file(m_dir.file("dl/live.ts")), std::string(188, 'a') + std::string(188, 'b'));

    serve.process().signal(SIGINT);
    EXPECT_EQ(serve.process().wait_exit(kDeadlineMs), 0) << serve.log();
}

} // namespace
} // namespace twk
