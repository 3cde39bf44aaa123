// The sleep inhibitor against a fake logind on a private bus: taken while a task transfers, with
// the reason naming how many, renewed when that number changes, released at the next look after
// the last transfer pauses or ends, and "delay" asked for where "block" is refused.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <string>
#include <vector>

#include "tests/ui/desktop_bus.h"
#include "ui/sleep_inhibitor.h"

namespace twk::ui {
namespace {

TaskSnapshot task(int32_t id, TaskState state) {
    TaskSnapshot snapshot;
    snapshot.id = id;
    snapshot.state = state;
    snapshot.status = state == kRunning ? "downloading" : "paused";
    return snapshot;
}

class SleepInhibitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.ok()) << "the private bus or the fake logind did not start";
        m_bus.refuse_block(false);
    }

    // The inhibitor's id in the fake's log ("inhibit <n> ...").
    static std::string id_of(const std::string& line) {
        size_t start = line.find(' ') + 1;
        return line.substr(start, line.find(' ', start) - start);
    }

    int m_argc = 1;
    char m_arg0[8] = "tests";
    char* m_argv[1] = {m_arg0};
    QCoreApplication m_app{m_argc, m_argv};
    test::DesktopBus& m_bus = test::DesktopBus::shared();
    std::vector<TaskSnapshot> m_tasks;
};

TEST(SleepInhibitorCount, OnlyRunningTasksCount) {
    std::vector<TaskSnapshot> tasks{task(1, kRunning), task(2, kPaused),   task(3, kQueued), task(4, kDone),
                                    task(5, kError),   task(6, kCanceled), task(7, kRunning)};
    EXPECT_EQ(transferring_count(tasks), 2);
    EXPECT_EQ(inhibit_reason(1), QStringLiteral("Downloading 1 file"));
    EXPECT_EQ(inhibit_reason(12), QStringLiteral("Downloading 12 files"));
}

TEST_F(SleepInhibitorTest, HeldWhileTransfersRunAndReleasedAfterTheLast) {
    SleepInhibitor inhibitor([this](std::vector<TaskSnapshot>& out) {
        out = m_tasks;
        return true;
    });
    inhibitor.start();
    size_t from = m_bus.mark();

    // Nothing is asked for while nothing transfers.
    m_tasks = {task(1, kQueued), task(2, kDone)};
    EXPECT_EQ(m_bus.wait_line("inhibit", from, 1200), "");

    m_tasks[0].state = kRunning;
    std::string first = m_bus.wait_line("inhibit", from, 3000);
    EXPECT_EQ(first.substr(first.find(' ', 8) + 1), "sleep|Tarnwick|Downloading 1 file|block") << first;

    // A second transfer renews the reason; the first inhibitor goes once the new one is held.
    from = m_bus.mark();
    m_tasks.push_back(task(3, kRunning));
    std::string second = m_bus.wait_line("inhibit", from, 3000);
    EXPECT_NE(second.find("|Downloading 2 files|block"), std::string::npos) << second;
    EXPECT_NE(m_bus.wait_line("release " + id_of(first), from, 3000), "");
    EXPECT_TRUE(inhibitor.held());

    // One pauses, one ends: released at the next look (every half second).
    from = m_bus.mark();
    m_tasks[0].state = kPaused;
    m_tasks[2].state = kDone;
    EXPECT_NE(m_bus.wait_line("release " + id_of(second), from, 3000), "");
    EXPECT_FALSE(inhibitor.held());
}

TEST_F(SleepInhibitorTest, AsksForDelayWhereBlockIsRefused) {
    m_bus.refuse_block(true);
    size_t from = m_bus.mark();
    std::string line;
    {
        SleepInhibitor inhibitor(nullptr);
        inhibitor.set_count(3);
        line = m_bus.wait_line("inhibit", from, 3000);
        EXPECT_NE(m_bus.wait_line("refused block", from, 10), "");
        EXPECT_NE(line.find("|Downloading 3 files|delay"), std::string::npos) << line;
        EXPECT_TRUE(test::wait_until(
            [&] {
                QCoreApplication::processEvents();
                return inhibitor.held();
            },
            3000));
    }
    // Ending the program releases it too.
    EXPECT_NE(m_bus.wait_line("release " + id_of(line), from, 3000), "");
}

} // namespace
} // namespace twk::ui
