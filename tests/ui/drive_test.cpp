// The tarnwick program itself, driven the way a user drives it: on an Xvfb of the test's own
// with openbox managing the windows, keys and clicks sent with xdotool, downloads from a
// loopback nginx, and the task journal read to see what the app did. Also: started without a
// display, the program says so and records no crash.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "core/task_journal.h"
#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/xvfb.h"

namespace twk::ui {
namespace {

constexpr int64_t kDeadlineMs = 30000;
// How long the app may take to end after SIGTERM before it counts as hung (and is killed). Far
// above a normal shutdown even on a loaded machine, far below "never": an app held by an open
// dialog does not end at all.
constexpr int64_t kStopDeadlineMs = 15000;

// A command's standard output; empty when it could not run.
std::string output_of(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

class DriveTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(s_xvfb.start(error)) << error;
        s_wm = ::fork();
        if (s_wm == 0) {
            ::setenv("DISPLAY", s_xvfb.display().c_str(), 1);
            ::execlp("openbox", "openbox", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    static void TearDownTestSuite() {
        if (s_wm > 0) {
            ::kill(s_wm, SIGTERM);
            ::waitpid(s_wm, nullptr, 0);
        }
        s_xvfb.stop();
    }

    void SetUp() override {
        std::filesystem::create_directories(m_home.file("config/tarnwick"));
        std::filesystem::create_directories(m_home.file("dl"));
        std::filesystem::create_directories(m_site.file("www/slow"));
        std::filesystem::create_directories(m_site.file("nginx"));
        test::write_file(m_home.file("config/tarnwick/settings.json"),
                         "{\"DownloadDir\": \"" + m_home.file("dl") + "\", \"Connections\": 2}");
        // fontconfig's caches live as long as the process; the leak check is told so.
        test::write_file(m_home.file("lsan.supp"), "leak:libfontconfig.so\nleak:libdbus\n");
        std::string error;
        ASSERT_TRUE(m_nginx.start(m_site.file("www"), m_site.file("nginx"),
                                  "location /slow/ { limit_rate 64k; }", error))
            << error;
    }
    void TearDown() override { stop_app(); }

    // The program, in English, on the test's display and home.
    void start_app(bool settings_at_start = false) {
        const int port = test::free_port();
        m_app = ::fork();
        if (m_app == 0) {
            ::setenv("DISPLAY", s_xvfb.display().c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
            ::setenv("LANG", "C.UTF-8", 1);
            ::setenv("LC_ALL", "C.UTF-8", 1);
            ::setenv("HOME", m_home.path().c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", m_home.file("config").c_str(), 1);
            ::setenv("XDG_DATA_HOME", m_home.file("data").c_str(), 1);
            ::setenv("XDG_STATE_HOME", m_home.file("state").c_str(), 1);
            // A session of its own, so no other test's app takes this one's start as a second one.
            ::mkdir(m_home.file("runtime").c_str(), 0700);
            ::setenv("XDG_RUNTIME_DIR", m_home.file("runtime").c_str(), 1);
            ::setenv("TWK_CONTROL_PORT", std::to_string(port).c_str(), 1);
            ::setenv("LSAN_OPTIONS", ("suppressions=" + m_home.file("lsan.supp")).c_str(), 1);
            if (settings_at_start) ::setenv("TWK_AUTOSTART_SETTINGS", "1", 1);
            ::execl(TWK_APP_BINARY, TWK_APP_BINARY, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(m_app, 0);
        ASSERT_TRUE(test::wait_until(
            [&] { return !(m_window = window_named("Tarnwick .*Technical Preview")).empty(); }, kDeadlineMs));
        activate(m_window);
    }
    // Sends SIGTERM; the exit status. A program still there after kStopDeadlineMs is killed
    // (status -2).
    int stop_app() {
        if (m_app <= 0) return -1;
        ::kill(m_app, SIGTERM);
        int status = 0;
        bool ended =
            test::wait_until([&] { return ::waitpid(m_app, &status, WNOHANG) == m_app; }, kStopDeadlineMs);
        if (!ended) {
            ::kill(m_app, SIGKILL);
            ::waitpid(m_app, nullptr, 0);
            status = -2;
        }
        m_app = -1;
        return status;
    }

    // The id of a visible window whose name starts with `name`, empty when there is none.
    std::string window_named(const std::string& name) {
        std::string ids = output_of("DISPLAY=" + s_xvfb.display() +
                                    " xdotool search --onlyvisible --name '^" + name + "' 2>/dev/null");
        return ids.substr(0, ids.find('\n'));
    }
    void xdotool(const std::string& arguments) {
        output_of("DISPLAY=" + s_xvfb.display() + " xdotool " + arguments + " 2>/dev/null");
    }
    std::string window_geometry(const std::string& window) {
        return output_of("DISPLAY=" + s_xvfb.display() + " xdotool getwindowgeometry " + window);
    }
    void activate(const std::string& window) { xdotool("windowactivate --sync " + window); }
    void key(const std::string& keys) {
        activate(m_window);
        xdotool("key --clearmodifiers " + keys);
    }

    // The task journal by file name; waits for it to say `expected` of each named file
    // (state name, or "" for absent).
    std::map<std::string, std::string> journal() {
        std::map<std::string, std::string> out;
        for (const JournalEntry& e :
             parse_journal(test::read_file(m_home.file("state/tarnwick/tasks.json"))).entries)
            out[e.filename] = std::string(journal_state_name(e.state));
        return out;
    }
    bool journal_says(const std::map<std::string, std::string>& expected) {
        return test::wait_until(
            [&] {
                auto now = journal();
                for (const auto& [name, state] : expected) {
                    auto it = now.find(name);
                    if ((it == now.end() ? std::string() : it->second) != state) return false;
                }
                return true;
            },
            kDeadlineMs);
    }

    static test::Xvfb s_xvfb;
    static pid_t s_wm;
    test::TempDir m_home, m_site;
    test::NginxSite m_nginx;
    pid_t m_app = -1;
    std::string m_window;
};

test::Xvfb DriveTest::s_xvfb;
pid_t DriveTest::s_wm = -1;

TEST_F(DriveTest, PastedLinksRetryDeleteAndRestart) {
    test::write_file(m_site.file("www/present.bin"), test::test_pattern(100000));
    // The test's own connection to the display owns the clipboard the app pastes from.
    ::setenv("DISPLAY", s_xvfb.display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    static int argc = 1;
    static char name[] = "ui_drive_tests";
    static char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    auto pump = [&](const std::function<bool()>& condition) {
        return test::wait_until(
            [&] {
                QApplication::processEvents();
                return condition();
            },
            kDeadlineMs);
    };
    QGuiApplication::clipboard()->setText(
        QString::fromStdString(m_nginx.url("/late.bin") + "\n" + m_nginx.url("/present.bin") + "\n"));
    start_app();

    // Ctrl+N: the dialog comes prefilled with both copied links; Enter makes two downloads.
    key("ctrl+n");
    std::string dialog;
    ASSERT_TRUE(pump([&] { return !(dialog = window_named("New Download")).empty(); }));
    activate(dialog);
    xdotool("key Return");
    ASSERT_TRUE(pump([&] {
        return journal_says({{"late.bin", "error"}, {"present.bin", "done"}});
    })) << test::read_file(m_home.file("state/tarnwick/tasks.json"));

    // The links keep their order and the newest row is selected; Up goes to the failed one, and once the file
    // is there, Space retries it.
    test::write_file(m_site.file("www/late.bin"), test::test_pattern(50000));
    key("Up");
    key("space");
    ASSERT_TRUE(pump([&] { return journal_says({{"late.bin", "done"}}); }));
    EXPECT_EQ(test::read_file(m_home.file("dl/late.bin")), test::test_pattern(50000));

    // Delete takes the done task out of the list and the journal; a restart does not bring it
    // back. Its file stays.
    key("Delete");
    ASSERT_TRUE(pump([&] { return journal_says({{"late.bin", ""}, {"present.bin", "done"}}); }));
    EXPECT_TRUE(test::file_exists(m_home.file("dl/late.bin")));
    // The window's size is kept for the next start too.
    xdotool("windowsize --sync " + m_window + " 900 500");
    EXPECT_EQ(stop_app(), 0);
    start_app();
    EXPECT_NE(window_geometry(m_window).find("Geometry: 900x500"), std::string::npos)
        << window_geometry(m_window);
    EXPECT_EQ(journal(), (std::map<std::string, std::string>{{"present.bin", "done"}}));

    // A slow download under way, then SIGTERM while Settings is open: the dialog does not hold
    // the app, which pauses the download (its sidecar saved) and ends. stop_app waits for the end
    // with a deadline; a hung app is killed there and its status is no exit.
    test::write_file(m_site.file("www/slow/big.iso"), test::test_pattern(4u << 20));
    QGuiApplication::clipboard()->setText(QString::fromStdString(m_nginx.url("/slow/big.iso")));
    key("ctrl+n");
    ASSERT_TRUE(pump([&] { return !(dialog = window_named("New Download")).empty(); }));
    activate(dialog);
    xdotool("key Return");
    ASSERT_TRUE(pump([&] { return journal_says({{"big.iso", "running"}}); }));
    ASSERT_TRUE(pump([&] { return test::file_exists(m_home.file("dl/big.iso")); }));
    // The Settings button sits at the toolbar's right end.
    activate(m_window);
    std::string geometry =
        output_of("DISPLAY=" + s_xvfb.display() + " xdotool getwindowgeometry " + m_window);
    size_t size_at = geometry.find("Geometry: ");
    ASSERT_NE(size_at, std::string::npos) << geometry;
    const int width = std::atoi(geometry.c_str() + size_at + 10);
    xdotool("mousemove --window " + m_window + " " + std::to_string(width - 28) + " 23 click 1");
    ASSERT_TRUE(pump([&] { return !window_named("Settings").empty(); }));
    const int status = stop_app();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(test::file_exists(m_home.file("dl/big.iso.twk"))) << "the download was paused and saved";
    EXPECT_FALSE(test::file_exists(m_home.file("state/tarnwick/session.marker"))) << "a clean end";

    // The same with Settings opened at start-up, before the main loop ran.
    start_app(true);
    ASSERT_TRUE(pump([&] { return !window_named("Settings").empty(); }));
    const int early = stop_app();
    EXPECT_TRUE(WIFEXITED(early) && WEXITSTATUS(early) == 0) << early;
}

TEST_F(DriveTest, WithoutADisplayTheProgramSaysSoAndRecordsNoCrash) {
    const std::string err = m_home.file("stderr.txt");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("QT_QPA_PLATFORM");
        ::setenv("HOME", m_home.path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", m_home.file("state").c_str(), 1);
        std::freopen(err.c_str(), "w", stderr);
        ::execl(TWK_APP_BINARY, TWK_APP_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string said = test::read_file(err);
    for (const char* part : {"no display", "bash scripts/demo.sh", "twk get URL", "twk serve"})
        EXPECT_NE(said.find(part), std::string::npos) << part << "\n" << said;
    EXPECT_FALSE(std::filesystem::exists(m_home.file("state/tarnwick"))) << "no run marker, no crash record";
}

} // namespace
} // namespace twk::ui
