#include "ui/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <chrono>

#include "ui/text_table.h"

namespace twk::ui {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr size_t kMostRemembered = 64;

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QString q(const std::string& text) { return QString::fromStdString(text); }

} // namespace

void show_file_in_folder(const QString& path, QObject* owner) {
    QString folder = QFileInfo(path).absolutePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner, [watcher, folder] {
        if (watcher->isError()) QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        watcher->deleteLater();
    });
}

Notifier::Notifier(Hooks hooks, QObject* parent, int interval_ms)
    : QObject(parent), m_hooks(std::move(hooks)) {
    m_timer.setInterval(interval_ms);
    connect(&m_timer, &QTimer::timeout, this, &Notifier::poll);
}

void Notifier::poll() {
    const double now = now_seconds();
    if (m_hooks.snapshot && m_hooks.snapshot(m_tasks)) m_planner.observe(m_tasks, now);
    const bool active = m_hooks.window_active && m_hooks.window_active();
    for (const Notice& notice : m_planner.take(now, active))
        if (m_enabled) send(notice);
}

void Notifier::send(const Notice& notice) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    connect_bus();
    const bool zh = language_is_chinese();
    QStringList actions;
    if (notice.kind == NoticeKind::Finished)
        actions << QStringLiteral("open") << (zh ? QStringLiteral("打开") : QStringLiteral("Open"))
                << QStringLiteral("folder")
                << (zh ? QStringLiteral("在文件夹中显示") : QStringLiteral("Show in folder"));
    else if (notice.kind == NoticeKind::Failed)
        actions << QStringLiteral("retry") << (zh ? QStringLiteral("重试") : QStringLiteral("Retry"));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    // Servers may read the body as markup: a file name is text.
    call << QStringLiteral("Tarnwick") << uint(0) << QStringLiteral("tarnwick") << q(notice.summary)
         << q(notice.body).toHtmlEscaped() << actions << QVariantMap{} << int(-1);
    Sent sent{notice.kind, notice.id, QString(), {}};
    // The task's own path: a download saved outside the download folder is found there.
    if (notice.kind == NoticeKind::Finished && !notice.path.empty())
        sent.path = q(notice.path);
    else if (notice.kind == NoticeKind::Finished && m_hooks.folder)
        sent.path = q(m_hooks.folder()) + QLatin1Char('/') + q(notice.name);
    remember(new QDBusPendingCallWatcher(bus.asyncCall(call), this), std::move(sent));
}

void Notifier::connect_bus() {
    if (m_connected) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                SLOT(action_invoked(uint, QString)));
    bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                SLOT(notice_closed(uint, uint)));
    m_connected = true;
}

// Keeps what a notice's actions need under the id the service gave it.
void Notifier::remember(QDBusPendingCallWatcher* watcher, Sent sent) {
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, sent = std::move(sent)] {
        watcher->deleteLater();
        QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError() || sent.kind == NoticeKind::Summary) return;
        if (m_sent.size() >= kMostRemembered) m_sent.erase(m_sent.begin());
        m_sent[reply.value()] = sent;
    });
}

void Notifier::ask(const QString& summary, const QString& body, const QString& action_label,
                   std::function<void()> chosen) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    connect_bus();
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    call << QStringLiteral("Tarnwick") << uint(0) << QStringLiteral("tarnwick") << summary
         << body.toHtmlEscaped() << QStringList{QStringLiteral("accept"), action_label} << QVariantMap{}
         << int(-1);
    remember(new QDBusPendingCallWatcher(bus.asyncCall(call), this),
             Sent{NoticeKind::Finished, 0, QString(), std::move(chosen)});
}

void Notifier::action_invoked(uint notice, const QString& action) {
    auto it = m_sent.find(notice);
    if (it == m_sent.end()) return; // another program's notice, or one long gone
    Sent sent = it->second;
    m_sent.erase(it);
    if (sent.chosen) {
        if (action == QLatin1String("accept")) sent.chosen();
        return;
    }
    if (action == QLatin1String("open") && !sent.path.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(sent.path));
    else if (action == QLatin1String("folder") && !sent.path.isEmpty())
        show_file_in_folder(sent.path, this);
    else if (action == QLatin1String("retry") && m_hooks.retry)
        m_hooks.retry(sent.task);
}

void Notifier::notice_closed(uint notice, uint) { m_sent.erase(notice); }

} // namespace twk::ui
