// The main window's commands that open something: the row menu and what its entries do, the
// window menu, and the New, Settings and About dialogs.
#include "ui/main_window.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QUrl>

#include "app/duplicate_check.h"
#include "core/engine.h"
#include "ui/duplicate_prompt.h"
#include "ui/new_download_dialog.h"
#include "ui/notifier.h"
#include "ui/refresh_link_dialog.h"
#include "ui/text_table.h"

#ifndef TWK_VERSION
#define TWK_VERSION "0"
#endif

namespace twk::ui {
namespace {

constexpr const char* kWebsite = "https://tarnwick.example";

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

std::string MainWindow::output_path(const std::string& name) const {
    if (name.empty() || name == "-" || name == "—") return {};
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) return {};
    std::string folder = m_download_folder.empty() ? default_download_dir() : m_download_folder;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\'))
        folder.pop_back();
    return folder + "/" + name;
}

std::string MainWindow::task_path(const TaskView& task) const {
    return task.path.empty() ? output_path(task.name) : task.path;
}

void MainWindow::start_download(const std::string& link) { m_starter->start(link, m_connections); }

void MainWindow::open_new_download() {
    NewDownloadDialog dialog(nullptr, this);
    std::string folder = m_download_folder.empty() ? default_download_dir() : m_download_folder;
    std::optional<app::SettingsPaths> settings;
    if (!m_settings_context.paths.config_home.empty()) settings = m_settings_context.paths;
    dialog.set_save_folders(folder, settings);
    dialog.set_submit(
        [this](const std::vector<NewDownload>& downloads) { return submit_new_downloads(downloads); });
    dialog.prefill(QGuiApplication::clipboard()->text());
    dialog.exec();
    activateWindow();
}

bool MainWindow::submit_new_downloads(const std::vector<NewDownload>& given) {
    std::vector<TaskSnapshot> tasks;
    if (m_ops.snapshot) m_ops.snapshot(tasks);
    const std::string download_folder =
        QDir::cleanPath(q(m_download_folder.empty() ? default_download_dir() : m_download_folder))
            .toStdString();
    std::vector<DuplicateStep> steps;
    for (NewDownload download : given) {
        download.connections = m_connections;
        // The download folder itself is the engine's own: such a task follows it like any other.
        if (download.folder == download_folder) download.folder.clear();
        const std::string planned = app::planned_path(
            download.url, download.name, download.folder.empty() ? download_folder : download.folder);
        const app::DuplicateFinding finding = app::find_duplicate(download.url, planned, tasks);
        if (finding.kind == app::DuplicateKind::None) {
            steps.push_back({DuplicateStep::Kind::Add, download, 0, {}});
            continue;
        }
        std::string name = finding.path.substr(finding.path.rfind('/') + 1);
        for (const TaskSnapshot& task : tasks)
            if (finding.kind == app::DuplicateKind::SameUrl && task.id == finding.task) name = task.name;
        const std::optional<app::DuplicateOffer> offer = ask_about_duplicate(finding, q(name), this);
        if (!offer) return false;
        steps.push_back(duplicate_step(finding, *offer, download, planned));
    }
    std::vector<NewDownload> adds;
    for (const DuplicateStep& step : steps) {
        switch (step.kind) {
        case DuplicateStep::Kind::Add: adds.push_back(step.download); break;
        case DuplicateStep::Kind::Resume:
            if (m_ops.resume) m_ops.resume(step.task);
            break;
        case DuplicateStep::Kind::Retry:
            if (m_ops.retry) m_ops.retry(step.task);
            break;
        case DuplicateStep::Kind::OpenFile:
            QDesktopServices::openUrl(QUrl::fromLocalFile(q(step.path)));
            break;
        case DuplicateStep::Kind::ShowRow:
            m_model.select(step.task);
            push_selection();
            ensure_visible(step.task);
            break;
        }
    }
    m_starter->start(adds);
    return true;
}

void MainWindow::open_settings() {
    SettingsContext context = m_settings_context;
    if (context.paths.config_home.empty()) context.paths = app::settings_paths_from_env();
    if (context.default_folder.empty()) context.default_folder = default_download_dir();
    context.saved = [this](const app::Settings& saved) {
        m_settings_context.settings = saved;
        show_speed_limit();
        m_download_folder = saved.download_dir;
        m_connections = saved.connections;
        if (m_settings_context.saved) m_settings_context.saved(saved);
    };
    SettingsDialog dialog(std::move(context), this);
    m_settings_open = true;
    if (screenshot_pending()) dialog.request_screenshot(m_shot_path, m_shot_deadline);
    dialog.exec();
    m_settings_open = false;
    if (dialog.screenshot_taken()) m_shot_path.clear();
    activateWindow();
}

void MainWindow::switch_language_now() {
    switch_language();
    // The choice is kept for the next start, where the app keeps its settings.
    if (!m_settings_context.paths.config_home.empty())
        app::SettingsStore(m_settings_context.paths)
            .write_string("Language", language_is_chinese() ? "zh" : "en");
    retranslate();
}

void MainWindow::show_about() {
    QString text = t("about.edition") + QStringLiteral(" · v") + QStringLiteral(TWK_VERSION) +
                   QStringLiteral("\n\n") + t("about.tagline") + QStringLiteral("\n\n") +
                   QString::fromUtf8(kWebsite);
    QMessageBox::information(this, t("app.name"), text);
}

void MainWindow::show_window_menu(const QPoint& global_pos) {
    QMenu menu(this);
    menu.addAction(m_actions.pause_all);
    menu.addAction(m_actions.resume_all);
    menu.addSeparator();
    menu.addAction(m_actions.language);
    menu.addAction(m_actions.about);
    menu.exec(global_pos);
}

RowMenu MainWindow::row_menu() const {
    RowMenu menu;
    const TaskView* task = m_model.selected_task();
    if (!task || m_model.row_top(task->id) < 0) return menu; // only a visible task has a menu
    menu.present = true;
    menu.path = task_path(*task);
    bool is_file = !menu.path.empty() && QFileInfo(q(menu.path)).isFile();
    menu.open = task->state() == ViewState::Done && is_file;
    menu.show_in_folder = is_file;
    menu.url = task->url;
    menu.copy_link = !menu.url.empty();
    menu.retry = pause_action_for(task->state()) == PauseAction::Retry;
    menu.refresh_link = task->state() != ViewState::Done && task->state() != ViewState::Canceled &&
                        m_ops.refresh_link != nullptr;
    menu.delete_file_too = menu.open;
    return menu;
}

void MainWindow::run_row_command(RowCommand command) {
    RowMenu menu = row_menu();
    switch (command) {
    case RowCommand::Open:
        if (menu.open) QDesktopServices::openUrl(QUrl::fromLocalFile(q(menu.path)));
        break;
    case RowCommand::ShowInFolder:
        if (menu.show_in_folder) show_file_in_folder(q(menu.path), this);
        break;
    case RowCommand::CopyLink:
        if (menu.copy_link) QGuiApplication::clipboard()->setText(q(menu.url));
        break;
    case RowCommand::Retry:
        if (menu.retry) run_second_button();
        break;
    case RowCommand::RefreshLink:
        if (const TaskView* task = m_model.selected_task(); task && menu.refresh_link) {
            auto refresh = [ops = m_ops.refresh_link, id = task->id](
                               const std::string& url, std::string& error) { return ops(id, url, error); };
            auto* dialog = new RefreshLinkDialog(q(task->name), std::move(refresh), this);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            dialog->open();
        }
        break;
    case RowCommand::Delete:
        if (menu.present) delete_selected();
        break;
    case RowCommand::DeleteFileToo:
        if (menu.delete_file_too) delete_selected(true);
        break;
    case RowCommand::Details:
        if (const TaskView* task = m_model.selected_task(); task && menu.present) {
            std::string folder = QFileInfo(q(menu.path)).absolutePath().toStdString();
            if (menu.path.empty())
                folder = m_download_folder.empty() ? default_download_dir() : m_download_folder;
            open_details(this, *task, folder);
        }
        break;
    }
}

void MainWindow::show_row_menu(const QPoint& global_pos) {
    pull_selection();
    RowMenu state = row_menu();
    if (!state.present) return;
    QMenu menu(this);
    if (m_actions.stop->isEnabled()) {
        menu.addAction(m_actions.stop);
        menu.addSeparator();
    }
    const std::pair<RowCommand, QAction*> entries[] = {
        {RowCommand::Open, menu.addAction(t("row.open"))},
        {RowCommand::ShowInFolder, menu.addAction(t("row.show_in_folder"))},
        {RowCommand::CopyLink, menu.addAction(t("row.copy_link"))},
        {RowCommand::Retry, state.retry ? menu.addAction(t("action.retry")) : nullptr},
        {RowCommand::RefreshLink, menu.addAction(refresh_link_menu_text())},
        {RowCommand::Details, menu.addAction(t("row.details"))},
        {RowCommand::Delete, (menu.addSeparator(), menu.addAction(t("action.delete")))},
        {RowCommand::DeleteFileToo, menu.addAction(t("row.delete_file_too"))}};
    entries[0].second->setEnabled(state.open);
    entries[1].second->setEnabled(state.show_in_folder);
    entries[2].second->setEnabled(state.copy_link);
    entries[4].second->setEnabled(state.refresh_link);
    entries[6].second->setShortcut(QKeySequence::Delete);
    entries[7].second->setEnabled(state.delete_file_too);
    // A queued row can be started at once or moved in the queue.
    if (m_actions.start_now->isEnabled()) {
        menu.insertActions(entries[5].second, {m_actions.start_now, m_actions.move_up, m_actions.move_down});
        menu.insertSeparator(entries[5].second);
    }
    QAction* chosen = menu.exec(global_pos);
    for (const auto& [command, action] : entries) {
        if (chosen && chosen == action) run_row_command(command);
    }
}

} // namespace twk::ui
