// The New Download and Settings dialogs offscreen: the clipboard rule, the keys, the proxy pair,
// saving through the store, the browser rows, scrolling; and the start result coming back to
// the UI thread. Pictures of both dialogs go to ui-shots/ in the test's folder.
#include "tests/ui/dialog_fixtures.h"
#include "tests/ui/offscreen_app.h"
#include "ui/new_download_dialog.h"
#include "ui/settings_dialog.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <filesystem>
#include <thread>

#include "app/browser_status.h"
#include "app/engine_api.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/modal.h"
#include "ui/app.h"
#include "ui/main_window.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

using test::save_shot;

// A key press delivered the way the keyboard delivers it: to `target`, then up its parents
// while nobody takes it.
void press(QWidget* target, int key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// A left click at `point` of `widget`, delivered as the mouse delivers it: pressed and released
// on the child under the point.
void click(QWidget* widget, QPointF point) {
    QWidget* target = widget->childAt(point.toPoint());
    if (!target) target = widget;
    QPointF local = target->mapFrom(widget, point);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, local, target->mapToGlobal(local), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    }
}

TEST(ClipboardLink, PrefillRule) {
    struct Case {
        QString clipboard;
        QString prefilled;
    };
    const Case cases[] = {
        {QStringLiteral(" https://example.com/a.iso\n"), QStringLiteral("https://example.com/a.iso")},
        {QStringLiteral("\t\r\f\vftp://h/f \n"), QStringLiteral("ftp://h/f")},
        {QStringLiteral("HTTPS://EXAMPLE.COM/X"), QStringLiteral("HTTPS://EXAMPLE.COM/X")},
        {QStringLiteral("ftps://h/x"), QStringLiteral("ftps://h/x")},
        {QStringLiteral("https://"), QString()},
        {QStringLiteral("mailto:someone@example.com"), QString()},
        {QStringLiteral("see https://example.com/a for it"), QString()},
        {QStringLiteral("://example.com/a"), QString()},
        {QStringLiteral("file:///etc/passwd"), QString()},
        {QStringLiteral("magnet://x"), QString()},
        {QString(), QString()},
        {QStringLiteral("http://h/a\tb"), QString()},
        {QStringLiteral("http://h/") + QString(4096 - 9, u'a'),
         QStringLiteral("http://h/") + QString(4096 - 9, u'a')},
        {QStringLiteral("http://h/") + QString(4096 - 8, u'a'), QString()},
        {QStringLiteral("http://h/") + QString(5000 - 9, u'a'), QString()},
        // Only what comes before a NUL counts.
        {QStringLiteral("http://h/x") + QChar(u'\0') + QStringLiteral(" trailing words"),
         QStringLiteral("http://h/x")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(clipboard_link(c.clipboard), c.prefilled) << c.clipboard.left(60).toStdString();
}

TEST_F(DialogTest, NewDownloadPrefillsAndSelectsTheClipboardLink) {
    NewDownloadDialog dialog(nullptr, nullptr);
    dialog.prefill(QStringLiteral("  http://example.com/file.zip\n"));
    EXPECT_EQ(dialog.field()->text(), QStringLiteral("http://example.com/file.zip"));
    EXPECT_EQ(dialog.field()->selectedText(), dialog.field()->text());
    EXPECT_EQ(dialog.focusWidget(), dialog.field());
    dialog.show();
    save_shot(dialog, "new-download");

    NewDownloadDialog empty(nullptr, nullptr);
    empty.prefill(QStringLiteral("see http://example.com for it"));
    EXPECT_TRUE(empty.field()->text().isEmpty());
    EXPECT_EQ(empty.field()->placeholderText(), QStringLiteral("Paste a download link…"));
}

TEST_F(DialogTest, NewDownloadEnterAndEscape) {
    std::vector<std::string> started;
    NewDownloadDialog dialog([&](const std::string& link) { started.push_back(link); }, nullptr);
    dialog.show();
    // Nothing but blanks: Enter does nothing and the dialog stays.
    dialog.field()->setText(QStringLiteral(" \t "));
    press(dialog.field(), Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(dialog.download_enabled()) << "a blank field leaves nothing to download";
    // A text that is no link is named inside the dialog, which keeps what was typed.
    dialog.field()->setText(QStringLiteral("  example.com/a \t"));
    EXPECT_TRUE(dialog.download_enabled());
    press(dialog.field(), Qt::Key_Enter);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(dialog.error_text(), QStringLiteral("Not a link: example.com/a"));
    EXPECT_EQ(dialog.field()->text(), QStringLiteral("  example.com/a \t"));
    save_shot(dialog, "new-download-error");
    // Several links pasted at once, one per line: one download each.
    dialog.field()->setText(QStringLiteral("http://h/a.iso\nhttps://h/b.zip\r\n"));
    EXPECT_TRUE(dialog.error_text().isEmpty()) << "editing clears the message";
    press(dialog.field(), Qt::Key_Enter);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(started, (std::vector<std::string>{"http://h/a.iso", "https://h/b.zip"}));

    NewDownloadDialog second([&](const std::string& link) { started.push_back(link); }, nullptr);
    second.show();
    second.field()->setText(QStringLiteral("http://h/x"));
    press(second.field(), Qt::Key_Escape);
    EXPECT_FALSE(second.isVisible());
    EXPECT_EQ(second.result(), QDialog::Rejected);
    EXPECT_EQ(started.size(), 2u);

    // The clipboard's links, one per line, are prefilled together; any line that is no link
    // prefills nothing.
    EXPECT_EQ(clipboard_links(QStringLiteral("http://h/a\n\n  https://h/b \r\n")),
              QStringLiteral("http://h/a https://h/b"));
    EXPECT_EQ(clipboard_links(QStringLiteral("http://h/a\nnot a link")), QString());
}

// The add runs on a worker thread; its result reaches the window on the UI thread, and a
// failure shows the engine's text in a message box.
TEST_F(DialogTest, StartResultComesBackToTheUiThread) {
    std::thread::id ui_thread = std::this_thread::get_id();
    std::vector<std::thread::id> add_threads;
    std::vector<int64_t> connections;
    EngineOps ops;
    ops.running = [] { return true; };
    ops.snapshot = [](std::vector<TaskSnapshot>& out) {
        out.clear();
        return true;
    };
    ops.add = [&](const std::string& url, int64_t n, const std::string&, std::string& error) {
        add_threads.push_back(std::this_thread::get_id());
        connections.push_back(n);
        if (url == "bad") {
            error = "invalid URL";
            return false;
        }
        return true;
    };
    MainWindow window(ops);
    window.set_connections(16);
    std::vector<bool> results;
    auto* starter = window.findChild<DownloadStarter*>();
    ASSERT_NE(starter, nullptr);
    QObject::connect(starter, &DownloadStarter::finished, &window, [&](bool ok, const QString&) {
        EXPECT_EQ(std::this_thread::get_id(), ui_thread);
        results.push_back(ok);
    });
    window.start_download("bad");
    QMessageBox* box = nullptr;
    ASSERT_TRUE(test::wait_until(
        [&] {
            QApplication::processEvents();
            box = window.findChild<QMessageBox*>();
            return box != nullptr;
        },
        10000));
    EXPECT_EQ(box->text(), QStringLiteral("invalid URL"));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Couldn’t start download"));
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    ASSERT_EQ(add_threads.size(), 1u);
    EXPECT_NE(add_threads[0], ui_thread);
    EXPECT_EQ(connections[0], 16);
    delete box;

    // Success: no box.
    window.start_download("http://h/ok");
    ASSERT_TRUE(test::wait_until(
        [&] {
            QApplication::processEvents();
            return results.size() == 2;
        },
        10000));
    EXPECT_EQ(results, (std::vector<bool>{false, true}));
    EXPECT_EQ(window.findChild<QMessageBox*>(), nullptr);
    // A start still running when the window goes is waited for.
    window.start_download("http://h/last");
}

TEST_F(SettingsDialogTest, ProxyBoxesAreAnOptionalPair) {
    context.settings.proxy_mode = app::kProxySystem;
    context.settings.proxy = "socks5://h:1080";
    SettingsDialog dialog(context, nullptr);
    QCheckBox* follow = dialog.follow_system_box();
    QCheckBox* custom = dialog.custom_proxy_box();
    EXPECT_TRUE(follow->isChecked());
    EXPECT_FALSE(custom->isChecked());
    EXPECT_FALSE(dialog.proxy_field()->isEnabled());
    EXPECT_EQ(dialog.proxy_field()->text(), QStringLiteral("socks5://h:1080"));
    EXPECT_EQ(dialog.focusWidget(), follow);

    custom->setChecked(true);
    EXPECT_FALSE(follow->isChecked());
    EXPECT_TRUE(dialog.proxy_field()->isEnabled());
    EXPECT_EQ(dialog.focusWidget(), dialog.proxy_field());
    follow->setChecked(true);
    EXPECT_FALSE(custom->isChecked());
    EXPECT_FALSE(dialog.proxy_field()->isEnabled());
    follow->setChecked(false);
    EXPECT_FALSE(follow->isChecked() || custom->isChecked());
    EXPECT_FALSE(dialog.proxy_field()->isEnabled());

    // Opening in custom mode puts the focus in the field.
    context.settings.proxy_mode = app::kProxyCustom;
    SettingsDialog custom_dialog(context, nullptr);
    EXPECT_EQ(custom_dialog.focusWidget(), custom_dialog.proxy_field());
}

TEST_F(SettingsDialogTest, EnterInTheConnectionsListDoesNotSave) {
    SettingsDialog dialog(context, nullptr);
    dialog.show();
    dialog.connections_list()->setFocus();
    press(dialog.connections_list(), Qt::Key_Return);
    press(dialog.connections_list(), Qt::Key_Enter);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(saved.empty());
    EXPECT_FALSE(test::file_exists(home.file("config/tarnwick/settings.json")));
    // Elsewhere Enter saves.
    dialog.update_box()->setFocus();
    press(dialog.update_box(), Qt::Key_Return);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(saved.size(), 1u);

    SettingsDialog escaped(context, nullptr);
    escaped.show();
    press(escaped.proxy_field(), Qt::Key_Escape);
    EXPECT_FALSE(escaped.isVisible());
    EXPECT_EQ(saved.size(), 1u);
}

TEST_F(SettingsDialogTest, SaveWritesTheStoreInOrderAndReportsTheRecord) {
    context.choose_folder = [&](QWidget*, const QString& title, const QString& start) {
        EXPECT_EQ(title, QStringLiteral("Choose the download folder"));
        EXPECT_EQ(start, QString::fromStdString(home.file("Downloads")));
        return QString::fromStdString(home.file("new"));
    };
    SettingsDialog dialog(context, nullptr);
    EXPECT_EQ(dialog.shown_folder(), QString::fromStdString(home.file("Downloads")))
        << "the engine's default";
    dialog.choose_folder();
    EXPECT_EQ(dialog.shown_folder(), QString::fromStdString(home.file("new")));
    dialog.custom_proxy_box()->setChecked(true);
    dialog.proxy_field()->setText(QStringLiteral("  socks5h://u:p@h:1080 \r\n"));
    dialog.connections_list()->setCurrentIndex(5);
    dialog.update_box()->setChecked(false);
    EXPECT_TRUE(dialog.notices_box()->isChecked()) << "notices are on by default";
    dialog.notices_box()->setChecked(false);
    EXPECT_EQ(dialog.at_once_list()->currentText(), QStringLiteral("3"));
    dialog.at_once_list()->setCurrentIndex(9);
    dialog.launch_box()->setChecked(true);
    dialog.save();

    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].download_dir, home.file("new"));
    EXPECT_EQ(saved[0].proxy, "socks5h://u:p@h:1080");
    EXPECT_EQ(saved[0].proxy_mode, app::kProxyCustom);
    EXPECT_EQ(saved[0].connections, 32);
    EXPECT_FALSE(saved[0].auto_update_check);
    EXPECT_FALSE(saved[0].notifications);
    EXPECT_EQ(saved[0].downloads_at_once, 10);
    std::string file = settings_file();
    size_t at = 0;
    for (const char* name : {"\"DownloadDir\"", "\"Proxy\"", "\"ProxyMode\"", "\"FollowSystemProxy\"",
                             "\"Connections\"", "\"AutoUpdateCheck\""}) {
        size_t found = file.find(name, at);
        ASSERT_NE(found, std::string::npos) << name << " after position " << at << " in " << file;
        at = found + 1;
    }
    EXPECT_TRUE(app::SettingsStore(context.paths).autostart_enabled());

    // A folder picked and then cancelled is not kept.
    SettingsDialog cancelled(context, nullptr);
    cancelled.show();
    cancelled.choose_folder();
    click(&cancelled, cancelled.cancel_button_rect().center());
    EXPECT_FALSE(cancelled.isVisible());
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_EQ(app::SettingsStore(context.paths).read_string("DownloadDir", ""), home.file("new"));
}

// What cannot work is refused in the dialog with the reason, and nothing is saved.
TEST_F(SettingsDialogTest, AProxyThatIsNoneOrAFolderThatCannotBeWrittenIsNamedAndNotSaved) {
    struct Case {
        const char* text;
        const char* problem; // empty: accepted
    } cases[] = {
        {"", ""},
        {"socks5h://u:p@h:1080", ""},
        {"127.0.0.1:3128", ""},
        {"not a proxy", "Not a proxy: not a proxy — write it as scheme://host:port (the port is needed)"},
        {"http://h", "Not a proxy: http://h — write it as scheme://host:port (the port is needed)"},
        {"ftp://h:21", "Not a proxy: ftp://h:21 — the scheme must be http, https, socks5 or socks5h"}};
    for (const Case& c : cases)
        EXPECT_EQ(proxy_problem(c.text).toStdString(), c.problem) << c.text;

    SettingsDialog dialog(context, nullptr);
    dialog.show();
    dialog.custom_proxy_box()->setChecked(true);
    dialog.proxy_field()->setText(QStringLiteral("not a proxy"));
    dialog.save();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(saved.empty());
    EXPECT_TRUE(dialog.problem_text().startsWith(QStringLiteral("Not a proxy: not a proxy")));
    EXPECT_EQ(dialog.focusWidget(), dialog.proxy_field());
    save_shot(dialog, "settings-bad-proxy");

    // A folder under a plain file cannot be made; one on a read-only file system takes no file.
    test::write_file(home.file("plain"), "x");
    EXPECT_EQ(folder_problem(home.file("plain/dl")).toStdString(),
              "The download folder does not exist: " + home.file("plain/dl"));
    EXPECT_EQ(folder_problem("/proc/self").toStdString(), "The download folder is read-only: /proc/self");
    EXPECT_EQ(folder_problem(home.file("made/here")), QString());
    EXPECT_TRUE(std::filesystem::is_directory(home.file("made/here"))) << "the folder tree is created";
    EXPECT_TRUE(std::filesystem::is_empty(home.file("made/here"))) << "the probe file is gone";
    context.choose_folder = [&](QWidget*, const QString&, const QString&) {
        return QString::fromStdString(home.file("plain/dl"));
    };
    SettingsDialog folder(context, nullptr);
    folder.show();
    folder.choose_folder();
    folder.save();
    EXPECT_TRUE(folder.isVisible());
    EXPECT_TRUE(saved.empty());
    EXPECT_TRUE(folder.problem_text().startsWith(QStringLiteral("The download folder does not exist: ")));
}

TEST_F(SettingsDialogTest, BothProxyBoxesOffStoresDirectAndKeepsTheText) {
    context.settings.proxy_mode = app::kProxyCustom;
    context.settings.proxy = "http://proxy:3128";
    SettingsDialog dialog(context, nullptr);
    dialog.custom_proxy_box()->setChecked(false);
    dialog.show();
    click(&dialog, dialog.save_button_rect().center()); // the footer's Save
    EXPECT_FALSE(dialog.isVisible());
    app::SettingsStore store(context.paths);
    EXPECT_EQ(store.read_string("ProxyMode", ""), "direct");
    EXPECT_EQ(store.read_dword("FollowSystemProxy", 7), 0);
    EXPECT_EQ(store.read_string("Proxy", ""), "http://proxy:3128");
    EXPECT_EQ(saved.at(0).proxy_mode, app::kProxyDirect);
}

TEST_F(SettingsDialogTest, UnlistedConnectionCountShowsAndSavesEight) {
    context.settings.connections = 12;
    SettingsDialog dialog(context, nullptr);
    EXPECT_EQ(dialog.connections_list()->currentText(), QStringLiteral("8"));
    EXPECT_EQ(dialog.connections_list()->count(), 6);
    dialog.save();
    EXPECT_EQ(app::SettingsStore(context.paths).read_dword("Connections", 0), 8);
}

TEST_F(SettingsDialogTest, BrowserRowsFromPathAndContactAge) {
    add_program("google-chrome");
    add_program("firefox", false); // not executable: not installed
    add_program("microsoft-edge-stable");
    int64_t chrome_age = 119000;
    context.contact_age = [&](std::string_view tag) -> int64_t {
        if (tag == "chrome") return chrome_age;
        if (tag == "firefox") return 1000; // heard from, yet not installed here
        return -1;
    };
    SettingsDialog dialog(context, nullptr);
    auto rows = dialog.browser_rows();
    EXPECT_TRUE(rows[0].installed);
    EXPECT_TRUE(rows[1].installed);
    EXPECT_FALSE(rows[2].installed);
    EXPECT_EQ(app::browser_status(rows[0]), app::BrowserStatus::Connected);
    EXPECT_EQ(app::browser_status(rows[1]), app::BrowserStatus::NeverConnected);
    EXPECT_EQ(app::browser_status(rows[2]), app::BrowserStatus::NotInstalled);
    dialog.show();
    save_shot(dialog, "settings-browsers");

    chrome_age = 121000;
    dialog.refresh_browsers();
    EXPECT_EQ(app::browser_status(dialog.browser_rows()[0]), app::BrowserStatus::Quiet);
    chrome_age = 120000;
    dialog.refresh_browsers();
    EXPECT_EQ(app::browser_status(dialog.browser_rows()[0]), app::BrowserStatus::Connected);

    // Get extension opens our page, and only for an installed browser.
    dialog.get_extension(2);
    EXPECT_TRUE(opened.empty());
    dialog.get_extension(0);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QString::fromUtf8(kExtensionPageUrl));

    // No engine: every installed browser reads "Not connected yet".
    context.contact_age = nullptr;
    SettingsDialog stopped(context, nullptr);
    for (const app::BrowserRow& row : stopped.browser_rows())
        EXPECT_NE(app::browser_status(row), app::BrowserStatus::Connected);
    EXPECT_EQ(app::browser_status(stopped.browser_rows()[0]), app::BrowserStatus::NeverConnected);
    EXPECT_EQ(app::browser_status(stopped.browser_rows()[1]), app::BrowserStatus::NeverConnected);
}

TEST_F(SettingsDialogTest, ChineseTextsFit) {
    set_language_mode(LanguageMode::Chinese);
    add_program("firefox");
    SettingsDialog dialog(context, nullptr);
    dialog.show();
    save_shot(dialog, "settings-chinese");
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("设置"));
    EXPECT_EQ(dialog.custom_proxy_box()->text(), QStringLiteral("使用自定义代理"));
    EXPECT_LE(dialog.connections_list()->geometry().right(), 480 - 22);
    NewDownloadDialog download(nullptr, nullptr);
    download.show();
    save_shot(download, "new-download-chinese");
    EXPECT_EQ(download.field()->placeholderText(), QStringLiteral("粘贴下载链接…"));
}

TEST_F(SettingsDialogTest, ContentScrollsAboveAFixedFooter) {
    add_program("chromium");
    SettingsDialog dialog(context, nullptr);
    dialog.show();
    save_shot(dialog, "settings-offscreen");
    int content = dialog.content_height(), visible = dialog.visible_height();
    EXPECT_EQ(dialog.height() - visible, 66) << "the footer";
    EXPECT_GE(dialog.save_button_rect().bottom(), visible) << "Save sits below the scrolled part";
    EXPECT_LE(dialog.save_button_rect().bottom(), dialog.height());
    if (content <= visible) {
        // The screen holds the whole dialog: no scroll bar, and the wheel moves nothing.
        EXPECT_FALSE(dialog.scroll_bar()->isVisible());
        dialog.scroll_to(100);
        EXPECT_EQ(dialog.scroll_offset(), 0);
        return;
    }
    EXPECT_TRUE(dialog.scroll_bar()->isVisible());
    EXPECT_EQ(dialog.scroll_bar()->maximum(), content - visible);
    EXPECT_EQ(dialog.scroll_bar()->pageStep(), visible);
    QWheelEvent down(QPointF(100, 100), dialog.mapToGlobal(QPointF(100, 100)), QPoint(), QPoint(0, -120),
                     Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&dialog, &down);
    EXPECT_EQ(dialog.scroll_offset(), std::min(40, content - visible));
    dialog.scroll_to(100000);
    EXPECT_EQ(dialog.scroll_offset(), content - visible);
    save_shot(dialog, "settings-offscreen-scrolled");
}

// The app's own wiring: the dialog reads the engine's contact times, "Choose…" runs the real
// folder picker, and Save reaches the running engine, the window and the app's record.
TEST_F(DialogTest, SettingsInTheAppReachTheRunningEngine) {
    test::TempDir home;
    std::filesystem::create_directories(home.file("bin"));
    std::filesystem::create_directories(home.file("picked"));
    test::write_file(home.file("bin/firefox-esr"), "#!/bin/sh\n");
    ::chmod(home.file("bin/firefox-esr").c_str(), 0755);
    std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (home.file("bin") + ":" + old_path).c_str(), 1);
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
    ::setenv("XDG_STATE_HOME", home.file("state").c_str(), 1); // the task journal
    int port = test::free_port();
    ::setenv("TWK_CONTROL_PORT", std::to_string(port).c_str(), 1);
    {
        App app;
        ASSERT_EQ(test::loopback_get(port, "/ping?b=firefox").rfind("HTTP/1.1 200", 0), 0u);
        bool timed_out = false;
        std::array<app::BrowserRow, 3> rows{};
        ::twk::test::when_modal<QFileDialog>(
            [] { return true; },
            [&](QFileDialog& picker) {
                picker.setDirectory(QString::fromStdString(home.file("picked")));
                static_cast<QDialog&>(picker).accept(); // as the Choose button does
            },
            timed_out);
        ::twk::test::when_modal<SettingsDialog>([] { return true; },
                                                [&](SettingsDialog& dialog) {
                                                    rows = dialog.browser_rows();
                                                    dialog.choose_folder();
                                                    dialog.custom_proxy_box()->setChecked(true);
                                                    dialog.proxy_field()->setText(
                                                        QStringLiteral(" http://127.0.0.1:3128 "));
                                                    dialog.connections_list()->setCurrentIndex(1);
                                                    dialog.save();
                                                },
                                                timed_out);
        app.window().press_button(kButtonSettings);
        ASSERT_FALSE(timed_out);
        EXPECT_TRUE(rows[2].installed);
        EXPECT_EQ(app::browser_status(rows[2]), app::BrowserStatus::Connected);
        EXPECT_EQ(engine_download_dir(app.engine().engine()), home.file("picked"));
        EXPECT_EQ(app.settings().download_dir, home.file("picked"));
        EXPECT_EQ(app.settings().proxy, "http://127.0.0.1:3128");
        EXPECT_EQ(app.settings().proxy_mode, app::kProxyCustom);
        EXPECT_EQ(app::SettingsStore(app::settings_paths_from_env()).read_dword("Connections", 0), 2);

        // With the engine stopped the installed browser reads "Not connected yet".
        app.engine().stop();
        ::twk::test::when_modal<SettingsDialog>([] { return true; },
                                                [&](SettingsDialog& dialog) {
                                                    rows = dialog.browser_rows();
                                                    dialog.reject();
                                                },
                                                timed_out);
        app.window().press_button(kButtonSettings);
        ASSERT_FALSE(timed_out);
        EXPECT_EQ(app::browser_status(rows[2]), app::BrowserStatus::NeverConnected);
    }
    ::setenv("PATH", old_path.c_str(), 1);
}

TEST(PlaceDialog, CentredOnTheOwnerAndKeptOnScreen) {
    QRect work(0, 0, 1000, 700);
    EXPECT_EQ(place_dialog(QRect(100, 100, 600, 400), QSize(200, 100), work), QRect(300, 250, 200, 100));
    // Too far right and down: pulled in.
    EXPECT_EQ(place_dialog(QRect(900, 650, 200, 100), QSize(300, 200), work).bottomRight(), QPoint(999, 699));
    // Larger than the work area: the left and top edges win.
    EXPECT_EQ(place_dialog(QRect(0, 0, 100, 100), QSize(1200, 900), work).topLeft(), QPoint(0, 0));
}

} // namespace
} // namespace twk::ui
