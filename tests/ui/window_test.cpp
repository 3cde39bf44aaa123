// The main window and its rows drawn offscreen from fixed documents, checked by the colours at
// known places. Every picture is also saved under ui-shots/ in the test's folder for a person
// to look at.
#include "ui/main_window.h"
#include "ui/refresh_link_dialog.h"

#include <gtest/gtest.h>

#include <QAbstractProxyModel>
#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <cstdlib>
#include <filesystem>

#include "net/text.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/documents.h"
#include "tests/ui/offscreen_app.h"
#include "ui/app.h"
#include "ui/list_filter_bar.h"
#include "ui/palette.h"
#include "ui/row_painter.h"
#include "ui/row_text.h"
#include "ui/task_filter_model.h"
#include "ui/task_list.h"
#include "ui/task_list_model.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

// The list starts below the toolbar and the filter bar.
constexpr int kListTop = 46 + kFilterBarHeight;

using test::entry;
using test::list_document;
using test::segment;

QApplication& application() { return twk::test::offscreen_application(); }

// Colours compared channel by channel within `tolerance`.
::testing::AssertionResult near(QColor actual, QColor expected, int tolerance = 3) {
    int d = std::max({std::abs(actual.red() - expected.red()), std::abs(actual.green() - expected.green()),
                      std::abs(actual.blue() - expected.blue())});
    if (d <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actual.name().toStdString() << " is not " << expected.name().toStdString();
}

// `over` drawn on `under` at its own opacity.
QColor blend(QColor over, QColor under) {
    double a = over.alphaF();
    return QColor::fromRgbF(over.redF() * a + under.redF() * (1 - a),
                            over.greenF() * a + under.greenF() * (1 - a),
                            over.blueF() * a + under.blueF() * (1 - a));
}

QColor pixel(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(x), static_cast<int>(y));
}

// Whether some pixel of `area` is within `tolerance` of `color`.
bool has_color(const QImage& image, const QRect& area, QColor color, int tolerance) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (near(image.pixelColor(x, y), color, tolerance)) return true;
        }
    }
    return false;
}

struct FakeEngine {
    bool running = true;
    std::vector<TaskSnapshot> document = list_document({});
    // The list's revision as the stamp shows it; 0: the list moved at every look.
    uint64_t revision = 0;
    uint64_t looks = 0;
    int snapshots = 0;
    int64_t speed_limit = 0; // as the control API may change them
    int64_t at_once = 3;
    std::vector<std::string> calls;
    std::vector<int32_t> removed;
    EngineOps ops() {
        EngineOps o;
        o.running = [this] { return running; };
        o.snapshot = [this](std::vector<TaskSnapshot>& out) {
            ++snapshots;
            out = document;
            return true;
        };
        o.stamp = [this] { return ListStamp{1, revision != 0 ? revision : ++looks}; };
        o.pause = [this](int32_t id) { calls.push_back("pause " + std::to_string(id)); };
        o.resume = [this](int32_t id) { calls.push_back("resume " + std::to_string(id)); };
        o.cancel = [this](int32_t id) { calls.push_back("cancel " + std::to_string(id)); };
        o.retry = [this](int32_t id) { calls.push_back("retry " + std::to_string(id)); };
        o.finish = [this](int32_t id) { calls.push_back("finish " + std::to_string(id)); };
        o.remove = [this](const std::vector<int32_t>& ids) {
            for (int32_t id : ids) {
                calls.push_back("remove " + std::to_string(id));
                std::erase_if(document, [id](const TaskSnapshot& task) { return task.id == id; });
                removed.push_back(id);
            }
        };
        o.undo_remove = [this] {
            calls.push_back("undo");
            return !removed.empty();
        };
        o.start_now = [this](int32_t id) {
            calls.push_back("start now " + std::to_string(id));
            return true;
        };
        o.move = [this](int32_t id, QueueMove how) {
            calls.push_back((how == QueueMove::kUp ? "up " : "down ") + std::to_string(id));
            return true;
        };
        o.set_global_limit = [this](int64_t limit) {
            calls.push_back("limit " + std::to_string(limit));
            speed_limit = limit;
        };
        o.limits = [this](int64_t& limit, int64_t& at_once_now) {
            limit = speed_limit;
            at_once_now = at_once;
            return true;
        };
        // On the Refresh Link dialog's worker thread; read after the dialog has joined it.
        o.refresh_link = [this](int32_t id, const std::string& url, std::string& error) {
            calls.push_back("refresh " + std::to_string(id) + " " + url);
            error = "the new link's file is 5 bytes, the download's is 9";
            return url.find("other") == std::string::npos;
        };
        return o;
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        set_language_mode(LanguageMode::English);
        window = std::make_unique<MainWindow>(engine.ops());
        window->resize(760, 360);
        window->show(); // offscreen: size changes now reach the layout
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get())) << "shortcuts need the active window";
    }
    // A key as the keyboard sends it: shortcuts first, then the list, which has the focus.
    void key(int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(&window->list_view(), static_cast<Qt::Key>(code), modifiers);
    }
    // A click at `y` in the list (list coordinates).
    void click_list(int y, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::mouseClick(window->list_view().viewport(), Qt::LeftButton, modifiers, QPoint(300, y));
    }
    void wheel(int delta) {
        QWidget* viewport = window->list_view().viewport();
        QWheelEvent event(QPointF(300, 100), viewport->mapToGlobal(QPointF(300, 100)), QPoint(),
                          QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &event);
    }
    void TearDown() override {
        window.reset();
        set_language_mode(LanguageMode::System);
    }
    // Two ticks a second apart, so that a speed exists.
    void feed(const std::vector<TaskSnapshot>& first, const std::vector<TaskSnapshot>& second) {
        engine.document = first;
        window->tick(100);
        engine.document = second;
        window->tick(101);
    }
    FakeEngine engine;
    std::unique_ptr<MainWindow> window;
};

QImage row_image(const TaskView& task, bool selected, int width = 600) {
    QImage image(width, row_height(task.state()), QImage::Format_ARGB32_Premultiplied);
    image.fill(kBackground);
    QPainter p(&image);
    paint_row(p, task, 0, width, selected);
    return image;
}

TEST_F(WindowTest, ProgressBarFillAndSegmentGaps) {
    TaskViewModel model;
    // 600 px wide rows: the bar runs from x 16 to 584, 568 px for 1000 bytes.
    model.update(list_document({entry(1, "downloading", 1000, 250),
                                entry(2, "downloading", 1000, 750,
                                      {segment(1, 0, 500, 500, false), segment(2, 500, 750, 1000, true)}),
                                entry(3, "downloading", 0, 4096)}),
                 0);
    const double bar_y = 38 + 6;
    const double left = 16, per_byte = 568.0 / 1000;
    QImage plain = row_image(*model.find(1), false);
    twk::test::save_shot(plain, "row-plain");
    EXPECT_TRUE(near(pixel(plain, left + 100 * per_byte, bar_y), kAccent));
    EXPECT_TRUE(near(pixel(plain, left + 240 * per_byte, bar_y), kAccent));
    EXPECT_TRUE(near(pixel(plain, left + 260 * per_byte, bar_y), kTrack));
    EXPECT_TRUE(near(pixel(plain, left + 900 * per_byte, bar_y), kTrack));

    QImage segmented = row_image(*model.find(2), false);
    twk::test::save_shot(segmented, "row-segments");
    double boundary = left + 500 * per_byte; // 300
    // The first segment ends 1 px short of the boundary, the second starts 1 px after it, and
    // the separator fills the pixel between: a 2-pixel gap with a faint line in it.
    EXPECT_TRUE(near(pixel(segmented, boundary - 2, bar_y), kAccent)) << "first segment, complete";
    EXPECT_TRUE(near(pixel(segmented, boundary - 1, bar_y), kTrack)) << "the gap";
    EXPECT_TRUE(near(pixel(segmented, boundary, bar_y), blend(with_alpha(kAccent, 77), kTrack)))
        << "separator";
    EXPECT_TRUE(near(pixel(segmented, boundary + 1, bar_y), kAccent)) << "second segment";
    EXPECT_TRUE(near(pixel(segmented, left + 740 * per_byte, bar_y), kAccent));
    EXPECT_TRUE(near(pixel(segmented, left + 760 * per_byte, bar_y), kTrack))
        << "second segment's unfilled part";

    // No size yet: the track alone.
    QImage unknown = row_image(*model.find(3), false);
    EXPECT_TRUE(near(pixel(unknown, 100, bar_y), kTrack));
}

TEST_F(WindowTest, SelectionTintErrorColourAndBadges) {
    TaskViewModel model;
    model.update(list_document({entry(1, "error: HTTP 404", 0, 0, {}, 8, "report.pdf"),
                                entry(2, "done", 2048, 2048, {}, 8, "archive.tar.gz"),
                                entry(3, "downloading", 2048, 1024, {}, 8, "movie.mp4")}),
                 0);
    QImage error_row = row_image(*model.find(1), false);
    QImage selected = row_image(*model.find(2), true);
    QImage unselected = row_image(*model.find(2), false);
    QImage running = row_image(*model.find(3), false);
    twk::test::save_shot(error_row, "row-error");
    twk::test::save_shot(selected, "row-selected");
    twk::test::save_shot(running, "row-running");

    EXPECT_TRUE(has_color(error_row, QRect(440, 10, 144, 20), kError, 12))
        << "the status text in the error colour";
    // A long error keeps to its side of the row: the badge and the start of the name stay clear.
    TaskViewModel long_error;
    long_error.update(list_document({entry(1, "error: connect failed: " + std::string(200, 'x'), 0, 0, {}, 8,
                                           "report.pdf")}),
                      0);
    QImage long_row = row_image(*long_error.find(1), false);
    twk::test::save_shot(long_row, "row-long-error");
    EXPECT_FALSE(has_color(long_row, QRect(0, 0, 230, 40), kError, 40));
    EXPECT_FALSE(has_color(unselected, QRect(440, 10, 144, 20), kError, 40));
    // A blank spot in the middle of the row: background, or tinted when selected.
    EXPECT_TRUE(near(pixel(unselected, 300, 5), kBackground, 1));
    EXPECT_TRUE(near(pixel(selected, 300, 5), blend(kSelection, kBackground), 1));
    // The bottom divider.
    EXPECT_TRUE(near(pixel(unselected, 300, 39), blend(grey(6), kBackground), 2));
    // The badge pill: accent-tinted on a running row, grey on a settled one, just inside its
    // left edge on the text line.
    EXPECT_TRUE(near(pixel(running, 18, 22), blend(QColor(0x16, 0x67, 0xD9, 0x17), kBackground), 2));
    EXPECT_TRUE(near(pixel(unselected, 18, 20), blend(grey(4), kBackground), 2));
    // The done row's check mark, in the accent colour, left of the size.
    EXPECT_TRUE(has_color(unselected, QRect(480, 10, 104, 20), kAccent, 30));
}

TEST_F(WindowTest, EmptyStateAndEngineOffline) {
    window->tick(1);
    EXPECT_EQ(window->refresh_interval(), 1000) << "nothing active";
    QImage running = window->render_frame();
    twk::test::save_shot(running, "window-empty");
    EXPECT_FALSE(window->status_bar_shown());
    QRectF list = window->list_rect();
    EXPECT_EQ(list.top(), kListTop);
    EXPECT_EQ(list.bottom(), 360);
    EXPECT_TRUE(has_color(running, QRect(300, kListTop + 40, 160, 12), blend(grey(40), kBackground), 30))
        << "the empty-state text";
    EXPECT_TRUE(near(pixel(running, 380, 45), blend(kDivider, kBackground), 1))
        << "the toolbar's bottom line";

    engine.running = false;
    window->tick(2);
    window->resize(700, 300); // a layout: the status bar appears
    QImage offline = window->render_frame();
    twk::test::save_shot(offline, "window-offline");
    EXPECT_TRUE(window->status_bar_shown());
    EXPECT_TRUE(near(pixel(offline, 650, 300 - 16), kStatusBackground, 1));
    EXPECT_TRUE(near(pixel(offline, 650, 300 - 32), blend(kDivider, kStatusBackground), 1));
    EXPECT_TRUE(has_color(offline, QRect(16, 300 - 24, 100, 16), blend(grey(45), kStatusBackground), 30))
        << "\"Engine offline\"";
}

TEST_F(WindowTest, RowsToolbarAndStatusBar) {
    std::vector<TaskSnapshot> a = list_document(
        {entry(1, "downloading", 10u << 20, 1u << 20,
               {segment(1, 0, 1u << 20, 5u << 20, true), segment(2, 5u << 20, 5u << 20, 10u << 20, true)}, 8,
               "ubuntu-24.04-desktop-amd64.iso"),
         entry(2, "paused", 4u << 20, 1u << 20, {}, 8, "notes.txt"),
         entry(3, "done", 3u << 20, 3u << 20, {}, 8, "photo.jpeg")});
    std::vector<TaskSnapshot> b = list_document(
        {entry(1, "downloading", 10u << 20, 3u << 20,
               {segment(1, 0, 2u << 20, 5u << 20, true), segment(2, 5u << 20, 6u << 20, 10u << 20, true)}, 8,
               "ubuntu-24.04-desktop-amd64.iso"),
         entry(2, "paused", 4u << 20, 1u << 20, {}, 8, "notes.txt"),
         entry(3, "done", 3u << 20, 3u << 20, {}, 8, "photo.jpeg")});
    window->hide();
    feed(a, b);
    EXPECT_EQ(window->refresh_interval(), 1000) << "hidden: the slow cadence";
    window->show();
    window->tick(101.5);
    EXPECT_TRUE(window->status_bar_shown()) << "the total bar comes with the running download, no resize";
    window->resize(761, 360);
    EXPECT_EQ(window->refresh_interval(), 16);
    QImage frame = window->render_frame();
    twk::test::save_shot(frame, "window-rows");
    // Rows: 84 + 40 + 40 below the toolbar; the first is selected.
    EXPECT_TRUE(near(pixel(frame, 400, kListTop + 5), blend(kSelection, kBackground), 1));
    EXPECT_TRUE(near(pixel(frame, 400, kListTop + 84 + 5), kBackground, 1));
    EXPECT_TRUE(near(pixel(frame, 400, kListTop + 83), blend(grey(6), blend(kSelection, kBackground)), 2));
    // The status bar's total speed in the accent colour at the right.
    EXPECT_TRUE(has_color(frame, QRect(560, 360 - 24, 184, 16), kAccent, 30));

    // Pause acts on the selected downloading task; selecting the paused row flips the button.
    QRectF pause = window->button_rect(kButtonPause);
    window->press_button(kButtonPause);
    EXPECT_EQ(engine.calls.back(), "pause 1");
    window->model().select(2);
    window->tick(102);
    EXPECT_GT(window->button_rect(kButtonPause).width(), pause.width())
        << "\"Resume\" is wider than \"Pause\"";
    window->press_button(kButtonPause);
    EXPECT_EQ(engine.calls.back(), "resume 2");
    window->model().select(3);
    size_t calls = engine.calls.size();
    window->press_button(kButtonPause);
    EXPECT_EQ(engine.calls.size(), calls) << "a done task is neither paused nor resumed";

    // Delete the last row: the new last row is selected and the deleted one is gone.
    window->press_button(kButtonDelete);
    EXPECT_EQ(engine.calls.back(), "remove 3");
    EXPECT_EQ(window->model().selected(), 2);
    EXPECT_EQ(window->model().visible().size(), 2u);

    // The Settings button sits 14 px from the right edge.
    EXPECT_EQ(window->button_rect(kButtonSettings), QRectF(761 - 14 - 28, 9, 28, 28));
    EXPECT_EQ(window->button_rect(kButtonNew).left(), 10);
}

// The row menu's Refresh Link… opens a dialog for the selected download; a refused link is
// explained inside it, a taken one closes it.
TEST_F(WindowTest, RefreshLinkAsksTheEngineForTheSelectedDownload) {
    engine.document = list_document(
        {entry(1, "error: http 403", 0, 0, {}, 8, "big.iso"), entry(2, "done", 100, 100, {}, 8, "kept.bin")});
    window->tick(1);
    window->model().select(2);
    EXPECT_FALSE(window->row_menu().refresh_link);
    window->model().select(1);
    ASSERT_TRUE(window->row_menu().refresh_link);
    window->run_row_command(RowCommand::RefreshLink);
    auto* dialog = window->findChild<RefreshLinkDialog*>();
    ASSERT_NE(dialog, nullptr);
    const auto ask = [&](const char* link) {
        dialog->field()->setText(QString::fromUtf8(link));
        dialog->submit();
        return twk::test::wait_until(
            [&] {
                QApplication::processEvents();
                return !dialog->checking();
            },
            10'000);
    };
    ASSERT_TRUE(ask("https://h/other.iso"));
    EXPECT_EQ(engine.calls.back(), "refresh 1 https://h/other.iso");
    EXPECT_EQ(dialog->error_text(), QStringLiteral("the new link's file is 5 bytes, the download's is 9"));
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_TRUE(ask("https://h/big.iso?sig=2"));
    EXPECT_EQ(engine.calls.back(), "refresh 1 https://h/big.iso?sig=2");
    EXPECT_FALSE(dialog->isVisible());
}

// Each state offers what makes sense for it, from the toolbar, the menu and the keyboard.
TEST_F(WindowTest, EveryRowOffersWhatFitsItsState) {
    engine.document = list_document({entry(1, "error: http 404", 0, 0, {}, 8, "gone.iso"),
                                     entry(2, "done", 100, 100, {}, 8, "kept.bin"),
                                     entry(3, "downloading", 1000, 10, {}, 8, "big.iso")});
    window->tick(1);
    ASSERT_EQ(window->model().selected(), 1);
    EXPECT_TRUE(window->row_menu().retry);
    const double retry_width = window->button_rect(kButtonPause).width();
    window->press_button(kButtonPause);
    EXPECT_EQ(engine.calls.back(), "retry 1") << "the failed row's button retries";
    key(Qt::Key_Space);
    EXPECT_EQ(engine.calls.back(), "retry 1") << "Space does what the button does";

    key(Qt::Key_Down);
    EXPECT_EQ(window->model().selected(), 2);
    window->tick(2);
    EXPECT_NE(window->button_rect(kButtonPause).width(), retry_width) << "the label follows the row";
    EXPECT_EQ(window->model().pause_action(), PauseAction::None);
    size_t calls = engine.calls.size();
    key(Qt::Key_Space);
    EXPECT_EQ(engine.calls.size(), calls) << "nothing to pause or resume on a done row";

    // A running download is deleted only when the user agrees.
    key(Qt::Key_Down);
    EXPECT_EQ(window->model().selected(), 3);
    int asked = 0;
    bool agree = false;
    window->confirm_delete = [&](const TaskView&) {
        ++asked;
        return agree;
    };
    key(Qt::Key_Delete);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(engine.calls.size(), calls);
    agree = true;
    key(Qt::Key_Delete);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(engine.calls.back(), "remove 3");
    window->tick(3);
    EXPECT_EQ(window->model().visible().size(), 2u);

    // Done rows go without a question; Ctrl+Z brings the last removal back.
    window->model().select(2);
    key(Qt::Key_Delete);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(engine.calls.back(), "remove 2");
    engine.document = list_document({entry(1, "error: http 404", 0, 0, {}, 8, "gone.iso"),
                                     entry(2, "done", 100, 100, {}, 8, "kept.bin")});
    key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(engine.calls.back(), "undo");
    window->tick(4);
    EXPECT_EQ(window->model().visible().size(), 2u) << "the undone row shows again";
    EXPECT_EQ(window->model().selected(), 2);
}

// Several rows at once: Ctrl+A, Shift+arrows and Ctrl+click select; Space, Delete and undo act
// on all of them, with one question for the lot.
TEST_F(WindowTest, ActionsReachEverySelectedRow) {
    engine.document = list_document(
        {entry(1, "downloading", 1000, 10, {}, 8, "a.iso"), entry(2, "paused", 1000, 10, {}, 8, "b.iso"),
         entry(3, "error: http 500", 0, 0, {}, 8, "c.iso"), entry(4, "done", 100, 100, {}, 8, "d.bin")});
    window->tick(1);
    auto calls_since = [&](size_t from) {
        return std::vector<std::string>(engine.calls.begin() + static_cast<ptrdiff_t>(from),
                                        engine.calls.end());
    };
    // Paused and failed rows together: Resume goes first, and reaches only the paused one.
    window->model().select(2);
    key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(window->model().selection().size(), 2u);
    EXPECT_EQ(window->model().pause_action(), PauseAction::Resume);
    size_t from = engine.calls.size();
    key(Qt::Key_Space);
    EXPECT_EQ(calls_since(from), (std::vector<std::string>{"resume 2"}));
    // Ctrl+click adds the running row: now the button pauses.
    click_list(10, Qt::ControlModifier);
    EXPECT_EQ(window->model().selection().size(), 3u);
    EXPECT_EQ(window->model().pause_action(), PauseAction::Pause);

    key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(window->model().selection().size(), 4u);
    int asked = 0;
    window->confirm_delete = [&](const TaskView&) { return ++asked > 0; };
    from = engine.calls.size();
    key(Qt::Key_Delete);
    EXPECT_EQ(asked, 1) << "one question for the lot";
    EXPECT_EQ(calls_since(from), (std::vector<std::string>{"remove 1", "remove 2", "remove 3", "remove 4"}));
    EXPECT_TRUE(window->model().visible().empty());
    key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(window->model().visible().size(), 4u) << "all of them come back";
    EXPECT_EQ(window->model().selection().size(), 4u);
    QImage frame = window->render_frame();
    twk::test::save_shot(frame, "window-multi-selection");
    EXPECT_TRUE(near(pixel(frame, 400, kListTop + 84 + 5), blend(kSelection, kBackground), 1));
}

// A live recording's row shows that it records, with its gaps, the media time and the bytes it
// holds instead of a percentage, and
// Stop Recording (in the row menu) is there only while a selected row records; it ends those rows'
// recordings, not the other selected downloads.
TEST_F(WindowTest, ARecordingRowShowsItsMediaTimeAndStopsWhenAsked) {
    TaskSnapshot live = entry(1, "recording, 1 gap of 12 s", 0, 3 << 20, {}, 1, "talk.ts");
    live.live = true;
    live.recorded = 754;
    TaskSnapshot paused_live = entry(3, "paused", 0, 1 << 20, {}, 1, "older.ts");
    paused_live.live = true;
    feed(list_document({live, entry(2, "downloading", 1000, 10, {}, 8, "a.iso"), paused_live}),
         list_document({live, entry(2, "downloading", 1000, 20, {}, 8, "a.iso"), paused_live}));
    const TaskView* row = window->model().find(1);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(bottom_right_text(*row), "recording, 1 gap of 12 s · 12m 34s");
    EXPECT_EQ(bottom_left_text(*row), "3.00 MB · 0/1 threads");
    set_language_mode(LanguageMode::Chinese);
    EXPECT_EQ(bottom_right_text(*row), "录制中，1 处缺口，共 12 秒 · 12 分 34 秒");
    set_language_mode(LanguageMode::English);

    window->model().select(2);
    window->tick(102);
    EXPECT_FALSE(window->actions().stop->isEnabled()) << "a plain download";
    window->model().select(3);
    window->tick(103);
    EXPECT_FALSE(window->actions().stop->isEnabled()) << "a paused recording";
    window->model().set_selection({1, 2, 3}, 1);
    window->tick(104);
    ASSERT_TRUE(window->actions().stop->isEnabled());
    const size_t from = engine.calls.size();
    window->actions().stop->trigger();
    EXPECT_EQ(
        std::vector<std::string>(engine.calls.begin() + static_cast<ptrdiff_t>(from), engine.calls.end()),
        (std::vector<std::string>{"finish 1"}));
    window->model().select(1);
    window->tick(105);
    twk::test::save_shot(window->render_frame(), "window-recording");
}

// "Delete file too" puts a done task's file into the desktop's trash, never unlinks it, and
// undo brings it back to its place.
TEST_F(WindowTest, DeleteFileTooUsesTheTrashAndUndoBringsTheFileBack) {
    twk::test::TempDir home;
    ::setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
    std::filesystem::create_directories(home.file("dl"));
    std::filesystem::create_directories(home.file("data"));
    twk::test::write_file(home.file("dl/kept.bin"), "the user's data");
    window->set_download_folder(home.file("dl"));
    engine.document = list_document({entry(1, "done", 15, 15, {}, 8, "kept.bin")});
    window->tick(1);
    ASSERT_TRUE(window->row_menu().delete_file_too);
    window->run_row_command(RowCommand::DeleteFileToo);
    EXPECT_EQ(engine.calls.back(), "remove 1");
    EXPECT_FALSE(twk::test::file_exists(home.file("dl/kept.bin")));
    EXPECT_EQ(twk::test::read_file(home.file("data/Trash/files/kept.bin")), "the user's data")
        << "in the trash";
    engine.document = list_document({entry(1, "done", 15, 15, {}, 8, "kept.bin")});
    ASSERT_TRUE(window->undo_delete());
    EXPECT_EQ(twk::test::read_file(home.file("dl/kept.bin")), "the user's data");
    ::unsetenv("XDG_DATA_HOME");
}

TEST_F(WindowTest, TheTotalBarFollowsTheRunningCountAndNewRowsComeIntoView) {
    std::vector<TaskSnapshot> rows;
    for (int i = 1; i <= 12; ++i)
        rows.push_back(entry(i, "done", 100, 100, {}, 8, "f" + std::to_string(i) + ".bin"));
    engine.document = rows;
    window->tick(1);
    EXPECT_FALSE(window->status_bar_shown());
    EXPECT_EQ(window->scroll_offset(), 0);
    // A new download lands below the fold: it is selected and scrolled to, and the total bar
    // comes once bytes flow.
    rows.push_back(entry(13, "downloading", 10u << 20, 1u << 20, {}, 8, "new.iso"));
    engine.document = rows;
    window->tick(2);
    EXPECT_EQ(window->model().selected(), 13);
    const int bottom = 12 * kCompactRowHeight + kTallRowHeight;
    EXPECT_GE(window->scroll_offset() + window->list_rect().height(), bottom);
    rows.back() = entry(13, "downloading", 10u << 20, 3u << 20, {}, 8, "new.iso");
    engine.document = rows;
    window->tick(3);
    EXPECT_TRUE(window->status_bar_shown());
    // The download ends: the bar leaves no empty strip behind.
    rows.back() = entry(13, "done", 10u << 20, 10u << 20, {}, 8, "new.iso");
    engine.document = rows;
    window->tick(4);
    EXPECT_FALSE(window->status_bar_shown());
    EXPECT_EQ(window->list_rect().bottom(), 360);
}

TEST_F(WindowTest, AStillListIsNotReadAgainWhileARunningRowKeepsMoving) {
    std::vector<TaskSnapshot> rows;
    for (int i = 1; i <= 5; ++i)
        rows.push_back(entry(i, "done", 100, 100, {}, 8, "f" + std::to_string(i) + ".bin"));
    engine.document = rows;
    engine.revision = 10;
    window->tick(1);
    // The tasks of the rows repainted: by a dataChanged (one id per row of its range) or, when only
    // their progress moved, by the list model's progress_changed.
    std::vector<int> repainted;
    QAbstractItemModel* shown = window->list_view().model();
    QObject::connect(
        shown, &QAbstractItemModel::dataChanged, [&](const QModelIndex& first, const QModelIndex& last) {
            for (int row = first.row(); row <= last.row(); ++row)
                repainted.push_back(shown->index(row, 0).data(TaskListModel::TaskIdRole).toInt());
        });
    auto* source = qobject_cast<TaskListModel*>(qobject_cast<QAbstractProxyModel*>(shown)->sourceModel());
    ASSERT_NE(source, nullptr);
    QObject::connect(source, &TaskListModel::progress_changed, [&](int row) {
        repainted.push_back(source->index(row, 0).data(TaskListModel::TaskIdRole).toInt());
    });
    const int taken = engine.snapshots;
    window->tick(2);
    window->tick(3);
    EXPECT_EQ(engine.snapshots, taken) << "the revision stood still";
    EXPECT_TRUE(repainted.empty());
    EXPECT_EQ(window->refresh_interval(), 1000);

    // A download starts: it is read in, and between two revisions its speed and time left
    // still move while the finished rows are left alone.
    const auto running = [&](uint64_t done) {
        rows.resize(5);
        rows.push_back(entry(6, "downloading", 100u << 20, done, {segment(1, 0, done, 100u << 20, true)}, 1));
        engine.document = rows;
        ++engine.revision;
    };
    running(1u << 20);
    window->tick(4);
    running(9u << 20);
    window->tick(5);
    EXPECT_EQ(engine.snapshots, taken + 2);
    const double speed = window->model().find(6)->displayed_speed();
    EXPECT_GT(speed, 0);
    repainted.clear();
    window->tick(5.5);
    window->tick(6);
    EXPECT_EQ(engine.snapshots, taken + 2);
    EXPECT_LT(window->model().find(6)->displayed_speed(), speed) << "no bytes came: the speed falls";
    ASSERT_FALSE(repainted.empty());
    for (int id : repainted)
        EXPECT_EQ(id, 6);

    // It ends: the next revision shows it finished, and the list goes quiet again.
    rows.back() = entry(6, "done", 100u << 20, 100u << 20, {}, 1);
    engine.document = rows;
    ++engine.revision;
    window->tick(7);
    EXPECT_EQ(window->model().find(6)->state(), ViewState::Done);
    EXPECT_FALSE(window->status_bar_shown());
    const int ended = engine.snapshots;
    repainted.clear();
    window->tick(8);
    EXPECT_EQ(engine.snapshots, ended);
    EXPECT_TRUE(repainted.empty());
}

TEST_F(WindowTest, ErrorsReadInFullInTheTooltipAndDetails) {
    TaskViewModel model;
    const std::string reason = "error: connect failed: " + std::string(150, 'h') + ".example";
    std::vector<TaskSnapshot> rows = list_document({entry(1, reason, 0, 0, {}, 4, "report.pdf")});
    rows[0].url = "http://h.example/report.pdf";
    rows[0].failure = FailureCategory::kConnect;
    rows[0].added_ms = 1'765'400'000'000;
    model.update(rows, 0);
    const TaskView& task = *model.find(1);
    QString tip = row_tooltip(task);
    EXPECT_TRUE(tip.contains(QString::fromStdString(reason))) << "not cut";
    EXPECT_TRUE(tip.contains(QStringLiteral("http://h.example/report.pdf")));
    QString details = details_text(task, "/data/dl");
    for (const char* part : {"Status: error: connect failed: hhh", "Link: http://h.example/report.pdf",
                             "Folder: /data/dl", "Connections: 4", "Failure: connecting to the server"})
        EXPECT_TRUE(details.contains(QString::fromUtf8(part))) << part << "\n" << details.toStdString();
    // When it was added, in local time (a December 2025 day whatever the zone).
    EXPECT_TRUE(details.contains(QRegularExpression(QStringLiteral("Started: 2025-12-1[01] \\d\\d:\\d\\d"))))
        << details.toStdString();
    set_language_mode(LanguageMode::Chinese);
    details = details_text(task, "/data/dl");
    EXPECT_TRUE(details.contains(QStringLiteral("状态: 出错：连接失败：hhh"))) << details.toStdString();
    EXPECT_TRUE(details.contains(QStringLiteral("失败类别: 连接服务器"))) << details.toStdString();
}

TEST_F(WindowTest, ChineseTextsRender) {
    set_language_mode(LanguageMode::Chinese);
    window->switch_language_now(); // to English
    EXPECT_FALSE(language_is_chinese());
    window->switch_language_now();
    EXPECT_TRUE(language_is_chinese());
    EXPECT_EQ(window->windowTitle().toStdString(), "Tarnwick — v" TWK_VERSION " · 技术预览版");
    feed(list_document({entry(1, "downloading", 10u << 20, 1u << 20, {}, 8, "报告.pdf"),
                        entry(2, "paused", 0, 5, {}, 8, "归档.zip")}),
         list_document({entry(1, "downloading", 10u << 20, 2u << 20, {}, 8, "报告.pdf"),
                        entry(2, "paused", 0, 5, {}, 8, "归档.zip")}));
    window->resize(760, 361);
    QImage frame = window->render_frame();
    twk::test::save_shot(frame, "window-chinese");
    // Something dark where the toolbar's first label is: the CJK font renders.
    EXPECT_TRUE(has_color(frame, window->button_rect(kButtonNew).adjusted(31, 4, 0, -4).toRect(),
                          blend(grey(80), kBackground), 40));
}

TEST_F(WindowTest, WheelScrollsAndClicksSelect) {
    std::vector<TaskSnapshot> entries;
    for (int i = 1; i <= 20; ++i)
        entries.push_back(entry(i, "done", 100, 100, {}, 8, "f" + std::to_string(i) + ".bin"));
    engine.document = list_document(entries);
    window->tick(1);
    wheel(-240);
    EXPECT_EQ(window->scroll_offset(), 96);
    // A click at list y 10 is row (96 + 10) / 40 = 2, task 3.
    click_list(10);
    EXPECT_EQ(window->model().selected(), 3);
    wheel(1200);
    EXPECT_EQ(window->scroll_offset(), 0);
    // Scrolled past the end, the offset is held at the content's end when painted.
    for (int i = 0; i < 10; ++i)
        wheel(-1200);
    window->render_frame();
    EXPECT_EQ(window->scroll_offset(), 20 * 40 - (360 - kListTop));
    window->hide();
}

TEST_F(WindowTest, BannerQueuesAnUpdateBehindAPrompt) {
    window->show_diagnostic_banner(true);
    EXPECT_EQ(window->banner_mode(), BannerMode::CrashPrompt);
    window->show_update_banner("1.2.3\nhttps://x/setup.run\nabc");
    EXPECT_EQ(window->banner_mode(), BannerMode::CrashPrompt);
    window->show_diagnostic_banner(false);
    EXPECT_EQ(window->banner_mode(), BannerMode::CrashPrompt) << "a second prompt never shows";
    EXPECT_EQ(window->list_rect().top(), kListTop + 36);
    QImage frame = window->render_frame();
    twk::test::save_shot(frame, "window-banner");
    EXPECT_TRUE(near(pixel(frame, 400, 46 + 4), kBannerBackground, 1));
    window->close_banner();
    EXPECT_EQ(window->banner_mode(), BannerMode::Update) << "the queued update follows";
    window->close_banner();
    EXPECT_EQ(window->banner_mode(), BannerMode::None);
    EXPECT_EQ(window->list_rect().top(), kListTop);
}

TEST_F(WindowTest, ExactlyOneScreenshot) {
    twk::test::TempDir dir;
    std::string path = dir.file("shot.png");
    QApplication::processEvents(); // the window is exposed
    window->request_screenshot(QString::fromStdString(path), monotonic_ms() + 60000);
    window->tick(1);
    EXPECT_FALSE(twk::test::file_exists(path)) << "not before its time";
    window->request_screenshot(QString::fromStdString(path), monotonic_ms());
    EXPECT_EQ(window->refresh_interval(), 16) << "a pending screenshot keeps the fast cadence";
    window->tick(2);
    ASSERT_TRUE(twk::test::file_exists(path));
    EXPECT_EQ(QImage(QString::fromStdString(path)).size(), window->size() * window->devicePixelRatioF());
    std::filesystem::remove(path);
    window->tick(3);
    EXPECT_FALSE(twk::test::file_exists(path));
    EXPECT_FALSE(window->screenshot_pending());
}

TEST(ShotRequest, FromTheEnvironment) {
    struct Case {
        const char* shot;
        const char* delay;
        int64_t delay_ms;
    } cases[] = {{"/tmp/a.png", nullptr, 8000}, {"/tmp/a.png", "0", 0},   {"/tmp/a.png", "1500ms", 1500},
                 {"/tmp/a.png", "abc", 0},      {"/tmp/a.png", "", 8000}, {nullptr, "10", 10}};
    for (const auto& c : cases) {
        if (c.shot)
            ::setenv("TWK_SHOT", c.shot, 1);
        else
            ::unsetenv("TWK_SHOT");
        if (c.delay)
            ::setenv("TWK_SHOT_MS", c.delay, 1);
        else
            ::unsetenv("TWK_SHOT_MS");
        ShotRequest shot = shot_request_from_env();
        EXPECT_EQ(shot.path.toStdString(), c.shot ? c.shot : "");
        EXPECT_EQ(shot.delay_ms, c.delay_ms) << (c.delay ? c.delay : "(unset)");
    }
    ::unsetenv("TWK_SHOT");
    ::unsetenv("TWK_SHOT_MS");
}

TEST(KeptLanguage, TheSwitchIsKeptAndPutInForceAtTheNextStart) {
    application();
    twk::test::TempDir home;
    SettingsContext context;
    context.paths = {home.file("config"), home.file("data")};
    app::SettingsStore store(context.paths);
    set_language_mode(LanguageMode::English);
    apply_stored_language(store);
    EXPECT_EQ(language_mode(), LanguageMode::English) << "nothing kept: left as it is";
    {
        MainWindow window(EngineOps{});
        window.set_settings_context(context);
        window.switch_language_now();
    }
    EXPECT_EQ(store.read_string("Language", ""), "zh");
    set_language_mode(LanguageMode::System);
    apply_stored_language(store);
    EXPECT_EQ(language_mode(), LanguageMode::Chinese);
    set_language_mode(LanguageMode::System);
}

TEST(OutputPath, FromTheTaskName) {
    application();
    MainWindow window(EngineOps{});
    window.set_download_folder("/data/dl//");
    EXPECT_EQ(window.output_path("a.iso"), "/data/dl/a.iso");
    for (const char* bad : {"", "-", "—", "a/b", "..\\x"})
        EXPECT_EQ(window.output_path(bad), "") << bad;
}

TEST_F(WindowTest, QueueActionsActOnlyOnQueuedRows) {
    engine.document =
        list_document({entry(1, "downloading", 100, 10), entry(2, "queued", 0, 0), entry(3, "queued", 0, 0),
                       entry(4, "paused", 100, 5), entry(5, "done", 1, 1)});
    window->tick(1);
    WindowActions& actions = window->actions();
    struct Case {
        std::vector<int32_t> selection;
        bool enabled;
    } cases[] = {{{1}, false}, {{4}, false}, {{5}, false}, {{2}, true}, {{1, 3}, true}};
    for (const auto& c : cases) {
        window->model().set_selection(c.selection, c.selection.front());
        window->tick(2);
        for (QAction* action : {actions.start_now, actions.move_up, actions.move_down})
            EXPECT_EQ(action->isEnabled(), c.enabled)
                << c.selection.front() << " " << action->text().toStdString();
    }

    // The keys; only the queued rows of the selection are acted on, a block keeps its order.
    window->model().set_selection({1, 2, 3}, 2);
    window->tick(3);
    engine.calls.clear();
    key(Qt::Key_Up, Qt::ControlModifier);
    key(Qt::Key_Down, Qt::ControlModifier);
    key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(engine.calls,
              (std::vector<std::string>{"up 2", "up 3", "down 3", "down 2", "start now 2", "start now 3"}));
    EXPECT_EQ(actions.start_now->text(), QStringLiteral("Start now"));
    EXPECT_EQ(actions.move_up->text(), QStringLiteral("Move up"));
}

TEST_F(WindowTest, TheStatusBarSwitchesTheSpeedLimit) {
    twk::test::TempDir home;
    SettingsContext context;
    context.paths = {home.file("config"), home.file("data")};
    context.settings.speed_limit_kib = 2048;
    std::vector<bool> saved;
    context.saved = [&](const app::Settings& s) { saved.push_back(s.speed_limit_on); };
    window->set_settings_context(context);
    feed(list_document({entry(1, "downloading", 100 << 20, 1 << 20)}),
         list_document({entry(1, "downloading", 100 << 20, 3 << 20)}));
    QToolButton* button = window->speed_limit_button();
    ASSERT_TRUE(button->isVisible());
    EXPECT_EQ(button->text(), QStringLiteral("No limit"));

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), QStringLiteral("Limit 2.0 MB/s"));
    EXPECT_TRUE(button->isChecked());
    EXPECT_EQ(engine.calls.back(), "limit 2097152");
    app::SettingsStore store(context.paths);
    EXPECT_EQ(store.read_dword("SpeedLimitOn", 0), 1) << "kept for the next start";
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(engine.calls.back(), "limit 0");
    EXPECT_EQ(store.read_dword("SpeedLimitOn", 1), 0);
    EXPECT_EQ(saved, (std::vector<bool>{true, false}));
}

// Limits changed through the control API become the app's: kept, shown on the toggle, and
// what the next Settings save and toggle start from.
TEST_F(WindowTest, LimitsSetFromOutsideAreKeptAndShown) {
    twk::test::TempDir home;
    SettingsContext context;
    context.paths = {home.file("config"), home.file("data")};
    std::vector<app::Settings> adopted;
    int saved = 0;
    context.saved = [&](const app::Settings&) { ++saved; };
    context.adopted = [&](const app::Settings& s) { adopted.push_back(s); };
    window->set_settings_context(context);
    window->tick(1);
    EXPECT_TRUE(adopted.empty()) << "the engine holds what the settings say";

    engine.speed_limit = 5 << 20;
    engine.at_once = 7;
    window->tick(2);
    ASSERT_EQ(adopted.size(), 1u);
    EXPECT_TRUE(adopted[0].speed_limit_on);
    EXPECT_EQ(adopted[0].speed_limit_kib, 5 * 1024);
    EXPECT_EQ(adopted[0].downloads_at_once, 7);
    app::SettingsStore store(context.paths);
    EXPECT_EQ(store.read_dword("SpeedLimitOn", 0), 1);
    EXPECT_EQ(store.read_dword("SpeedLimitKiB", 0), 5 * 1024);
    EXPECT_EQ(store.read_dword("DownloadsAtOnce", 0), 7);
    QToolButton* button = window->speed_limit_button();
    EXPECT_TRUE(button->isChecked());
    EXPECT_EQ(button->text(), QStringLiteral("Limit 5.0 MB/s"));
    window->tick(3);
    EXPECT_EQ(adopted.size(), 1u) << "taken once";
    EXPECT_TRUE(engine.calls.empty()) << "the engine is not told what it has";

    // The toggle turns off the limit the API set, and the app's own change is not taken back.
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(engine.calls.back(), "limit 0");
    EXPECT_EQ(saved, 1);
    window->tick(4);
    EXPECT_EQ(adopted.size(), 1u);
    // Off from outside: the value stays for the toggle to bring back. An odd byte count is
    // kept at the nearest KiB/s.
    engine.speed_limit = 1500;
    window->tick(5);
    engine.speed_limit = 0;
    window->tick(6);
    ASSERT_EQ(adopted.size(), 3u);
    EXPECT_EQ(adopted[1].speed_limit_kib, 1);
    EXPECT_FALSE(adopted[2].speed_limit_on);
    EXPECT_EQ(adopted[2].speed_limit_kib, 1);
    EXPECT_EQ(button->text(), QStringLiteral("No limit"));
    EXPECT_EQ(store.read_dword("SpeedLimitOn", 1), 0);
}

TEST_F(WindowTest, ChipsAndFilterTextNarrowTheListAndTheActions) {
    engine.document = list_document({entry(1, "downloading", 100, 10, {}, 8, "alpha.iso"),
                                     entry(2, "done", 5, 5, {}, 8, "beta.zip"),
                                     entry(3, "error: HTTP 404", 0, 0, {}, 8, "gamma.iso")});
    window->tick(1);
    ListFilterBar& bar = window->filter_bar();
    auto shown = [&] {
        std::vector<int> ids;
        for (int row = 0; row < window->list_filter().rowCount(); ++row)
            ids.push_back(window->list_filter().index(row, 0).data(kTaskIdRole).toInt());
        return ids;
    };
    EXPECT_EQ(bar.chip(ListChip::Running)->text(), QStringLiteral("Running 1"));
    EXPECT_EQ(bar.chip(ListChip::All)->text(), QStringLiteral("All 3"));

    QTest::mouseClick(bar.chip(ListChip::Finished), Qt::LeftButton);
    EXPECT_EQ(shown(), (std::vector<int>{2}));
    // Only what is shown is selected: Delete cannot reach a row the filter hides.
    window->model().set_selection({1, 2}, 1);
    window->tick(2);
    window->confirm_delete = [](const TaskView&) { return true; };
    window->delete_selected();
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"remove 2"}));

    QTest::mouseClick(bar.chip(ListChip::All), Qt::LeftButton);
    QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(bar.text_box()->hasFocus());
    QTest::keyClicks(bar.text_box(), "ISO");
    EXPECT_EQ(shown(), (std::vector<int>{1, 3}));
    QTest::keyClicks(bar.text_box(), " none");
    window->tick(3);
    EXPECT_EQ(shown(), std::vector<int>{});
    twk::test::save_shot(window->render_frame(), "window-filter-empty");
    QTest::keyClick(bar.text_box(), Qt::Key_Escape);
    EXPECT_EQ(bar.text_box()->text(), QString());
    EXPECT_EQ(shown(), (std::vector<int>{1, 3}));

    // The sort menu: name, backwards.
    bar.sort_action(SortKey::Name)->trigger();
    bar.descending_action()->trigger();
    EXPECT_EQ(shown(), (std::vector<int>{3, 1}));
    EXPECT_EQ(bar.sort_button()->text(), QStringLiteral("Sort: Name ↓"));
}

} // namespace
} // namespace twk::ui
