#include "ui/main_window.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolTip>
#include <QUrl>
#include <QWheelEvent>

#include <cmath>

#include "core/engine.h"
#include "core/status_document.h"
#include "net/text.h"
#include "ui/new_download_dialog.h"
#include "ui/notifier.h"
#include "ui/palette.h"
#include "ui/row_painter.h"
#include "ui/row_text.h"
#include "ui/text_table.h"

#ifndef TWK_VERSION
#define TWK_VERSION "0"
#endif

namespace twk::ui {
namespace {

// Geometry, 96-dpi pixels.
constexpr int kToolbarHeight = 46;
constexpr int kBannerHeight = 36;
constexpr int kStatusBarHeight = 32;
constexpr double kButtonHeight = 28;
constexpr double kButtonTop = 9;
constexpr double kButtonsLeft = 10;
constexpr double kButtonGap = 4;
constexpr double kSettingsRightMargin = 14;
constexpr int kFastInterval = 16;
constexpr int kSlowInterval = 1000;
constexpr double kWheelStep = 48;
constexpr const char* kWebsite = "https://tarnwick.example";

QString t(int number) { return QString::fromUtf8(tr_text(number)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString label_for(PauseAction action) {
    switch (action) {
    case PauseAction::Resume: return t(14);
    case PauseAction::Retry: return t(kTextRetry);
    default: return t(13);
    }
}

QString failure_text(FailureCategory failure) {
    switch (failure) {
    case FailureCategory::kNone: return {};
    case FailureCategory::kStale:
    case FailureCategory::kConnect: return t(kTextFailureConnect);
    case FailureCategory::kTls: return t(kTextFailureTls);
    case FailureCategory::kProxy: return t(kTextFailureProxy);
    case FailureCategory::kHttpStatus:
    case FailureCategory::kProtocol: return t(kTextFailureServer);
    case FailureCategory::kIo: return t(kTextFailureLocal);
    case FailureCategory::kOther: return t(kTextFailureOther);
    }
    return {};
}

bool ask_before_deleting(QWidget* owner, const TaskView&) {
    QMessageBox box(QMessageBox::Question, t(kTextDeleteRunningTitle), t(kTextDeleteRunningBody),
                    QMessageBox::NoButton, owner);
    QPushButton* remove = box.addButton(t(15), QMessageBox::DestructiveRole);
    box.addButton(t(45), QMessageBox::RejectRole);
    box.setDefaultButton(remove);
    box.exec();
    return box.clickedButton() == remove;
}

double now_seconds() { return static_cast<double>(monotonic_ms()) / 1000.0; }

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

} // namespace

QString row_tooltip(const TaskView& task) {
    QStringList lines{q(display_status(task.status)), q(task.name)};
    if (!task.url.empty()) lines << q(task.url);
    return lines.join(QLatin1Char('\n'));
}

QString details_text(const TaskView& task, const std::string& folder) {
    auto line = [](int label, const QString& value) { return t(label) + QStringLiteral(": ") + value; };
    QString size = task.total ? q(format_size(static_cast<double>(task.total))) : t(kTextUnknownSize);
    if (task.state() != ViewState::Done)
        size = q(format_size(static_cast<double>(task.done))) + QStringLiteral(" / ") + size;
    QStringList lines{line(kTextStatus, q(display_status(task.status))), line(kTextLink, q(task.url)),
                      line(kTextFolder, q(folder)), line(kTextSize, size),
                      line(kTextConnections, QString::number(task.connections))};
    if (task.failure != FailureCategory::kNone) lines << line(kTextFailure, failure_text(task.failure));
    return lines.join(QLatin1Char('\n'));
}

MainWindow::MainWindow(EngineOps ops, QWidget* parent) : QWidget(parent), m_ops(std::move(ops)) {
    setObjectName(QStringLiteral("TWKMainWindow"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(620, 200);
    confirm_delete = [this](const TaskView& task) { return ask_before_deleting(this, task); };
    resize(760, 360);
    m_engine_running = m_ops.running && m_ops.running();
    connect(&m_timer, &QTimer::timeout, this, [this] { tick(now_seconds()); });
    m_timer.start(m_interval);
    update_title();
    layout_window();
    m_starter = new DownloadStarter(m_ops.add, this);
    connect(m_starter, &DownloadStarter::finished, this, [this](bool ok, const QString& error) {
        if (ok) {
            set_interval(kFastInterval);
            return;
        }
        auto* box = new QMessageBox(QMessageBox::Warning, t(7), error, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
}

void MainWindow::request_screenshot(const QString& path, int64_t deadline_ms) {
    m_shot_path = path;
    m_shot_deadline = deadline_ms;
    set_interval(kFastInterval);
}

QRectF MainWindow::list_rect() const {
    double top = kToolbarHeight + (m_banner != BannerMode::None ? kBannerHeight : 0);
    double bottom = height() - (m_status_bar ? kStatusBarHeight : 0);
    return QRectF(0, top, width(), std::max(0.0, bottom - top));
}

std::string MainWindow::output_path(const std::string& name) const {
    if (name.empty() || name == "-" || name == "—") return {};
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) return {};
    std::string folder = m_download_folder.empty() ? default_download_dir() : m_download_folder;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\'))
        folder.pop_back();
    return folder + "/" + name;
}

void MainWindow::set_interval(int ms) {
    if (ms == m_interval) return;
    m_interval = ms;
    m_timer.start(ms);
}

void MainWindow::update_title() {
    QString title =
        t(8) + QStringLiteral(" — v") + QStringLiteral(TWK_VERSION) + QStringLiteral(" · ") + t(9);
    if (title == m_title) return;
    m_title = title;
    setWindowTitle(title);
}

void MainWindow::layout_window() {
    m_engine_running = m_ops.running && m_ops.running();
    m_status_bar = m_model.wants_status_bar(m_engine_running);
    QFont font = ui_font(12, 400);
    QFontMetricsF metrics(font, this);
    m_button_action = m_model.pause_action();
    const QString labels[3] = {t(12), label_for(*m_button_action), t(15)};
    double x = kButtonsLeft;
    for (int i = 0; i < 3; ++i) {
        double w = 11 + 14 + 6 + metrics.horizontalAdvance(labels[i]) + 11;
        m_buttons[static_cast<size_t>(i)] = QRectF(x, kButtonTop, w, kButtonHeight);
        x += w + kButtonGap;
    }
    m_buttons[kButtonSettings] =
        QRectF(width() - kSettingsRightMargin - kButtonHeight, kButtonTop, kButtonHeight, kButtonHeight);
    update();
}

void MainWindow::tick(double now) {
    bool running = m_ops.running && m_ops.running();
    bool changed = running != m_engine_running;
    m_engine_running = running;
    std::vector<TaskSnapshot> tasks;
    std::optional<int32_t> newest;
    if (running && m_ops.snapshot && m_ops.snapshot(tasks)) {
        bool ids_changed = false;
        int32_t last_id = m_model.tasks().empty() ? 0 : m_model.tasks().back().id;
        m_model.update(tasks, now, &ids_changed);
        changed = changed || ids_changed;
        // A task added since the last look is selected and scrolled into view.
        if (m_seen_tasks && !m_model.tasks().empty() && m_model.tasks().back().id > last_id)
            newest = m_model.tasks().back().id;
        m_seen_tasks = true;
    }
    m_model.prune_hidden();
    m_model.animate();

    bool shown = isVisible() && !isMinimized();
    set_interval((shown && m_model.any_active()) || screenshot_pending() ? kFastInterval : kSlowInterval);
    update_title();

    if (m_shell.tick) m_shell.tick();

    if (newest) {
        m_model.select(*newest);
        ensure_visible(*newest);
        changed = true;
    }
    // The button's label follows the selected row; the status bar comes and goes with the
    // running downloads.
    if (m_button_action != m_model.pause_action() || m_status_bar != m_model.wants_status_bar(running)) {
        layout_window();
        return;
    }
    if (changed) {
        update();
    } else {
        QRectF list = list_rect();
        update(QRect(0, static_cast<int>(list.top()), width(), height() - static_cast<int>(list.top())));
    }
}

void MainWindow::show_update_banner(const std::string& text) {
    if (m_banner_dismissed) return;
    if (m_banner == BannerMode::ResourcePrompt || m_banner == BannerMode::CrashPrompt) {
        m_queued_update = text;
        return;
    }
    split_update(text, m_update_version, m_update_url, m_update_sha256);
    m_banner = BannerMode::Update;
    layout_window();
}

void MainWindow::show_diagnostic_banner(bool crash) {
    if (m_banner_dismissed || m_banner != BannerMode::None) return;
    m_banner = crash ? BannerMode::CrashPrompt : BannerMode::ResourcePrompt;
    layout_window();
}

void MainWindow::close_banner() {
    m_banner = BannerMode::None;
    if (!m_queued_update.empty() && !m_banner_dismissed) {
        split_update(m_queued_update, m_update_version, m_update_url, m_update_sha256);
        m_banner = BannerMode::Update;
    }
    m_queued_update.clear();
    layout_window();
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
    m_pressed = button;
    repaint(0, 0, width(), kToolbarHeight);
    switch (button) {
    case kButtonNew: open_new_download(); break;
    case kButtonPause: run_second_button(); break;
    case kButtonDelete: delete_selected(); break;
    case kButtonSettings: open_settings(); break;
    default: break;
    }
    m_pressed = -1;
    update();
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
            QString path = q(output_path(task->name));
            QString trashed;
            if (!path.isEmpty() && QFile::moveToTrash(path, &trashed)) m_trashed.emplace_back(path, trashed);
        }
    }
    if (m_ops.remove) m_ops.remove(ids);
    m_removed_ids = ids;
    m_model.hide_selected();
    set_interval(kFastInterval);
    update();
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

void MainWindow::ensure_visible(int32_t id) {
    int top = m_model.row_top(id);
    const TaskView* task = m_model.find(id);
    if (top < 0 || !task) return;
    double height = list_rect().height();
    double bottom = top + row_height(task->state());
    if (top < m_scroll)
        m_scroll = top;
    else if (bottom > m_scroll + height)
        m_scroll = bottom - height;
    update();
}

void MainWindow::move_selection(int step, bool extend) {
    auto rows = m_model.visible();
    if (rows.empty()) return;
    size_t at = 0;
    while (at < rows.size() && rows[at]->id != m_model.selected())
        ++at;
    size_t next;
    if (at == rows.size())
        next = step > 0 ? 0 : rows.size() - 1;
    else if (step < 0)
        next = at == 0 ? 0 : at - 1;
    else
        next = std::min(rows.size() - 1, at + 1);
    if (extend) {
        // The current row moves; the selection spans from where the range began.
        const int32_t anchor = m_anchor.value_or(rows[at == rows.size() ? next : at]->id);
        m_model.select(anchor);
        m_model.extend_to(rows[next]->id);
        std::vector<int32_t> span;
        for (const TaskView* task : m_model.selection())
            span.push_back(task->id);
        m_model.set_selection(span, rows[next]->id);
        m_anchor = anchor;
    } else {
        m_model.select(rows[next]->id);
        m_anchor.reset();
    }
    ensure_visible(rows[next]->id);
    if (m_button_action != m_model.pause_action()) layout_window();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::New)) {
        press_button(kButtonNew);
    } else if (event->matches(QKeySequence::Undo)) {
        undo_delete();
    } else if (event->matches(QKeySequence::Delete) || event->key() == Qt::Key_Delete) {
        delete_selected();
    } else if (event->key() == Qt::Key_Space) {
        run_second_button();
    } else if (event->matches(QKeySequence::SelectAll)) {
        m_model.select_all();
        if (m_button_action != m_model.pause_action()) layout_window();
    } else if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        move_selection(event->key() == Qt::Key_Up ? -1 : 1, event->modifiers() & Qt::ShiftModifier);
    } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        run_row_command(RowCommand::Open);
    } else {
        QWidget::keyPressEvent(event);
        return;
    }
    update();
}

std::optional<int32_t> MainWindow::row_at_point(const QPointF& point) const {
    QRectF list = list_rect();
    if (!list.contains(point)) return std::nullopt;
    double content = point.y() - list.top() +
                     clamp_scroll(m_scroll, m_model.content_height(), static_cast<int>(list.height()));
    return m_model.row_at(content);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        auto id = row_at_point(help->pos());
        const TaskView* task = id ? m_model.find(*id) : nullptr;
        if (task)
            QToolTip::showText(help->globalPos(), row_tooltip(*task), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

namespace {
bool g_quit_requested = false;
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

void MainWindow::start_download(const std::string& link) { m_starter->start(link, m_connections); }

void MainWindow::open_new_download() {
    std::vector<std::string> links;
    NewDownloadDialog dialog([&links](const std::string& link) { links.push_back(link); }, this);
    dialog.prefill(QGuiApplication::clipboard()->text());
    dialog.exec();
    m_starter->start(links, m_connections);
    activateWindow();
}

void MainWindow::open_settings() {
    SettingsContext context = m_settings_context;
    if (context.paths.config_home.empty()) context.paths = app::settings_paths_from_env();
    if (context.default_folder.empty()) context.default_folder = default_download_dir();
    context.saved = [this](const app::Settings& saved) {
        m_settings_context.settings = saved;
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
    m_title.clear();
    update_title();
    layout_window();
}

void MainWindow::show_about() {
    QString text = t(20) + QStringLiteral(" · v") + QStringLiteral(TWK_VERSION) + QStringLiteral("\n\n") +
                   t(21) + QStringLiteral("\n\n") + QString::fromUtf8(kWebsite);
    QMessageBox::information(this, t(8), text);
}

int MainWindow::button_at(const QPointF& point) const {
    for (size_t i = 0; i < m_buttons.size(); ++i) {
        if (m_buttons[i].contains(point)) return static_cast<int>(i);
    }
    return -1;
}

void MainWindow::select_at(const QPointF& point, Qt::KeyboardModifiers modifiers) {
    QRectF list = list_rect();
    if (!list.contains(point)) return;
    double content = point.y() - list.top() +
                     clamp_scroll(m_scroll, m_model.content_height(), static_cast<int>(list.height()));
    if (auto id = m_model.row_at(content)) {
        if (modifiers & Qt::ControlModifier) {
            m_model.toggle(*id);
        } else if (modifiers & Qt::ShiftModifier) {
            m_model.extend_to(*id);
        } else {
            m_model.select(*id);
        }
        update(list.toAlignedRect());
        if (m_button_action != m_model.pause_action()) layout_window();
    }
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    bool on_banner_control = m_banner != BannerMode::None && (m_banner_link.contains(event->position()) ||
                                                              m_banner_close.contains(event->position()));
    setCursor(on_banner_control ? Qt::PointingHandCursor : Qt::ArrowCursor);
    int hover = button_at(event->position());
    if (hover != m_hover) {
        m_hover = hover;
        update(0, 0, width(), kToolbarHeight);
    }
}

void MainWindow::leaveEvent(QEvent*) {
    if (m_hover != -1) {
        m_hover = -1;
        update(0, 0, width(), kToolbarHeight);
    }
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    QPointF point = event->position();
    if (event->button() == Qt::LeftButton && m_banner != BannerMode::None) {
        if (m_banner_close.contains(point)) {
            if (m_banner == BannerMode::Update || m_queued_update.empty()) m_banner_dismissed = true;
            close_banner();
            return;
        }
        if (m_banner_link.contains(point)) {
            click_banner_link();
            return;
        }
    }
    if (event->button() == Qt::LeftButton) {
        int button = button_at(point);
        if (button >= 0) {
            press_button(button);
            return;
        }
    }
    if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton)
        select_at(point, event->modifiers());
}

void MainWindow::wheelEvent(QWheelEvent* event) {
    m_scroll -= event->angleDelta().y() / 120.0 * kWheelStep;
    m_scroll = std::max(0.0, m_scroll);
    update(list_rect().toAlignedRect());
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    QRectF list = list_rect();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        // The menu key opens the menu at the current row.
        if (const TaskView* task = m_model.selected_task()) {
            ensure_visible(task->id);
            int y = static_cast<int>(list.top() + m_model.row_top(task->id) - m_scroll) + 24;
            show_row_menu(mapToGlobal(QPoint(24, y)));
        }
        return;
    }
    QPointF point = event->pos();
    if (point.y() < kToolbarHeight && button_at(point) < 0) {
        show_window_menu(event->globalPos());
        return;
    }
    if (!list.contains(point)) return;
    double content = point.y() - list.top() +
                     clamp_scroll(m_scroll, m_model.content_height(), static_cast<int>(list.height()));
    auto id = m_model.row_at(content);
    if (!id) return;
    // A right-click inside the selection acts on all of it.
    if (!m_model.is_selected(*id)) m_model.select(*id);
    if (m_button_action != m_model.pause_action()) layout_window();
    show_row_menu(event->globalPos());
}

void MainWindow::show_window_menu(const QPoint& global_pos) {
    QMenu menu(this);
    QAction* pause_all = menu.addAction(t(kTextPauseAll));
    QAction* resume_all = menu.addAction(t(kTextResumeAll));
    menu.addSeparator();
    QAction* language = menu.addAction(t(10));
    QAction* about = menu.addAction(t(19));
    QAction* chosen = menu.exec(global_pos);
    if (chosen == pause_all)
        act_on_all(PauseAction::Pause);
    else if (chosen == resume_all)
        act_on_all(PauseAction::Resume);
    else if (chosen == language)
        switch_language_now();
    else if (chosen == about)
        show_about();
}

RowMenu MainWindow::row_menu() const {
    RowMenu menu;
    const TaskView* task = m_model.selected_task();
    if (!task || m_model.row_top(task->id) < 0) return menu; // only a visible task has a menu
    menu.present = true;
    menu.path = output_path(task->name);
    bool is_file = !menu.path.empty() && QFileInfo(q(menu.path)).isFile();
    menu.open = task->state() == ViewState::Done && is_file;
    menu.show_in_folder = is_file;
    menu.url = task->url;
    menu.copy_link = !menu.url.empty();
    menu.retry = pause_action_for(task->state()) == PauseAction::Retry;
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
        if (menu.show_in_folder) show_in_folder(menu.path);
        break;
    case RowCommand::CopyLink:
        if (menu.copy_link) QGuiApplication::clipboard()->setText(q(menu.url));
        break;
    case RowCommand::Retry:
        if (menu.retry) run_second_button();
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
            auto* box = new QMessageBox(QMessageBox::Information, q(task->name), details_text(*task, folder),
                                        QMessageBox::Ok, this);
            box->setTextInteractionFlags(Qt::TextSelectableByMouse);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
        break;
    }
}

void MainWindow::show_row_menu(const QPoint& global_pos) {
    RowMenu state = row_menu();
    if (!state.present) return;
    QMenu menu(this);
    QAction* open = menu.addAction(t(25));
    open->setEnabled(state.open);
    QAction* folder = menu.addAction(t(26));
    folder->setEnabled(state.show_in_folder);
    QAction* copy = menu.addAction(t(27));
    copy->setEnabled(state.copy_link);
    QAction* retry = nullptr;
    if (state.retry) retry = menu.addAction(t(kTextRetry));
    QAction* details = menu.addAction(t(kTextDetails));
    menu.addSeparator();
    QAction* remove = menu.addAction(t(15));
    remove->setShortcut(QKeySequence::Delete);
    QAction* remove_file = menu.addAction(t(kTextDeleteFileToo));
    remove_file->setEnabled(state.delete_file_too);
    QAction* chosen = menu.exec(global_pos);
    if (!chosen) return;
    const std::pair<QAction*, RowCommand> commands[] = {{open, RowCommand::Open},
                                                        {folder, RowCommand::ShowInFolder},
                                                        {copy, RowCommand::CopyLink},
                                                        {retry, RowCommand::Retry},
                                                        {details, RowCommand::Details},
                                                        {remove, RowCommand::Delete},
                                                        {remove_file, RowCommand::DeleteFileToo}};
    for (const auto& [action, command] : commands) {
        if (chosen == action) run_row_command(command);
    }
}

void MainWindow::show_in_folder(const std::string& path) { show_file_in_folder(q(path), this); }

void MainWindow::resizeEvent(QResizeEvent*) { layout_window(); }

void MainWindow::changeEvent(QEvent* event) {
    // Coming back from minimised: refresh at once rather than at the slow cadence.
    if (event->type() == QEvent::WindowStateChange && !isMinimized() && m_model.any_active())
        set_interval(kFastInterval);
    QWidget::changeEvent(event);
}

QImage MainWindow::render_frame() {
    qreal ratio = devicePixelRatioF();
    QSize size(std::max(1, static_cast<int>(std::ceil(width() * ratio))),
               std::max(1, static_cast<int>(std::ceil(height() * ratio))));
    if (m_frame.size() != size) m_frame = QImage(size, QImage::Format_ARGB32_Premultiplied);
    m_frame.setDevicePixelRatio(ratio);
    QPainter p(&m_frame);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    paint_frame(p);
    return m_frame;
}

void MainWindow::paintEvent(QPaintEvent*) {
    render_frame();
    QPainter screen(this);
    screen.drawImage(QPointF(0, 0), m_frame);
    if (!m_shot_path.isEmpty() && !m_settings_open && monotonic_ms() >= m_shot_deadline) {
        QString path = m_shot_path;
        m_shot_path.clear(); // exactly one, even when saving fails
        m_frame.save(path, "PNG");
    }
}

void MainWindow::paint_frame(QPainter& p) {
    p.fillRect(QRectF(0, 0, width(), height()), kBackground);
    paint_list(p);
    paint_toolbar(p);
    if (m_banner != BannerMode::None) paint_banner(p);
    if (m_status_bar) paint_status_bar(p);
}

void MainWindow::paint_list(QPainter& p) {
    QRectF list = list_rect();
    p.fillRect(list, kBackground);
    auto rows = m_model.visible();
    if (rows.empty()) {
        QFont title = ui_font(12, 400), hint = ui_font(11, 400);
        auto centred = [&](const QString& text, const QFont& font, const QColor& color, double centre_y) {
            QFontMetricsF m(font, p.device());
            p.setFont(font);
            p.setPen(color);
            p.drawText(
                QPointF((width() - m.horizontalAdvance(text)) / 2, centre_y - m.height() / 2 + m.ascent()),
                text);
        };
        centred(m_engine_running ? t(1) : t(0), title, grey(40), list.top() + 46);
        if (m_engine_running) centred(t(2), hint, grey(38), list.top() + 70);
        return;
    }
    m_scroll = clamp_scroll(m_scroll, m_model.content_height(), static_cast<int>(list.height()));
    p.save();
    p.setClipRect(list);
    p.translate(0, list.top() - m_scroll);
    double top = 0;
    for (const TaskView* task : rows) {
        double h = row_height(task->state());
        if (top + h > m_scroll && top < m_scroll + list.height())
            paint_row(p, *task, top, width(), m_model.is_selected(task->id));
        top += h;
    }
    p.restore();
}

void MainWindow::paint_toolbar(QPainter& p) {
    p.fillRect(QRectF(0, 0, width(), kToolbarHeight), kBackground);
    p.fillRect(QRectF(0, kToolbarHeight - 1, width(), 1), kDivider);
    const PauseAction action = m_model.pause_action();
    const bool pause_enabled = action != PauseAction::None;
    const bool delete_enabled = row_menu().present;
    struct Face {
        int icon;
        QString label;
        QColor icon_color;
        QColor label_color;
        bool enabled;
    };
    const QColor off = grey(30);
    const Face faces[3] = {
        {kIconNew, t(12), kAccent, grey(80), true},
        {action == PauseAction::Pause || action == PauseAction::None ? kIconPause : kIconResume,
         label_for(action), pause_enabled ? grey(80) : off, pause_enabled ? grey(80) : off, pause_enabled},
        {kIconDelete, t(15), delete_enabled ? grey(80) : off, delete_enabled ? grey(80) : off,
         delete_enabled}};
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 4; ++i) {
        const QRectF& r = m_buttons[static_cast<size_t>(i)];
        if ((i == m_pressed || i == m_hover) && (i == kButtonSettings || faces[i].enabled)) {
            p.setPen(Qt::NoPen);
            p.setBrush(i == m_pressed ? grey(12) : grey(5));
            p.drawRoundedRect(r, 5, 5);
        }
        if (i == kButtonSettings) {
            paint_icon(p, kIconSettings, QRectF(r.center().x() - 8, r.center().y() - 8, 16, 16), grey(70));
            continue;
        }
        const Face& f = faces[i];
        paint_icon(p, f.icon, QRectF(r.left() + 11, r.center().y() - 7, 14, 14), f.icon_color);
        QFont font = ui_font(12, 400);
        QFontMetricsF m(font, p.device());
        p.setFont(font);
        p.setPen(f.label_color);
        p.drawText(QPointF(r.left() + 31, r.center().y() - m.height() / 2 + m.ascent()), f.label);
    }
    p.restore();
}

void MainWindow::paint_banner(QPainter& p) {
    QRectF band(0, kToolbarHeight, width(), kBannerHeight);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(band, kBannerBackground);
    p.fillRect(QRectF(0, band.bottom() - 1, width(), 1), kDivider);
    double cy = band.center().y();
    QRectF icon(16, cy - 6.5, 13, 13);
    p.setPen(Qt::NoPen);
    p.setBrush(kAccent);
    if (m_banner == BannerMode::Update) {
        p.drawEllipse(icon);
        p.setPen(QPen(Qt::white, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(icon.center().x(), icon.top() + 3), QPointF(icon.center().x(), icon.bottom() - 3));
        p.drawPolyline(QPolygonF({QPointF(icon.center().x() - 3, icon.center().y() + 0.5),
                                  QPointF(icon.center().x(), icon.bottom() - 3),
                                  QPointF(icon.center().x() + 3, icon.center().y() + 0.5)}));
    } else {
        p.drawPolygon(QPolygonF({QPointF(icon.center().x(), icon.top()), QPointF(icon.right(), icon.bottom()),
                                 QPointF(icon.left(), icon.bottom())}));
        p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(icon.center().x(), icon.top() + 4.5),
                   QPointF(icon.center().x(), icon.bottom() - 4.5));
        p.drawPoint(QPointF(icon.center().x(), icon.bottom() - 2));
    }
    QString message = m_banner == BannerMode::Update           ? t(60) + q(m_update_version) + t(61)
                      : m_banner == BannerMode::ResourcePrompt ? t(63)
                                                               : t(64);
    QFont font = ui_font(12, 500), link_font = ui_font(12, 600);
    QFontMetricsF m(font, p.device()), lm(link_font, p.device());
    p.setFont(font);
    p.setPen(kText);
    double x = 37;
    p.drawText(QPointF(x, cy - m.height() / 2 + m.ascent()), message);
    x += m.horizontalAdvance(message) + 2;
    QString link = m_banner == BannerMode::Update ? t(62) : t(65);
    p.setFont(link_font);
    p.setPen(kAccent);
    double baseline = cy - lm.height() / 2 + lm.ascent();
    p.drawText(QPointF(x, baseline), link);
    p.fillRect(QRectF(x, baseline + 2, lm.horizontalAdvance(link), 1), kAccent);
    m_banner_link = QRectF(x, cy - lm.height() / 2, lm.horizontalAdvance(link), lm.height());
    QRectF close(width() - 12 - 18, cy - 9, 18, 18);
    m_banner_close = close;
    double inset = close.width() * 0.3;
    p.setPen(QPen(grey(50), 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(close.topLeft() + QPointF(inset, inset), close.bottomRight() - QPointF(inset, inset));
    p.drawLine(QPointF(close.right() - inset, close.top() + inset),
               QPointF(close.left() + inset, close.bottom() - inset));
    p.restore();
}

void MainWindow::paint_status_bar(QPainter& p) {
    QRectF bar(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
    p.fillRect(bar, kStatusBackground);
    p.fillRect(QRectF(0, bar.top(), width(), 1), kDivider);
    double cy = bar.top() + 1 + (kStatusBarHeight - 1) / 2.0;
    if (!m_engine_running) {
        QFont font = ui_font(11, 400);
        QFontMetricsF m(font, p.device());
        p.setFont(font);
        p.setPen(grey(45));
        p.drawText(QPointF(16, cy - m.height() / 2 + m.ascent()), t(0));
    }
    double speed = m_model.visible_speed_sum();
    if (speed > 0) {
        QFont font = ui_font(11, 700, true);
        QFontMetricsF m(font, p.device());
        QString text = t(33) + q(speed_text(speed));
        p.setFont(font);
        p.setPen(kAccent);
        p.drawText(QPointF(width() - 16 - m.horizontalAdvance(text), cy - m.height() / 2 + m.ascent()), text);
    }
}

} // namespace twk::ui
