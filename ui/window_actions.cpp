#include "ui/window_actions.h"

#include <QWidget>

#include "ui/row_painter.h"
#include "ui/text_table.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

QString t(const char* key) { return QString::fromUtf8(tr(key)); }

const char* pause_key(PauseAction action) {
    switch (action) {
    case PauseAction::Resume: return "action.resume";
    case PauseAction::Retry: return "action.retry";
    default: return "action.pause";
    }
}

QAction* make(QWidget* owner, int icon, const QKeySequence& shortcut) {
    auto* action = new QAction(owner);
    action->setData(icon);
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    owner->addAction(action);
    return action;
}

} // namespace

WindowActions::WindowActions(QWidget* owner) {
    add = make(owner, kIconNew, QKeySequence::New);
    pause = make(owner, kIconPause, QKeySequence(Qt::Key_Space));
    remove = make(owner, kIconDelete, QKeySequence::Delete);
    settings = make(owner, kIconSettings, QKeySequence());
    undo = make(owner, -1, QKeySequence::Undo);
    stop = make(owner, -1, QKeySequence());
    pause_all = make(owner, -1, QKeySequence());
    resume_all = make(owner, -1, QKeySequence());
    language = make(owner, -1, QKeySequence());
    about = make(owner, -1, QKeySequence());
    start_now = make(owner, -1, QKeySequence(Qt::CTRL | Qt::Key_Return));
    start_now->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    move_up = make(owner, -1, QKeySequence(Qt::CTRL | Qt::Key_Up));
    move_down = make(owner, -1, QKeySequence(Qt::CTRL | Qt::Key_Down));
    follow_queue(false);
    retranslate(PauseAction::None);
    follow(PauseAction::None, false);
}

void WindowActions::retranslate(PauseAction action) {
    m_shown = action;
    add->setText(t("action.new"));
    pause->setText(t(pause_key(action)));
    remove->setText(t("action.delete"));
    settings->setText(t("action.settings"));
    settings->setToolTip(t("action.settings"));
    undo->setText(t("action.undo_delete"));
    stop->setText(t("action.stop_recording"));
    pause_all->setText(t("action.pause_all"));
    resume_all->setText(t("action.resume_all"));
    language->setText(t("menu.language"));
    about->setText(t("about.title"));
    start_now->setText(QString::fromUtf8(window_text(WindowText::StartNow)));
    move_up->setText(QString::fromUtf8(window_text(WindowText::MoveUp)));
    move_down->setText(QString::fromUtf8(window_text(WindowText::MoveDown)));
}

void WindowActions::follow_queue(bool queued_selected) {
    for (QAction* action : {start_now, move_up, move_down})
        action->setEnabled(queued_selected);
}

void WindowActions::follow(PauseAction action, bool has_selection, bool recording_selected) {
    stop->setEnabled(recording_selected);
    if (action != m_shown) {
        m_shown = action;
        pause->setText(t(pause_key(action)));
        pause->setData(action == PauseAction::Resume || action == PauseAction::Retry ? kIconResume
                                                                                     : kIconPause);
    }
    pause->setEnabled(action != PauseAction::None);
    remove->setEnabled(has_selection);
}

} // namespace twk::ui
