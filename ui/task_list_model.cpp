#include "ui/task_list_model.h"

#include <QSize>

#include <vector>

#include "ui/row_text.h"
#include "ui/task_dialogs.h"
#include "ui/task_filter_model.h"

namespace twk::ui {

TaskListModel::TaskListModel(const TaskViewModel& tasks, QObject* parent)
    : QAbstractListModel(parent), m_tasks(tasks) {}

int TaskListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_ids.size());
}

static_assert(static_cast<int>(TaskListModel::TaskIdRole) == static_cast<int>(kTaskIdRole));

namespace {

// Up to this many changed rows are announced one by one (about a screenful).
constexpr size_t kRowsChangedOneByOne = 32;

// The engine's state a view state stands for.
TaskState task_state(ViewState state) {
    switch (state) {
    case ViewState::Queued: return kQueued;
    case ViewState::Probing:
    case ViewState::Downloading: return kRunning;
    case ViewState::Paused: return kPaused;
    case ViewState::Done: return kDone;
    case ViewState::Canceled: return kCanceled;
    case ViewState::Error: break;
    }
    return twk::kError;
}

} // namespace

const TaskView* TaskListModel::task(const QModelIndex& index) const {
    if (index.isValid() && index.model() != this) return m_tasks.find(index.data(TaskIdRole).toInt());
    if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= m_ids.size())
        return nullptr;
    return m_tasks.find(m_ids[static_cast<size_t>(index.row())]);
}

QModelIndex TaskListModel::index_of(int32_t id) const {
    for (size_t row = 0; row < m_ids.size(); ++row) {
        if (m_ids[row] == id) return index(static_cast<int>(row));
    }
    return {};
}

QVariant TaskListModel::data(const QModelIndex& index, int role) const {
    const TaskView* view = task(index);
    if (!view) return {};
    switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(view->name);
    case Qt::ToolTipRole: return row_tooltip(*view);
    case Qt::AccessibleTextRole:
        return QString::fromStdString(view->name) + QStringLiteral(", ") +
               QString::fromStdString(display_status(view->status));
    case Qt::SizeHintRole: return QSize(0, row_height(view->state()));
    case TaskIdRole: return view->id;
    case kTaskNameRole: return QString::fromStdString(view->name);
    case kTaskUrlRole: return QString::fromStdString(view->url);
    case kTaskSizeRole: return qulonglong(view->total);
    case kTaskStateRole: return static_cast<int>(task_state(view->state()));
    case kTaskStatusRole: return QString::fromStdString(view->status);
    default: return {};
    }
}

TaskListModel::Change TaskListModel::refresh() {
    std::vector<int32_t> ids;
    std::vector<int> heights;
    std::vector<uint64_t> versions;
    std::vector<uint64_t> identities;
    for (const TaskView* view : m_tasks.visible()) {
        ids.push_back(view->id);
        heights.push_back(row_height(view->state()));
        versions.push_back(view->version);
        identities.push_back(view->identity);
    }
    if (ids != m_ids) {
        beginResetModel();
        m_ids = std::move(ids);
        m_heights = std::move(heights);
        m_versions = std::move(versions);
        m_identities = std::move(identities);
        endResetModel();
        return Change::Rows;
    }
    if (heights != m_heights) {
        emit layoutAboutToBeChanged();
        m_heights = std::move(heights);
        m_versions = std::move(versions);
        m_identities = std::move(identities);
        emit layoutChanged();
        return Change::Heights;
    }
    // Only the rows whose drawing changed are repainted, one by one: a view repaints just the
    // row's rectangle for a change of one index but its whole viewport for a range, so when many
    // rows changed one range is the cheaper of the two.
    std::vector<int> changed;
    const int rows = static_cast<int>(m_ids.size());
    for (int row = 0; row < rows; ++row) {
        const auto at = static_cast<size_t>(row);
        if (identities[at] != m_identities[at]) {
            changed.push_back(row);
        } else if (versions[at] != m_versions[at]) {
            emit progress_changed(row);
        }
    }
    m_versions = std::move(versions);
    m_identities = std::move(identities);
    if (changed.size() > kRowsChangedOneByOne) {
        emit dataChanged(index(changed.front()), index(changed.back()));
    } else {
        for (int row : changed)
            emit dataChanged(index(row), index(row));
    }
    return Change::None;
}

} // namespace twk::ui
