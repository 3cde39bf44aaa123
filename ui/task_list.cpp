#include "ui/task_list.h"

#include <QAbstractProxyModel>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include "ui/palette.h"
#include "ui/row_painter.h"
#include "ui/task_list_model.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

constexpr double kWheelStep = 48; // pixels per notch

} // namespace

RowDelegate::RowDelegate(const TaskListModel& model, QObject* parent)
    : QStyledItemDelegate(parent), m_model(model) {}

void RowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const {
    const TaskView* task = m_model.task(index);
    if (!task) return;
    painter->save();
    painter->translate(option.rect.left(), 0);
    paint_row(*painter, *task, option.rect.top(), option.rect.width(), option.state & QStyle::State_Selected);
    painter->restore();
}

QSize RowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const TaskView* task = m_model.task(index);
    return QSize(option.rect.width(), task ? row_height(task->state()) : kCompactRowHeight);
}

TaskListView::TaskListView(TaskListModel& model, QAbstractItemModel& shown, QWidget* parent)
    : QListView(parent) {
    setObjectName(QStringLiteral("TWKTaskList"));
    setModel(&shown);
    setItemDelegate(new RowDelegate(model, this));
    connect(&model, &TaskListModel::progress_changed, this, [this, &model, &shown](int row) {
        QModelIndex index = model.index(row);
        if (auto* proxy = qobject_cast<QAbstractProxyModel*>(&shown)) index = proxy->mapFromSource(index);
        if (index.isValid()) viewport()->update(visualRect(index));
    });
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(false);
    setMouseTracking(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, theme_colors().background);
    colours.setColor(QPalette::Window, theme_colors().background);
    setPalette(colours);
    // paintEvent fills what it repaints itself: a second fill by Qt underneath is wasted work at
    // every row's repaint while downloads run.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
}

void TaskListView::set_empty_texts(const QString& title, const QString& hint) {
    if (title == m_empty_title && hint == m_empty_hint) return;
    m_empty_title = title;
    m_empty_hint = hint;
    viewport()->update();
}

void TaskListView::paintEvent(QPaintEvent* event) {
    // The theme may have changed since the palette was set: the background follows it.
    QPainter(viewport()).fillRect(event->rect(), theme_colors().background);
    if (model() && model()->rowCount() > 0) {
        QListView::paintEvent(event);
        return;
    }
    QPainter p(viewport());
    p.setRenderHint(QPainter::TextAntialiasing);
    auto centred = [&](const QString& text, const QFont& font, const QColor& color, double centre_y) {
        QFontMetricsF m(font, p.device());
        p.setFont(font);
        p.setPen(color);
        p.drawText(QPointF((viewport()->width() - m.horizontalAdvance(text)) / 2,
                           centre_y - m.height() / 2 + m.ascent()),
                   text);
    };
    centred(m_empty_title, ui_font(12, 400), theme_colors().grey(40), 46);
    if (!m_empty_hint.isEmpty()) centred(m_empty_hint, ui_font(11, 400), theme_colors().grey(38), 70);
}

void TaskListView::wheelEvent(QWheelEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->value() - static_cast<int>(event->angleDelta().y() / 120.0 * kWheelStep));
    event->accept();
}

void TaskListView::keyPressEvent(QKeyEvent* event) {
    if (before_input) before_input();
    QListView::keyPressEvent(event);
}

void TaskListView::mousePressEvent(QMouseEvent* event) {
    if (before_input) before_input();
    // A right-click inside the selection keeps it: the menu acts on all of it.
    if (event->button() == Qt::RightButton) {
        QModelIndex at = indexAt(event->position().toPoint());
        if (at.isValid() && selectionModel()->isSelected(at)) return;
    }
    QListView::mousePressEvent(event);
}

void TaskListView::contextMenuEvent(QContextMenuEvent* event) {
    if (before_input) before_input();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        // The menu key opens the menu at the current row.
        QModelIndex current = currentIndex();
        if (!current.isValid()) return;
        scrollTo(current);
        QRect row = visualRect(current);
        emit menu_requested(viewport()->mapToGlobal(QPoint(24, row.top() + 24)));
        return;
    }
    if (!indexAt(event->pos()).isValid()) return;
    emit menu_requested(event->globalPos());
}

} // namespace twk::ui
