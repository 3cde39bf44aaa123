// Which notices the ends of downloads give: one each, a summary for a batch, none for what had
// ended before the app looked, none while the window is active, and none before the list is quiet.
#include <gtest/gtest.h>

#include <vector>

#include "ui/notice_planner.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

TaskSnapshot task(int32_t id, TaskState state) {
    TaskSnapshot snapshot;
    snapshot.id = id;
    snapshot.state = state;
    snapshot.name = "file" + std::to_string(id) + ".bin";
    snapshot.status = state == kError ? "error: 404 Not Found" : "";
    return snapshot;
}

class NoticePlannerTest : public ::testing::Test {
protected:
    void SetUp() override { set_language_mode(LanguageMode::English); }
    void TearDown() override { set_language_mode(LanguageMode::System); }
    NoticePlanner m_planner;
};

TEST_F(NoticePlannerTest, OneNoticePerEndOnceTheListIsQuiet) {
    m_planner.observe({task(1, kRunning), task(2, kRunning), task(3, kDone), task(4, kError)}, 0);
    m_planner.observe({task(1, kDone), task(2, kError), task(3, kDone), task(4, kError)}, 1);
    EXPECT_TRUE(m_planner.take(1.5, false).empty()); // more may end together
    std::vector<Notice> notices = m_planner.take(1 + kNoticeQuietSeconds, false);
    ASSERT_EQ(notices.size(), 2u); // 3 and 4 had ended before the first look
    EXPECT_EQ(notices[0].kind, NoticeKind::Finished);
    EXPECT_EQ(notices[0].id, 1);
    EXPECT_EQ(notices[0].summary, "Download finished");
    EXPECT_EQ(notices[0].body, "file1.bin");
    EXPECT_EQ(notices[1].kind, NoticeKind::Failed);
    EXPECT_EQ(notices[1].body, "file2.bin\nerror: 404 Not Found");
    // Given once: the same states later give nothing.
    m_planner.observe({task(1, kDone), task(2, kError)}, 5);
    EXPECT_TRUE(m_planner.take(10, false).empty());
}

TEST_F(NoticePlannerTest, MoreThanThreeTogetherGiveOneSummary) {
    std::vector<TaskSnapshot> tasks;
    for (int32_t id = 1; id <= 5; ++id)
        tasks.push_back(task(id, kRunning));
    m_planner.observe(tasks, 0);
    // Ending one after another, each within the quiet time of the last: the batch waits at most
    // the longest wait, then goes as one.
    for (int32_t id = 1; id <= 5; ++id) {
        tasks[static_cast<size_t>(id - 1)] = task(id, id == 5 ? kError : kDone);
        m_planner.observe(tasks, id * 1.0);
        if (id < 5) {
            EXPECT_TRUE(m_planner.take(id * 1.0 + 0.5, false).empty()) << id;
        }
    }
    std::vector<Notice> notices = m_planner.take(1 + kNoticeMostWaitSeconds, false);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, NoticeKind::Summary);
    EXPECT_EQ(notices[0].summary, "5 downloads ended");
    EXPECT_EQ(notices[0].body, "4 finished, 1 failed");

    // Three together are still told one by one.
    for (int32_t id = 6; id <= 8; ++id)
        tasks.push_back(task(id, kRunning));
    m_planner.observe(tasks, 20);
    for (size_t i = 5; i < 8; ++i)
        tasks[i].state = kDone;
    m_planner.observe(tasks, 21);
    EXPECT_EQ(m_planner.take(30, false).size(), 3u);
}

TEST_F(NoticePlannerTest, NoneWhileTheWindowIsActiveAndNoneForARestoredTask) {
    m_planner.observe({task(1, kRunning)}, 0);
    m_planner.observe({task(1, kDone)}, 1);
    EXPECT_TRUE(m_planner.take(10, true).empty());
    EXPECT_TRUE(m_planner.take(11, false).empty()); // dropped, not kept for later

    // A task new since the first look that ended between two looks is told; one that left the
    // list and came back (an undone delete) is not.
    m_planner.observe({task(1, kDone), task(2, kDone)}, 12);
    m_planner.observe({task(2, kDone)}, 13);
    m_planner.observe({task(1, kDone), task(2, kDone)}, 14);
    std::vector<Notice> notices = m_planner.take(20, false);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].id, 2);
    // A retried task that fails again is told again.
    m_planner.observe({task(2, kRunning)}, 21);
    m_planner.observe({task(2, kError)}, 22);
    EXPECT_EQ(m_planner.take(30, false).size(), 1u);
}

} // namespace
} // namespace twk::ui
