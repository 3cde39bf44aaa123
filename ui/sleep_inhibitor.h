// Keeps the computer awake while downloads transfer: a logind "sleep" inhibitor
// (org.freedesktop.login1.Manager.Inhibit on the system bus) is held while at least one task is
// probing or downloading, with the reason "Downloading N files", and closed within a second after
// the last one ends or pauses. The "block" mode is asked first; where logind refuses it, "delay".
// Without logind (no system bus, no service) nothing is held and nothing is said.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QTimer>

#include <functional>
#include <vector>

#include "core/task_snapshot.h"

namespace twk::ui {

// The tasks that transfer now: probing or downloading.
int transferring_count(const std::vector<TaskSnapshot>& tasks);
// "Downloading 1 file", "Downloading 3 files".
QString inhibit_reason(int count);

class SleepInhibitor : public QObject {
    Q_OBJECT
public:
    using Snapshot = std::function<bool(std::vector<TaskSnapshot>&)>;
    // Looks at `snapshot` every `interval_ms` (500 unless given) once started.
    explicit SleepInhibitor(Snapshot snapshot, QObject* parent = nullptr, int interval_ms = 500);
    ~SleepInhibitor() override;

    void start() { m_timer.start(); }
    // Takes, renews or drops the inhibitor for `count` transferring tasks.
    void set_count(int count);
    bool held() const { return m_fd.isValid(); }

private:
    void poll();
    void request();

    Snapshot m_snapshot;
    QTimer m_timer;
    std::vector<TaskSnapshot> m_tasks; // what the last poll was handed
    QDBusUnixFileDescriptor m_fd;      // the held inhibitor; closing it releases
    int m_wanted = 0;                  // what the tasks ask for now
    int m_held_for = 0;                // the count the held inhibitor's reason names
    bool m_pending = false;            // an Inhibit call is under way
    bool m_block_refused = false;      // logind said no to "block": ask for "delay"
    bool m_unavailable = false;        // no logind: stop asking
};

} // namespace twk::ui
