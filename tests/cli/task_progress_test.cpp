#include "cli/task_progress.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

TEST(TaskSnapshot, CountsActiveSegments) {
    TaskSnapshot task;
    task.segments = {{1, 0, 30, 50, true}, {2, 50, 60, 100, true}, {3, 60, 60, 60, false}};
    EXPECT_EQ(task.active_connections(), 2u);
    task.segments.clear();
    EXPECT_EQ(task.active_connections(), 0u);
}

TEST(TaskState, FinalAndSettled) {
    struct Case {
        TaskState state;
        bool final, settled;
    } cases[] = {
        {kDone, true, true},    {kError, true, true},    {kCanceled, true, true},
        {kPaused, false, true}, {kQueued, false, false}, {kRunning, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_final_state(c.state), c.final) << c.state;
        EXPECT_EQ(is_settled_state(c.state), c.settled) << c.state;
    }
}

TEST(ExitStatus, DoneErrorInterruptedAndNothingAdded) {
    auto with = [](std::vector<TaskState> states) {
        std::vector<TaskSnapshot> tasks;
        for (TaskState s : states) {
            TaskSnapshot t;
            t.state = s;
            tasks.push_back(t);
        }
        return tasks;
    };
    EXPECT_EQ(get_exit_status(with({kDone, kDone}), false), 0);
    EXPECT_EQ(get_exit_status(with({kDone, kError}), false), 1);
    EXPECT_EQ(get_exit_status(with({kCanceled}), false), 1);
    EXPECT_EQ(get_exit_status(with({}), false), 1);
    EXPECT_EQ(get_exit_status(with({kPaused, kDone}), true), 130);
    EXPECT_EQ(get_exit_status(with({kDone}), true), 130);
}

TEST(SpeedMeter, MeasuresOverTheLastSecondsAndStartsAgainWhenBytesGoBack) {
    SpeedMeter meter;
    EXPECT_EQ(meter.bytes_per_second(), 0);
    meter.add(0, 0);
    EXPECT_EQ(meter.bytes_per_second(), 0);
    meter.add(1000, 1000);
    EXPECT_DOUBLE_EQ(meter.bytes_per_second(), 1000);
    // A fast second, then slow ones: only the last three seconds count.
    for (int64_t t = 2000; t <= 6000; t += 1000)
        meter.add(t, 1000 + static_cast<uint64_t>(t - 1000) / 10);
    EXPECT_NEAR(meter.bytes_per_second(), 100, 1);
    meter.add(6200, 10); // the download started again from scratch
    EXPECT_EQ(meter.bytes_per_second(), 0);
}

} // namespace
} // namespace twk
