#include "ui/tray_icon.h"

#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstdlib>

#include "ui/main_window.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

QString t(int number) { return QString::fromUtf8(tr_text(number)); }

// The tip is at most this many characters.
constexpr qsizetype kMaxTipChars = 127;

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
    if (watched == &m_window && event->type() == QEvent::Close && m_icon) m_icon->hide();
    return QObject::eventFilter(watched, event);
}

TrayIcon::~TrayIcon() {
    if (m_icon) m_icon->hide();
}

void TrayIcon::retranslate() {
    for (size_t i = 0; i < m_actions.size(); ++i)
        m_actions[i]->setText(t(command_text(static_cast<int>(i) + kTrayShowWindow)));
    if (m_icon) m_icon->setToolTip(t(8).left(kMaxTipChars));
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
