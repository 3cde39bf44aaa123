// Fixtures of the dialog tests: the offscreen application in English, and a Settings dialog's
// context on a home of its own whose saves and opened pages are recorded.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QString>

#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/offscreen_app.h"
#include "ui/settings_dialog.h"
#include "ui/text_table.h"

namespace twk::ui {

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        twk::test::offscreen_application();
        set_language_mode(LanguageMode::English);
    }
    void TearDown() override { set_language_mode(LanguageMode::System); }
};

class SettingsDialogTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        context.paths = {home.file("config"), home.file("data")};
        context.exe_path = "/opt/tarnwick/tarnwick";
        context.default_folder = home.file("Downloads");
        context.browser_path = home.file("bin");
        context.saved = [this](const app::Settings& s) { saved.push_back(s); };
        context.open_page = [this](const QString& url) { opened.push_back(url); };
        std::filesystem::create_directories(home.file("bin"));
    }
    std::string settings_file() { return twk::test::read_file(home.file("config/tarnwick/settings.json")); }
    // A browser program in the home's bin folder, where the dialog looks for browsers.
    void add_program(const std::string& name, bool executable = true) {
        std::string path = home.file("bin/" + name);
        twk::test::write_file(path, "#!/bin/sh\n");
        ::chmod(path.c_str(), executable ? 0755 : 0644);
    }

    twk::test::TempDir home;
    SettingsContext context;
    std::vector<app::Settings> saved;
    std::vector<QString> opened;
};

} // namespace twk::ui
