#include "ui/queue_end.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/settings.h"
#include "net/text.h"
#include "ui/text_table.h"

namespace twk::ui {

namespace {

bool busy(const std::vector<TaskSnapshot>& tasks) {
    for (const TaskSnapshot& task : tasks) {
        if (task.state == kQueued || task.state == kRunning) return true;
    }
    return false;
}

} // namespace

QueueEndWatcher::QueueEndWatcher(Hooks hooks, QWidget* window, int interval_ms)
    : QObject(window), m_hooks(std::move(hooks)), m_window(window) {
    if (!m_hooks.now_ms) m_hooks.now_ms = [] { return monotonic_ms(); };
    m_timer.setInterval(interval_ms);
    connect(&m_timer, &QTimer::timeout, this, &QueueEndWatcher::poll);
}

void QueueEndWatcher::poll() {
    if (!m_hooks.snapshot || !m_hooks.snapshot(m_tasks)) return;
    const int64_t now = m_hooks.now_ms();
    const int action = m_countdown.action();
    switch (m_countdown.observe(busy(m_tasks), now)) {
    case QueueEndStep::kNone: break;
    case QueueEndStep::kAsk:
    case QueueEndStep::kTick: show_left(now); break;
    case QueueEndStep::kDismiss: close_dialog(); break;
    case QueueEndStep::kAct:
        close_dialog();
        act(action);
        break;
    }
}

void QueueEndWatcher::show_left(int64_t now_ms) {
    const bool zh = language_is_chinese();
    if (!m_dialog) {
        m_dialog = new QDialog(m_window);
        m_dialog->setWindowTitle(zh ? QStringLiteral("下载已全部完成")
                                    : QStringLiteral("Downloads finished"));
        auto* layout = new QVBoxLayout(m_dialog);
        m_label = new QLabel(m_dialog);
        layout->addWidget(m_label);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, m_dialog);
        buttons->button(QDialogButtonBox::Cancel)
            ->setText(zh ? QStringLiteral("取消") : QStringLiteral("Cancel"));
        layout->addWidget(buttons);
        // Cancel, Escape and closing the window all call it off.
        connect(m_dialog, &QDialog::rejected, this, [this] {
            m_countdown.cancel();
            close_dialog();
        });
        connect(buttons, &QDialogButtonBox::rejected, m_dialog, &QDialog::reject);
        m_dialog->show();
    }
    const QString seconds = QString::number(m_countdown.seconds_left(now_ms));
    if (m_countdown.action() == app::kQueueEndPowerOff)
        m_label->setText(zh ? QStringLiteral("电脑将在 %1 秒后关机。").arg(seconds)
                            : QStringLiteral("The computer powers off in %1 s.").arg(seconds));
    else
        m_label->setText(zh ? QStringLiteral("电脑将在 %1 秒后睡眠。").arg(seconds)
                            : QStringLiteral("The computer suspends in %1 s.").arg(seconds));
}

void QueueEndWatcher::close_dialog() {
    if (!m_dialog) return;
    QDialog* dialog = m_dialog;
    m_dialog = nullptr;
    m_label = nullptr;
    dialog->disconnect(this);
    dialog->hide();
    dialog->deleteLater();
}

void QueueEndWatcher::act(int action) {
    const QString method = action == app::kQueueEndPowerOff  ? QStringLiteral("PowerOff")
                           : action == app::kQueueEndSuspend ? QStringLiteral("Suspend")
                                                             : QString();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (method.isEmpty() || !bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), method);
    call << false; // not interactive: no password prompt at the end of a night's downloads
    bus.call(call, QDBus::NoBlock);
}

} // namespace twk::ui
