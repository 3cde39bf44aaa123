#include "ui/task_view_model.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/ui/documents.h"
#include "ui/row_text.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

using test::entry;
using test::list_document;
using test::segment;

std::vector<int32_t> ids(const std::vector<const TaskView*>& rows) {
    std::vector<int32_t> out;
    for (const auto* row : rows)
        out.push_back(row->id);
    return out;
}

TEST(ViewState, FromStatusText) {
    struct Case {
        const char* status;
        ViewState state;
        int height;
    } cases[] = {
        {"done", ViewState::Done, 40},          {"error: HTTP 404", ViewState::Error, 40},
        {"error", ViewState::Error, 40},        {"queued", ViewState::Queued, 40},
        {"probing", ViewState::Probing, 84},    {"paused", ViewState::Paused, 40},
        {"canceled", ViewState::Canceled, 40},  {"downloading", ViewState::Downloading, 84},
        {"muxing", ViewState::Downloading, 84}, {"Done", ViewState::Downloading, 84},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(view_state(entry(1, c.status, 0, 0)), c.state) << c.status;
        EXPECT_EQ(row_height(view_state(entry(1, c.status, 0, 0))), c.height) << c.status;
    }
}

TEST(TaskViewModel, FollowsDocumentOrderAndUpdatesInPlace) {
    TaskViewModel model;
    bool changed = false;
    model.update(list_document({entry(2, "downloading", 1000, 100, {segment(1, 0, 100, 1000, true)}),
                                entry(1, "done", 50, 50)}),
                 0, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(ids(model.visible()), (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(model.selected(), 2); // nothing was selected: the first task

    model.select(1);
    model.update(list_document({entry(2, "downloading", 1000, 300, {segment(1, 0, 300, 1000, true)}),
                                entry(1, "done", 50, 50), entry(3, "queued", 0, 0)}),
                 0.5, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(model.selected(), 1);
    EXPECT_EQ(model.find(2)->done, 300u);
    EXPECT_DOUBLE_EQ(model.find(2)->segments[0].shown, 100) << "animation state is kept";
    EXPECT_EQ(model.find(2)->samples.size(), 2u) << "the speed samples are kept";

    model.update(list_document({entry(2, "paused", 1000, 300), entry(3, "queued", 0, 0)}), 1, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(model.selected(), 2) << "the selected task is gone: the first becomes selected";
    model.update(list_document({entry(2, "paused", 1000, 300), entry(3, "queued", 0, 0)}), 2, &changed);
    EXPECT_FALSE(changed);

    EXPECT_EQ(model.tasks().size(), 2u);

    model.update(list_document({}), 4, &changed);
    EXPECT_TRUE(changed);
    EXPECT_FALSE(model.selected());
}

TEST(TaskViewModel, SpeedAtTheFastAndTheSlowCadence) {
    // 16 ms ticks at a steady 1 MB/s: the estimate is measured over about one second and
    // settles at the true rate.
    TaskViewModel fast;
    double rate = 1 << 20;
    for (int i = 0; i <= 300; ++i) {
        double now = i * 0.016;
        fast.update(list_document({entry(1, "downloading", 1u << 30, static_cast<uint64_t>(rate * now))}),
                    now);
        if (i == 0) {
            EXPECT_EQ(fast.find(1)->speed, 0) << "a new record starts at 0";
        }
    }
    EXPECT_NEAR(fast.find(1)->speed, rate, rate * 0.02);
    EXPECT_LE(fast.find(1)->samples.size(), 64u) << "old samples are dropped";
    EXPECT_NEAR(fast.find(1)->samples.back().first - fast.find(1)->samples.front().first, 1.0, 0.02);

    // 1000 ms ticks: measured over the last interval, then smoothed: 0.45, then 0.45 + 0.55 * 0.45.
    TaskViewModel slow;
    slow.update(list_document({entry(1, "downloading", 1u << 30, 0)}), 10);
    slow.update(list_document({entry(1, "downloading", 1u << 30, 1000)}), 11);
    EXPECT_DOUBLE_EQ(slow.find(1)->speed, 450);
    slow.update(list_document({entry(1, "downloading", 1u << 30, 2000)}), 12);
    EXPECT_DOUBLE_EQ(slow.find(1)->speed, 0.45 * 1000 + 0.55 * 450);
    EXPECT_EQ(slow.find(1)->samples.size(), 2u);

    // Bytes going down (a restarted task) never make the speed negative; two samples closer
    // than 0.1 s count as 0.1 s apart.
    TaskViewModel odd;
    odd.update(list_document({entry(1, "downloading", 100, 50)}), 0);
    odd.update(list_document({entry(1, "downloading", 100, 10)}), 0.5);
    EXPECT_DOUBLE_EQ(odd.find(1)->speed, 0);
    TaskViewModel close;
    close.update(list_document({entry(1, "downloading", 1000, 0)}), 0);
    close.update(list_document({entry(1, "downloading", 1000, 10)}), 0.001);
    EXPECT_DOUBLE_EQ(close.find(1)->speed, 0.45 * 100);
    // Only a task whose status is exactly "downloading" shows its speed.
    close.update(list_document({entry(1, "muxing", 1000, 20)}), 0.5);
    EXPECT_GT(close.find(1)->speed, 0);
    EXPECT_EQ(close.find(1)->displayed_speed(), 0);
}

TEST(TaskViewModel, SegmentsAnimateAQuarterOfTheWay) {
    TaskViewModel model;
    model.update(list_document({entry(1, "downloading", 1000, 0, {segment(7, 0, 0, 1000, true)})}), 0);
    model.update(list_document({entry(1, "downloading", 1000, 400,
                                      {segment(7, 0, 400, 500, true), segment(8, 500, 600, 1000, true)})}),
                 1);
    model.animate();
    EXPECT_DOUBLE_EQ(model.find(1)->segments[0].shown, 100);
    EXPECT_DOUBLE_EQ(model.find(1)->segments[1].shown, 600) << "a new segment starts at its position";
    model.animate();
    EXPECT_DOUBLE_EQ(model.find(1)->segments[0].shown, 175);
    for (int i = 0; i < 100; ++i)
        model.animate();
    EXPECT_NEAR(model.find(1)->segments[0].shown, 400, 1e-6);
}

// A row's version moves with everything it draws, and only then: the list repaints by it.
TEST(TaskViewModel, TheVersionMovesWhenTheRowWouldLookDifferent) {
    const TaskSnapshot paused = entry(1, "paused", 1000, 400, {segment(7, 0, 400, 1000, false)});
    auto changed = [&](auto change) {
        TaskSnapshot next = paused;
        change(next);
        return next;
    };
    struct Case {
        const char* what;
        TaskSnapshot next;
        bool moves;
    } cases[] = {
        {"nothing", paused, false},
        {"state, same height",
         changed([](TaskSnapshot& t) { t.state = kError, t.status = "error: HTTP 500"; }), true},
        {"status text", changed([](TaskSnapshot& t) { t.status = "paused (disk full)"; }), true},
        {"name", changed([](TaskSnapshot& t) { t.name = "other.bin"; }), true},
        {"bytes", changed([](TaskSnapshot& t) { t.done = 401; }), true},
        {"total", changed([](TaskSnapshot& t) { t.total = 2000; }), true},
        {"a segment", changed([](TaskSnapshot& t) { t.segments[0].end = 900; }), true},
        {"failure", changed([](TaskSnapshot& t) { t.failure = FailureCategory::kConnect; }), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TaskViewModel model;
        model.update({paused}, 0);
        model.animate();
        const uint64_t before = model.find(1)->version;
        model.update({c.next}, 1);
        model.animate();
        model.advance(2);
        EXPECT_EQ(model.find(1)->version != before, c.moves);
    }
    // Progress is judged as drawn: a byte of a gigabyte, with the same texts and the bar on the
    // same pixel of a 700-pixel list, repaints nothing; a percent does. Neither changes what the
    // list sorts and filters by.
    const uint64_t gib = 1ull << 30;
    const auto half_and = [&](uint64_t more) {
        return entry(1, "paused", gib, gib / 2 + more, {segment(7, 0, gib / 2 + more, gib, false)});
    };
    TaskViewModel big;
    big.set_bar_pixels(700);
    big.update({half_and(0)}, 0);
    big.animate();
    const uint64_t version = big.find(1)->version;
    const uint64_t identity = big.find(1)->identity;
    big.update({half_and(1)}, 1);
    big.animate();
    EXPECT_EQ(big.find(1)->version, version);
    big.update({half_and(gib / 100)}, 2);
    big.animate();
    EXPECT_NE(big.find(1)->version, version);
    EXPECT_EQ(big.find(1)->identity, identity);
    // A running row moves while its bytes stand still (speed, animation), and its animation
    // reaches the real position instead of approaching it for ever.
    TaskViewModel model;
    model.update({entry(1, "downloading", 1000, 0, {segment(7, 0, 0, 1000, true)})}, 0);
    model.update({entry(1, "downloading", 1000, 400, {segment(7, 0, 400, 1000, true)})}, 1);
    uint64_t before = model.find(1)->version;
    model.advance(1.5);
    EXPECT_NE(model.find(1)->version, before);
    for (int i = 0; i < 200; ++i)
        model.animate();
    EXPECT_EQ(model.find(1)->segments[0].shown, 400);
    before = model.find(1)->version;
    model.animate();
    EXPECT_EQ(model.find(1)->version, before);
}

TEST(TaskViewModel, HiddenIdsAndTheDeleteSelectionRule) {
    TaskViewModel model;
    auto doc = [](const char* s3) {
        return list_document({entry(1, "done", 10, 10), entry(2, "paused", 10, 1), entry(3, s3, 10, 1),
                              entry(4, "canceled", 10, 1)});
    };
    model.update(doc("queued"), 0);
    EXPECT_EQ(ids(model.visible()), (std::vector<int32_t>{1, 2, 3})) << "canceled rows are not shown";

    model.select(2);
    model.hide_selected();
    EXPECT_EQ(model.selected(), 3) << "the row that takes the deleted row's place";
    EXPECT_EQ(ids(model.visible()), (std::vector<int32_t>{1, 3}));
    model.hide_selected();
    EXPECT_EQ(model.selected(), 1) << "the last row was deleted: the new last row";
    model.hide_selected();
    EXPECT_FALSE(model.selected()) << "nothing is left";
    EXPECT_TRUE(model.visible().empty());

    // The engine reports 2 canceled and drops 3: both leave the set; 1 is still listed as done
    // and stays hidden.
    model.update(list_document({entry(1, "done", 10, 10), entry(2, "canceled", 10, 1)}), 1);
    model.prune_hidden();
    EXPECT_EQ(model.hidden(), (std::set<int32_t>{1}));
}

TEST(TaskViewModel, TheSecondButtonPausesResumesOrRetriesByState) {
    struct Case {
        const char* status;
        PauseAction action;
    } cases[] = {{"paused", PauseAction::Resume}, {"queued", PauseAction::Pause},
                 {"probing", PauseAction::Pause}, {"downloading", PauseAction::Pause},
                 {"done", PauseAction::None},     {"error: x", PauseAction::Retry},
                 {"canceled", PauseAction::None}}; // canceled rows are not shown
    for (const auto& c : cases) {
        TaskViewModel model;
        model.update(list_document({entry(1, c.status, 10, 1)}), 0);
        EXPECT_EQ(model.pause_action(), c.action) << c.status;
    }
    EXPECT_EQ(TaskViewModel().pause_action(), PauseAction::None);
}

TEST(TaskViewModel, RowsHeightsHitsAndTheStatusBar) {
    TaskViewModel model;
    model.update(
        list_document({entry(1, "downloading", 1000, 0), entry(2, "done", 1, 1), entry(3, "probing", 0, 0)}),
        0);
    EXPECT_EQ(model.content_height(), 84 + 40 + 84);
    EXPECT_EQ(model.row_at(0), 1);
    EXPECT_EQ(model.row_at(83.9), 1);
    EXPECT_EQ(model.row_at(84), 2);
    EXPECT_EQ(model.row_at(124), 3);
    EXPECT_FALSE(model.row_at(208));
    EXPECT_EQ(model.row_top(3), 124);
    EXPECT_EQ(clamp_scroll(500, 208, 100), 108);
    EXPECT_EQ(clamp_scroll(-5, 208, 100), 0);
    EXPECT_EQ(clamp_scroll(50, 80, 100), 0);

    EXPECT_FALSE(model.wants_status_bar(true)) << "no speed yet";
    EXPECT_TRUE(model.wants_status_bar(false)) << "engine offline";
    model.update(list_document(
                     {entry(1, "downloading", 1000, 500), entry(2, "done", 1, 1), entry(3, "probing", 0, 0)}),
                 1);
    EXPECT_TRUE(model.wants_status_bar(true));
    EXPECT_DOUBLE_EQ(model.visible_speed_sum(), 0.45 * 500);
    // The same task finished: its row shrinks and no speed remains.
    model.update(list_document({entry(1, "done", 1000, 1000), entry(2, "done", 1, 1)}), 2);
    EXPECT_EQ(model.content_height(), 80);
    EXPECT_FALSE(model.wants_status_bar(true));
    EXPECT_FALSE(model.any_active());
}

TEST(RowText, BadgeRule) {
    struct Case {
        const char* name;
        const char* badge;
    } cases[] = {{"a.tar.gz", "GZ"},  {"movie.mp4", "MP4"}, {"x.torrent", "FILE"}, {"README", "FILE"},
                 {"a.", "FILE"},      {"a.7z", "7Z"},       {"a.b-c", "FILE"},     {"a.zip2", "ZIP2"},
                 {".bashrc", "FILE"}, {"a.файл", "FILE"}};
    for (const auto& c : cases)
        EXPECT_EQ(badge_text(c.name), c.badge) << c.name;
}

TEST(RowText, ChineseDurations) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "0 秒"},
        {59.4, "59 秒"},
        {59.6, "1 分 0 秒"},
        {3599, "59 分 59 秒"},
        {3600, "1 小时 0 分"},
        {86399, "23 小时 59 分"},
        {86400 + 7200, "1 天 2 小时"},
        {2592000 + 86400 * 3, "1 个月 3 天"},
        {31104000 + 2592000 * 2, "1 年 2 个月"},
        {3110399999.0, "99 年 11 个月"},
        {3110400000.0, "—"},
        {-1, "—"},
        {INFINITY, "—"},
        {NAN, "—"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chinese_duration(c.seconds), c.text) << c.seconds;
}

TEST(RowText, RightHandAndBottomTexts) {
    set_language_mode(LanguageMode::English);
    TaskViewModel model;
    model.update(
        list_document({entry(1, "paused", 1000, 305), entry(2, "paused", 0, 5), entry(3, "done", 0, 1536),
                       entry(4, "error: HTTP 404", 1, 0), entry(5, "queued", 0, 0)}),
        0);
    EXPECT_EQ(compact_right_text(*model.find(1)), "Paused · 30%");
    EXPECT_EQ(compact_right_text(*model.find(2)), "Paused");
    EXPECT_EQ(compact_right_text(*model.find(3)), "1.50 KB");
    EXPECT_EQ(compact_right_text(*model.find(4)), "error: HTTP 404");
    EXPECT_EQ(compact_right_text(*model.find(5)), "Queued");

    TaskViewModel running;
    running.update(
        list_document(
            {entry(1, "downloading", 10u << 20, 0,
                   {segment(1, 0, 0, 5u << 20, true), segment(2, 5u << 20, 5u << 20, 10u << 20, false)}, 8)}),
        0);
    running.update(list_document({entry(1, "downloading", 10u << 20, 3u << 20, {}, 8)}), 1);
    const TaskView& t = *running.find(1);
    EXPECT_EQ(bottom_left_text(t), "3.00 MB / 10.0 MB · 0/8 threads");
    // 7 MB left at 0.45 × 3 MB/s: 5.2 s.
    EXPECT_EQ(bottom_right_text(t), "5s left · 30%");
    set_language_mode(LanguageMode::Chinese);
    EXPECT_EQ(bottom_right_text(t), "剩余 5 秒 · 30%");
    EXPECT_EQ(bottom_left_text(t), "3.00 MB / 10.0 MB · 0/8 线程");
    set_language_mode(LanguageMode::English);

    TaskViewModel slow; // half a byte per second: no remaining time
    slow.update(list_document({entry(1, "downloading", 1000, 0)}), 0);
    slow.update(list_document({entry(1, "downloading", 1000, 1)}), 1);
    EXPECT_EQ(bottom_right_text(*slow.find(1)), "— left · 0%");
    set_language_mode(LanguageMode::System);
}

// A live recording in each state it shows: no total, so what it holds and, while it runs, that
// it records and what it lost, in both languages.
TEST(RowText, ALiveRecordingInEveryState) {
    struct Case {
        const char* status;
        double recorded;
        const char* compact; // English, then Chinese
        const char* compact_chinese;
        const char* bottom;
        const char* bottom_chinese;
    } cases[] = {
        {"recording", 754, "", "", "recording · 12m 34s", "录制中 · 12 分 34 秒"},
        {"recording, 1 gap of 12 s", 90, "", "", "recording, 1 gap of 12 s · 1m 30s",
         "录制中，1 处缺口，共 12 秒 · 1 分 30 秒"},
        {"recording, 3 gaps of 40 s", 5, "", "", "recording, 3 gaps of 40 s · 5s",
         "录制中，3 处缺口，共 40 秒 · 5 秒"},
        {"paused", 754, "Paused · 12m 34s recorded", "已暂停 · 已录制 12 分 34 秒", "", ""},
        {"paused", 0, "Paused", "已暂停", "", ""},
        {"done", 754, "3.00 MB", "3.00 MB", "", ""},
        {"error: live stream lost for 300 s (http 503)", 754, "error: live stream lost for 300 s (http 503)",
         "出错：live stream lost for 300 s (http 503)", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        TaskSnapshot snapshot = entry(1, c.status, 0, 3 << 20, {}, 1, "talk.ts");
        snapshot.live = true;
        snapshot.recorded = c.recorded;
        TaskViewModel model;
        model.update(list_document({snapshot}), 0);
        const TaskView& row = *model.find(1);
        set_language_mode(LanguageMode::English);
        if (row.state() == ViewState::Downloading)
            EXPECT_EQ(bottom_right_text(row), c.bottom);
        else
            EXPECT_EQ(compact_right_text(row), c.compact);
        set_language_mode(LanguageMode::Chinese);
        if (row.state() == ViewState::Downloading)
            EXPECT_EQ(bottom_right_text(row), c.bottom_chinese);
        else
            EXPECT_EQ(compact_right_text(row), c.compact_chinese);
    }
    set_language_mode(LanguageMode::System);
}

TEST(TextTable, BothLanguagesAndTheSwitch) {
    set_system_language_chinese(false);
    set_language_mode(LanguageMode::System);
    EXPECT_STREQ(tr_text(2), "Click “New” to add a download.");
    switch_language();
    EXPECT_EQ(language_mode(), LanguageMode::Chinese);
    EXPECT_STREQ(tr_text(2), "点击「新建」添加下载链接");
    switch_language();
    EXPECT_STREQ(tr_text(12), "New");
    set_system_language_chinese(true);
    set_language_mode(LanguageMode::System);
    EXPECT_STREQ(tr_text(0), "引擎离线");
    set_system_language_chinese(false);
    for (int i = 0; i < kTextCount; ++i) {
        EXPECT_GT(std::string(text_pair(i).chinese).size(), 0u) << i;
        EXPECT_GT(std::string(text_pair(i).english).size(), 0u) << i;
    }
    EXPECT_STREQ(text_pair(72).english,
                 "Status comes from the extension checking in every 30 seconds; with the "
                 "browser closed it reads as not connected.");
}

// Every entry has a name of its own, and a name finds the same text in both languages.
TEST(TextTable, TextsByName) {
    for (int i = 0; i < kTextCount; ++i) {
        EXPECT_NE(std::string(text_key(i)), "") << i;
        EXPECT_EQ(text_number(text_key(i)), i) << text_key(i) << " names two entries";
    }
    const struct {
        const char* key;
        const char* english;
        const char* chinese;
    } cases[] = {{"action.pause", "Pause", "暂停"},
                 {"action.retry", "Retry", "重试"},
                 {"details.started", "Started", "开始时间"},
                 {"no.such.text", "?", "?"}};
    for (const auto& c : cases) {
        set_language_mode(LanguageMode::English);
        EXPECT_STREQ(tr(c.key), c.english) << c.key;
        set_language_mode(LanguageMode::Chinese);
        EXPECT_STREQ(tr(c.key), c.chinese) << c.key;
    }
    set_language_mode(LanguageMode::System);
}

// The engine's texts stay English in documents; the Chinese interface translates them at
// display, phrase by phrase, and keeps what it has no phrase for.
TEST(DisplayStatus, TheEnginesTextsInTheLanguageInForce) {
    struct Case {
        const char* status;
        const char* chinese;
    } cases[] = {{"error: http 404", "出错：服务器返回 HTTP 404"},
                 {"error: file missing", "出错：文件已不存在"},
                 {"invalid URL", "链接无效"},
                 {"error: connect failed: 10.0.0.1", "出错：连接失败：10.0.0.1"},
                 {"error: something new", "出错：something new"},
                 {"downloading", "downloading"}};
    for (const auto& c : cases) {
        set_language_mode(LanguageMode::English);
        EXPECT_EQ(display_status(c.status), c.status);
        set_language_mode(LanguageMode::Chinese);
        EXPECT_EQ(display_status(c.status), c.chinese);
    }
    TaskView failed;
    failed.view = ViewState::Error;
    failed.status = "error: file missing";
    EXPECT_EQ(compact_right_text(failed), "出错：文件已不存在") << "the row shows it translated";
    set_language_mode(LanguageMode::System);
}

} // namespace
} // namespace twk::ui
