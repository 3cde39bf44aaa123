// The notification-area icon: a left click or double click brings the main window up; its
// menu shows the window, opens New Download, Settings or About, or quits. No balloons, no
// progress. Without a tray host on the desktop the icon is left out (and not added later when
// one appears); the program runs on without it.
//
// With TWK_TRAY_REPORT beginning with "1", adding it writes one line to standard error:
// "TRAY: icon=<address> add=OK" or "... add=FAILED".
#pragma once

#include <QObject>
#include <QString>

#include <array>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace twk::ui {

class MainWindow;

enum TrayCommand : int {
    kTrayShowWindow = 4101,
    kTrayNewDownload = 4102,
    kTraySettings = 4103,
    kTrayQuit = 4104,
    kTrayAbout = 4105,
};

class TrayIcon : public QObject {
    Q_OBJECT
public:
    // Lives as long as `window` (it is the icon's parent); `add` shows the icon.
    explicit TrayIcon(MainWindow& window);
    ~TrayIcon() override;

    // Shows the icon when a tray host exists; whether it did. Only the first call acts.
    bool add();
    bool added() const { return m_added; }
    // The report line for the add result (without the line feed).
    QString report_line() const;

    // Runs a menu command as the menu does.
    void run_command(int command);
    QMenu* menu() const { return m_menu; }
    QAction* action(int command) const;
    QSystemTrayIcon* icon() const { return m_icon; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void show_window();
    void retranslate();

    MainWindow& m_window;
    QSystemTrayIcon* m_icon = nullptr;
    QMenu* m_menu = nullptr;
    std::array<QAction*, 5> m_actions{}; // by command - 4101
    bool m_tried = false;
    bool m_added = false;
};

} // namespace twk::ui
