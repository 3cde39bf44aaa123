#include "cli/task_progress.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

TEST(TaskList, ReadsEachEntryAndCountsActiveSegments) {
    const char* document =
        R"({"status":"downloading","filename":"a.bin","url":"http://h/a.bin","total":100,"done":40,)"
        R"("connections":8,"supportsRange":true,"elapsed":1.00,"segments":[],"tasks":[)"
        R"({"id":1,"name":"a.bin","filename":"a.bin","url":"http://h/a.bin","status":"downloading",)"
        R"("total":100,"done":40,"connections":8,"supportsRange":true,"segments":[)"
        R"({"id":1,"start":0,"pos":30,"end":50,"active":true},{"id":2,"start":50,"pos":60,"end":100,"active":true},)"
        R"({"id":3,"start":60,"pos":60,"end":60,"active":false}]},)"
        R"({"id":2,"name":"b","filename":"b","url":"http://h/b","status":"queued","total":0,"done":0,)"
        R"("connections":4,"supportsRange":false,"segments":[{"id":4,"start":0,"pos":0,)"
        R"("end":18446744073709551615,"active":false}]}]})";
    std::vector<TaskProgress> tasks;
    ASSERT_TRUE(parse_task_list(document, tasks));
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[0].id, 1);
    EXPECT_EQ(tasks[0].name, "a.bin");
    EXPECT_EQ(tasks[0].url, "http://h/a.bin");
    EXPECT_EQ(tasks[0].status, "downloading");
    EXPECT_EQ(tasks[0].total, 100u);
    EXPECT_EQ(tasks[0].done, 40u);
    EXPECT_EQ(tasks[0].connections, 8u);
    EXPECT_EQ(tasks[0].active, 2u);
    EXPECT_EQ(tasks[1].status, "queued");
    EXPECT_EQ(tasks[1].active, 0u);

    ASSERT_TRUE(parse_task_list(R"({"status":"idle","tasks":[]})", tasks));
    EXPECT_TRUE(tasks.empty());
    for (const char* bad : {"", "[]", R"({"status":"idle"})", R"({"tasks":[1]})", R"({"tasks":[]} x)"})
        EXPECT_FALSE(parse_task_list(bad, tasks)) << bad;
}

TEST(TaskStatus, FinalSettledAndError) {
    struct Case {
        const char* status;
        bool final, settled;
    } cases[] = {
        {"done", true, true},          {"error: stalled (no progress)", true, true},
        {"canceled", true, true},      {"paused", false, true},
        {"queued", false, false},      {"probing", false, false},
        {"downloading", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_final_status(c.status), c.final) << c.status;
        EXPECT_EQ(is_settled_status(c.status), c.settled) << c.status;
    }
    EXPECT_TRUE(is_error_status("error"));
    EXPECT_FALSE(is_error_status("done"));
}

TEST(ExitStatus, DoneErrorInterruptedAndNothingAdded) {
    auto with = [](std::vector<const char*> statuses) {
        std::vector<TaskProgress> tasks;
        for (const char* s : statuses) {
            TaskProgress t;
            t.status = s;
            tasks.push_back(t);
        }
        return tasks;
    };
    EXPECT_EQ(get_exit_status(with({"done", "done"}), false), 0);
    EXPECT_EQ(get_exit_status(with({"done", "error: http 404"}), false), 1);
    EXPECT_EQ(get_exit_status(with({"canceled"}), false), 1);
    EXPECT_EQ(get_exit_status(with({}), false), 1);
    EXPECT_EQ(get_exit_status(with({"paused", "done"}), true), 130);
    EXPECT_EQ(get_exit_status(with({"done"}), true), 130);
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
