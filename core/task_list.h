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
#include "core/shared_bandwidth.h"
#include "core/task.h"
#include "core/task_driver.h"
#include "core/task_snapshot.h"

namespace twk {

struct TaskEntry {
    int32_t id = 0;
    std::shared_ptr<Task> task;
    std::atomic<int32_t> state{kQueued};
    std::atomic<bool> thread_live{false}; // a task thread for this entry has not ended yet
    bool start_now = false; // under the list lock: starts beyond max_concurrent (TaskList::start_now)
};

// Where `TaskList::move` puts a waiting task among the other waiting ones.
enum class QueueMove { kUp, kDown, kTop, kBottom };

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
    // Puts `task` in the place of the settled task `id` (paused or failed, its thread ended):
    // same id, same place in the list, the old task's output path; queued with `status` and
    // scheduled. A link refresh (core/link_refresh.h) is the one caller. False when the id is
    // unknown, its task is not settled so, or the list is closed.
    bool replace(int32_t id, std::shared_ptr<Task> task, std::string_view status);
    bool all_settled() const;

    // Starts a waiting task (queued, or paused, failed or canceled and so queued again first) at
    // once, even when max_concurrent tasks run already; the count is not raised, so the next
    // queued task waits until the running ones are fewer than it again. False for unknown ids,
    // done and running tasks, and a task whose last run has not ended yet.
    bool start_now(int32_t id);
    // The queue order is the list's order: the first queued entry starts next. A waiting task
    // (queued or paused) moves one place up or down among the waiting tasks, or before the first
    // or after the last of them; running and settled tasks keep their places and are passed over.
    // The journal keeps the list in this order. False when the task is not waiting or is
    // already at that end.
    bool move(int32_t id, QueueMove how);

    // The limit all tasks of the list share (core/shared_bandwidth.h); off until set.
    SharedBandwidth& shared_bandwidth() const { return *m_shared_bandwidth; }

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
    bool requeue_locked(TaskEntry& entry, bool allow_done); // under m_lock; false: not requeued
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
    const std::shared_ptr<SharedBandwidth> m_shared_bandwidth = std::make_shared<SharedBandwidth>();
    bool m_closed = false;

    std::atomic<int64_t> m_max_concurrent;
    std::atomic<int64_t> m_running{0};
    std::atomic<int32_t> m_live_threads{0};
    std::atomic<int32_t> m_next_id{1};
};

} // namespace twk
