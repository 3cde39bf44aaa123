#include "cli/progress_display.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// A snapshot's status text with the state the engine shows it in.
void set_status(TaskSnapshot& task, const std::string& status) {
    task.status = status;
    task.state = status == "done"              ? kDone
                 : status == "paused"          ? kPaused
                 : status == "queued"          ? kQueued
                 : status.starts_with("error") ? kError
                                               : kRunning;
    task.phase = task.state != kRunning            ? TaskPhase::kNone
                 : status == "downloading"         ? TaskPhase::kDownloading
                 : status == "probing"             ? TaskPhase::kProbing
                 : status.starts_with("recording") ? TaskPhase::kRecording
                                                   : TaskPhase::kNone;
}

TaskSnapshot downloading() {
    TaskSnapshot task;
    task.id = 1;
    task.name = "ubuntu.iso";
    task.url = "http://h/ubuntu.iso";
    set_status(task, "downloading");
    task.total = 1000 * kMiB;
    task.done = 420 * kMiB;
    task.connections = 16;
    for (uint64_t i = 0; i < 8; ++i)
        task.segments.push_back({i + 1, 0, 0, 1, true});
    return task;
}

TEST(ProgressLine, ShowsNameBarPercentSizeSpeedTimeLeftAndConnections) {
    std::string line = progress_line(downloading(), 12.3 * kMiB, 100);
    EXPECT_EQ(line, "ubuntu.iso               [########............]   42%   420 MB/1000 MB"
                    "    12.3 MB/s       47s   8/16");
    EXPECT_LE(display_width(line), 100u);
}

TEST(ProgressLine, LinesOfDifferentTasksLineUpAndFitTheWidth) {
    TaskSnapshot probing = downloading();
    probing.name = "another-file.tar.gz";
    set_status(probing, "probing");
    probing.total = 0;
    probing.done = 0;
    for (size_t width : {120u, 100u, 79u, 60u, 30u}) {
        std::string a = progress_line(downloading(), 1e6, width);
        std::string b = progress_line(probing, 0, width);
        EXPECT_LE(display_width(a), width) << a;
        EXPECT_LE(display_width(b), width) << b;
        if (width >= 79) {
            EXPECT_EQ(display_width(a.substr(0, a.find('%'))), display_width(b.substr(0, b.find('%'))))
                << a << "\n"
                << b;
        }
    }
    // On an 80-column terminal the bar gives way before the name does.
    EXPECT_EQ(progress_line(downloading(), 1e6, 79).substr(0, 26), "ubuntu.iso    [####......]");
    EXPECT_EQ(progress_line(probing, 0, 100).substr(47), "    ?%              0 B  probing");
}

TEST(ProgressLine, NotRoundedUpToFullBeforeDoneAndNoTimeLeftWithoutSpeed) {
    TaskSnapshot task = downloading();
    task.done = task.total - 1;
    std::string line = progress_line(task, 0, 100);
    EXPECT_NE(line.find(" 99%"), std::string::npos) << line;
    EXPECT_NE(line.find("0 B/s         \xE2\x80\x94   8/16"), std::string::npos) << line; // no time left
    task.done = task.total;
    set_status(task, "done");
    line = progress_line(task, 0, 100);
    EXPECT_NE(line.find("[####################]  100%  1000 MB/1000 MB  done"), std::string::npos) << line;
}

TEST(ProgressLine, LongUtf8NamesAreCutWholeAndControlBytesAreHidden) {
    TaskSnapshot task = downloading();
    task.name = std::string(30, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(30, 'b') + ".iso";
    std::string line = progress_line(task, 0, 100);
    EXPECT_EQ(line.substr(0, 23 + 2), std::string(22, 'a') + "\xE2\x80\xA6"); // cut to 23 columns
    task.name = "x\x1b[2Jy";
    set_status(task, "error: bad\rthing");
    line = progress_line(task, 0, 100);
    EXPECT_EQ(line.substr(0, 6), "x?[2Jy");
    EXPECT_NE(line.find("error: bad?thing"), std::string::npos);
}

TEST(ProgressLine, ALiveRecordingShowsItsSizeAndRecordedTime) {
    TaskSnapshot task = downloading();
    task.name = "talk.ts";
    set_status(task, "recording, 1 gap of 12 s");
    task.live = true;
    task.total = 0;
    task.done = 12 * kMiB;
    task.recorded = 90;
    task.segments = {{1, 0, 12 * kMiB, UINT64_MAX, false}};
    // The recorded time comes before the status, which is cut at the end of the line.
    EXPECT_EQ(progress_line(task, 0, 100),
              "talk.ts                  [....................]  live          12.0 MB"
              "       1m 30s  recording, 1 g\xE2\x80\xA6");
}

TEST(ProgressScreen, TasksStillRunningComeFirstWhenNotAllFit) {
    std::vector<TaskSnapshot> tasks;
    for (const char* status : {"done", "downloading", "error: http 404", "queued", "done"}) {
        TaskSnapshot task = downloading();
        task.id = static_cast<int32_t>(tasks.size() + 1);
        task.name = "t" + std::to_string(task.id);
        set_status(task, status);
        tasks.push_back(task);
    }
    std::vector<double> speeds(tasks.size(), 0);
    EXPECT_EQ(progress_screen(tasks, speeds, 100, 5).size(), 5u);
    std::vector<std::string> lines = progress_screen(tasks, speeds, 100, 4);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 3), "t1 "); // shown tasks keep their order
    EXPECT_EQ(lines[1].substr(0, 3), "t2 ");
    EXPECT_EQ(lines[2].substr(0, 3), "t4 ");
    EXPECT_EQ(lines[3], "+2 more (1 done, 1 failed)");
    lines = progress_screen(tasks, speeds, 100, 2);
    EXPECT_EQ(lines[0].substr(0, 3), "t2 ");
    EXPECT_EQ(lines[1], "+4 more (2 done, 1 failed)");
}

TEST(FitWidth, CountsCodePointsAndEndsInAnEllipsis) {
    EXPECT_EQ(display_width("\xE2\x80\x94 ab"), 4u);
    EXPECT_EQ(fit_width("abcdef", 6), "abcdef");
    EXPECT_EQ(fit_width("abcdef", 4), "abc\xE2\x80\xA6");
    EXPECT_EQ(fit_width("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xE2\x80\xA6");
    EXPECT_EQ(fit_width("abc", 0), "");
}

TEST(ChangeAndSummaryLines, SayWhatHappenedToEachTask) {
    TaskSnapshot task = downloading();
    EXPECT_EQ(change_line(task), "[1] ubuntu.iso: downloading, 1000 MB");
    task.total = 0;
    set_status(task, "probing");
    EXPECT_EQ(change_line(task), "[1] ubuntu.iso: probing");

    task = downloading();
    set_status(task, "done");
    task.done = task.total;
    EXPECT_EQ(summary_line(task, "/tmp/dl"), "done  /tmp/dl/ubuntu.iso  1000 MB");
    task.left_out = {3};
    EXPECT_EQ(summary_line(task, "/tmp/dl"),
              "done  /tmp/dl/ubuntu.iso  1000 MB  (left out, failing: segment 3)");
    task.left_out = {3, 17};
    EXPECT_EQ(summary_line(task, "/tmp/dl"),
              "done  /tmp/dl/ubuntu.iso  1000 MB  (left out, failing: segments 3, 17)");
    task.left_out.clear();
    set_status(task, "paused");
    task.done = 420 * kMiB;
    EXPECT_EQ(summary_line(task, "dl"), "paused  dl/ubuntu.iso  420 MB of 1000 MB");
    set_status(task, "error: http 404");
    EXPECT_EQ(summary_line(task, "dl"), "error: http 404  http://h/ubuntu.iso");
}

} // namespace
} // namespace twk
