// One app per user, with the real program offscreen: a second start hands its links to the
// running app (which adds them to its list) and ends; a socket left by an app that died is
// taken over by the next start.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/twk_process.h"
#include "tests/support/wait.h"

namespace twk::ui {
namespace {

constexpr int64_t kDeadlineMs = 30'000;

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_home.file("run"));
        ::chmod(m_home.file("run").c_str(), 0700);
        // fontconfig and libdbus keep their caches for the life of the process.
        test::write_file(m_home.file("lsan.supp"), "leak:libfontconfig.so\nleak:libdbus\n");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("HOME", m_home.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_home.file("config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", m_home.file("data").c_str(), 1);
        ::setenv("XDG_STATE_HOME", m_home.file("state").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", m_home.file("run").c_str(), 1);
        ::setenv("TWK_CONTROL_PORT", std::to_string(test::free_port()).c_str(), 1);
        ::setenv("LSAN_OPTIONS", ("suppressions=" + m_home.file("lsan.supp")).c_str(), 1);
    }

    std::string socket_path() const { return m_home.file("run/tarnwick/instance"); }
    std::string journal() const { return test::read_file(m_home.file("state/tarnwick/tasks.json")); }
    bool listed(const std::string& url) const {
        return test::wait_until([&] { return journal().find("\"" + url + "\"") != std::string::npos; },
                                kDeadlineMs);
    }
    std::unique_ptr<test::TwkProcess> start(const std::vector<std::string>& args, const std::string& log) {
        return std::make_unique<test::TwkProcess>(args, m_home.file(log));
    }
    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name;
    }

    test::TempDir m_home;
    int m_port = test::closed_port();
};

TEST_F(SingleInstanceTest, ASecondStartHandsItsLinksToTheRunningApp) {
    auto first = start({url("first.bin")}, "first.log");
    ASSERT_TRUE(listed(url("first.bin"))) << test::read_file(m_home.file("first.log"));
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(socket_path()); }, kDeadlineMs));
    struct stat folder {};
    ASSERT_EQ(::stat(m_home.file("run/tarnwick").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    // Two links handed over, the third refused by the second start itself.
    auto second = start({url("a.bin"), "twk:" + url("b.bin"), "twk:file:///etc/passwd"}, "second.log");
    EXPECT_EQ(second->wait_exit(kDeadlineMs), 2);
    EXPECT_NE(test::read_file(m_home.file("second.log"))
                  .find("link 3 refused: only http, https, ftp and ftps links can be downloaded"),
              std::string::npos)
        << test::read_file(m_home.file("second.log"));
    EXPECT_TRUE(listed(url("a.bin")));
    EXPECT_TRUE(listed(url("b.bin")));
    EXPECT_EQ(journal().find("passwd"), std::string::npos);

    // A start with nothing to add only brings the window forward.
    EXPECT_EQ(start({}, "third.log")->wait_exit(kDeadlineMs), 0);

    // An app that died leaves its socket behind; the next start takes it over and takes links.
    first->signal(SIGKILL);
    EXPECT_EQ(first->wait_exit(kDeadlineMs), -1);
    ASSERT_TRUE(test::file_exists(socket_path()));
    auto again = start({url("c.bin")}, "again.log");
    ASSERT_TRUE(listed(url("c.bin"))) << test::read_file(m_home.file("again.log"));
    auto late = start(
        {"twk://add?url=" + std::string("http%3A%2F%2F127.0.0.1%3A") + std::to_string(m_port) + "%2Fd.bin"},
        "late.log");
    EXPECT_EQ(late->wait_exit(kDeadlineMs), 0) << test::read_file(m_home.file("late.log"));
    EXPECT_TRUE(listed(url("d.bin")));

    again->signal(SIGTERM);
    EXPECT_EQ(again->wait_exit(kDeadlineMs), 0) << test::read_file(m_home.file("again.log"));
}

} // namespace
} // namespace twk::ui
