// The tray icon and the Settings dialog on a real X server of the test's own (Xvfb, 800×480):
// without a tray host the icon is reported FAILED and the program runs on; with Debian's
// stalonetray as the host it is reported OK and the tray menu's Quit ends the program. The
// Settings screenshot (TWK_SHOT with TWK_AUTOSTART_SETTINGS=1) is left under ui-shots/.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/text.h"
#include "tests/control/process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/modal.h"
#include "tests/ui/offscreen_app.h"
#include "tests/ui/xvfb.h"
#include "ui/app.h"
#include "ui/new_download_dialog.h"
#include "ui/palette.h"
#include "ui/settings_dialog.h"
#include "ui/text_table.h"
#include "ui/tray_icon.h"

namespace twk::ui {
namespace {

constexpr int64_t kDeadlineMs = 30000;

// A child process, ended with SIGTERM and reaped when it goes.
class Child {
public:
    ~Child() { stop(); }
    bool start(const std::vector<std::string>& argv, const std::string& display) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        m_pid = test::spawn(
            argv, display.empty() ? test::Environment{} : test::Environment{{"DISPLAY", display}}, null);
        ::close(null);
        return m_pid > 0;
    }
    void stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// Standard error sent to a file while it lives; `text` reads what was written.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : m_path(std::move(path)) {
        std::fflush(stderr);
        m_saved = ::dup(2);
        int file = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(file, 2);
        ::close(file);
    }
    ~StderrCapture() { restore(); }
    void restore() {
        if (m_saved < 0) return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    std::string text() const { return test::read_file(m_path); }

private:
    std::string m_path;
    int m_saved = -1;
};

// The "TRAY:" line of `text`, without its line feed.
std::string tray_line(const std::string& text) {
    size_t at = text.find("TRAY: ");
    if (at == std::string::npos) return {};
    return text.substr(at, text.find('\n', at) - at);
}

int count_color(const QImage& image, const QRect& area, QColor color) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y) {
        for (int x = area.left(); x <= area.right() && x < image.width(); ++x) {
            QColor p = image.pixelColor(x, y);
            n += std::abs(p.red() - color.red()) <= 4 && std::abs(p.green() - color.green()) <= 4 &&
                 std::abs(p.blue() - color.blue()) <= 4;
        }
    }
    return n;
}

class TrayXvfbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(s_xvfb.start(error)) << error;
        ::setenv("DISPLAY", s_xvfb.display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        // The tray is looked for on the X server only, not through a session bus.
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        static int argc = 1;
        static char name[] = "tarnwick";
        static char* argv[] = {name, nullptr};
        s_application = new QApplication(argc, argv);
        set_language_mode(LanguageMode::English);
    }
    static void TearDownTestSuite() {
        delete s_application;
        s_application = nullptr;
        s_xvfb.stop();
        set_language_mode(LanguageMode::System);
    }

    void SetUp() override {
        std::filesystem::create_directories(m_home.file("config"));
        ::setenv("HOME", m_home.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_home.file("config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", m_home.file("data").c_str(), 1);
        ::setenv("XDG_STATE_HOME", m_home.file("state").c_str(), 1); // the task journal
        ::setenv("TWK_CONTROL_PORT", std::to_string(test::free_port()).c_str(), 1);
        ::setenv("TWK_TRAY_REPORT", "1", 1);
    }
    void TearDown() override {
        for (const char* name : {"TWK_TRAY_REPORT", "TWK_SHOT", "TWK_SHOT_MS", "TWK_AUTOSTART_SETTINGS"})
            ::unsetenv(name);
    }

    static test::Xvfb s_xvfb;
    static QApplication* s_application;
    test::TempDir m_home;
};

test::Xvfb TrayXvfbTest::s_xvfb{"800x480x24"};
QApplication* TrayXvfbTest::s_application = nullptr;

TEST_F(TrayXvfbTest, WithoutATrayHostTheAppRunsOnAndSettingsScrollsOnASmallScreen) {
    QDir().mkpath(QStringLiteral("ui-shots"));
    std::string shot =
        QDir(QStringLiteral("ui-shots")).absoluteFilePath(QStringLiteral("xvfb-settings.png")).toStdString();
    std::filesystem::remove(shot);
    ::setenv("TWK_SHOT", shot.c_str(), 1);
    ::setenv("TWK_SHOT_MS", "300", 1);
    ::setenv("TWK_AUTOSTART_SETTINGS", "1", 1);
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());

    // Start-up opens Settings and returns once it is closed: it is closed once the shot is there.
    bool timed_out = false;
    bool scrolls = false;
    QRect dialog_frame;
    QSize dialog_size;
    int visible = 0;
    int scrolled_offset = 0;
    ::twk::test::when_modal<SettingsDialog>(
        [&] { return test::read_file(shot).find("IEND") != std::string::npos; },
        [&](SettingsDialog& dialog) {
            scrolls = dialog.scroll_bar()->isVisible();
            dialog_frame = dialog.frameGeometry();
            dialog_size = dialog.size() * dialog.devicePixelRatioF();
            visible = dialog.visible_height();
            // Scrolled to the end: the last section above the footer.
            dialog.scroll_to(dialog.content_height());
            scrolled_offset = dialog.scroll_offset();
            ::twk::test::save_shot(dialog, "xvfb-settings-scrolled");
            dialog.reject();
        },
        timed_out);
    StderrCapture err(m_home.file("stderr.txt"));
    App app;
    err.restore();
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(tray_line(err.text()).substr(0, 13), "TRAY: icon=0x") << err.text();
    EXPECT_TRUE(tray_line(err.text()).ends_with(" add=FAILED")) << err.text();
    EXPECT_FALSE(app.tray().added());

    // The dialog was shrunk to the screen and scrolled; its footer stayed in view.
    QRect screen = app.window().screen()->availableGeometry();
    EXPECT_TRUE(scrolls);
    EXPECT_GT(scrolled_offset, 0);
    EXPECT_TRUE(screen.contains(dialog_frame)) << dialog_frame.height();
    QImage image(QString::fromStdString(shot));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), dialog_size);
    // Save: the accent-filled button in the footer, below the scrolled part.
    EXPECT_GT(count_color(image, QRect(0, visible, image.width(), image.height() - visible), kAccent), 300);

    // The window works without the tray: the tray's New command opens New Download over it.
    EXPECT_TRUE(app.window().isVisible());
    bool new_opened = false;
    ::twk::test::when_modal<NewDownloadDialog>([] { return true; },
                                               [&](NewDownloadDialog& dialog) {
                                                   new_opened = true;
                                                   dialog.reject();
                                               },
                                               timed_out);
    app.tray().run_command(kTrayNewDownload);
    EXPECT_TRUE(new_opened);
    EXPECT_FALSE(timed_out);
}

TEST_F(TrayXvfbTest, WithStalonetrayTheIconIsAddedAndQuitEndsTheProgram) {
    Child tray;
    ASSERT_TRUE(tray.start({"stalonetray"}, s_xvfb.display()));
    ASSERT_TRUE(test::wait_until([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, kDeadlineMs))
        << "stalonetray did not take the tray selection";

    StderrCapture err(m_home.file("stderr.txt"));
    App app;
    err.restore();
    EXPECT_TRUE(tray_line(err.text()).ends_with(" add=OK")) << err.text();
    ASSERT_TRUE(app.tray().added());
    EXPECT_EQ(app.tray().icon()->toolTip(), QStringLiteral("Tarnwick"));

    // The tray menu holds Show Window, New, Settings, About Tarnwick and Quit, and a double click restores
    // a minimised window.
    QStringList entries;
    for (QAction* action : app.tray().menu()->actions())
        entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(entries.join(u'|'), QStringLiteral("Show Window|New|-|Settings|About Tarnwick|-|Quit"));
    MainWindow& window = app.window();
    window.showMinimized();
    ASSERT_TRUE(window.isMinimized());
    emit app.tray().icon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.isVisible());

    // Quit from the tray menu while Settings is open closes the dialog and ends the event loop.
    bool timed_out = false, settings_open = false;
    ::twk::test::when_modal<SettingsDialog>([] { return true; },
                                            [&](SettingsDialog&) {
                                                settings_open = true;
                                                app.tray().action(kTrayQuit)->trigger();
                                            },
                                            timed_out);
    QTimer::singleShot(0, &window, [&] { app.tray().run_command(kTraySettings); });
    bool hung = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        hung = true;
        QApplication::exit(3);
    });
    guard.start(kDeadlineMs);
    int code = QApplication::exec();
    EXPECT_FALSE(hung);
    EXPECT_FALSE(timed_out);
    EXPECT_TRUE(settings_open);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(window.isVisible());
}

} // namespace
} // namespace twk::ui
