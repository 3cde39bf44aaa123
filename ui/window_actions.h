// The main window's commands as actions: each has its text, its shortcut and an enabled state
// that follows the selection. The toolbar shows New, the pause button (Pause, Resume or Retry
// as the selection asks), Delete and Settings; the window menu Pause All, Resume All, the
// language switch and About.
#pragma once

#include <QAction>

#include "ui/task_view_model.h"

namespace twk::ui {

struct WindowActions {
    // Created as children of `owner`, whose window their shortcuts serve.
    explicit WindowActions(QWidget* owner);

    // Texts in the language in force; the pause button's for `action`.
    void retranslate(PauseAction action);
    // Enabled states and the pause button's face for the selection.
    void follow(PauseAction action, bool has_selection, bool recording_selected = false);

    QAction* add = nullptr;      // Ctrl+N
    QAction* pause = nullptr;    // Space: pause, resume or retry the selection
    QAction* remove = nullptr;   // Delete
    QAction* settings = nullptr; //
    QAction* undo = nullptr;     // Ctrl+Z: undo the last removal
    QAction* stop = nullptr;     // ends the selected live recordings "done" (the row menu)
    QAction* pause_all = nullptr;
    QAction* resume_all = nullptr;
    QAction* language = nullptr;
    QAction* about = nullptr;
    // The queue, for selected rows that wait their turn: start one now (Ctrl+Enter) or move it
    // up (Ctrl+Up) or down (Ctrl+Down) in the order in which queued downloads start.
    QAction* start_now = nullptr;
    QAction* move_up = nullptr;
    QAction* move_down = nullptr;
    void follow_queue(bool queued_selected);

private:
    PauseAction m_shown = PauseAction::None;
};

} // namespace twk::ui
