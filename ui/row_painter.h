// Draws one task row of the main window's list, and the small vector icons the toolbar and the
// rows share. Knows the view model's records and nothing of the engine or the window.
//
// Compact rows (40 px) for settled and waiting tasks: badge, name, a right-hand state text.
// Tall rows (84 px) for probing and downloading tasks: badge, name, speed, a segmented bar and a
// line with amounts, threads and the time left.
#pragma once

#include <QPainter>
#include <QRectF>

#include "ui/task_view_model.h"

namespace twk::ui {

enum IconId : int {
    kIconNew = 0,
    kIconPause = 1,
    kIconResume = 2,
    kIconDelete = 3,
    kIconSettings = 4,
    kIconDone = 5,
    kIconFolder = 6,
    kIconDropDown = 7,
};

// Draws icon `id` from its 24-unit grid into `box` (square) in `color`.
void paint_icon(QPainter& painter, int id, const QRectF& box, const QColor& color);

// Draws `task` with its top edge at `top`, `width` wide.
void paint_row(QPainter& painter, const TaskView& task, double top, double width, bool selected);

// The progress bar's box for a tall row at `top`.
QRectF progress_bar_box(double top, double width);

} // namespace twk::ui
