// The bar above the task list: filter chips (All, Running, Finished, Failed, each with its count),
// a filter box (Ctrl+F; Escape clears it) and a sort button whose menu picks the order and its
// direction. It sets the list's TaskFilterModel and reads nothing else.
#pragma once

#include <QWidget>

#include <array>

#include "ui/task_filter_model.h"

class QAction;
class QButtonGroup;
class QLineEdit;
class QMenu;
class QToolButton;

namespace twk::ui {

inline constexpr int kFilterBarHeight = 36;

class ListFilterBar : public QWidget {
    Q_OBJECT
public:
    ListFilterBar(TaskFilterModel& filter, QWidget* parent = nullptr);

    void retranslate();
    // The chips' counts, after the rows changed.
    void update_counts();

    QLineEdit* text_box() const { return m_text; }
    QToolButton* chip(ListChip chip) const { return m_chips[static_cast<size_t>(chip)]; }
    QToolButton* sort_button() const { return m_sort; }
    QMenu* sort_menu() const { return m_sort_menu; }
    // The sort menu's entry for `key`, and its "Descending" entry.
    QAction* sort_action(SortKey key) const { return m_sort_actions[static_cast<size_t>(key)]; }
    QAction* descending_action() const { return m_descending; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void apply_sort();

    bool m_styled_dark = false; // the theme the style sheet was written for

    TaskFilterModel& m_filter;
    std::array<QToolButton*, 4> m_chips{};
    std::array<int, 4> m_counts{-1, -1, -1, -1};
    QButtonGroup* m_chip_group = nullptr;
    QLineEdit* m_text = nullptr;
    QToolButton* m_sort = nullptr;
    QMenu* m_sort_menu = nullptr;
    std::array<QAction*, 5> m_sort_actions{};
    QAction* m_descending = nullptr;
};

} // namespace twk::ui
