// Start-up and shut-down of the desktop app, in this order: the language chosen last, the
// desktop's light or dark preference (ui/theme.h, followed while the app runs), the main window, the
// screenshot request (TWK_SHOT, TWK_SHOT_MS), the engine, the sleep inhibitor (ui/sleep_inhibitor.h), the
// notices (ui/notifier.h), the clipboard watch (ui/clipboard_watch.h) and the queue's end action
// (ui/queue_end.h), the settings and the first-run login item, the URL scheme, the settings applied to the
// engine, the crash check and the first update check, the window shown where it was left, the Settings dialog
// when TWK_AUTOSTART_SETTINGS begins with "1". `run_app` then listens for later starts (ui/single_instance.h)
// and starts the links it was given. At exit the window's geometry is kept, the shell's worker threads are
// joined and the run marker deleted (the run ended cleanly), then the engine is destroyed, which pauses its
// tasks so that their sidecars are saved. The command line is not read here: main() reads the links
// (app/launch_link.h) and hands them to an app that runs already, and only without one does a start make its
// own window and engine.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "app/settings_store.h"
#include "ui/engine_link.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"

namespace twk::ui {

class ShellController;
class SleepInhibitor;
class Notifier;
class ClipboardWatch;
class QueueEndWatcher;
class ThemeWatcher;

// The screenshot the environment asks for: a path and the delay in milliseconds (8000 unless
// TWK_SHOT_MS gives its leading decimal number; text that is not a number gives 0).
struct ShotRequest {
    QString path;
    int64_t delay_ms = 8000;
};
ShotRequest shot_request_from_env();
int64_t leading_number(const char* text);

// The language the user chose last ("Language": "zh" or "en" in the settings store) is put in
// force; without one the language mode is left as it is (the system's at start).
void apply_stored_language(const app::SettingsStore& store);
// The main window's size, position and maximised state as kept in the store ("WindowGeometry"),
// and keeping them.
void restore_window_geometry(QWidget& window, const app::SettingsStore& store);
void keep_window_geometry(const QWidget& window, app::SettingsStore& store);

// The running program's full path, empty when it cannot be read.
std::string executable_path();

class App {
public:
    // Needs a QApplication. Runs start-up up to and including showing the window.
    App();
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    MainWindow& window() { return *m_window; }
    EngineLink& engine() { return m_engine; }
    const app::Settings& settings() const { return m_settings; }
    TrayIcon& tray() { return *m_tray; }
    ShellController& shell() { return *m_shell; }
    ClipboardWatch& clipboard_watch() { return *m_clipboard; }
    QueueEndWatcher& queue_end() { return *m_queue_end; }

private:
    SettingsContext settings_context(const std::string& exe);

    EngineLink m_engine;
    app::Settings m_settings;
    std::unique_ptr<MainWindow> m_window;
    TrayIcon* m_tray = nullptr;               // the window's child
    SleepInhibitor* m_sleep = nullptr;        // the window's child
    Notifier* m_notifier = nullptr;           // the window's child
    ClipboardWatch* m_clipboard = nullptr;    // the window's child
    QueueEndWatcher* m_queue_end = nullptr;   // the window's child
    ThemeWatcher* m_theme = nullptr;          // the window's child
    std::unique_ptr<ShellController> m_shell; // self-update, run marker, crash check, sampler
};

// What the program says when started without a display.
inline constexpr const char* kNoDisplayMessage =
    "tarnwick: there is no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
    "Without one, try:\n"
    "  bash scripts/demo.sh   a download in the terminal\n"
    "  twk get URL            download one file\n"
    "  twk serve              the engine and its control page for the browser extension\n";

// Start-up, the event loop, shut-down; the exit code. `links` (checked download links) start
// once the window is up.
int run_app(const std::vector<std::string>& links = {});

} // namespace twk::ui
