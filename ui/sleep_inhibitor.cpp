#include "ui/sleep_inhibitor.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace twk::ui {

int transferring_count(const std::vector<TaskSnapshot>& tasks) {
    int count = 0;
    for (const TaskSnapshot& task : tasks)
        if (task.state == kRunning) ++count;
    return count;
}

QString inhibit_reason(int count) {
    return count == 1 ? QStringLiteral("Downloading 1 file")
                      : QStringLiteral("Downloading %1 files").arg(count);
}

SleepInhibitor::SleepInhibitor(Snapshot snapshot, QObject* parent, int interval_ms)
    : QObject(parent), m_snapshot(std::move(snapshot)) {
    m_timer.setInterval(interval_ms);
    connect(&m_timer, &QTimer::timeout, this, &SleepInhibitor::poll);
}

SleepInhibitor::~SleepInhibitor() = default;

void SleepInhibitor::poll() {
    set_count(m_snapshot && m_snapshot(m_tasks) ? transferring_count(m_tasks) : 0);
}

void SleepInhibitor::set_count(int count) {
    m_wanted = count;
    if (count == 0) {
        m_fd = QDBusUnixFileDescriptor(); // closing our copy ends the inhibitor
        m_held_for = 0;
        return;
    }
    if (m_pending || m_unavailable || (held() && m_held_for == count)) return;
    request();
}

void SleepInhibitor::request() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        m_unavailable = true;
        return;
    }
    const int count = m_wanted;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Tarnwick") << inhibit_reason(count)
         << (m_block_refused ? QStringLiteral("delay") : QStringLiteral("block"));
    m_pending = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, count] {
        watcher->deleteLater();
        m_pending = false;
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        if (reply.isError()) {
            const QDBusError::ErrorType type = reply.error().type();
            if (type == QDBusError::ServiceUnknown || type == QDBusError::NoServer ||
                type == QDBusError::Disconnected || type == QDBusError::UnknownMethod ||
                type == QDBusError::UnknownObject || type == QDBusError::UnknownInterface) {
                m_unavailable = true; // no logind here: keep quiet
                return;
            }
            if (!m_block_refused) {
                m_block_refused = true; // not allowed to block: a delay still saves the files
                if (m_wanted > 0) request();
            } else {
                m_unavailable = true;
            }
            return;
        }
        if (m_wanted == 0) return; // the transfers ended meanwhile: the reply's copy closes
        m_fd = reply.value();      // the previous inhibitor, if any, closes here
        m_held_for = count;
        if (m_wanted != count) request();
    });
}

} // namespace twk::ui
