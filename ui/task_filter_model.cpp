#include "ui/task_filter_model.h"

#include <QRegularExpression>

#include "core/task_snapshot.h"

namespace twk::ui {
namespace {

// Under way first, finished last: the order the state sort shows.
int state_rank(int state, const QString& status) {
    switch (state) {
    case kRunning: return status == QLatin1String("probing") ? 1 : 0;
    case kQueued: return 2;
    case kPaused: return 3;
    case kError: return 4;
    case kDone: return 5;
    default: return 6;
    }
}

// Runs of digits compare as numbers ("part 2" before "part 10"), the rest without case. Done by
// hand: the collator's numeric mode is missing where Qt has no ICU or the locale is "C".
int natural_compare(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype si = i, sj = j;
            while (si < a.size() && a[si] == u'0')
                ++si;
            while (sj < b.size() && b[sj] == u'0')
                ++sj;
            qsizetype ei = si, ej = sj;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
            int order = QStringView(a).sliced(si, ei - si).compare(QStringView(b).sliced(sj, ej - sj));
            if (order != 0) return order;
            i = ei;
            j = ej;
            continue;
        }
        QChar x = a[i].toCaseFolded(), y = b[j].toCaseFolded();
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

} // namespace

TaskFilterModel::TaskFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
}

bool TaskFilterModel::chip_accepts(ListChip chip, int state) {
    switch (chip) {
    case ListChip::All: return true;
    case ListChip::Running: return state == kQueued || state == kRunning || state == kPaused;
    case ListChip::Finished: return state == kDone;
    case ListChip::Failed: return state == kError;
    }
    return true;
}

void TaskFilterModel::set_chip(ListChip chip) {
    if (chip == m_chip) return;
    m_chip = chip;
    invalidateFilter();
}

void TaskFilterModel::set_filter_text(const QString& text) {
    if (text == m_text) return;
    m_text = text;
    m_words = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    invalidateFilter();
}

void TaskFilterModel::set_sort(SortKey key, bool descending) {
    m_key = key;
    m_descending = descending;
    // Column -1 is the model's own order.
    if (key == SortKey::Queue)
        sort(-1);
    else {
        invalidate();
        sort(0, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    }
}

int TaskFilterModel::count(ListChip chip) const {
    const QAbstractItemModel* model = sourceModel();
    if (!model) return 0;
    int n = 0;
    for (int row = 0; row < model->rowCount(); ++row)
        n += chip_accepts(chip, model->index(row, 0).data(kTaskStateRole).toInt());
    return n;
}

bool TaskFilterModel::filterAcceptsRow(int source_row, const QModelIndex& source_parent) const {
    QModelIndex index = sourceModel()->index(source_row, 0, source_parent);
    if (!chip_accepts(m_chip, index.data(kTaskStateRole).toInt())) return false;
    if (m_words.isEmpty()) return true;
    const QString name = index.data(kTaskNameRole).toString();
    const QString url = index.data(kTaskUrlRole).toString();
    for (const QString& word : m_words)
        if (!name.contains(word, Qt::CaseInsensitive) && !url.contains(word, Qt::CaseInsensitive))
            return false;
    return true;
}

bool TaskFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    int order = 0;
    switch (m_key) {
    case SortKey::Queue: break;
    case SortKey::Name:
        order = natural_compare(left.data(kTaskNameRole).toString(), right.data(kTaskNameRole).toString());
        break;
    case SortKey::Size: {
        qulonglong a = left.data(kTaskSizeRole).toULongLong();
        qulonglong b = right.data(kTaskSizeRole).toULongLong();
        order = a < b ? -1 : a > b ? 1 : 0;
        break;
    }
    case SortKey::State:
        order = state_rank(left.data(kTaskStateRole).toInt(), left.data(kTaskStatusRole).toString()) -
                state_rank(right.data(kTaskStateRole).toInt(), right.data(kTaskStatusRole).toString());
        break;
    case SortKey::Added: order = left.data(kTaskIdRole).toInt() - right.data(kTaskIdRole).toInt(); break;
    }
    if (order != 0) return order < 0;
    // Ties keep the queue's order, whichever way the sort runs.
    return m_descending ? left.row() > right.row() : left.row() < right.row();
}

} // namespace twk::ui
