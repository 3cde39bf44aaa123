#include "ui/list_filter_bar.h"

#include <QAction>
#include <QActionGroup>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

#include "ui/theme.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

QString wt(WindowText text) { return QString::fromUtf8(window_text(text)); }

constexpr std::array<WindowText, 4> kChipTexts = {WindowText::ChipAll, WindowText::ChipRunning,
                                                  WindowText::ChipFinished, WindowText::ChipFailed};
constexpr std::array<WindowText, 5> kSortTexts = {WindowText::SortQueue, WindowText::SortName,
                                                  WindowText::SortSize, WindowText::SortState,
                                                  WindowText::SortAdded};

// Pills, the filter box and the sort button in the theme's colours. The colours are written
// out rather than taken with palette(): a style sheet pins the palette of the widgets it
// styles, so theirs would stay as it was when the sheet was set.
QString filter_bar_style() {
    const ThemeColors& c = theme_colors();
    auto rgba = [](const QColor& colour) {
        return QStringLiteral("rgba(%1, %2, %3, %4)")
            .arg(colour.red())
            .arg(colour.green())
            .arg(colour.blue())
            .arg(colour.alpha());
    };
    const QString base = c.dark ? QStringLiteral("#262628") : QStringLiteral("#FFFFFF");
    return QStringLiteral(
               "QToolButton#TWKChip { border: 1px solid %1; border-radius: 11px; padding: 2px 10px;"
               " background: %2; color: %3; }"
               "QToolButton#TWKChip:hover { border-color: %4; }"
               "QToolButton#TWKChip:checked { background: %4; color: white; border-color: %4; }"
               "QLineEdit#TWKFilterBox, QToolButton#TWKSortButton { background: %2; color: %3;"
               " border: 1px solid %1; border-radius: 5px; padding: 2px 6px; }"
               "QToolButton#TWKSortButton::menu-indicator { image: none; }")
        .arg(rgba(c.grey(30)), base, c.text.name(), c.accent.name());
}

// Escape empties the box before it closes anything else.
class FilterBox : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && !text().isEmpty()) {
            clear();
            event->accept();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
};

} // namespace

ListFilterBar::ListFilterBar(TaskFilterModel& filter, QWidget* parent) : QWidget(parent), m_filter(filter) {
    setObjectName(QStringLiteral("TWKFilterBar"));
    m_styled_dark = theme_colors().dark;
    setStyleSheet(filter_bar_style());
    setFixedHeight(kFilterBarHeight);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 5, 14, 6);
    row->setSpacing(6);

    m_chip_group = new QButtonGroup(this);
    m_chip_group->setExclusive(true);
    for (size_t i = 0; i < m_chips.size(); ++i) {
        auto* chip = new QToolButton(this);
        chip->setObjectName(QStringLiteral("TWKChip"));
        chip->setCheckable(true);
        chip->setAutoRaise(false);
        chip->setFocusPolicy(Qt::TabFocus);
        m_chip_group->addButton(chip, static_cast<int>(i));
        row->addWidget(chip);
        m_chips[i] = chip;
    }
    m_chips[0]->setChecked(true);
    connect(m_chip_group, &QButtonGroup::idClicked, this,
            [this](int id) { m_filter.set_chip(static_cast<ListChip>(id)); });
    row->addStretch(1);

    m_text = new FilterBox(this);
    m_text->setObjectName(QStringLiteral("TWKFilterBox"));
    m_text->setClearButtonEnabled(true);
    m_text->setMinimumWidth(200);
    m_text->setMaximumWidth(260);
    connect(m_text, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_filter.set_filter_text(text); });
    row->addWidget(m_text);
    auto* find = new QShortcut(QKeySequence::Find, this, nullptr, nullptr, Qt::WindowShortcut);
    connect(find, &QShortcut::activated, this, [this] {
        m_text->setFocus(Qt::ShortcutFocusReason);
        m_text->selectAll();
    });

    m_sort = new QToolButton(this);
    m_sort->setObjectName(QStringLiteral("TWKSortButton"));
    m_sort->setPopupMode(QToolButton::InstantPopup);
    m_sort->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_sort_menu = new QMenu(m_sort);
    auto* keys = new QActionGroup(m_sort_menu);
    for (size_t i = 0; i < m_sort_actions.size(); ++i) {
        QAction* action = m_sort_menu->addAction(QString());
        action->setCheckable(true);
        keys->addAction(action);
        m_sort_actions[i] = action;
        connect(action, &QAction::triggered, this, [this] { apply_sort(); });
    }
    m_sort_actions[0]->setChecked(true);
    m_sort_menu->addSeparator();
    m_descending = m_sort_menu->addAction(QString());
    m_descending->setCheckable(true);
    connect(m_descending, &QAction::triggered, this, [this] { apply_sort(); });
    m_sort->setMenu(m_sort_menu);
    row->addWidget(m_sort);
    retranslate();
}

// The list's background, with the toolbar's divider line at the foot.
void ListFilterBar::paintEvent(QPaintEvent*) {
    // The theme changed since the style sheet was written (the desktop's preference arrives
    // after start, or changes while the app runs): it is written again in the new colours,
    // once this paint is over.
    if (theme_colors().dark != m_styled_dark) {
        m_styled_dark = theme_colors().dark;
        QTimer::singleShot(0, this, [this] { setStyleSheet(filter_bar_style()); });
    }
    QPainter p(this);
    p.fillRect(rect(), theme_colors().background);
    p.fillRect(QRectF(0, height() - 1, width(), 1), theme_colors().divider);
}

void ListFilterBar::apply_sort() {
    SortKey key = SortKey::Queue;
    for (size_t i = 0; i < m_sort_actions.size(); ++i)
        if (m_sort_actions[i]->isChecked()) key = static_cast<SortKey>(i);
    // The queue has one direction: the order tasks start in.
    m_descending->setEnabled(key != SortKey::Queue);
    m_filter.set_sort(key, key != SortKey::Queue && m_descending->isChecked());
    retranslate();
}

void ListFilterBar::retranslate() {
    m_counts.fill(-1);
    update_counts();
    m_text->setPlaceholderText(wt(WindowText::FilterHint));
    for (size_t i = 0; i < m_sort_actions.size(); ++i)
        m_sort_actions[i]->setText(wt(kSortTexts[i]));
    m_descending->setText(wt(WindowText::SortDescending));
    m_descending->setEnabled(m_filter.sort_key() != SortKey::Queue);
    QString label = wt(WindowText::SortMenu) + QStringLiteral(": ") +
                    wt(kSortTexts[static_cast<size_t>(m_filter.sort_key())]);
    if (m_filter.descending()) label += QStringLiteral(" ↓");
    m_sort->setText(label);
}

void ListFilterBar::update_counts() {
    for (size_t i = 0; i < m_chips.size(); ++i) {
        const int count = m_filter.count(static_cast<ListChip>(i));
        if (count == m_counts[i]) continue;
        m_counts[i] = count;
        m_chips[i]->setText(wt(kChipTexts[i]) + QStringLiteral(" ") + QString::number(count));
    }
}

} // namespace twk::ui
