// The action once the queue empties (ui/queue_end_countdown.h), on the desktop: a small window
// counts down the minute with a Cancel button, then asks logind (org.freedesktop.login1.Manager
// on the system bus) to Suspend or PowerOff, not interactively. Without logind nothing happens.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <vector>

#include "core/task_snapshot.h"
#include "ui/queue_end_countdown.h"

class QDialog;
class QLabel;
class QWidget;

namespace twk::ui {

class QueueEndWatcher : public QObject {
public:
    struct Hooks {
        std::function<bool(std::vector<TaskSnapshot>&)> snapshot;
        std::function<int64_t()> now_ms; // monotonic; the steady clock when empty
    };
    // Looks at the tasks every `interval_ms` once started; the countdown window is a child of
    // `window`.
    QueueEndWatcher(Hooks hooks, QWidget* window, int interval_ms = 500);

    void start() { m_timer.start(); }
    // kQueueEndNothing, kQueueEndSuspend or kQueueEndPowerOff (app/settings.h).
    void set_action(int action) { m_countdown.set_action(action); }

    // One look at the tasks (the timer's work; tests call it with their own clock).
    void poll();
    // The countdown window while it shows, else null.
    QDialog* dialog() const { return m_dialog; }

private:
    void show_left(int64_t now_ms);
    void close_dialog();
    void act(int action);

    Hooks m_hooks;
    QWidget* m_window;
    QTimer m_timer;
    std::vector<TaskSnapshot> m_tasks; // what the last poll was handed
    QueueEndCountdown m_countdown;
    QDialog* m_dialog = nullptr;
    QLabel* m_label = nullptr;
};

} // namespace twk::ui
