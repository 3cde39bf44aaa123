// The main window's list as a Qt item model: one row per visible task of the view model, in its
// order. The view model stays the owner of the tasks and of the selection; this model only
// presents them to the list view.
#pragma once

#include <QAbstractListModel>

#include <cstdint>
#include <vector>

#include "ui/task_view_model.h"

namespace twk::ui {

class TaskListModel : public QAbstractListModel {
    Q_OBJECT
public:
    // Also the roles the list's sort and filter read (ui/task_filter_model.h).
    enum Role : int { TaskIdRole = Qt::UserRole + 1 };

    explicit TaskListModel(const TaskViewModel& tasks, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // The task of a row of this model, or of a proxy over it (found by its id).
    const TaskView* task(const QModelIndex& index) const;
    QModelIndex index_of(int32_t id) const; // invalid when the task is not shown

    enum class Change { None, Rows, Heights };
    // Takes the view model's visible rows again. A changed row set resets the model, a row that
    // changed height relays the list out; otherwise the rows whose drawing changed are repainted:
    // through dataChanged (sorted and filtered again) when what they are sorted and filtered by
    // changed, else through `progress_changed`.
    Change refresh();

signals:
    // Only the progress a row draws moved (bytes, speed, its bar): a view repaints the row. A
    // dataChanged would do it too, but a list view with rows of two heights lays every row out
    // again and repaints all of them for each one, which while downloads run is at every frame.
    void progress_changed(int row);

private:
    const TaskViewModel& m_tasks;
    std::vector<int32_t> m_ids;
    std::vector<int> m_heights;
    std::vector<uint64_t> m_versions;   // each row's TaskView::version as last shown
    std::vector<uint64_t> m_identities; // and its TaskView::identity
};

} // namespace twk::ui
