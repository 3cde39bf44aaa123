// Real windows on an X server of their own (Xvfb): the app's start-up with a real download
// from a loopback nginx, screenshot through TWK_SHOT; and the tarnwick program itself started
// in Chinese. The screenshots stay under ui-shots/ in the test's folder for a person to look at.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/engine_api.h"
#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/xvfb.h"
#include "ui/app.h"
#include "ui/list_filter_bar.h"
#include "ui/palette.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

// The list starts below the toolbar and the filter bar.
constexpr int kListTop = 46 + kFilterBarHeight;

constexpr int64_t kDeadlineMs = 30000;

std::string shots_dir() {
    QDir().mkpath(QStringLiteral("ui-shots"));
    return QDir(QStringLiteral("ui-shots")).absolutePath().toStdString();
}

// Counts pixels of `color` (within a small tolerance) in a band of rows.
int count_color(const QImage& image, int top, int bottom, QColor color) {
    int n = 0;
    for (int y = top; y < bottom && y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            QColor p = image.pixelColor(x, y);
            if (std::abs(p.red() - color.red()) <= 4 && std::abs(p.green() - color.green()) <= 4 &&
                std::abs(p.blue() - color.blue()) <= 4)
                ++n;
        }
    }
    return n;
}

class XvfbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(s_xvfb.start(error)) << error;
    }
    static void TearDownTestSuite() { s_xvfb.stop(); }

    void SetUp() override {
        std::filesystem::create_directories(m_home.file("config/tarnwick"));
        std::filesystem::create_directories(m_home.file("dl"));
        test::write_file(m_home.file("config/tarnwick/settings.json"),
                         "{\"DownloadDir\": \"" + m_home.file("dl") + "\", \"Connections\": 4}");
        ::setenv("HOME", m_home.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_home.file("config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", m_home.file("data").c_str(), 1);
        ::setenv("XDG_STATE_HOME", m_home.file("state").c_str(), 1); // the task journal
        m_control_port = test::free_port();
        ::setenv("TWK_CONTROL_PORT", std::to_string(m_control_port).c_str(), 1);
    }

    static test::Xvfb s_xvfb;
    test::TempDir m_home;
    int m_control_port = 0;
};

test::Xvfb XvfbTest::s_xvfb;

TEST_F(XvfbTest, WindowShowsARealDownload) {
    test::TempDir site;
    std::filesystem::create_directories(site.file("www/slow"));
    std::filesystem::create_directories(site.file("nginx"));
    const size_t size = 6u << 20; // 6 MiB at 256 KiB/s per connection: about 3 s on 8 connections
    test::write_file(site.file("www/slow/big.iso"), test::test_pattern(size));
    test::write_file(site.file("www/slow/later.tar.gz"), test::test_pattern(size));
    test::write_file(site.file("www/notes.txt"), "a small file\n");
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(
        nginx.start(site.file("www"), site.file("nginx"), "location /slow/ { limit_rate 256k; }", error))
        << error;

    std::string shot = shots_dir() + "/xvfb-download.png";
    std::filesystem::remove(shot);
    ::setenv("DISPLAY", s_xvfb.display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("TWK_SHOT", shot.c_str(), 1);
    ::setenv("TWK_SHOT_MS", "1200", 1);
    static int argc = 1;
    static char name[] = "tarnwick";
    static char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    set_language_mode(LanguageMode::English);
    {
        App app;
        ASSERT_TRUE(app.engine().running());
        // The engine came with its control server for browser extensions.
        std::string ping = test::loopback_get(m_control_port, "/ping");
        EXPECT_EQ(ping.substr(0, 15), "HTTP/1.1 200 OK") << ping;
        ASSERT_EQ(app.settings().download_dir, m_home.file("dl"));
        Engine* engine = app.engine().engine();
        ASSERT_EQ(engine_add(engine, nginx.url("/slow/big.iso"), 8, ""), 1);
        ASSERT_EQ(engine_add(engine, nginx.url("/notes.txt"), 8, ""), 2);
        ASSERT_EQ(engine_add(engine, nginx.url("/slow/later.tar.gz"), 8, ""), 3);
        engine_pause(engine, 3);
        bool taken = test::wait_until(
            [&] {
                QApplication::processEvents();
                return !app.window().screenshot_pending();
            },
            kDeadlineMs);
        ASSERT_TRUE(taken);
        const TaskView* task = app.window().model().find(1);
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(task->status, "downloading") << "the shot was taken while the download ran";
        EXPECT_GT(task->done, 0u);
        EXPECT_LT(task->done, size);

        QImage image(QString::fromStdString(shot));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), app.window().size() * app.window().devicePixelRatioF());
        // A tall row below the toolbar and the filter bar: its bar band holds both the accent fill and the
        // unfilled track.
        EXPECT_GT(count_color(image, kListTop + 38, kListTop + 50, kAccent), 20);
        EXPECT_GT(count_color(image, kListTop + 38, kListTop + 50, kTrack), 20);

        // Driving the engine from the toolbar: pause and resume the running download.
        MainWindow& window = app.window();
        auto status_of = [&](int32_t id) {
            QApplication::processEvents();
            const TaskView* t = window.model().find(id);
            return t ? t->status : std::string();
        };
        ASSERT_EQ(window.model().selected(), 1);
        window.press_button(kButtonPause);
        ASSERT_TRUE(test::wait_until([&] { return status_of(1) == "paused"; }, kDeadlineMs));
        EXPECT_TRUE(test::file_exists(m_home.file("dl/big.iso.twk"))) << "pausing saved the sidecar";
        window.press_button(kButtonPause); // now "Resume"
        ASSERT_TRUE(test::wait_until([&] { return status_of(1) != "paused"; }, kDeadlineMs));

        // The context menu of the finished small file, and Copy Link onto the X clipboard.
        window.model().select(2);
        RowMenu menu = window.row_menu();
        EXPECT_TRUE(menu.open && menu.show_in_folder && menu.copy_link);
        EXPECT_EQ(menu.path, m_home.file("dl/notes.txt"));
        window.run_row_command(RowCommand::CopyLink);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), nginx.url("/notes.txt"));
        // The paused one has no file to open; Delete takes it out of the list, its partial file
        // and sidecar with it, and its row goes.
        window.model().select(3);
        EXPECT_FALSE(window.row_menu().open);
        window.press_button(kButtonDelete);
        ASSERT_TRUE(test::wait_until([&] { return status_of(3).empty(); }, kDeadlineMs));
        EXPECT_FALSE(test::file_exists(m_home.file("dl/later.tar.gz.twk")));
        EXPECT_EQ(window.model().visible().size(), 2u);
        EXPECT_EQ(window.model().selected(), 2) << "the new last row";

        // The download finishes and the row shrinks to the compact layout.
        ASSERT_TRUE(test::wait_until(
            [&] {
                QApplication::processEvents();
                const TaskView* t = app.window().model().find(1);
                return t && t->status == "done";
            },
            kDeadlineMs));
        EXPECT_EQ(test::read_file(m_home.file("dl/big.iso")), test::test_pattern(size));
        EXPECT_EQ(app.window().model().find(2)->status, "done");
        EXPECT_EQ(app.window().model().content_height(), 2 * kCompactRowHeight);
    }
    EXPECT_FALSE(test::accepts_connections(m_control_port)) << "the control server stops with the app";
    // Exactly one screenshot: the file was not written again.
    EXPECT_TRUE(test::file_exists(shot));
    set_language_mode(LanguageMode::System);
}

TEST_F(XvfbTest, ProgramStartsInChinese) {
    std::string shot = shots_dir() + "/xvfb-chinese.png";
    std::filesystem::remove(shot);
    // fontconfig's caches live as long as the process; the leak check is told so.
    test::write_file(m_home.file("lsan.supp"), "leak:libfontconfig.so\nleak:libdbus\n");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("DISPLAY", s_xvfb.display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("LANG", "zh_CN.UTF-8", 1);
        ::setenv("LC_ALL", "zh_CN.UTF-8", 1);
        ::setenv("LANGUAGE", "zh_CN", 1);
        ::setenv("TWK_SHOT", shot.c_str(), 1);
        ::setenv("TWK_SHOT_MS", "300", 1);
        ::setenv("LSAN_OPTIONS", ("suppressions=" + m_home.file("lsan.supp")).c_str(), 1);
        ::execl(TWK_APP_BINARY, TWK_APP_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    bool shot_written = test::wait_until([&] { return test::file_exists(shot); }, kDeadlineMs);
    // The PNG is complete once its end chunk is there.
    test::wait_until([&] { return test::read_file(shot).find("IEND") != std::string::npos; }, 5000);
    // The window's title as the X server has it, in the language in force.
    std::string tree;
    if (FILE* out = ::popen(("xwininfo -root -tree -display " + s_xvfb.display()).c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0)
            tree.append(buffer, n);
        ::pclose(out);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(shot_written);
    EXPECT_NE(tree.find("\"Tarnwick — v" TWK_VERSION " · 技术预览版\""), std::string::npos) << tree;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "SIGTERM ends the program cleanly: " << status;

    QImage image(QString::fromStdString(shot));
    ASSERT_FALSE(image.isNull());
    // The empty state's two lines, drawn in CJK glyphs, darken pixels around the list's centre.
    int dark = 0;
    for (int y = 46 + 30; y < 46 + 80; ++y) {
        for (int x = 200; x < 560; ++x)
            dark += image.pixelColor(x, y).lightness() < 200;
    }
    EXPECT_GT(dark, 50);
    // Start-up registered the URL scheme in the temporary home.
    std::string entry = test::read_file(m_home.file("data/applications/tarnwick-url.desktop"));
    EXPECT_NE(entry.find(std::string("Exec=\"") + TWK_APP_BINARY + "\" %u"), std::string::npos) << entry;
    EXPECT_TRUE(test::file_exists(m_home.file("config/autostart/tarnwick.desktop")));
}

} // namespace
} // namespace twk::ui
