// The small dialogs about tasks: a row's details and the question before deleting a running
// download; and the texts they and the row tooltips show.
#pragma once

#include <QString>

#include <string>

#include "ui/task_view_model.h"

class QWidget;
class QDialog;

namespace twk::ui {

// A row's tooltip: its whole status in the language in force, its name and its link.
QString row_tooltip(const TaskView& task);
// The details view's text: status, link, folder, size, connections and, for a failure, what it
// was about; one "label: value" line each.
QString details_text(const TaskView& task, const std::string& folder);

// The details of `task` in a window-modal dialog that deletes itself when closed; opened, not run.
QDialog* open_details(QWidget* owner, const TaskView& task, const std::string& folder);
// Asks whether to delete a running download; true when the user agreed.
bool ask_before_deleting(QWidget* owner, const TaskView& task);

} // namespace twk::ui
