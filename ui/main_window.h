// The main window: a toolbar of the window's actions, an optional one-line banner, the task
// list (a list view over the view model, rows drawn by the row painter) and a status bar with
// the total speed that comes and goes with the running downloads. It owns the refresh timer
// (16 ms while something is active and the window is shown, else 1000 ms) that reads the
// engine's snapshots into the view model.
//
// Linux window managers own the window menu, so Pause All, Resume All, the language switch
// ("中文 / English") and About live in a small menu that opens on a right-click in the
// toolbar's empty area.
#pragma once

#include <QImage>
#include <QMainWindow>
#include <QRectF>
#include <QString>
#include <QTimer>
#include <QToolButton>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/engine_link.h"
#include "ui/settings_dialog.h"
#include "ui/task_dialogs.h"
#include "ui/task_view_model.h"
#include "ui/window_actions.h"
#include "ui/window_chrome.h"

namespace twk::ui {

class DownloadStarter;
class ListFilterBar;
class TaskFilterModel;
class TaskListModel;
class TaskListView;

// The selected row's context menu: which entries are enabled, and what they act on.
struct RowMenu {
    bool present = false; // a visible task is selected
    bool open = false;    // done, and its file exists
    bool show_in_folder = false;
    bool copy_link = false;
    bool retry = false;           // failed or canceled
    bool refresh_link = false;    // neither done nor canceled: a new link may continue it
    bool delete_file_too = false; // done, and its file exists
    std::string path;
    std::string url;
};
enum class RowCommand { Open, ShowInFolder, CopyLink, Retry, RefreshLink, Delete, DeleteFileToo, Details };

enum ToolbarButton : int { kButtonNew = 0, kButtonPause = 1, kButtonDelete = 2, kButtonSettings = 3 };

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(EngineOps ops, QWidget* parent = nullptr);

    // The folder the context menu's Open and Show in Folder look in; the connections new
    // downloads get.
    void set_download_folder(const std::string& folder) { m_download_folder = folder; }
    void set_connections(int64_t connections) { m_connections = connections; }
    // What the Settings dialog shows and saves through; its `saved` hook runs after a save.
    void set_settings_context(SettingsContext context);
    // The status bar's one-click switch of the speed limit for all downloads: turns it on at
    // the value Settings holds, or off, keeps the choice and tells the engine.
    void toggle_speed_limit();
    QToolButton* speed_limit_button() const { return m_limit_button; }
    // Adds `link` on a worker thread, as the New Download dialog does; a failure is reported
    // in a message box.
    void start_download(const std::string& link);

    // One screenshot of the window, saved as PNG at the first refresh at or after `deadline_ms`
    // (monotonic) while no dialog is open.
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
    TaskListView& list_view() { return *m_list; }
    // The list's sort and filter, and the bar above the list that sets them.
    TaskFilterModel& list_filter() { return *m_filter; }
    ListFilterBar& filter_bar() { return *m_filter_bar; }
    WindowActions& actions() { return m_actions; }

    const TaskViewModel& model() const { return m_model; }
    TaskViewModel& model() { return m_model; }
    // A toolbar button's place in the window.
    QRectF button_rect(int button) const;
    QRectF list_rect() const;
    bool status_bar_shown() const;
    int refresh_interval() const { return m_interval; }
    double scroll_offset() const;
    // The output path for a task's name, empty when the name cannot be one.
    std::string output_path(const std::string& name) const;
    // Where the task's file is: its own path, else the download folder's for its name.
    std::string task_path(const TaskView& task) const;

    RowMenu row_menu() const;
    void run_row_command(RowCommand command); // does nothing when the entry is disabled

    // The toolbar's buttons, as a click runs them.
    void press_button(int button);
    // New's downloads: each one already in the list or on disk is asked about first
    // (ui/duplicate_prompt.h), and the answers are carried out once all are given. False, with
    // nothing done, when the user cancels a question.
    bool submit_new_downloads(const std::vector<NewDownload>& downloads);
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
    void changeEvent(QEvent* event) override;

private:
    static constexpr int kFastInterval = 16;
    static constexpr int kSlowInterval = 1000;

    void build_toolbar();
    void set_interval(int ms);
    void update_title();
    void retranslate();
    // The actions' states, the status bar and the list layout after the selection or the rows
    // changed.
    void follow_model();
    // The list view's selection made the view model's, and back.
    void push_selection();
    void pull_selection();
    void refresh_list(bool rows_changed);
    // The view model and the list after the engine's list `moved` (a snapshot is taken) or
    // not (speeds and animation only), or the engine came or went (`changed`).
    void follow_engine(double now, bool moved, bool changed, const std::optional<ListStamp>& stamp);
    void show_row_menu(const QPoint& global_pos);
    void show_window_menu(const QPoint& global_pos);
    void open_new_download();
    void open_settings();
    void run_second_button();
    void act_on_all(PauseAction action);
    // The selected queued tasks, in list order.
    std::vector<int32_t> queued_selection() const;
    void start_selected_now();
    void move_selected(bool up);
    void take_screenshot_if_due();
    void show_banner(BannerMode mode);
    // The list view's row for a task; invalid when it is not shown (deleted, or filtered out).
    QModelIndex view_index(int32_t id) const;

    EngineOps m_ops;
    TaskViewModel m_model;
    TaskListModel* m_list_model = nullptr;
    TaskFilterModel* m_filter = nullptr;
    ListFilterBar* m_filter_bar = nullptr;
    TaskListView* m_list = nullptr;
    WindowActions m_actions;
    TopBar* m_toolbar = nullptr;
    std::array<TopBarButton*, 4> m_buttons{};
    Banner* m_banner_widget = nullptr;
    TotalBar* m_status = nullptr;
    QToolButton* m_limit_button = nullptr;
    void show_speed_limit();
    // Limits someone changed on the engine (its control API) become the app's settings.
    void follow_engine_limits();
    std::optional<std::pair<int64_t, int64_t>> m_seen_limits; // (speed limit, at once) as last seen
    QTimer m_timer;
    int m_interval = 16;
    bool m_engine_running = false;
    std::vector<TaskSnapshot> m_snapshot;   // the engine's list as last taken, kept to reuse its room
    std::optional<ListStamp> m_drawn_stamp; // the stamp m_snapshot was taken at
    bool m_syncing = false;                 // the window is setting the list view's selection
    BannerMode m_banner = BannerMode::None;
    bool m_banner_dismissed = false;
    std::string m_queued_update;
    ShellHooks m_shell;
    std::string m_update_version, m_update_url, m_update_sha256;
    QString m_title;
    QString m_shot_path;
    int64_t m_shot_deadline = 0;
    std::string m_download_folder;
    int64_t m_connections = static_cast<int64_t>(kDefaultConnections);
    SettingsContext m_settings_context;
    DownloadStarter* m_starter = nullptr;
    bool m_settings_open = false;                       // the dialog then takes the screenshot
    bool m_seen_tasks = false;                          // the first rows came (they are not "new")
    std::vector<int32_t> m_removed_ids;                 // the last removal, for undo
    std::vector<std::pair<QString, QString>> m_trashed; // its files: (path, where in the trash)
};

} // namespace twk::ui
