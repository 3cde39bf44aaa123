#include "ui/tray_icon.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ui/main_window.h"
#include "ui/palette.h"
#include "ui/text_table.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

QString t(int number) { return QString::fromUtf8(tr_text(number)); }

QString wt(WindowText text) { return QString::fromUtf8(window_text(text)); }

// The bar's fill moves in steps this fine, so that the icon is drawn again only when it shows.
constexpr int kProgressSteps = 32;
// The icon is drawn at this size and scaled by the tray host.
constexpr int kIconSize = 64;

int progress_step(double progress) {
    if (progress < 0) return -1;
    return static_cast<int>(std::min(1.0, progress) * kProgressSteps + 0.5);
}

void send_desktop_notice(const QString& title, const QString& body) {
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/freedesktop/Notifications"), service, QStringLiteral("Notify"));
    call << QStringLiteral("Tarnwick") << uint(0) << QStringLiteral("tarnwick") << title << body
         << QStringList() << QVariantMap() << int(-1);
    QDBusConnection::sessionBus().call(call, QDBus::NoBlock);
}

// Menu entries top to bottom; 0 marks a separator.
constexpr int kMenuOrder[] = {kTrayShowWindow, kTrayNewDownload, 0, kTraySettings, kTrayAbout, 0, kTrayQuit};

int command_text(int command) {
    switch (command) {
    case kTrayShowWindow: return 17;
    case kTrayNewDownload: return 12;
    case kTraySettings: return 46;
    case kTrayAbout: return 19;
    default: return 18;
    }
}

} // namespace

TrayIcon::TrayIcon(MainWindow& window) : QObject(&window), m_window(window) {
    m_menu = new QMenu(&window);
    for (int command : kMenuOrder) {
        if (command == 0) {
            m_menu->addSeparator();
            continue;
        }
        QAction* action = m_menu->addAction(QString());
        m_actions[static_cast<size_t>(command - kTrayShowWindow)] = action;
        connect(action, &QAction::triggered, this, [this, command] { run_command(command); });
    }
    connect(m_menu, &QMenu::aboutToShow, this, [this] { retranslate(); });
    retranslate();
    window.installEventFilter(this);
}

// The icon is a visible window of its own to Qt: left up, it would keep the program running
// after the main window closed. It goes first, so closing the main window ends the program.
bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_window && event->type() == QEvent::Close && on_window_close(event->spontaneous())) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool TrayIcon::on_window_close(bool by_user) {
    if (by_user) {
        refresh_status();
        if (keeps_running_on_close()) {
            hide_to_tray();
            return true;
        }
    }
    if (m_icon) m_icon->hide();
    return false;
}

void TrayIcon::set_task_source(TaskSource source, int interval_ms) {
    m_source = std::move(source);
    m_timer.disconnect(this);
    connect(&m_timer, &QTimer::timeout, this, &TrayIcon::refresh_status);
    m_timer.start(interval_ms);
    refresh_status();
}

void TrayIcon::refresh_status() {
    if (m_source && m_source(m_tasks))
        show_status(tray_status(m_tasks));
    else
        show_status(TrayStatus{});
}

bool TrayIcon::keeps_running_on_close() const {
    return m_close_to_tray && !m_quitting && m_added && m_icon && m_icon->isVisible() && m_status.busy() &&
           !MainWindow::quit_requested();
}

void TrayIcon::hide_to_tray() {
    m_window.hide();
    if (m_told_still_running) return;
    m_told_still_running = true;
    NoticeSender send = m_send_notice ? m_send_notice : send_desktop_notice;
    send(wt(WindowText::StillRunningTitle), wt(WindowText::StillRunningBody));
}

void TrayIcon::show_status(const TrayStatus& status) {
    bool tip_changed = !m_icon || m_status.running != status.running || m_status.queued != status.queued ||
                       m_status.speed != status.speed || m_status.seconds_left != status.seconds_left;
    m_status = status;
    if (!m_icon) return;
    if (tip_changed) m_icon->setToolTip(tooltip());
    int step = progress_step(status.progress);
    if (step == m_drawn_step) return;
    m_drawn_step = step;
    m_icon->setIcon(
        QIcon(QPixmap::fromImage(tray_icon_image(QApplication::windowIcon(), status.progress, kIconSize))));
}

QString TrayIcon::tooltip() const { return QString::fromUtf8(tray_tooltip(m_status)); }

QImage tray_icon_image(const QIcon& base, double progress, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    base.paint(&painter, QRect(0, 0, size, size));
    if (progress >= 0) {
        // A dark track with the accent fill, a quarter of the icon high, so that it reads at the
        // 22 pixels trays use.
        const double height = size * 0.25;
        const QRectF track(0.5, size - height - 0.5, size - 1.0, height);
        const double radius = height / 2;
        painter.setPen(QPen(QColor(255, 255, 255, 230), 1));
        painter.setBrush(QColor(0x20, 0x20, 0x20, 220));
        painter.drawRoundedRect(track, radius, radius);
        QRectF fill = track.adjusted(2, 2, -2, -2);
        fill.setWidth(std::max(0.0, fill.width() * std::min(1.0, progress)));
        painter.setPen(Qt::NoPen);
        painter.setBrush(kAccent.lighter(125));
        if (fill.width() > 0) painter.drawRoundedRect(fill, radius - 2, radius - 2);
    }
    return image;
}

TrayIcon::~TrayIcon() {
    if (m_icon) m_icon->hide();
}

void TrayIcon::retranslate() {
    for (size_t i = 0; i < m_actions.size(); ++i)
        m_actions[i]->setText(t(command_text(static_cast<int>(i) + kTrayShowWindow)));
    if (m_icon) m_icon->setToolTip(tooltip());
}

QAction* TrayIcon::action(int command) const {
    if (command < kTrayShowWindow || command > kTrayAbout) return nullptr;
    return m_actions[static_cast<size_t>(command - kTrayShowWindow)];
}

bool TrayIcon::add() {
    if (m_tried) return m_added;
    m_tried = true;
    m_icon = new QSystemTrayIcon(QApplication::windowIcon(), this);
    m_icon->setContextMenu(m_menu);
    retranslate();
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) show_window();
    });
    // Shown only when a host is there now: Qt would otherwise put the icon up whenever a tray
    // appears later, and the icon is added once or never.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_icon->show();
        m_added = m_icon->isVisible();
    }
    const char* report = std::getenv("TWK_TRAY_REPORT");
    if (report && report[0] == '1') {
        std::fprintf(stderr, "%s\n", report_line().toUtf8().constData());
        std::fflush(stderr);
    }
    return m_added;
}

QString TrayIcon::report_line() const {
    return QStringLiteral("TRAY: icon=0x%1 add=%2")
        .arg(reinterpret_cast<quintptr>(m_icon), 0, 16)
        .arg(m_added ? QStringLiteral("OK") : QStringLiteral("FAILED"));
}

void TrayIcon::show_window() {
    if (m_window.isMinimized())
        m_window.showNormal();
    else
        m_window.show();
    m_window.raise();
    m_window.activateWindow();
}

void TrayIcon::run_command(int command) {
    // A dialog already open keeps the stage: Quit closes it first (discarding it, as Cancel
    // would), anything else brings the window and that dialog up.
    QWidget* modal = QApplication::activeModalWidget();
    if (command == kTrayQuit) {
        m_quitting = true;
        if (modal) modal->close();
        m_window.close();
        return;
    }
    show_window();
    if (modal) {
        modal->raise();
        modal->activateWindow();
        return;
    }
    switch (command) {
    case kTrayNewDownload: m_window.press_button(kButtonNew); break;
    case kTraySettings: m_window.press_button(kButtonSettings); break;
    case kTrayAbout: m_window.show_about(); break;
    default: break;
    }
}

} // namespace twk::ui
