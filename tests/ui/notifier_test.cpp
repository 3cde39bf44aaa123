// Notices through a fake notification service on a private bus: a finished download is told once
// with "Open" and "Show in folder", a failed one with "Retry", and clicking Retry runs the task
// again; with notices off or the window active nothing is sent.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <string>
#include <vector>

#include "tests/ui/desktop_bus.h"
#include "ui/notifier.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

TaskSnapshot task(int32_t id, TaskState state, const std::string& name) {
    TaskSnapshot snapshot;
    snapshot.id = id;
    snapshot.state = state;
    snapshot.name = name;
    snapshot.status = state == kError ? "error: connection refused" : "";
    return snapshot;
}

class NotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.ok()) << "the private bus or the fake notification service did not start";
        set_language_mode(LanguageMode::English);
    }
    void TearDown() override { set_language_mode(LanguageMode::System); }

    Notifier::Hooks hooks() {
        Notifier::Hooks h;
        h.snapshot = [this](std::vector<TaskSnapshot>& out) {
            out = m_tasks;
            return true;
        };
        h.window_active = [this] { return m_active; };
        h.folder = [] { return std::string("/srv/downloads"); };
        h.retry = [this](int32_t id) { m_retried.push_back(id); };
        return h;
    }
    size_t count(const std::string& needle, size_t from) const {
        size_t n = 0;
        for (const std::string& line : m_bus.lines(from))
            n += line.find(needle) != std::string::npos ? 1 : 0;
        return n;
    }

    int m_argc = 1;
    char m_arg0[8] = "tests";
    char* m_argv[1] = {m_arg0};
    QCoreApplication m_app{m_argc, m_argv};
    test::DesktopBus& m_bus = test::DesktopBus::shared();
    std::vector<TaskSnapshot> m_tasks;
    bool m_active = false;
    std::vector<int32_t> m_retried;
};

TEST_F(NotifierTest, FinishedOnceWithOpenAndFolderFailedWithRetryThatRetries) {
    Notifier notifier(hooks(), nullptr, 50);
    notifier.start();
    size_t from = m_bus.mark();
    m_tasks = {task(1, kRunning, "a&b.iso"), task(2, kRunning, "two.zip")};
    test::wait_until([] { return QCoreApplication::processEvents(), false; }, 200);
    m_tasks[0].state = kDone;
    std::string finished = m_bus.wait_line("notify", from);
    EXPECT_NE(finished.find(" Download finished|a&amp;b.iso|open,Open,folder,Show in folder"),
              std::string::npos)
        << finished;

    m_tasks[1] = task(2, kError, "two.zip");
    std::string failed = m_bus.wait_line("notify", from + 1);
    EXPECT_NE(failed.find(" Download failed|two.zip\\nerror: connection refused|retry,Retry"),
              std::string::npos)
        << failed;
    EXPECT_EQ(count("a&amp;b.iso", from), 1u);

    // The user clicks Retry on the failed download's notice.
    std::string id = failed.substr(7, failed.find(' ', 7) - 7);
    QDBusMessage click = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.tarnwick.FakeDesktop"), QStringLiteral("Invoke"));
    click << uint(std::stoul(id)) << QStringLiteral("retry");
    QDBusConnection::sessionBus().call(click);
    EXPECT_TRUE(test::wait_until(
        [&] {
            QCoreApplication::processEvents();
            return !m_retried.empty();
        },
        5000));
    EXPECT_EQ(m_retried, std::vector<int32_t>{2});
}

TEST_F(NotifierTest, NothingWhenOffOrWhileTheWindowIsActive) {
    Notifier notifier(hooks(), nullptr, 50);
    notifier.start();
    size_t from = m_bus.mark();
    m_tasks = {task(1, kRunning, "quiet.bin"), task(2, kRunning, "off.bin"), task(3, kRunning, "told.bin")};
    test::wait_until([] { return QCoreApplication::processEvents(), false; }, 200);

    // Each end is seen, waited on and settled before the next step.
    auto events = [] { return QCoreApplication::processEvents(), true; };
    auto settle = [&] {
        EXPECT_TRUE(test::wait_until([&] { return events() && notifier.waiting(); }, 5000));
        EXPECT_TRUE(test::wait_until([&] { return events() && !notifier.waiting(); }, 10000));
    };
    m_active = true;
    m_tasks[0].state = kDone;
    settle();
    m_active = false;
    notifier.set_enabled(false);
    m_tasks[1].state = kDone;
    settle();
    notifier.set_enabled(true);
    m_tasks[2].state = kDone;
    EXPECT_NE(m_bus.wait_line("notify", from).find("told.bin"), std::string::npos);
    EXPECT_EQ(count("quiet.bin", from) + count("off.bin", from), 0u);
}

} // namespace
} // namespace twk::ui
