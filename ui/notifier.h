// Desktop notices through the notification service (org.freedesktop.Notifications on the session
// bus), planned by NoticePlanner: a finished download offers "Open" and "Show in folder", a failed
// one "Retry". The notices' actions come back as ActionInvoked signals. Without the service
// nothing is shown and nothing is said.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/task_snapshot.h"
#include "ui/notice_planner.h"

class QDBusPendingCallWatcher;

namespace twk::ui {

// Selects the file in the file manager (its ShowItems call), else opens its folder.
void show_file_in_folder(const QString& path, QObject* owner);

class Notifier : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<bool(std::vector<TaskSnapshot>&)> snapshot;
        std::function<bool()> window_active; // the window is active and has the focus
        std::function<std::string()> folder; // where finished files are
        std::function<void(int32_t)> retry;
    };
    // Looks at the tasks every `interval_ms` once started.
    explicit Notifier(Hooks hooks, QObject* parent = nullptr, int interval_ms = 500);

    void start() { m_timer.start(); }
    // Off: ends are still followed, so that turning it on later does not bring up old ones.
    void set_enabled(bool on) { m_enabled = on; }
    bool waiting() const { return m_planner.waiting(); }

    // A notice of its own (the clipboard watch's "Download?"): `summary`, `body` as text, one
    // action; `chosen` runs when the user clicks it. Shown whether or not download notices are on.
    void ask(const QString& summary, const QString& body, const QString& action_label,
             std::function<void()> chosen);

private Q_SLOTS:
    void action_invoked(uint notice, const QString& action);
    void notice_closed(uint notice, uint reason);

private:
    struct Sent {
        NoticeKind kind;
        int32_t task;
        QString path;
        std::function<void()> chosen; // a notice from `ask`
    };
    void poll();
    void connect_bus();
    void remember(QDBusPendingCallWatcher* watcher, Sent sent);
    void send(const Notice& notice);

    Hooks m_hooks;
    QTimer m_timer;
    std::vector<TaskSnapshot> m_tasks; // what the last poll was handed
    NoticePlanner m_planner;
    std::map<uint, Sent> m_sent; // the notices still on screen, by the service's id
    bool m_enabled = true;
    bool m_connected = false;
};

} // namespace twk::ui
