// The task list: ids, states, the queue, and one detached thread per running task.
//
// A list is always held by a shared pointer; every task thread holds one too, so nothing a live
// thread uses is freed under it. `close` ends the list's life as the engine sees it: nothing is
// scheduled afterwards, and it waits up to 3 s for the task threads.
//
// Locks: the list lock guards the entries, the current task and the driver; it is never held
// while a driver runs. Order: list lock, then the path arbiter's lock, then a task's name lock.
// The change signal's lock is taken last and held only for a moment.
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
#include "core/path_arbiter.h"
#include "core/task.h"
#include "core/task_driver.h"
#include "core/task_snapshot.h"

namespace twk {

struct TaskEntry {
    int32_t id = 0;
    std::shared_ptr<Task> task;
    std::atomic<int32_t> state{kQueued};
    std::atomic<bool> thread_live{false}; // a task thread for this entry has not ended yet
};

class TaskList {
public:
    // The list runs `drivers` (core/task_driver.h).
    static std::shared_ptr<TaskList> create(int64_t max_concurrent, TaskDrivers drivers = {});
    ~TaskList();
    TaskList(const TaskList&) = delete;
    TaskList& operator=(const TaskList&) = delete;

    // Gives the task the next id (1, 2, 3, ...; never reused), status "queued", a path no other
    // live task holds and that does not overwrite a file on disk, then schedules. -1 when the
    // list is closed or the task is null. The engine's add is the one caller outside tests.
    int32_t add(std::shared_ptr<Task> task);
    // Puts back a task of an earlier run (core/journal_keeper.h) under its old id, at the end,
    // in `state` (anything but queued or running), without scheduling it; later adds get ids
    // above it.
    // -1 when the list is closed, the id is below 1 or taken, or the state is not allowed.
    int32_t restore(std::shared_ptr<Task> task, int32_t id, TaskState state);
    // Later adds get ids from `next` up (when that is above what they would get anyway): the
    // journal's record of ids already given, so that a deleted task's id never comes back.
    void reserve_ids(int32_t next);
    // The id the next add gets.
    int32_t next_id() const { return m_next_id; }
    // Running: the driver stops and saves its sidecar. Queued: "paused" at once.
    void pause(int32_t id);
    // From error, paused or canceled (and once its thread has ended): queued again, behind no
    // newer task, since schedule starts the first queued entry in insertion order.
    void resume(int32_t id);
    // As resume, and a done task runs again too (its file gone, or wanted afresh).
    void retry(int32_t id);
    // Any state but done becomes "canceled"; the sidecar and the output file are deleted.
    void cancel(int32_t id);
    // Takes the task out of the list in any state: one that is not done is cancelled first (its
    // partial file and sidecar go); a done task's file stays. What it was comes back for
    // `put_back`; an empty entry for unknown ids.
    struct Removed {
        std::shared_ptr<TaskEntry> entry;
        TaskState state = kCanceled;                      // before the removal
        std::string status;                               // likewise
        FailureCategory failure = FailureCategory::kNone; // likewise
    };
    Removed remove(int32_t id);
    // Undoes a removal under the task's old id, in its place by id: done and error as they
    // were, anything else paused (its partial data is gone, so resuming starts over). False when
    // the id is taken, the list is closed, or the run the removal stopped has not ended yet.
    bool put_back(const Removed& removed);
    bool all_settled() const;

    void set_max_concurrent(int64_t max_concurrent); // at least 1; schedules
    int64_t max_concurrent() const { return m_max_concurrent; }
    // Replaces the list's drivers with one for every task (tests script their runs with it);
    // an empty one puts the list's own drivers back.
    void set_driver(TaskDriver driver);

    struct Snapshot {
        std::vector<std::shared_ptr<TaskEntry>> entries; // insertion order
        std::shared_ptr<Task> current;                   // the task most recently started
    };
    Snapshot snapshot() const;
    // The running entries alone: for a watcher of a long list that has seen no state change.
    std::vector<std::shared_ptr<TaskEntry>> running_entries() const;

    // The list's change signal: advanced by every change of its entries' states and of their
    // tasks' status texts and progress (core/change_signal.h).
    ChangeSignal& changes() const { return *m_changes; }
    Revision revision() const { return m_changes->revision(); }

    int64_t running_count() const { return m_running; }
    int32_t live_threads() const { return m_live_threads; }

    // Stops scheduling, waits up to 3 s for the task threads, leaves the process-wide index.
    void close();

private:
    TaskList(int64_t max_concurrent, TaskDrivers drivers);
    int32_t restore_entry(std::shared_ptr<Task> task, int32_t id, TaskState state, bool in_id_order);
    std::shared_ptr<TaskEntry> find(int32_t id) const; // the rest: under m_lock
    void requeue(int32_t id, bool allow_done);
    void schedule();
    void run_thread(const std::shared_ptr<TaskEntry>& entry, const TaskDriver& driver);

    std::weak_ptr<TaskList> m_self;
    const std::shared_ptr<ChangeSignal> m_changes = std::make_shared<ChangeSignal>();
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<TaskEntry>> m_entries;
    std::shared_ptr<Task> m_current;
    const TaskDrivers m_drivers;
    TaskDriver m_driver;
    const std::shared_ptr<PathArbiter> m_arbiter = std::make_shared<PathArbiter>();
    bool m_closed = false;

    std::atomic<int64_t> m_max_concurrent;
    std::atomic<int64_t> m_running{0};
    std::atomic<int32_t> m_live_threads{0};
    std::atomic<int32_t> m_next_id{1};
};

} // namespace twk
