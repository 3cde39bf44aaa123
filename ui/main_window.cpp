#include "ui/main_window.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLayout>
#include <QMessageBox>
#include <QScrollBar>
#include <QVBoxLayout>

#include "core/engine.h"
#include "ui/list_filter_bar.h"
#include "ui/new_download_dialog.h"
#include "ui/row_painter.h"
#include "ui/row_text.h"
#include "ui/task_filter_model.h"
#include "ui/task_list.h"
#include "ui/task_list_model.h"
#include "ui/text_table.h"
#include "ui/window_texts.h"

#ifndef TWK_VERSION
#define TWK_VERSION "0"
#endif

namespace twk::ui {
namespace {

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "version\nURL\nSHA-256", missing parts empty.
void split_update(const std::string& text, std::string& version, std::string& url, std::string& sha) {
    std::string parts[3];
    size_t start = 0;
    for (int i = 0; i < 3 && start <= text.size(); ++i) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        parts[i] = text.substr(start, end - start);
        start = end + 1;
    }
    version = parts[0];
    url = parts[1];
    sha = parts[2];
}

bool g_quit_requested = false;

} // namespace

MainWindow::MainWindow(EngineOps ops, QWidget* parent)
    : QMainWindow(parent), m_ops(std::move(ops)), m_actions(this) {
    setObjectName(QStringLiteral("TWKMainWindow"));
    setMinimumSize(620, 200);
    setContextMenuPolicy(Qt::NoContextMenu);
    confirm_delete = [this](const TaskView& task) { return ask_before_deleting(this, task); };

    build_toolbar();
    auto* centre = new QWidget(this);
    auto* column = new QVBoxLayout(centre);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_banner_widget = new Banner(centre);
    column->addWidget(m_banner_widget);
    m_list_model = new TaskListModel(m_model, this);
    m_filter = new TaskFilterModel(this);
    m_filter->setSourceModel(m_list_model);
    m_filter_bar = new ListFilterBar(*m_filter, centre);
    column->addWidget(m_filter_bar);
    m_list = new TaskListView(*m_list_model, *m_filter, centre);
    column->addWidget(m_list, 1);
    setCentralWidget(centre);
    m_status = new TotalBar(this);
    setStatusBar(m_status);
    m_limit_button = new QToolButton(m_status);
    m_limit_button->setObjectName(QStringLiteral("TWKSpeedLimit"));
    m_limit_button->setCheckable(true);
    m_limit_button->setAutoRaise(true);
    m_limit_button->setFocusPolicy(Qt::NoFocus);
    m_status->addWidget(m_limit_button);
    connect(m_limit_button, &QToolButton::clicked, this, &MainWindow::toggle_speed_limit);
    m_status->hide();

    connect(m_banner_widget, &Banner::link_clicked, this, &MainWindow::click_banner_link);
    connect(m_banner_widget, &Banner::close_clicked, this, [this] {
        if (m_banner == BannerMode::Update || m_queued_update.empty()) m_banner_dismissed = true;
        close_banner();
    });
    m_list->before_input = [this] { push_selection(); };
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { pull_selection(); });
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { pull_selection(); });
    connect(m_list, &TaskListView::menu_requested, this, &MainWindow::show_row_menu);
    // Enter (or a double-click) opens a finished file.
    connect(m_list, &QAbstractItemView::activated, this, [this] { run_row_command(RowCommand::Open); });

    connect(m_actions.add, &QAction::triggered, this, &MainWindow::open_new_download);
    connect(m_actions.pause, &QAction::triggered, this, &MainWindow::run_second_button);
    connect(m_actions.remove, &QAction::triggered, this, [this] { delete_selected(); });
    connect(m_actions.settings, &QAction::triggered, this, &MainWindow::open_settings);
    connect(m_actions.undo, &QAction::triggered, this, [this] { undo_delete(); });
    connect(m_actions.stop, &QAction::triggered, this, [this] {
        pull_selection();
        for (const TaskView* task : m_model.selection()) {
            if (task->recording() && m_ops.finish) m_ops.finish(task->id);
        }
    });
    connect(m_actions.pause_all, &QAction::triggered, this, [this] { act_on_all(PauseAction::Pause); });
    connect(m_actions.resume_all, &QAction::triggered, this, [this] { act_on_all(PauseAction::Resume); });
    connect(m_actions.language, &QAction::triggered, this, &MainWindow::switch_language_now);
    connect(m_actions.about, &QAction::triggered, this, &MainWindow::show_about);
    connect(m_actions.start_now, &QAction::triggered, this, &MainWindow::start_selected_now);
    connect(m_actions.move_up, &QAction::triggered, this, [this] { move_selected(true); });
    connect(m_actions.move_down, &QAction::triggered, this, [this] { move_selected(false); });

    resize(760, 360);
    m_engine_running = m_ops.running && m_ops.running();
    connect(&m_timer, &QTimer::timeout, this, [this] { tick(static_cast<double>(monotonic_ms()) / 1000.0); });
    m_timer.start(m_interval);
    retranslate();
    follow_model();
    m_list->setFocus();
    m_starter = new DownloadStarter(m_ops.add, this);
    m_starter->set_add_to(m_ops.add_to);
    connect(m_starter, &DownloadStarter::finished, this, [this](bool ok, const QString& error) {
        if (ok) {
            set_interval(kFastInterval);
            return;
        }
        auto* box = new QMessageBox(QMessageBox::Warning, t("new.failed"), error, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
}

void MainWindow::build_toolbar() {
    m_toolbar = new TopBar(this);
    addToolBar(Qt::TopToolBarArea, m_toolbar);
    m_buttons[kButtonNew] = new TopBarButton(m_actions.add, false);
    m_buttons[kButtonPause] = new TopBarButton(m_actions.pause, false);
    m_buttons[kButtonDelete] = new TopBarButton(m_actions.remove, false);
    m_buttons[kButtonSettings] = new TopBarButton(m_actions.settings, true);
    m_toolbar->set_buttons({m_buttons[kButtonNew], m_buttons[kButtonPause], m_buttons[kButtonDelete]},
                           m_buttons[kButtonSettings]);
    connect(m_toolbar, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QWidget* under = m_toolbar->childAt(pos);
        if (qobject_cast<TopBarButton*>(under)) return;
        show_window_menu(m_toolbar->mapToGlobal(pos));
    });
}

QRectF MainWindow::button_rect(int button) const {
    if (button < 0 || button >= static_cast<int>(m_buttons.size())) return {};
    const TopBarButton* b = m_buttons[static_cast<size_t>(button)];
    return QRectF(b->mapTo(this, QPoint(0, 0)), b->size());
}

QRectF MainWindow::list_rect() const { return QRectF(m_list->mapTo(this, QPoint(0, 0)), m_list->size()); }

bool MainWindow::status_bar_shown() const { return !m_status->isHidden(); }

double MainWindow::scroll_offset() const { return m_list->verticalScrollBar()->value(); }

void MainWindow::update_title() {
    QString title = t("app.name") + QStringLiteral(" — v") + QStringLiteral(TWK_VERSION) +
                    QStringLiteral(" · ") + t("app.edition");
    if (title == m_title) return;
    m_title = title;
    setWindowTitle(title);
}

void MainWindow::retranslate() {
    m_title.clear();
    update_title();
    m_actions.retranslate(m_model.pause_action());
    m_banner_widget->set_content(m_banner, q(m_update_version));
    m_filter_bar->retranslate();
    show_speed_limit();
    m_status->update();
    m_list->viewport()->update();
    follow_model();
}

void MainWindow::show_banner(BannerMode mode) {
    m_banner = mode;
    m_banner_widget->set_content(mode, q(m_update_version));
    if (centralWidget()->layout()) centralWidget()->layout()->activate();
}

void MainWindow::show_update_banner(const std::string& text) {
    if (m_banner_dismissed) return;
    if (m_banner == BannerMode::ResourcePrompt || m_banner == BannerMode::CrashPrompt) {
        m_queued_update = text;
        return;
    }
    split_update(text, m_update_version, m_update_url, m_update_sha256);
    show_banner(BannerMode::Update);
}

void MainWindow::show_diagnostic_banner(bool crash) {
    if (m_banner_dismissed || m_banner != BannerMode::None) return;
    show_banner(crash ? BannerMode::CrashPrompt : BannerMode::ResourcePrompt);
}

void MainWindow::close_banner() {
    BannerMode next = BannerMode::None;
    if (!m_queued_update.empty() && !m_banner_dismissed) {
        split_update(m_queued_update, m_update_version, m_update_url, m_update_sha256);
        next = BannerMode::Update;
    }
    m_queued_update.clear();
    show_banner(next);
}

void MainWindow::click_banner_link() {
    if (m_banner == BannerMode::Update) {
        if (m_shell.download) m_shell.download();
        return;
    }
    if (m_banner == BannerMode::None) return;
    // A prompt closes whether or not anything was sent.
    if (m_shell.share) m_shell.share();
    close_banner();
}

void MainWindow::press_button(int button) {
    switch (button) {
    case kButtonNew: open_new_download(); break;
    case kButtonPause: run_second_button(); break;
    case kButtonDelete: delete_selected(); break;
    case kButtonSettings: open_settings(); break;
    default: break;
    }
}

void MainWindow::run_second_button() {
    const PauseAction action = m_model.pause_action();
    if (action == PauseAction::None) return;
    std::vector<int32_t> ids;
    for (const TaskView* task : m_model.selection()) {
        if (pause_action_for(task->state()) == action) ids.push_back(task->id);
    }
    for (int32_t id : ids) {
        if (action == PauseAction::Pause && m_ops.pause) m_ops.pause(id);
        if (action == PauseAction::Resume && m_ops.resume) m_ops.resume(id);
        if (action == PauseAction::Retry && m_ops.retry) m_ops.retry(id);
    }
    set_interval(kFastInterval);
}

void MainWindow::delete_selected(bool with_file) {
    std::vector<int32_t> ids;
    bool running = false;
    for (const TaskView* task : m_model.selection()) {
        ids.push_back(task->id);
        running = running || (task->active() && task->state() != ViewState::Queued);
    }
    if (ids.empty()) return;
    // One question for the lot, and only when something is under way.
    if (running && confirm_delete && !confirm_delete(*m_model.find(ids.front()))) return;
    m_trashed.clear();
    if (with_file) {
        for (int32_t id : ids) {
            const TaskView* task = m_model.find(id);
            if (!task || task->state() != ViewState::Done) continue;
            QString path = q(task_path(*task));
            QString trashed;
            if (!path.isEmpty() && QFile::moveToTrash(path, &trashed)) m_trashed.emplace_back(path, trashed);
        }
    }
    if (m_ops.remove) m_ops.remove(ids);
    m_removed_ids = ids;
    m_model.hide_selected();
    refresh_list(true);
    follow_model();
    set_interval(kFastInterval);
}

bool MainWindow::undo_delete() {
    if (m_removed_ids.empty() || !m_ops.undo_remove || !m_ops.undo_remove()) return false;
    for (const auto& [from, trashed] : m_trashed) {
        if (!QFileInfo::exists(from)) QFile::rename(trashed, from);
    }
    for (int32_t id : m_removed_ids)
        m_model.unhide(id);
    m_model.set_selection(m_removed_ids, m_removed_ids.front());
    m_removed_ids.clear();
    m_trashed.clear();
    refresh_list(true);
    follow_model();
    set_interval(kFastInterval);
    return true;
}

void MainWindow::act_on_all(PauseAction action) {
    for (const TaskView& task : m_model.tasks()) {
        if (pause_action_for(task.state()) != action || m_model.hidden().count(task.id)) continue;
        if (action == PauseAction::Pause && m_ops.pause) m_ops.pause(task.id);
        if (action == PauseAction::Resume && m_ops.resume) m_ops.resume(task.id);
    }
    set_interval(kFastInterval);
}

QModelIndex MainWindow::view_index(int32_t id) const {
    return m_filter->mapFromSource(m_list_model->index_of(id));
}

std::vector<int32_t> MainWindow::queued_selection() const {
    std::vector<int32_t> ids;
    for (const TaskView* task : m_model.selection())
        if (task->state() == ViewState::Queued) ids.push_back(task->id);
    return ids;
}

void MainWindow::start_selected_now() {
    if (!m_ops.start_now) return;
    for (int32_t id : queued_selection())
        m_ops.start_now(id);
    set_interval(kFastInterval);
}

void MainWindow::move_selected(bool up) {
    if (!m_ops.move) return;
    std::vector<int32_t> ids = queued_selection();
    // Moving down, the lowest goes first, so that a block keeps its order.
    if (!up) std::reverse(ids.begin(), ids.end());
    for (int32_t id : ids)
        m_ops.move(id, up ? QueueMove::kUp : QueueMove::kDown);
    set_interval(kFastInterval);
}

void MainWindow::set_settings_context(SettingsContext context) {
    m_settings_context = std::move(context);
    show_speed_limit();
}

void MainWindow::show_speed_limit() {
    const app::Settings& s = m_settings_context.settings;
    m_limit_button->setChecked(s.speed_limit_on);
    m_limit_button->setText(
        s.speed_limit_on
            ? QString::fromUtf8(window_text(WindowText::SpeedLimitOn))
                  .arg(QString::fromStdString(speed_text(static_cast<double>(s.speed_limit_kib) * 1024)))
            : QString::fromUtf8(window_text(WindowText::SpeedLimitOff)));
    m_limit_button->setToolTip(QString::fromUtf8(window_text(WindowText::SpeedLimitSetting)));
}

void MainWindow::toggle_speed_limit() {
    app::Settings& s = m_settings_context.settings;
    const bool on = !s.speed_limit_on;
    if (!m_settings_context.paths.config_home.empty()) {
        app::SettingsStore store(m_settings_context.paths);
        s = app::save_speed_limit_on(store, s, on);
    } else {
        s.speed_limit_on = on;
    }
    if (m_ops.set_global_limit) m_ops.set_global_limit(s.global_limit());
    if (m_settings_context.saved) m_settings_context.saved(s);
    show_speed_limit();
}

void MainWindow::follow_engine_limits() {
    std::pair<int64_t, int64_t> now;
    if (!m_ops.limits || !m_ops.limits(now.first, now.second)) {
        m_seen_limits.reset();
        return;
    }
    if (m_seen_limits == now) return;
    m_seen_limits = now;
    app::Settings& s = m_settings_context.settings;
    // The values the app set itself.
    if (now == std::pair<int64_t, int64_t>(s.global_limit(), s.downloads_at_once)) return;
    if (!m_settings_context.paths.config_home.empty()) {
        app::SettingsStore store(m_settings_context.paths);
        s = app::save_engine_limits(store, s, now.first, now.second);
    } else {
        s = app::with_engine_limits(s, now.first, now.second);
    }
    if (m_settings_context.adopted) m_settings_context.adopted(s);
    show_speed_limit();
}

void MainWindow::ensure_visible(int32_t id) {
    QModelIndex index = view_index(id);
    if (index.isValid()) m_list->scrollTo(index, QAbstractItemView::EnsureVisible);
}

bool MainWindow::quit_requested() { return g_quit_requested; }

void MainWindow::quit_now() {
    g_quit_requested = true;
    // A dialog's own event loop would keep the app waiting: each is answered Cancel first.
    for (int guard = 0; guard < 16; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal) modal->hide();
    }
    QApplication::exit(0);
}

} // namespace twk::ui
