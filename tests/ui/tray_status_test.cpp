#include "ui/tray_status.h"

#include <gtest/gtest.h>

#include "ui/text_table.h"

namespace twk::ui {
namespace {

TaskSnapshot task(TaskState state, uint64_t total, uint64_t done, double speed = 0) {
    TaskSnapshot t;
    t.state = state;
    t.total = total;
    t.done = done;
    t.speed = speed;
    return t;
}

constexpr uint64_t kMiB = 1 << 20;

TEST(TrayStatus, CountsSpeedTimeLeftAndProgressOfWhatRuns) {
    TrayStatus s = tray_status({task(kRunning, 100 * kMiB, 25 * kMiB, 2.0 * kMiB),
                                task(kRunning, 100 * kMiB, 75 * kMiB, 3.0 * kMiB), task(kQueued, 0, 0),
                                task(kDone, 10 * kMiB, 10 * kMiB), task(kPaused, 50 * kMiB, 1 * kMiB)});
    EXPECT_EQ(s.running, 2);
    EXPECT_EQ(s.queued, 1);
    EXPECT_DOUBLE_EQ(s.speed, 5.0 * kMiB);
    EXPECT_DOUBLE_EQ(s.seconds_left, 20); // 100 MiB missing at 5 MiB/s
    EXPECT_DOUBLE_EQ(s.progress, 0.5);
    EXPECT_TRUE(s.busy());

    // A running task of unknown size: no time can be promised; the progress is of the others.
    s = tray_status({task(kRunning, 0, 5 * kMiB, kMiB), task(kRunning, 4 * kMiB, 1 * kMiB, kMiB)});
    EXPECT_LT(s.seconds_left, 0);
    EXPECT_DOUBLE_EQ(s.progress, 0.25);
    // Stalled: no time left either.
    EXPECT_LT(tray_status({task(kRunning, 4 * kMiB, 1 * kMiB, 0)}).seconds_left, 0);
    // Nothing runs or waits.
    s = tray_status({task(kDone, 1, 1), task(kError, 0, 0), task(kPaused, 9, 1)});
    EXPECT_FALSE(s.busy());
    EXPECT_LT(s.progress, 0);
}

TEST(TrayStatus, TooltipInBothLanguages) {
    TrayStatus busy{2, 1, 3.5 * kMiB, 80, 0.5};
    TrayStatus waiting{0, 3, 0, -1, -1};
    TrayStatus unknown_time{1, 0, 1024, -1, -1};
    struct Case {
        LanguageMode language;
        TrayStatus status;
        const char* tip;
    } cases[] = {
        {LanguageMode::English, busy, "Tarnwick\n2 downloading · 3.5 MB/s · 1m 20s left · 1 queued"},
        {LanguageMode::English, waiting, "Tarnwick\n3 queued"},
        {LanguageMode::English, unknown_time, "Tarnwick\n1 downloading · 1.0 KB/s"},
        {LanguageMode::English, TrayStatus{}, "Tarnwick"},
        {LanguageMode::Chinese, busy, "Tarnwick\n2 个下载中 · 3.5 MB/s · 剩余 1 分 20 秒 · 1 个排队中"},
        {LanguageMode::Chinese, waiting, "Tarnwick\n3 个排队中"},
    };
    for (const auto& c : cases) {
        set_language_mode(c.language);
        EXPECT_EQ(tray_tooltip(c.status), c.tip);
    }
    set_language_mode(LanguageMode::System);
}

} // namespace
} // namespace twk::ui
