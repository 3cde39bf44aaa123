// The list's sort and filter, over a plain item model that answers the task roles; the tray
// icon's progress bar; the duplicate warning's buttons. Offscreen.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStandardItemModel>
#include <QToolButton>

#include <cstdlib>

#include "core/task_snapshot.h"
#include "tests/ui/offscreen_app.h"
#include "ui/duplicate_prompt.h"
#include "ui/list_filter_bar.h"
#include "ui/palette.h"
#include "ui/task_filter_model.h"
#include "ui/text_table.h"
#include "ui/theme.h"
#include "ui/tray_icon.h"

namespace twk::ui {
namespace {

QApplication& application() { return test::offscreen_application(); }

struct Row {
    int id;
    const char* name;
    const char* url;
    qulonglong size;
    TaskState state;
    const char* status = "";
};

void append(QStandardItemModel& model, const Row& row) {
    auto* item = new QStandardItem(QString::fromUtf8(row.name));
    item->setData(row.id, kTaskIdRole);
    item->setData(QString::fromUtf8(row.name), kTaskNameRole);
    item->setData(QString::fromUtf8(row.url), kTaskUrlRole);
    item->setData(row.size, kTaskSizeRole);
    item->setData(static_cast<int>(row.state), kTaskStateRole);
    item->setData(QString::fromUtf8(row.status), kTaskStatusRole);
    model.appendRow(item);
}

// The ids the proxy shows, top to bottom.
std::vector<int> shown(const TaskFilterModel& proxy) {
    std::vector<int> ids;
    for (int row = 0; row < proxy.rowCount(); ++row)
        ids.push_back(proxy.index(row, 0).data(kTaskIdRole).toInt());
    return ids;
}

class ListFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        // The queue's order is not the ids' order: task 6 was moved up.
        const Row rows[] = {
            {3, "Movie part 10.mkv", "https://video.example/p10", 700, kRunning, "downloading"},
            {6, "movie part 2.mkv", "https://video.example/p2", 0, kQueued},
            {1, "report.pdf", "https://docs.example/q3/report.pdf", 40, kDone},
            {4, "setup.exe", "https://dl.example/setup.exe", 900, twk::kError, "error: HTTP 404"},
            {2, "song.flac", "https://music.example/song.flac", 40, kPaused},
            {5, "probe.bin", "https://dl.example/probe", 0, kRunning, "probing"},
        };
        for (const Row& row : rows)
            append(source, row);
        proxy.setSourceModel(&source);
    }
    QStandardItemModel source;
    TaskFilterModel proxy;
};

TEST_F(ListFilterTest, ChipsSplitTheListAndTextNarrowsIt) {
    struct Case {
        ListChip chip;
        const char* text;
        std::vector<int> ids;
    } cases[] = {
        {ListChip::All, "", {3, 6, 1, 4, 2, 5}},
        {ListChip::Running, "", {3, 6, 2, 5}}, // paused counts as not yet finished
        {ListChip::Finished, "", {1}},
        {ListChip::Failed, "", {4}},
        {ListChip::All, "MOVIE", {3, 6}},         // any case
        {ListChip::All, "  part   mkv 1 ", {3}},  // every word, blanks around them ignored
        {ListChip::All, "docs.example", {1}},     // the link counts too
        {ListChip::Running, "example setup", {}}, // the failed one is not running
        {ListChip::Failed, "dl.example", {4}},
    };
    for (const auto& c : cases) {
        proxy.set_chip(c.chip);
        proxy.set_filter_text(QString::fromUtf8(c.text));
        EXPECT_EQ(shown(proxy), c.ids) << static_cast<int>(c.chip) << " '" << c.text << "'";
    }
    EXPECT_EQ(proxy.count(ListChip::All), 6);
    EXPECT_EQ(proxy.count(ListChip::Running), 4);
    EXPECT_EQ(proxy.count(ListChip::Finished), 1);
    EXPECT_EQ(proxy.count(ListChip::Failed), 1);

    // A row that changes state leaves the chip at once.
    proxy.set_filter_text({});
    proxy.set_chip(ListChip::Running);
    source.item(0)->setData(static_cast<int>(kDone), kTaskStateRole);
    EXPECT_EQ(shown(proxy), (std::vector<int>{6, 2, 5}));
}

TEST_F(ListFilterTest, SortsByEachKeyBothWaysAndBackToTheQueue) {
    struct Case {
        SortKey key;
        bool descending;
        std::vector<int> ids;
    } cases[] = {
        {SortKey::Name, false, {6, 3, 5, 1, 4, 2}}, // natural order: part 2 before part 10
        {SortKey::Name, true, {2, 4, 1, 5, 3, 6}},
        {SortKey::Size, false, {6, 5, 1, 2, 3, 4}}, // ties (0, 40) keep the queue's order
        {SortKey::Size, true, {4, 3, 1, 2, 6, 5}},
        {SortKey::State, false, {3, 5, 6, 2, 4, 1}},
        {SortKey::Added, false, {1, 2, 3, 4, 5, 6}},
        {SortKey::Added, true, {6, 5, 4, 3, 2, 1}},
        {SortKey::Queue, false, {3, 6, 1, 4, 2, 5}},
    };
    for (const auto& c : cases) {
        proxy.set_sort(c.key, c.descending);
        EXPECT_EQ(shown(proxy), c.ids) << static_cast<int>(c.key) << " " << c.descending;
    }

    // Sorted and filtered together, and kept sorted as the rows change.
    proxy.set_sort(SortKey::Size, true);
    proxy.set_chip(ListChip::Running);
    EXPECT_EQ(shown(proxy), (std::vector<int>{3, 2, 6, 5}));
    source.item(1)->setData(qulonglong(5000), kTaskSizeRole); // task 6 learns its size
    EXPECT_EQ(shown(proxy), (std::vector<int>{6, 3, 2, 5}));
    append(source, {7, "new.iso", "https://dl.example/new.iso", 100, kQueued});
    EXPECT_EQ(shown(proxy), (std::vector<int>{6, 3, 7, 2, 5}));
}

// Pixels near `color` in `area`.
int count_near(const QImage& image, const QRect& area, const QColor& color) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            QColor p = image.pixelColor(x, y);
            n += std::abs(p.red() - color.red()) < 12 && std::abs(p.green() - color.green()) < 12 &&
                 std::abs(p.blue() - color.blue()) < 12 && p.alpha() > 200;
        }
    return n;
}

// The desktop's dark preference usually arrives after the window is made: the chips, the
// filter box and the sort button then turn dark with the bar, not only its background.
TEST_F(ListFilterTest, TheBarFollowsAThemeThatChangesAfterStart) {
    apply_theme(false);
    ListFilterBar bar(proxy);
    bar.resize(760, 34);
    bar.show();
    auto chip_fill = [&] {
        bar.grab(); // a paint notices the theme; the new style sheet follows it
        QApplication::processEvents();
        const QImage image = bar.grab().toImage();
        const QRect chip = bar.chip(ListChip::Failed)->geometry();
        return image.pixelColor(chip.left() + 6, chip.center().y() - 6).lightness();
    };
    EXPECT_GT(chip_fill(), 200);
    apply_theme(true);
    EXPECT_LT(chip_fill(), 80);
    apply_theme(false);
    EXPECT_GT(chip_fill(), 200);
}

TEST(TrayIconImage, TheBarFillsAsFarAsTheDownloadsGot) {
    application();
    QPixmap base(64, 64);
    base.fill(Qt::white);
    QIcon icon(base);
    const QColor fill = kAccent.lighter(125);
    QImage plain = tray_icon_image(icon, -1, 64);
    EXPECT_EQ(count_near(plain, plain.rect(), fill), 0);

    QImage quarter = tray_icon_image(icon, 0.25, 64);
    QImage full = tray_icon_image(icon, 1, 64);
    const QRect left(0, 48, 16, 16), right(48, 48, 16, 16), top(0, 0, 64, 40);
    EXPECT_GT(count_near(quarter, left, fill), 20);
    EXPECT_EQ(count_near(quarter, right, fill), 0);
    EXPECT_GT(count_near(full, right, fill), 20);
    // The picture above the bar is the icon's own.
    EXPECT_EQ(count_near(full, top, Qt::white), 64 * 40);
    EXPECT_EQ(tray_icon_image(icon, 7, 64), full) << "progress beyond the end is the full bar";
}

TEST(DuplicatePrompt, AButtonPerOfferTheFirstOneTheDefault) {
    application();
    using O = app::DuplicateOffer;
    app::DuplicateFinding file;
    file.kind = app::DuplicateKind::FileExists;
    file.path = "/dl/a.zip";
    file.offers = {O::Resume, O::DownloadAgain, O::OpenExisting};
    app::DuplicateFinding task;
    task.kind = app::DuplicateKind::SameUrl;
    task.offers = {O::OpenExisting, O::DownloadAgain};
    struct Case {
        LanguageMode language;
        const app::DuplicateFinding& finding;
        const char* text;
        QStringList buttons;
    } cases[] = {
        {LanguageMode::English,
         file,
         "The file already exists: /dl/a.zip",
         {"Resume", "Download again", "Open existing", "Cancel"}},
        {LanguageMode::English,
         task,
         "This link is already in the list: a.zip",
         {"Open existing", "Download again", "Cancel"}},
        {LanguageMode::Chinese, file, "文件已存在：/dl/a.zip", {"继续下载", "重新下载", "打开已有", "取消"}},
    };
    for (const auto& c : cases) {
        set_language_mode(c.language);
        DuplicatePrompt prompt(c.finding, QStringLiteral("a.zip"), nullptr);
        EXPECT_EQ(prompt.text(), QString::fromUtf8(c.text));
        QStringList texts;
        for (QAbstractButton* button : prompt.buttons())
            texts << button->text();
        for (const QString& wanted : c.buttons)
            EXPECT_TRUE(texts.contains(wanted)) << wanted.toStdString();
        EXPECT_EQ(texts.size(), c.buttons.size());
        EXPECT_EQ(static_cast<QAbstractButton*>(prompt.defaultButton()),
                  prompt.button_for(c.finding.offers.front()));
    }
    set_language_mode(LanguageMode::English);

    // The button pressed is the answer; Cancel (or Escape) is none.
    for (O offer : file.offers) {
        DuplicatePrompt prompt(file, QStringLiteral("a.zip"), nullptr);
        prompt.button_for(offer)->click();
        EXPECT_EQ(prompt.chosen(), offer);
    }
    DuplicatePrompt prompt(file, QStringLiteral("a.zip"), nullptr);
    prompt.escapeButton()->click();
    EXPECT_EQ(prompt.chosen(), std::nullopt);
    set_language_mode(LanguageMode::System);
}

} // namespace
} // namespace twk::ui
