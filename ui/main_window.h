// The main window: a toolbar, an optional one-line banner, the task list and an optional status
// bar, all painted by the window itself into an off-screen image of its size and copied to the
// screen. It owns the refresh timer (16 ms while something is active and the window is shown,
// else 1000 ms) that reads the engine's list document into the view model.
//
// Linux window managers own the window menu, so the language switch ("中文 / English") and
// About live in a small menu that opens on a right-click in the toolbar's empty area.
#pragma once

#include <QImage>
#include <QRectF>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/engine_link.h"
#include "ui/settings_dialog.h"
#include "ui/task_view_model.h"

namespace twk::ui {

class DownloadStarter;

enum class BannerMode { None = 0, Update = 1, ResourcePrompt = 2, CrashPrompt = 3 };

// The selected row's context menu: which entries are enabled, and what they act on.
struct RowMenu {
    bool present = false; // a visible task is selected
    bool open = false;    // done, and its file exists
    bool show_in_folder = false;
    bool copy_link = false;
    bool retry = false;           // failed or canceled
    bool delete_file_too = false; // done, and its file exists
    std::string path;
    std::string url;
};
enum class RowCommand { Open, ShowInFolder, CopyLink, Retry, Delete, DeleteFileToo, Details };

// A row's tooltip: its whole status in the language in force, its name and its link.
QString row_tooltip(const TaskView& task);
// The details view's text: status, link, folder, size, connections and, for a failure, what it
// was about; one "label: value" line each.
QString details_text(const TaskView& task, const std::string& folder);

enum ToolbarButton : int { kButtonNew = 0, kButtonPause = 1, kButtonDelete = 2, kButtonSettings = 3 };

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(EngineOps ops, QWidget* parent = nullptr);

    // The folder the context menu's Open and Show in Folder look in; the connections new
    // downloads get.
    void set_download_folder(const std::string& folder) { m_download_folder = folder; }
    void set_connections(int64_t connections) { m_connections = connections; }
    // What the Settings dialog shows and saves through; its `saved` hook runs after a save.
    void set_settings_context(SettingsContext context) { m_settings_context = std::move(context); }
    // Adds `link` on a worker thread, as the New Download dialog does; a failure is reported
    // in a message box.
    void start_download(const std::string& link);

    // One screenshot of the off-screen image, saved as PNG at the first paint at or after
    // `deadline_ms` (monotonic).
    void request_screenshot(const QString& path, int64_t deadline_ms);
    bool screenshot_pending() const { return !m_shot_path.isEmpty(); }

    // Banner requests: an update text ("version\nURL\nSHA-256"), a diagnostic prompt.
    void show_update_banner(const std::string& text);
    void show_diagnostic_banner(bool crash);
    void close_banner();
    BannerMode banner_mode() const { return m_banner; }

    // Self-update and diagnostics hook in here: the update banner's "Download", a prompt's
    // "Share", and every refresh tick.
    struct ShellHooks {
        std::function<void()> download;
        std::function<void()> share;
        std::function<void()> tick;
    };
    void set_shell_hooks(ShellHooks hooks) { m_shell = std::move(hooks); }
    // What a click on the banner's link does.
    void click_banner_link();

    // One refresh at `now_seconds` (the timer passes the monotonic clock).
    void tick(double now_seconds);
    // The window as it would be painted now.
    QImage render_frame();

    const TaskViewModel& model() const { return m_model; }
    TaskViewModel& model() { return m_model; }
    QRectF button_rect(int button) const { return m_buttons[static_cast<size_t>(button)]; }
    QRectF list_rect() const;
    bool status_bar_shown() const { return m_status_bar; }
    int refresh_interval() const { return m_interval; }
    double scroll_offset() const { return m_scroll; }
    // The output path for a task's name, empty when the name cannot be one.
    std::string output_path(const std::string& name) const;

    RowMenu row_menu() const;
    void run_row_command(RowCommand command); // does nothing when the entry is disabled

    // The toolbar's actions, as a click runs them.
    void press_button(int button);
    void switch_language_now();
    void show_about();

    // Delete: the selected tasks leave the list and the journal; when one is running, only
    // after the user agreed, once (`confirm_delete` asks; tests replace it). With `with_file`
    // done tasks' files go into the desktop's trash. Undo puts back the last removal (and its
    // files).
    void delete_selected(bool with_file = false);
    bool undo_delete();
    std::function<bool(const TaskView&)> confirm_delete;
    // Scrolls the list so the task's row is wholly in view.
    void ensure_visible(int32_t id);
    // Closes any modal dialog (the answer is Cancel) and then the app the normal way; asked
    // before the event loop runs (a dialog opened at start-up), the loop then ends at once.
    static void quit_now();
    static bool quit_requested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private:
    void layout_window();
    void set_interval(int ms);
    void update_title();
    int button_at(const QPointF& point) const;
    void select_at(const QPointF& point, Qt::KeyboardModifiers modifiers);
    void show_row_menu(const QPoint& global_pos);
    void show_window_menu(const QPoint& global_pos);
    void open_new_download();
    void open_settings();
    void show_in_folder(const std::string& path);
    void run_second_button();
    void move_selection(int step, bool extend);
    void act_on_all(PauseAction action);
    std::optional<int32_t> row_at_point(const QPointF& point) const;

    void paint_frame(QPainter& p);
    void paint_toolbar(QPainter& p);
    void paint_banner(QPainter& p);
    void paint_list(QPainter& p);
    void paint_status_bar(QPainter& p);

    EngineOps m_ops;
    TaskViewModel m_model;
    QTimer m_timer;
    int m_interval = 16;
    bool m_engine_running = false;
    std::optional<PauseAction> m_button_action; // what the second button showed at the last layout
    std::array<QRectF, 4> m_buttons{};
    int m_hover = -1;
    int m_pressed = -1;
    double m_scroll = 0;
    bool m_status_bar = false;
    BannerMode m_banner = BannerMode::None;
    bool m_banner_dismissed = false;
    std::string m_queued_update;
    ShellHooks m_shell;
    QRectF m_banner_link, m_banner_close; // where the last paint put them
    std::string m_update_version, m_update_url, m_update_sha256;
    QString m_title;
    QString m_shot_path;
    int64_t m_shot_deadline = 0;
    QImage m_frame;
    std::string m_download_folder;
    int64_t m_connections = static_cast<int64_t>(kDefaultConnections);
    SettingsContext m_settings_context;
    DownloadStarter* m_starter = nullptr;
    bool m_settings_open = false;                       // the dialog then takes the screenshot
    bool m_seen_tasks = false;                          // the first snapshot came (its rows are not "new")
    std::vector<int32_t> m_removed_ids;                 // the last removal, for undo
    std::vector<std::pair<QString, QString>> m_trashed; // its files: (path, where in the trash)
    std::optional<int32_t> m_anchor;                    // where a Shift+arrow range began
};

} // namespace twk::ui
