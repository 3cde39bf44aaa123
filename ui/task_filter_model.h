// The list as the user narrows and orders it: a proxy over the window's task model that keeps
// the rows a filter chip and the filter text let through, in the order the sort menu says.
//
// Chips: All; Running (queued, under way or paused: everything not yet finished or failed);
// Finished; Failed. So every row is under All and under exactly one other chip. The text keeps
// rows whose name or link holds each of its words, in any case.
//
// Orders: the queue's own (the model's, in which tasks run; the default), name (natural: "part 2"
// before "part 10"), size (unknown sizes as 0), state (running, queued, paused, failed, finished)
// and added (by id, which grows as tasks are added); each may be reversed. Rows that compare
// equal keep the queue's order.
//
// The model's rows answer these roles.
#pragma once

#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>

namespace twk::ui {

enum TaskRole : int {
    kTaskIdRole = Qt::UserRole + 1, // int: the task's id
    kTaskNameRole,                  // QString: the file's name
    kTaskUrlRole,                   // QString: the link, as shown
    kTaskSizeRole,                  // qulonglong: the total, 0 while unknown
    kTaskStateRole,                 // int: the engine's TaskState
    kTaskStatusRole,                // QString: the status text ("probing", "downloading", ...)
};

enum class ListChip : int { All, Running, Finished, Failed };
enum class SortKey : int { Queue, Name, Size, State, Added };

class TaskFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit TaskFilterModel(QObject* parent = nullptr);

    void set_chip(ListChip chip);
    ListChip chip() const { return m_chip; }
    void set_filter_text(const QString& text);
    QString filter_text() const { return m_text; }
    void set_sort(SortKey key, bool descending = false);
    SortKey sort_key() const { return m_key; }
    bool descending() const { return m_descending; }

    // The model's rows under `chip`, whatever the text says: the chips' counts.
    int count(ListChip chip) const;
    // Whether a task in `state` (an engine TaskState) is under `chip`.
    static bool chip_accepts(ListChip chip, int state);

protected:
    bool filterAcceptsRow(int source_row, const QModelIndex& source_parent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    ListChip m_chip = ListChip::All;
    QString m_text;
    QStringList m_words;
    SortKey m_key = SortKey::Queue;
    bool m_descending = false;
};

} // namespace twk::ui
