// The list view of the main window and the delegate that draws its rows with the row painter
// (ui/row_painter.h). The view scrolls by pixels, 48 per wheel notch, selects several rows the
// usual way (Ctrl, Shift, Ctrl+A, arrows) and shows the empty-state texts when it has no rows.
#pragma once

#include <QListView>
#include <QStyledItemDelegate>

#include <functional>

namespace twk::ui {

class TaskListModel;

class RowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit RowDelegate(const TaskListModel& model, QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    const TaskListModel& m_model;
};

class TaskListView : public QListView {
    Q_OBJECT
public:
    explicit TaskListView(TaskListModel& model, QWidget* parent = nullptr);

    // The two centred lines shown while the list is empty (the hint may be empty).
    void set_empty_texts(const QString& title, const QString& hint);
    // Runs before the view handles a key, a click or a menu request, so that the selection it
    // starts from is the window's.
    std::function<void()> before_input;
    // Lays the rows out now rather than at the next event-loop turn.
    void lay_out_now() { executeDelayedItemsLayout(); }

signals:
    // The row menu is asked for at `global_pos` (a right-click, or the menu key at the current row).
    void menu_requested(const QPoint& global_pos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QString m_empty_title, m_empty_hint;
};

} // namespace twk::ui
