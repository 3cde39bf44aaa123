// The browser extensions' status: the texts of each state, and which programs count as installed.
#include "app/browser_status.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace twk::app {
namespace {

TEST(BrowserStatus, TextsAndPathLookup) {
    EXPECT_EQ(browser_status_text(BrowserStatus::NotInstalled), 70);
    EXPECT_EQ(browser_status_text(BrowserStatus::NeverConnected), 67);
    EXPECT_EQ(browser_status_text(BrowserStatus::Connected), 68);
    EXPECT_EQ(browser_status_text(BrowserStatus::Quiet), 69);
    EXPECT_EQ(browser_status({false, 5}), BrowserStatus::NotInstalled);
    EXPECT_EQ(browser_status({true, 0}), BrowserStatus::Connected);
    // Relative and empty PATH entries are not searched; a folder named like the command is no
    // program.
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("bin/firefox"));
    EXPECT_FALSE(command_on_path("firefox", dir.file("bin")));
    EXPECT_FALSE(command_on_path("sh", "bin::usr/bin"));
    EXPECT_TRUE(command_on_path("sh", "/nonexistent::/bin"));
    EXPECT_FALSE(command_on_path("../bin/sh", "/bin"));
}

} // namespace
} // namespace twk::app
