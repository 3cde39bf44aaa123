// The browser extension in Debian's Chromium (driven by playwright-core from
// browser/package-lock.json): its check-in reaches a control server in this process with the
// browser's tag, and its capture and hand-off work against a real `twk serve` and nginx.
#include "app/engine_api.h"
#include "control/control_server.h"
#include "tests/control/process.h"
#include "tests/support/nginx_site.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace twk {
namespace {

using test::wait_until;

constexpr int64_t kInstallMs = 300000;
constexpr int64_t kBrowserRunMs = 240000;
constexpr int64_t kCheckInMs = 30000;

// The site capture.mjs fills: a Content-Disposition name, a redirect, a download that needs the
// page's cookie, referer and a browser's agent, a POST target, a throttled folder, downloads
// that check which SameSite cookies came.
constexpr const char* kSite = R"(
    types { text/html html; }
    absolute_redirect off;
    location /named/ { add_header Content-Disposition 'attachment; filename="report.bin"'; }
    location = /go/redirect { return 302 /files/moved.bin; }
    location /private/ {
      if ($http_cookie != "twk_session=opensesame") { return 403; }
      if ($http_referer !~ "^http://127\.0\.0\.1:[0-9]+/index\.html$") { return 403; }
      if ($http_user_agent !~ "Chrome/") { return 403; }
    }
    location /post/ { error_page 405 =200 $uri; }
    location /slow/ { limit_rate 256k; }
    # The cookies set by /jar/set.html (Strict, Lax, None and one without SameSite): a download
    # passes with what the browser sends from where it was started, and fails with more.
    location = /jar/click.bin {
      if ($http_cookie !~ "twk_strict=1") { return 403; }
      if ($http_cookie !~ "twk_lax=1") { return 403; }
      if ($http_cookie !~ "twk_none=1") { return 403; }
      if ($http_cookie !~ "twk_plain=1") { return 403; }
    }
    location = /jar/top.bin {
      if ($http_cookie ~ "twk_strict") { return 403; }
      if ($http_cookie !~ "twk_lax=1") { return 403; }
      if ($http_cookie !~ "twk_none=1") { return 403; }
      if ($http_cookie !~ "twk_plain=1") { return 403; }
    }
    # A cross-site frame: Strict, Lax and unmarked cookies stay behind (whether None ones come
    # is the browser's third-party cookie setting; this Chromium sends none).
    location = /jar/frame.bin {
      if ($http_cookie ~ "twk_strict|twk_lax|twk_plain") { return 403; }
    }
)";

class ExtensionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The program's extension key, and the native host the browser starts, in a folder of
        // this test's own.
        ::setenv("XDG_RUNTIME_DIR", m_dir.file("run").c_str(), 1);
        test::ProcessResult install =
            test::run_process({"bash", TWK_EXTENSION_TESTS "/install.sh"}, kInstallMs);
        ASSERT_EQ(install.status, 0) << install.output;
    }
    test::TempDir m_dir;
};

TEST_F(ExtensionTest, ChecksInWithTheChromeTagAndSpeaksChinese) {
    std::filesystem::create_directories(m_dir.file("dl"));
    Engine* engine = engine_create(m_dir.file("dl"), 3);
    std::string error;
    ControlServer* server = start_control_server(engine, "127.0.0.1", 0, &error);
    ASSERT_NE(server, nullptr) << error;

    const std::string release = m_dir.file("release");
    test::BackgroundProcess browser({"node", TWK_EXTENSION_TESTS "/checkin.mjs", TWK_EXTENSION_SOURCE,
                                     std::to_string(control_server_port(*server)), m_dir.path(), release,
                                     TWK_TEST_OUTPUT_DIR, TWK_BINARY},
                                    m_dir.file("checkin.log"));
    EXPECT_TRUE(wait_until([&] { return browser_contact_age(*server, "chrome") >= 0; }, kCheckInMs))
        << test::read_file(browser.log());
    EXPECT_EQ(browser_contact_age(*server, "firefox"), -1);
    EXPECT_EQ(browser_contact_age(*server, "edge"), -1);
    test::write_file(release, "");
    EXPECT_EQ(browser.wait_exit(kBrowserRunMs), 0) << test::read_file(browser.log());
    const std::string log = test::read_file(browser.log());
    EXPECT_NE(log.find("PASS"), std::string::npos) << log;

    stop_control_server(server);
    engine_destroy(engine);
}

TEST_F(ExtensionTest, CapturesAndHandsOverAgainstTwkServe) {
    for (const char* dir : {"www", "nginx", "work"})
        std::filesystem::create_directories(m_dir.file(dir));
    test::NginxSite site;
    std::string error;
    ASSERT_TRUE(site.start(m_dir.file("www"), m_dir.file("nginx"), kSite, error)) << error;

    test::ProcessResult run =
        test::run_process({"node", TWK_EXTENSION_TESTS "/capture.mjs", TWK_BINARY, TWK_EXTENSION_SOURCE,
                           m_dir.file("www"), site.url(""), m_dir.file("work"), TWK_TEST_OUTPUT_DIR},
                          kBrowserRunMs);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("PASS"), std::string::npos) << run.output;
}

} // namespace
} // namespace twk
