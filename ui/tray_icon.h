// The notification-area icon: a left click or double click brings the main window up; its
// menu shows the window, opens New Download, Settings or About, or quits. Its tooltip tells how
// many downloads run, how fast and how long they still take, and its picture carries a bar of
// their overall progress (ui/tray_status.h). Without a tray host on the desktop the icon is left
// out (and not added later when one appears); the program runs on without it.
//
// Closing the window while downloads run or wait, with the icon up and "close to tray" on,
// hides the window instead of ending the program; the first time, a desktop notice says so.
// Quit in the icon's menu always ends it.
//
// With TWK_TRAY_REPORT beginning with "1", adding it writes one line to standard error:
// "TRAY: icon=<address> add=OK" or "... add=FAILED".
#pragma once

#include <QObject>
#include <QString>

#include <QImage>
#include <QTimer>

#include <array>
#include <functional>

#include "ui/tray_status.h"

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

    // Where the tasks are read, once a second and when the window is closed; the tooltip and
    // the icon follow them.
    using TaskSource = std::function<bool(std::vector<TaskSnapshot>&)>;
    void set_task_source(TaskSource source, int interval_ms = 1000);
    // Reads the tasks now.
    void refresh_status();
    // What the tooltip and the icon's bar show.
    void show_status(const TrayStatus& status);
    const TrayStatus& status() const { return m_status; }
    QString tooltip() const;

    void set_close_to_tray(bool on) { m_close_to_tray = on; }
    // Whether closing the window now would keep the program running in the tray.
    bool keeps_running_on_close() const;
    // The window is being closed, `by_user` (its close button, the window manager) or by the
    // program itself (Quit, an update that restarts it), which always ends it. True when the
    // window went to the tray instead.
    bool on_window_close(bool by_user);
    // How the "still running" notice goes out: the desktop's notification service unless set.
    using NoticeSender = std::function<void(const QString& title, const QString& body)>;
    void set_notice_sender(NoticeSender sender) { m_send_notice = std::move(sender); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void show_window();
    void retranslate();
    void hide_to_tray();

    MainWindow& m_window;
    QSystemTrayIcon* m_icon = nullptr;
    QMenu* m_menu = nullptr;
    std::array<QAction*, 5> m_actions{}; // by command - 4101
    bool m_tried = false;
    bool m_added = false;
    TrayStatus m_status;
    int m_drawn_step = -2; // the progress step the icon shows; -1 for none
    bool m_close_to_tray = true;
    bool m_quitting = false;
    bool m_told_still_running = false;
    NoticeSender m_send_notice;
    TaskSource m_source;
    QTimer m_timer;
    std::vector<TaskSnapshot> m_tasks; // what the last poll was handed
};

// The application icon at `size` pixels with, for `progress` in 0 ... 1, a bar along its foot
// filled that far; the plain icon for a progress below 0.
QImage tray_icon_image(const QIcon& base, double progress, int size);

} // namespace twk::ui
