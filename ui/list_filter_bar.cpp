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

// Pills that take the palette's colours, so that they follow the light or dark theme.
constexpr const char* kStyle = R"(
QToolButton#TWKChip { border: 1px solid palette(mid); border-radius: 11px; padding: 2px 10px;
                      background: palette(base); color: palette(text); }
QToolButton#TWKChip:hover { border-color: palette(highlight); }
QToolButton#TWKChip:checked { background: palette(highlight); color: palette(highlighted-text);
                              border-color: palette(highlight); }
)";

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
    setStyleSheet(QString::fromLatin1(kStyle));
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
