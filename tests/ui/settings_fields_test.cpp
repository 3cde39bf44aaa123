// The Settings dialog's download and desktop fields offscreen: what the store holds round-trips
// through them, bad numbers are refused with their range, and a save reaches the running
// engine without dropping the connections-per-server budget the user stored.
#include "tests/ui/dialog_fixtures.h"
#include "tests/ui/offscreen_app.h"
#include "ui/settings_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QToolButton>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/host_gate.h"
#include "core/task_list.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/modal.h"
#include "ui/app.h"
#include "ui/main_window.h"
#include "ui/settings_sections.h"
#include "ui/settings_texts.h"
#include "ui/text_table.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

// Each new field shows what is stored, and Save writes it back and reports it.
TEST_F(SettingsDialogTest, NewFieldsRoundTrip) {
    struct Case {
        const char* per_server;
        bool limit_on;
        const char* limit;
        bool tray, clipboard;
        int queue_end;
        const char* outage;
    } cases[] = {
        {"1", true, "1", false, true, app::kQueueEndSuspend, "1"},
        {" 64 ", false, "10485760", true, false, app::kQueueEndPowerOff, "86400"},
        {"32", true, "2048", true, true, app::kQueueEndNothing, "300"},
    };
    for (const Case& c : cases) {
        SettingsDialog dialog(context, nullptr);
        DownloadsSection& downloads = dialog.downloads_section();
        DesktopSection& desktop = dialog.desktop_section();
        downloads.per_server->setText(QString::fromUtf8(c.per_server));
        downloads.limit_on->setChecked(c.limit_on);
        downloads.limit->setText(QString::fromUtf8(c.limit));
        desktop.tray->setChecked(c.tray);
        desktop.clipboard->setChecked(c.clipboard);
        desktop.queue_end->setCurrentIndex(c.queue_end);
        desktop.outage->setText(QString::fromUtf8(c.outage));
        saved.clear();
        dialog.save();
        ASSERT_EQ(saved.size(), 1u) << dialog.problem_text().toStdString();

        const app::Settings loaded = app::load_settings(app::SettingsStore(context.paths), "");
        for (const app::Settings& s : {saved[0], loaded}) {
            EXPECT_EQ(s.max_per_host, std::stoi(c.per_server)) << c.per_server;
            EXPECT_EQ(s.speed_limit_on, c.limit_on);
            EXPECT_EQ(s.speed_limit_kib, std::stoi(c.limit));
            EXPECT_EQ(s.close_to_tray, c.tray);
            EXPECT_EQ(s.clipboard_watch, c.clipboard);
            EXPECT_EQ(s.queue_end_action, c.queue_end);
            EXPECT_EQ(s.live_outage_limit, std::stoi(c.outage));
        }
        // Opened again on what was loaded, the dialog shows the same.
        context.settings = loaded;
        SettingsDialog again(context, nullptr);
        EXPECT_EQ(again.downloads_section().per_server->text().toInt(), std::stoi(c.per_server));
        EXPECT_EQ(again.downloads_section().limit_on->isChecked(), c.limit_on);
        EXPECT_EQ(again.downloads_section().limit->text(), QString::fromUtf8(c.limit));
        EXPECT_EQ(again.desktop_section().tray->isChecked(), c.tray);
        EXPECT_EQ(again.desktop_section().clipboard->isChecked(), c.clipboard);
        EXPECT_EQ(again.desktop_section().queue_end->currentIndex(), c.queue_end);
        EXPECT_EQ(again.desktop_section().outage->text(), QString::fromUtf8(c.outage));
    }
    // Defaults of a fresh store: 32 per server, limit off at 1024 KB/s, tray on, clipboard off,
    // nothing at the queue's end, 300 s.
    SettingsDialog fresh(SettingsContext{}, nullptr);
    EXPECT_EQ(fresh.downloads_section().per_server->text(), QStringLiteral("32"));
    EXPECT_FALSE(fresh.downloads_section().limit_on->isChecked());
    EXPECT_EQ(fresh.downloads_section().limit->text(), QStringLiteral("1024"));
    EXPECT_TRUE(fresh.desktop_section().tray->isChecked());
    EXPECT_FALSE(fresh.desktop_section().clipboard->isChecked());
    EXPECT_EQ(fresh.desktop_section().queue_end->currentIndex(), app::kQueueEndNothing);
    EXPECT_EQ(fresh.desktop_section().outage->text(), QStringLiteral("300"));
}

// A number that is none, or out of its range, is named with the range, its field gets the
// focus, and nothing is saved; digits are ASCII whatever the locale.
TEST_F(SettingsDialogTest, BadNumbersAreRefusedWithTheirRange) {
    struct Case {
        int field; // 0 per server, 1 speed limit, 2 outage
        const char* text;
        const char* problem;
    } cases[] = {
        {0, "0", "Connections per server must be a whole number from 1 to 64"},
        {0, "65", "Connections per server must be a whole number from 1 to 64"},
        {0, "", "Connections per server must be a whole number from 1 to 64"},
        {0, "-3", "Connections per server must be a whole number from 1 to 64"},
        {0, "3.0", "Connections per server must be a whole number from 1 to 64"},
        {0, "\u0663", "Connections per server must be a whole number from 1 to 64"}, // Arabic-Indic three
        {1, "0", "The speed limit must be a whole number of KB/s from 1 to 10485760"},
        {1, "1,024", "The speed limit must be a whole number of KB/s from 1 to 10485760"},
        {1, "99999999999", "The speed limit must be a whole number of KB/s from 1 to 10485760"},
        {2, "86401", "The live outage wait must be a whole number of seconds from 1 to 86400"},
        {2, "5 min", "The live outage wait must be a whole number of seconds from 1 to 86400"},
    };
    app::SettingsStore(context.paths).write_dword("MaxPerHost", 12);
    for (const Case& c : cases) {
        SettingsDialog dialog(context, nullptr);
        dialog.show();
        QLineEdit* fields[] = {dialog.downloads_section().per_server, dialog.downloads_section().limit,
                               dialog.desktop_section().outage};
        fields[c.field]->setText(QString::fromUtf8(c.text));
        dialog.save();
        EXPECT_TRUE(dialog.isVisible()) << c.text;
        EXPECT_EQ(dialog.problem_text().toStdString(), c.problem) << c.text;
        EXPECT_EQ(dialog.focusWidget(), fields[c.field]) << c.text;
    }
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(app::SettingsStore(context.paths).read_dword("MaxPerHost", 0), 12);

    // Chinese names the same range.
    set_language_mode(LanguageMode::Chinese);
    SettingsDialog chinese(context, nullptr);
    chinese.downloads_section().per_server->setText(QStringLiteral("65"));
    chinese.save();
    EXPECT_EQ(chinese.problem_text(), QStringLiteral("每个服务器的连接数须为 1 到 64 之间的整数"));
    set_language_mode(LanguageMode::English);
}

// A dialog opened in the dark theme is dark throughout: its background, its fields and its
// buttons, not only the window behind it. A picture goes to ui-shots/.
TEST_F(SettingsDialogTest, ADialogOpenedInTheDarkThemeIsDark) {
    apply_theme(true);
    {
        SettingsDialog dialog(context, nullptr);
        dialog.resize(480, 900);
        dialog.show();
        QApplication::processEvents();
        const QImage image = dialog.grab().toImage();
        test::save_shot(image, "settings-dark");
        QLineEdit* field = dialog.downloads_section().per_server;
        const QPoint inside = field->mapTo(&dialog, QPoint(field->width() - 6, field->height() / 2));
        EXPECT_LT(image.pixelColor(4, 4).lightness(), 60);
        EXPECT_LT(image.pixelColor(inside).lightness(), 60);
    }
    apply_theme(false);
    SettingsDialog light(context, nullptr);
    light.resize(480, 900);
    light.show();
    QApplication::processEvents();
    EXPECT_GT(light.grab().toImage().pixelColor(4, 4).lightness(), 200);
}

TEST(SettingsTexts, EveryEntryInBothLanguages) {
    for (int i = 0; i < static_cast<int>(SettingsText::Count); ++i) {
        const auto text = static_cast<SettingsText>(i);
        const std::string chinese = settings_text_in(text, true), english = settings_text_in(text, false);
        EXPECT_FALSE(chinese.empty()) << i;
        EXPECT_FALSE(english.empty()) << i;
        for (const char* mark : {"%1", "%2"})
            EXPECT_EQ(chinese.find(mark) == std::string::npos, english.find(mark) == std::string::npos) << i;
    }
}

// A connections-per-server value the user stored survives a save that changes something else,
// in the store and in the engine; a save then applies the new numbers to the running engine.
TEST_F(DialogTest, SettingsSaveKeepsThePerServerBudgetAndAppliesLive) {
    test::TempDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
    ::setenv("XDG_STATE_HOME", home.file("state").c_str(), 1);
    ::setenv("TWK_CONTROL_PORT", std::to_string(test::free_port()).c_str(), 1);
    app::SettingsStore store(app::settings_paths_from_env());
    ASSERT_TRUE(store.write_dword("MaxPerHost", 12));
    {
        App app;
        Engine* engine = app.engine().engine();
        ASSERT_NE(engine, nullptr);
        EXPECT_EQ(HostGate::shared().budget(), 12u) << "read at start";
        auto run_settings = [&](const std::function<void(SettingsDialog&)>& change) {
            bool timed_out = false;
            ::twk::test::when_modal<SettingsDialog>([] { return true; },
                                                    [&](SettingsDialog& dialog) {
                                                        change(dialog);
                                                        dialog.save();
                                                    },
                                                    timed_out);
            app.window().press_button(kButtonSettings);
            ASSERT_FALSE(timed_out);
        };
        run_settings([](SettingsDialog& dialog) { dialog.connections_list()->setCurrentIndex(4); });
        EXPECT_EQ(store.read_dword("Connections", 0), 16);
        EXPECT_EQ(store.read_dword("MaxPerHost", 0), 12);
        EXPECT_EQ(app.settings().max_per_host, 12);
        EXPECT_EQ(HostGate::shared().budget(), 12u);

        run_settings([](SettingsDialog& dialog) {
            dialog.downloads_section().per_server->setText(QStringLiteral("5"));
            dialog.downloads_section().limit_on->setChecked(true);
            dialog.downloads_section().limit->setText(QStringLiteral("300"));
            dialog.at_once_list()->setCurrentIndex(6);
        });
        EXPECT_EQ(HostGate::shared().budget(), 5u);
        EXPECT_EQ(engine->global_limit(), 300 * 1024);
        EXPECT_EQ(engine->task_list()->max_concurrent(), 7);
        EXPECT_TRUE(app.window().speed_limit_button()->isChecked()) << "the status bar's toggle follows";

        // The toggle turns the limit off and keeps the value for the next time.
        app.window().toggle_speed_limit();
        EXPECT_EQ(engine->global_limit(), 0);
        EXPECT_EQ(store.read_dword("SpeedLimitKiB", 0), 300);
        EXPECT_EQ(store.read_dword("MaxPerHost", 0), 5);
        EXPECT_EQ(HostGate::shared().budget(), 5u);
    }
    HostGate::shared().set_budget(0); // the default again for the tests that follow
}

} // namespace
} // namespace twk::ui
