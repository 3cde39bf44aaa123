// The task list: ids, states, the queue, and one detached thread per running task.
//
// A list is always held by a shared pointer; every task thread holds one too, so nothing a live
// thread uses is freed under it. `close` ends the list's life as the engine sees it: nothing is
// scheduled afterwards, it waits up to 3 s for the task threads, and removes its tasks from the
// process-wide index.
//
// Locks: the list lock guards the entries, the current task and the driver; it is never held
// while a driver runs. Order: list lock, then a task's name lock. The process-wide index has its
// own mutex, taken after the list lock is released. The change signal's lock is taken last and
// held only for a moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/change_signal.h"
#include "core/task.h"

namespace twk {

enum TaskState : int32_t {
    kQueued = 0,
    kRunning = 1,
    kDone = 2,
    kError = 3,
    kPaused = 4,
    kCanceled = 5,
};

// The work a task thread does: run the task to the end of one run and leave its final status
// text ("done", "paused", "canceled" or one beginning with "error"). It must return once the
// task's stop flag is set, and it owns the output file while it runs. Every list starts with
// `run_task` (core/task_driver.h); `TaskList::set_driver` replaces it for the whole list.
using TaskDriver = std::function<void(const std::shared_ptr<Task>&)>;

struct TaskEntry {
    int32_t id = 0;
    std::shared_ptr<Task> task;
    std::atomic<int32_t> state{kQueued};
    std::atomic<bool> thread_live{false}; // a task thread for this entry has not ended yet
};

class TaskList {
public:
    static std::shared_ptr<TaskList> create(int64_t max_concurrent);
    ~TaskList();
    TaskList(const TaskList&) = delete;
    TaskList& operator=(const TaskList&) = delete;

    // Gives the task the next id (1, 2, 3, ...; never reused), status "queued", a path no other
    // live task holds and that does not overwrite a file on disk, then schedules. -1 when the
    // list is closed or the task is null.
    int32_t add(std::shared_ptr<Task> task);
    // Puts back a task of an earlier run (core/journal_keeper.h) under its old id, in `state`
    // (anything but queued or running), without scheduling it; later adds get ids above it.
    // -1 when the list is closed, the id is below 1 or taken, or the state is not allowed.
    int32_t restore(std::shared_ptr<Task> task, int32_t id, TaskState state);
    // Running: the driver stops and saves its sidecar. Queued: "paused" at once.
    void pause(int32_t id);
    // From error, paused or canceled (and once its thread has ended): queued again, behind no
    // newer task, since schedule starts the first queued entry in insertion order.
    void resume(int32_t id);
    // Any state but done becomes "canceled"; the sidecar and the output file are deleted.
    void cancel(int32_t id);
    bool all_settled() const;

    void set_max_concurrent(int64_t max_concurrent); // at least 1; schedules
    int64_t max_concurrent() const { return m_max_concurrent; }
    void set_driver(TaskDriver driver);

    struct Snapshot {
        std::vector<std::shared_ptr<TaskEntry>> entries; // insertion order
        std::shared_ptr<Task> current;                   // the task most recently started
    };
    Snapshot snapshot() const;

    // The list's change signal: advanced by every change of its entries' states and of their
    // tasks' status texts and progress (core/change_signal.h).
    ChangeSignal& changes() const { return *m_changes; }
    Revision revision() const { return m_changes->revision(); }

    int64_t running_count() const { return m_running; }
    int32_t live_threads() const { return m_live_threads; }

    // Stops scheduling, waits up to 3 s for the task threads, leaves the process-wide index.
    void close();

    // The path `task` should use instead of `candidate`: the first free " (N)" name when another
    // entry that is not done holds the same normalised path. With `avoid_files` a path where a
    // file exists counts as taken too, unless the task may write there (`may_write_over`,
    // naming.h). When every name up to " (99999)" is taken, `candidate` comes back.
    std::string free_path(const Task& task, const std::string& candidate, bool avoid_files) const;

private:
    explicit TaskList(int64_t max_concurrent);
    std::shared_ptr<TaskEntry> find(int32_t id) const; // the rest: under m_lock
    std::string free_path_locked(const Task& task, const std::string& candidate, bool avoid_files) const;
    bool path_taken(const std::string& path, const Task& task) const;
    void schedule();
    void run_thread(const std::shared_ptr<TaskEntry>& entry, const TaskDriver& driver);

    std::weak_ptr<TaskList> m_self;
    const std::shared_ptr<ChangeSignal> m_changes = std::make_shared<ChangeSignal>();
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<TaskEntry>> m_entries;
    std::shared_ptr<Task> m_current;
    TaskDriver m_driver;
    bool m_closed = false;

    std::atomic<int64_t> m_max_concurrent;
    std::atomic<int64_t> m_running{0};
    std::atomic<int32_t> m_live_threads{0};
    std::atomic<int32_t> m_next_id{1};
};

// The process-wide index: which list a task belongs to, and its id there.
struct TaskHome {
    std::shared_ptr<TaskList> list; // null when the task is in no open list
    int32_t id = 0;
};
TaskHome find_task_home(const Task& task);

} // namespace twk
