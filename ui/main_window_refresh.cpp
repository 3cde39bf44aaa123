// The main window's refresh: the timer's tick reads the engine's list into the view model and
// the list, and the window follows the model (actions, status bar, empty texts, selection).
#include "ui/main_window.h"

#include <QEvent>
#include <QItemSelectionModel>
#include <QLayout>
#include <QScrollBar>

#include <algorithm>

#include "ui/list_filter_bar.h"
#include "ui/task_filter_model.h"
#include "ui/task_list.h"
#include "ui/task_list_model.h"
#include "ui/text_table.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

QString t(const char* key) { return QString::fromUtf8(tr(key)); }

} // namespace

void MainWindow::request_screenshot(const QString& path, int64_t deadline_ms) {
    m_shot_path = path;
    m_shot_deadline = deadline_ms;
    set_interval(kFastInterval);
}

void MainWindow::set_interval(int ms) {
    if (ms == m_interval) return;
    m_interval = ms;
    m_timer.start(ms);
}

void MainWindow::follow_model() {
    m_actions.follow(m_model.pause_action(), row_menu().present, m_model.recording_selected());
    m_actions.follow_queue(!queued_selection().empty());
    // Rows the filter hides are not "no tasks": the texts say what to do about them.
    const bool filtered_out = m_list_model->rowCount() > 0 && m_filter->rowCount() == 0;
    if (filtered_out)
        m_list->set_empty_texts(QString::fromUtf8(window_text(WindowText::NoMatch)),
                                QString::fromUtf8(window_text(WindowText::NoMatchHint)));
    else
        m_list->set_empty_texts(m_engine_running ? t("list.empty") : t("state.offline"),
                                m_engine_running ? t("list.hint") : QString());
    m_filter_bar->update_counts();
    m_limit_button->setVisible(m_engine_running);
    m_status->set_state(m_engine_running, m_model.visible_speed_sum());
    const bool wanted = m_model.wants_status_bar(m_engine_running);
    if (wanted != status_bar_shown()) {
        m_status->setVisible(wanted);
        if (layout()) layout()->activate();
    }
    m_toolbar->lay_out_now();
}

void MainWindow::push_selection() {
    QItemSelectionModel* chosen = m_list->selectionModel();
    QItemSelection selection;
    bool filtered_out = false;
    for (const TaskView* task : m_model.selection()) {
        QModelIndex index = view_index(task->id);
        if (index.isValid())
            selection.select(index, index);
        else
            filtered_out = true;
    }
    QModelIndex current = m_model.selected() ? view_index(*m_model.selected()) : QModelIndex();
    QModelIndexList now = chosen->selectedIndexes();
    bool same = chosen->currentIndex() == current && now.size() == selection.indexes().size();
    for (const QModelIndex& index : now)
        same = same && selection.contains(index);
    if (!same) {
        m_syncing = true;
        chosen->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
        chosen->select(selection, QItemSelectionModel::ClearAndSelect);
        m_syncing = false;
    }
    // Rows the filter hides leave the selection, so that no action reaches what is not shown.
    if (filtered_out) pull_selection();
}

void MainWindow::pull_selection() {
    if (m_syncing) return;
    QItemSelectionModel* chosen = m_list->selectionModel();
    std::vector<int32_t> ids;
    QModelIndexList rows = chosen->selectedIndexes();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& index : rows) {
        if (const TaskView* task = m_list_model->task(index)) ids.push_back(task->id);
    }
    const TaskView* current = m_list_model->task(chosen->currentIndex());
    if (ids.empty()) {
        m_model.select(std::nullopt);
    } else if (current && std::find(ids.begin(), ids.end(), current->id) != ids.end()) {
        m_model.set_selection(ids, current->id);
    } else {
        m_model.set_selection(ids, ids.front());
    }
    follow_model();
}

void MainWindow::refresh_list(bool rows_changed) {
    const int scroll = m_list->verticalScrollBar()->value();
    TaskListModel::Change change = m_list_model->refresh();
    if (change != TaskListModel::Change::None || rows_changed) {
        m_list->lay_out_now();
        if (change == TaskListModel::Change::Rows) m_list->verticalScrollBar()->setValue(scroll);
    }
    push_selection();
}

void MainWindow::tick(double now) {
    const bool running = m_ops.running && m_ops.running();
    const bool changed = running != m_engine_running;
    m_engine_running = running;
    // Read before the snapshot, so that a change between the two is seen at the next tick.
    std::optional<ListStamp> stamp;
    if (running && m_ops.stamp) stamp = m_ops.stamp();
    if (!running) m_drawn_stamp.reset();
    const bool moved = running && m_ops.snapshot && (!stamp || !m_drawn_stamp || !(*stamp == *m_drawn_stamp));
    // A list that stands still with nothing under way costs nothing: no snapshot, no rebuild,
    // no repaint. While something runs its speed and time left still move between changes.
    if (moved || changed || m_model.any_active()) follow_engine(now, moved, changed, stamp);
    follow_engine_limits();

    const bool shown = isVisible() && !isMinimized();
    set_interval((shown && m_model.any_active()) || screenshot_pending() ? kFastInterval : kSlowInterval);
    if (m_shell.tick) m_shell.tick();
    take_screenshot_if_due();
}

void MainWindow::follow_engine(double now, bool moved, bool changed, const std::optional<ListStamp>& stamp) {
    std::optional<int32_t> newest;
    m_model.set_bar_pixels(m_list->viewport()->width());
    if (moved && m_ops.snapshot(m_snapshot)) {
        m_drawn_stamp = stamp;
        const int32_t last_id = m_model.tasks().empty() ? 0 : m_model.tasks().back().id;
        m_model.update(m_snapshot, now);
        // A task added since the last look is selected and scrolled into view; the first rows
        // (those the journal restored) are not new.
        if (m_seen_tasks && !m_model.tasks().empty() && m_model.tasks().back().id > last_id)
            newest = m_model.tasks().back().id;
        m_seen_tasks = m_seen_tasks || !m_model.tasks().empty();
    } else if (!moved) {
        m_model.advance(now);
    }
    m_model.prune_hidden();
    m_model.animate();
    if (newest) m_model.select(*newest);
    refresh_list(changed);
    follow_model();
    if (newest) ensure_visible(*newest);
}

void MainWindow::take_screenshot_if_due() {
    if (m_shot_path.isEmpty() || m_settings_open || !isVisible() || monotonic_ms() < m_shot_deadline) return;
    QString path = m_shot_path;
    m_shot_path.clear(); // exactly one, even when saving fails
    render_frame().save(path, "PNG");
}

QImage MainWindow::render_frame() {
    if (layout()) layout()->activate();
    return grab().toImage();
}

void MainWindow::changeEvent(QEvent* event) {
    // Coming back from minimised: refresh at once rather than at the slow cadence.
    if (event->type() == QEvent::WindowStateChange && !isMinimized() && m_model.any_active())
        set_interval(kFastInterval);
    QMainWindow::changeEvent(event);
}

} // namespace twk::ui
