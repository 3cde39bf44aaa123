// Self-update and diagnostics in the app: the banner, the crash prompt and the daily check,
// in-process with an offscreen window and as a real tarnwick process.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

// This header of mbedTLS 3.6 declares its functions without C linkage for C++.
extern "C" {
#include <mbedtls/psa_util.h>
}
#include <psa/crypto.h>

#include <QApplication>
#include <QImage>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "app/background_jobs.h"
#include "app/diagnostics.h"
#include "app/self_update.h"
#include "core/task_journal.h"
#include "net/text.h"
#include "tests/app/vendor_endpoint.h"
#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/offscreen_app.h"
#include "ui/shell_controller.h"
#include "json/json.h"

namespace twk::ui {
namespace {

// The test CA, trusted through TWK_CA_FILE (by this program and the tarnwick it starts).
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

using test::body_of;
using test::Endpoint;
using test::http_response;
using test::installer_stub;
using test::manifest_body;
using test::ScopedTmpdir;
using test::ScriptPeer;
using test::ScriptServer;
using test::sign_list;
using test::updater_folders;

constexpr int64_t kDeadlineMs = test::kEndpointDeadlineMs;

QApplication& application() { return test::offscreen_application(); }

// Waits for `condition` while the UI thread's queued calls run.
bool wait_with_events(const std::function<bool()>& condition, int64_t timeout_ms = kDeadlineMs) {
    return test::wait_until(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        timeout_ms);
}

// The banner band's colour in the middle of a picture of the window.
bool shows_banner(const QImage& image) {
    return !image.isNull() && image.pixelColor(image.width() / 2, 46 + 4) == QColor(0xEA, 0xF1, 0xFC);
}

// ---------------------------------------------------------------------------------------------
// The window with its controller, offscreen

class ShellWindowTest : public ::testing::Test {
protected:
    void SetUp() override { application(); }

    ShellEnvironment environment() {
        ShellEnvironment env;
        env.endpoint = m_endpoint.base();
        env.state_folder = m_home.file("state/tarnwick");
        env.report_folders = {m_home.file("reports")};
        env.exe_name = "tarnwick";
        env.open_url = [this](const std::string& url) { m_opened.push_back(url); };
        return env;
    }
    app::SettingsPaths paths() { return {m_home.file("config"), m_home.file("data")}; }
    // Turns the start-up update check off, so only the test's own checks ask the endpoint.
    void no_start_up_check() { app::SettingsStore(paths()).write_dword("AutoUpdateCheck", 0); }

    test::TempDir m_home;
    ScopedTmpdir m_tmpdir{m_home.path()};
    Endpoint m_endpoint;
    std::vector<std::string> m_opened;
};

TEST_F(ShellWindowTest, CrashBannerOnceThenNoneAndCleanExitRemovesTheMarker) {
    no_start_up_check();
    std::filesystem::create_directories(m_home.file("reports"));
    test::write_file(m_home.file("reports/_opt_tarnwick_tarnwick.1000.crash"), "report");
    app::MarkerFiles files(m_home.file("state/tarnwick"));
    files.write_marker({"0.1.416", "linux6.1", 30, 50, 1});
    {
        MainWindow window(EngineOps{});
        ShellController shell(window, paths(), app::Settings{}, environment());
        shell.start(monotonic_ms());
        ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::CrashPrompt; }));
        QImage frame = window.render_frame();
        test::save_shot(frame, "shell-crash-banner");
        EXPECT_TRUE(shows_banner(frame));
        EXPECT_TRUE(test::file_exists(files.marker_path()));
        // A resource trigger later in the same run raises nothing.
        shell.take_sample({monotonic_ms() + 60'000, 0, 900, 0, 0});
        window.close_banner();
        QCoreApplication::processEvents();
        EXPECT_EQ(window.banner_mode(), BannerMode::None);
    }
    EXPECT_FALSE(test::file_exists(files.marker_path())) << "a clean exit deletes the marker";
    // Killed next time, no newer report: no banner.
    files.write_marker({"0.1.416", "linux6.1", 30, 50, 1});
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), app::Settings{}, environment());
    shell.start(monotonic_ms());
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(window.banner_mode(), BannerMode::None);
    EXPECT_FALSE(shell.prompt().raised());
}

TEST_F(ShellWindowTest, ShareSendsOneValidRecordWhateverIsClicked) {
    no_start_up_check();
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), app::Settings{}, environment());
    shell.start(monotonic_ms());
    shell.take_sample({monotonic_ms() + 60'000, 0, 801, 0, 2});
    ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::ResourcePrompt; }));
    window.click_banner_link();
    EXPECT_EQ(window.banner_mode(), BannerMode::None) << "the prompt closes on Share";
    ASSERT_TRUE(test::wait_until([&] { return m_endpoint.posts().size() == 1; }, kDeadlineMs));
    // A second click (the banner cannot come back this run) sends nothing.
    shell.take_sample({monotonic_ms() + 120'000, 0, 900, 0, 0});
    shell.share();
    ASSERT_TRUE(test::wait_until([&] { return shell.workers_running() == 0; }, kDeadlineMs));
    ASSERT_EQ(m_endpoint.posts().size(), 1u);

    std::string post = m_endpoint.posts()[0];
    EXPECT_EQ(test::request_path(post), "/api/diag");
    EXPECT_EQ(test::request_header(post, "Content-Type"), "application/json");
    JsonValue record;
    ASSERT_TRUE(parse_json(body_of(post), record)) << post;
    EXPECT_EQ(record.object["trig"].string, "rss");
    EXPECT_EQ(record.object["rss"].number, 801);
    EXPECT_EQ(record.object["done"].number, 2);
    EXPECT_EQ(record.object["v"].string, "0.1.416");
}

TEST_F(ShellWindowTest, DownloadLinkFallsBackToTheDownloadPage) {
    std::string stub = installer_stub(m_home.file("args"));
    std::string digest = app::sha256_hex(stub);
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    std::string wrong = digest;
    wrong[5] = wrong[5] == 'f' ? 'e' : 'f';
    struct Case {
        std::string sha;
        bool fetches;
    } cases[] = {{digest.substr(0, 63), false}, {wrong, true}};
    for (const Case& c : cases) {
        m_opened.clear();
        m_endpoint.manifest("0.2.0", m_endpoint.base() + "/setup.run", c.sha);
        app::SettingsStore(paths()).write_dword("LastUpdateCheck", 0);
        MainWindow window(EngineOps{});
        ShellController shell(window, paths(), app::Settings{}, environment());
        shell.start(monotonic_ms()); // the start-up check finds 0.2.0
        ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::Update; }));
        test::save_shot(window.render_frame(), "shell-update-banner");
        size_t requests = m_endpoint.server().requests().size();
        window.click_banner_link();
        ASSERT_TRUE(wait_with_events([&] { return m_opened.size() == 1; })) << c.sha;
        EXPECT_EQ(m_opened[0], m_endpoint.base() + "/download");
        EXPECT_EQ(m_endpoint.server().requests().size() > requests, c.fetches);
        EXPECT_FALSE(shell.update_in_progress());
        EXPECT_TRUE(updater_folders(m_home.path()).empty());
        EXPECT_FALSE(test::file_exists(m_home.file("args")));
        EXPECT_EQ(window.banner_mode(), BannerMode::Update) << "the banner stays for another try";
    }
}

TEST_F(ShellWindowTest, DailyCheckOnTheRefreshTickWhileTheSettingIsOn) {
    m_endpoint.manifest("0.3", m_endpoint.base() + "/setup.run", std::string(64, 'a'));
    // Checked a minute ago: no check at start-up, the next one a day later.
    app::SettingsStore(paths()).write_dword("LastUpdateCheck", static_cast<int32_t>(std::time(nullptr) - 60));
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), app::Settings{}, environment());
    const int64_t now = monotonic_ms();
    shell.start(now);
    EXPECT_EQ(shell.next_check_ms(), now + app::kUpdateCheckPeriodMs);
    shell.tick(now + app::kUpdateCheckPeriodMs - 1);
    ASSERT_TRUE(test::wait_until([&] { return shell.workers_running() == 0; }, kDeadlineMs));
    EXPECT_TRUE(m_endpoint.server().requests().empty());
    shell.tick(now + app::kUpdateCheckPeriodMs);
    ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::Update; }));
    EXPECT_EQ(shell.next_check_ms(), now + 2 * app::kUpdateCheckPeriodMs);
    // Turned off in the settings: no schedule; on again: a day from then.
    shell.set_auto_update(false, now);
    EXPECT_EQ(shell.next_check_ms(), 0);
    shell.set_auto_update(true, now + 5);
    EXPECT_EQ(shell.next_check_ms(), now + 5 + app::kUpdateCheckPeriodMs);
}

// The update check goes through the proxy in Settings, and a proxy saved later counts for the
// next check at once: a proxy that is not there leaves the endpoint unasked; tinyproxy's log
// shows the tunnel of a check through it.
TEST_F(ShellWindowTest, TheUpdateCheckFollowsTheProxyJustSaved) {
    m_endpoint.manifest("0.3", m_endpoint.base() + "/setup.run", std::string(64, 'a'));
    app::SettingsStore(paths()).write_dword("LastUpdateCheck", static_cast<int32_t>(std::time(nullptr) - 60));
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), app::Settings{}, environment());
    shell.start(monotonic_ms());
    const int tinyproxy = test::RealPeers::get().tinyproxy(false);
    ASSERT_NE(tinyproxy, 0) << test::RealPeers::get().failure();

    shell.set_proxy(app::kProxyCustom, "127.0.0.1:" + std::to_string(test::closed_port()));
    shell.start_update_check();
    ASSERT_TRUE(test::wait_until([&] { return shell.workers_running() == 0; }, kDeadlineMs));
    EXPECT_TRUE(m_endpoint.server().requests().empty());

    shell.set_proxy(app::kProxyCustom, "http://127.0.0.1:" + std::to_string(tinyproxy));
    shell.start_update_check();
    ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::Update; }));
    const std::string proxy_log = test::read_file(
        std::filesystem::path(test::RealPeers::get().ca_file()).parent_path() / "tinyproxy.log");
    EXPECT_NE(proxy_log.find("CONNECT " + m_endpoint.base().substr(8)), std::string::npos) << proxy_log;
}

// ---------------------------------------------------------------------------------------------
// The tarnwick program itself

class AppProcessTest : public ::testing::Test {
protected:
    // Starts tarnwick offscreen in the test's home, standard error into a file.
    pid_t start(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        // Everything is prepared before the fork: the child of a threaded process only execs.
        std::map<std::string, std::string> vars;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            size_t equals = entry.find('=');
            if (equals != std::string::npos) vars[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        vars["QT_QPA_PLATFORM"] = "offscreen";
        vars["HOME"] = m_home.path();
        vars["XDG_CONFIG_HOME"] = m_home.file("config");
        vars["XDG_DATA_HOME"] = m_home.file("data");
        vars["XDG_STATE_HOME"] = m_home.file("state");
        vars["TMPDIR"] = m_home.path();
        // A session of its own: the app hands its links to a running instance of the same session.
        ::mkdir(m_home.file("runtime").c_str(), 0700);
        vars["XDG_RUNTIME_DIR"] = m_home.file("runtime");
        vars["TWK_ENDPOINT"] = m_endpoint.base();
        vars["TWK_CRASH_REPORT_DIRS"] = m_home.file("reports");
        vars["TWK_CONTROL_PORT"] = std::to_string(test::free_port());
        vars["LSAN_OPTIONS"] = "suppressions=" + m_home.file("lsan.supp");
        for (const auto& [name, value] : extra)
            vars[name] = value;
        std::vector<std::string> entries;
        for (const auto& [name, value] : vars)
            entries.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string err_path = m_home.file("stderr");
        char* argv[] = {const_cast<char*>(TWK_APP_BINARY), nullptr};
        pid_t pid = ::fork();
        if (pid == 0) {
            int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, 2);
            ::execve(TWK_APP_BINARY, argv, envp.data());
            ::_exit(127);
        }
        return pid;
    }
    // The exit status, or -1 when the process did not end in time.
    int wait_exit(pid_t pid) {
        int status = -1;
        bool ended = test::wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, kDeadlineMs);
        if (ended) return status;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    void SetUp() override {
        test::write_file(m_home.file("lsan.supp"), "leak:libfontconfig.so\nleak:libdbus\n");
        std::filesystem::create_directories(m_home.file("config/tarnwick"));
        // No start-up check unless the test asks for one.
        test::write_file(m_home.file("config/tarnwick/settings.json"), "{\"AutoUpdateCheck\": 0}");
    }
    std::string marker() const { return m_home.file("state/tarnwick/session.marker"); }

    test::TempDir m_home;
    Endpoint m_endpoint;
};

TEST_F(AppProcessTest, NormalExitLeavesNoMarkerAKillLeavesOne) {
    pid_t pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGTERM);
    int status = wait_exit(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << test::read_file(m_home.file("stderr"));
    EXPECT_FALSE(test::file_exists(marker()));

    pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGKILL);
    wait_exit(pid);
    app::RunMarker left = app::parse_marker(test::read_file(marker()));
    EXPECT_EQ(left.v, "0.1.416");
    EXPECT_EQ(left.os, app::os_text());
}

// The app reads its task journal at start and writes it back when it closes: a download that
// was running when the last run ended comes back paused, a finished one done, under their ids.
TEST_F(AppProcessTest, TheTaskListOutlivesTheApp) {
    const std::string journal = m_home.file("state/tarnwick/tasks.json");
    std::filesystem::create_directories(m_home.file("dl"));
    test::write_file(m_home.file("dl/finished.bin"), "finished");
    auto entry = [&](int32_t id, TaskState state, const std::string& name) {
        JournalEntry e;
        e.id = id;
        e.request.url = "http://127.0.0.1:9/" + name;
        e.filename = name;
        e.output_path = m_home.file("dl/" + name);
        e.state = state;
        e.status = state == kDone ? "done" : "downloading";
        return e;
    };
    std::string error;
    ASSERT_TRUE(
        write_journal(journal, {entry(4, kRunning, "half.bin"), entry(6, kDone, "finished.bin")}, error))
        << error;

    pid_t pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGTERM);
    int status = wait_exit(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << test::read_file(m_home.file("stderr"));

    JournalLoad load = load_journal(journal);
    EXPECT_FALSE(load.set_aside) << load.problem;
    ASSERT_EQ(load.entries.size(), 2u) << test::read_file(journal);
    EXPECT_EQ(load.entries[0].id, 4);
    EXPECT_EQ(load.entries[0].state, kPaused);
    EXPECT_EQ(load.entries[1].id, 6);
    EXPECT_EQ(load.entries[1].state, kDone);
}

TEST_F(AppProcessTest, KilledRunWithACrashReportShowsTheBannerOnTheNextStartOnly) {
    pid_t pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGKILL);
    wait_exit(pid);
    std::filesystem::create_directories(m_home.file("reports"));
    test::write_file(m_home.file("reports/_usr_bin_tarnwick.1000.crash"), "report");
    // Two starts, each closed cleanly; a picture of each.
    for (const char* name : {"shell-process-crash-banner", "shell-process-no-banner"}) {
        std::string shot = m_home.file(std::string(name) + ".png");
        pid = start({{"TWK_SHOT", shot}, {"TWK_SHOT_MS", "300"}});
        bool saved = test::wait_until([&] { return test::read_file(shot).find("IEND") != std::string::npos; },
                                      kDeadlineMs);
        ::kill(pid, SIGTERM);
        int status = wait_exit(pid);
        ASSERT_TRUE(saved) << test::read_file(m_home.file("stderr"));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        QImage image(QString::fromStdString(shot));
        test::save_shot(image, name);
        EXPECT_EQ(shows_banner(image), std::string(name) == "shell-process-crash-banner") << name;
    }
}

TEST_F(AppProcessTest, SelfUpdateNowStartsTheVerifiedInstallerAndQuits) {
    std::string stub = installer_stub(m_home.file("args"));
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    std::string url = m_endpoint.base() + "/setup.run", sha = app::sha256_hex(stub);
    m_endpoint.manifest("0.2.0", url, sha);
    test::write_file(m_home.file("config/tarnwick/settings.json"), "{}");
    pid_t pid = start({{"TWK_SELFUPDATE_NOW", "1"}});
    int status = wait_exit(pid);
    std::string err = test::read_file(m_home.file("stderr"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the app quits by itself: " << status << err;
    EXPECT_NE(err.find("SELFUPDATE: found 0.2.0 url=" + url + " sha=" + sha + "\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("SELFUPDATE: verified and installer launched\n"), std::string::npos) << err;
    EXPECT_TRUE(
        test::wait_until([&] { return test::read_file(m_home.file("args")) == "--silent\n"; }, kDeadlineMs));
    EXPECT_FALSE(test::file_exists(marker()));
    std::string settings = test::read_file(m_home.file("config/tarnwick/settings.json"));
    EXPECT_NE(settings.find("\"LastUpdateCheck\""), std::string::npos) << settings;
    EXPECT_NE(settings.find("\"InstallID\""), std::string::npos) << settings;
}

} // namespace
} // namespace twk::ui
