#include "core/task_list.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "core/naming.h"
#include "core/sidecar.h"
#include "core/task_driver.h"
#include "net/text.h"

namespace twk {

namespace {

constexpr int64_t kCloseWaitMs = 3'000;

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

// Queued, or paused and so waiting for a resume: what the queue order is about.
bool waiting(const TaskEntry& entry) { return entry.state == kQueued || entry.state == kPaused; }

TaskState final_state(const Task& task) {
    const RunEnd end = task.progress.run_end();
    // A run that finished just as a pause reached it is done: its file is whole and its
    // sidecar gone, so "paused" would promise a resume that starts it over.
    if (end == RunEnd::kDone) return kDone;
    if (task.control.pause || end == RunEnd::kPaused) return kPaused;
    if (end == RunEnd::kCanceled) return kCanceled;
    if (task.progress.status_is_error()) return kError;
    return kDone;
}

} // namespace

std::shared_ptr<TaskList> TaskList::create(int64_t max_concurrent, TaskDrivers drivers) {
    std::shared_ptr<TaskList> list(new TaskList(max_concurrent, std::move(drivers)));
    list->m_self = list;
    return list;
}

TaskList::TaskList(int64_t max_concurrent, TaskDrivers drivers)
    : m_drivers(std::move(drivers)), m_driver(dispatching_driver(m_drivers)),
      m_max_concurrent(max_concurrent < 1 ? 1 : max_concurrent) {}

TaskList::~TaskList() { close(); }

std::shared_ptr<TaskEntry> TaskList::find(int32_t id) const {
    for (const auto& entry : m_entries) {
        if (entry->id == id) return entry;
    }
    return nullptr;
}

int32_t TaskList::add(std::shared_ptr<Task> task) {
    if (!task) return -1;
    int32_t id;
    {
        std::lock_guard lock(m_lock);
        if (m_closed) return -1;
        id = m_next_id++;
        task->progress.attach_changes(m_changes);
        task->progress.attach_path_arbiter(m_arbiter);
        task->progress.attach_shared_bandwidth(m_shared_bandwidth);
        task->progress.set_status(TaskPhase::kNone);
        m_arbiter->enroll(task->progress, id, true);
        // Files already on disk count too: a new task never truncates a file it does not own.
        Task& placed = *task;
        m_arbiter->place(task->progress, task->progress.output_path(), [&placed](const std::string& path) {
            return may_write_over(placed.context(), path);
        });
        auto entry = std::make_shared<TaskEntry>();
        entry->id = id;
        entry->task = task;
        m_entries.push_back(entry);
        m_changes->note_status();
    }
    schedule();
    return id;
}

void TaskList::reserve_ids(int32_t next) {
    std::lock_guard lock(m_lock);
    if (m_next_id < next) m_next_id = next;
}

int32_t TaskList::restore(std::shared_ptr<Task> task, int32_t id, TaskState state) {
    return restore_entry(std::move(task), id, state, false);
}

int32_t TaskList::restore_entry(std::shared_ptr<Task> task, int32_t id, TaskState state, bool in_id_order) {
    if (!task || id < 1 || state == kQueued || state == kRunning || state > kCanceled) return -1;
    {
        std::lock_guard lock(m_lock);
        if (m_closed || find(id)) return -1;
        auto entry = std::make_shared<TaskEntry>();
        entry->id = id;
        entry->task = task;
        entry->state = state;
        // A task put back after a removal returns to its place; a journal's keep their order.
        auto place =
            !in_id_order
                ? m_entries.end()
                : std::find_if(m_entries.begin(), m_entries.end(),
                               [id](const std::shared_ptr<TaskEntry>& other) { return other->id > id; });
        m_entries.insert(place, entry);
        if (id < INT32_MAX && m_next_id <= id) m_next_id = id + 1;
        task->progress.attach_changes(m_changes);
        task->progress.attach_path_arbiter(m_arbiter);
        task->progress.attach_shared_bandwidth(m_shared_bandwidth);
        m_arbiter->enroll(task->progress, id, state != kDone);
    }
    return id;
}

void TaskList::pause(int32_t id) {
    std::lock_guard lock(m_lock);
    auto entry = find(id);
    if (!entry) return;
    if (entry->state == kRunning) {
        entry->task->control.pause = true;
        entry->task->control.stop = true;
        entry->task->control.interrupt();
    } else if (entry->state == kQueued) {
        entry->start_now = false;
        entry->state = kPaused;
        entry->task->progress.finish(RunEnd::kPaused);
    }
    m_changes->note_status();
}

void TaskList::cancel(int32_t id) {
    std::lock_guard lock(m_lock);
    auto entry = find(id);
    if (!entry || entry->state == kDone) return;
    Task& task = *entry->task;
    if (entry->state == kRunning) {
        task.control.pause = false;
        task.control.stop = true;
        task.control.interrupt();
    }
    // A stream task paused earlier keeps its fetched parts for the next run; with no run going,
    // nobody else will remove them.
    const bool idle_stream = task.request.is_stream() && !entry->thread_live && m_drivers.stream_cleanup;
    entry->state = kCanceled;
    entry->start_now = false;
    task.progress.finish(RunEnd::kCanceled);
    m_changes->note_status();
    remove_sidecar(task.progress.sidecar_path());
    remove_file(task.progress.output_path());
    if (idle_stream) m_drivers.stream_cleanup(task.context());
}

void TaskList::resume(int32_t id) { requeue(id, false); }

void TaskList::retry(int32_t id) { requeue(id, true); }

TaskList::Removed TaskList::remove(int32_t id) {
    Removed removed;
    {
        std::lock_guard lock(m_lock);
        removed.entry = find(id);
        if (!removed.entry) return removed;
        removed.state = static_cast<TaskState>(removed.entry->state.load());
        removed.status = removed.entry->task->progress.status();
        removed.failure = removed.entry->task->progress.failure_category();
    }
    if (removed.state != kDone) cancel(id);
    {
        std::lock_guard lock(m_lock);
        std::erase_if(m_entries, [id](const std::shared_ptr<TaskEntry>& entry) { return entry->id == id; });
        if (m_current == removed.entry->task) m_current.reset();
        m_arbiter->forget(removed.entry->task->progress);
        m_changes->note_status();
    }
    return removed;
}

bool TaskList::put_back(const Removed& removed) {
    if (!removed.entry || removed.entry->thread_live) return false;
    const std::shared_ptr<Task>& task = removed.entry->task;
    TaskState state = removed.state == kDone || removed.state == kError ? removed.state : kPaused;
    if (restore_entry(task, removed.entry->id, state, true) < 0) return false;
    if (state == kError)
        task->progress.set_failure(removed.status, removed.failure);
    else
        task->progress.finish(state == kDone ? RunEnd::kDone : RunEnd::kPaused);
    m_changes->note_status();
    return true;
}

bool TaskList::start_now(int32_t id) {
    {
        std::lock_guard lock(m_lock);
        auto entry = find(id);
        if (!entry || m_closed || entry->thread_live) return false;
        const int32_t state = entry->state;
        if (state == kQueued) {
            entry->start_now = true;
        } else if (state == kError || state == kPaused || state == kCanceled) {
            if (!requeue_locked(*entry, false)) return false;
            entry->start_now = true;
        } else {
            return false;
        }
    }
    schedule();
    return true;
}

bool TaskList::replace(int32_t id, std::shared_ptr<Task> task, std::string_view status) {
    if (!task) return false;
    {
        std::lock_guard lock(m_lock);
        auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                  [id](const std::shared_ptr<TaskEntry>& entry) { return entry->id == id; });
        if (m_closed || found == m_entries.end()) return false;
        const std::shared_ptr<TaskEntry> old = *found;
        if (old->thread_live || (old->state != kPaused && old->state != kError)) return false;
        // A new entry rather than a new task in the old one: whoever still holds the old entry
        // (a snapshot, a watcher) reads it unchanged while the list moves on.
        auto entry = std::make_shared<TaskEntry>();
        entry->id = id;
        entry->task = task;
        entry->state = kQueued;
        task->progress.set_output_path(old->task->progress.output_path());
        task->progress.attach_changes(m_changes);
        task->progress.attach_path_arbiter(m_arbiter);
        task->progress.attach_shared_bandwidth(m_shared_bandwidth);
        m_arbiter->forget(old->task->progress);
        m_arbiter->enroll(task->progress, id, true);
        task->progress.set_status(TaskPhase::kNone, status);
        if (m_current == old->task) m_current = task;
        *found = entry;
        m_changes->note_status();
    }
    schedule();
    return true;
}

bool TaskList::move(int32_t id, QueueMove how) {
    std::lock_guard lock(m_lock);
    auto at = std::find_if(m_entries.begin(), m_entries.end(),
                           [id](const std::shared_ptr<TaskEntry>& entry) { return entry->id == id; });
    if (at == m_entries.end() || !waiting(**at)) return false;
    const size_t from = static_cast<size_t>(at - m_entries.begin());
    std::vector<size_t> others; // the other waiting entries, in list order
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (i != from && waiting(*m_entries[i])) others.push_back(i);
    }
    // `to` is the index, in the list without the task, before which it goes.
    size_t to = 0;
    const auto before = std::find_if(others.begin(), others.end(), [from](size_t i) { return i > from; });
    switch (how) {
    case QueueMove::kUp:
        if (before == others.begin()) return false;
        to = *(before - 1);
        break;
    case QueueMove::kDown:
        if (before == others.end()) return false;
        to = *before; // after it: its index drops by one once the task is out
        break;
    case QueueMove::kTop:
        if (before == others.begin()) return false;
        to = others.front();
        break;
    case QueueMove::kBottom:
        if (before == others.end()) return false;
        to = others.back();
        break;
    }
    std::shared_ptr<TaskEntry> entry = *at;
    m_entries.erase(at);
    m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(to), entry);
    m_changes->note_status();
    return true;
}

bool TaskList::requeue_locked(TaskEntry& entry, bool allow_done) {
    int32_t state = entry.state;
    if (state != kError && state != kPaused && state != kCanceled && !(allow_done && state == kDone))
        return false;
    // A task cancelled while running is "canceled" before its thread has ended; starting a
    // second thread on it would let two drivers write one file.
    if (entry.thread_live) return false;
    Task& task = *entry.task;
    m_arbiter->set_holds_path(task.progress, true);
    m_arbiter->place(task.progress, task.progress.output_path(),
                     [&task](const std::string& path) { return may_write_over(task.context(), path); });
    task.control.stop = false;
    task.control.pause = false;
    // A stop that asked an earlier run to finish its recording is not this run's: its pause
    // pauses.
    task.progress.live.finish = false;
    task.progress.complete = false;
    task.progress.set_status(TaskPhase::kNone);
    entry.state = kQueued;
    m_changes->note_status();
    return true;
}

void TaskList::requeue(int32_t id, bool allow_done) {
    {
        std::lock_guard lock(m_lock);
        auto entry = find(id);
        if (!entry || m_closed || !requeue_locked(*entry, allow_done)) return;
    }
    schedule();
}

bool TaskList::all_settled() const {
    std::lock_guard lock(m_lock);
    for (const auto& entry : m_entries) {
        if (entry->state == kQueued || entry->state == kRunning) return false;
    }
    return true;
}

void TaskList::set_max_concurrent(int64_t max_concurrent) {
    m_max_concurrent = max_concurrent < 1 ? 1 : max_concurrent;
    schedule();
}

void TaskList::set_driver(TaskDriver driver) {
    std::lock_guard lock(m_lock);
    m_driver = driver ? std::move(driver) : dispatching_driver(m_drivers);
}

TaskList::Snapshot TaskList::snapshot() const {
    std::lock_guard lock(m_lock);
    return Snapshot{m_entries, m_current};
}

std::vector<std::shared_ptr<TaskEntry>> TaskList::running_entries() const {
    std::vector<std::shared_ptr<TaskEntry>> out;
    std::lock_guard lock(m_lock);
    for (const auto& entry : m_entries) {
        if (entry->state == kRunning) out.push_back(entry);
    }
    return out;
}

void TaskList::schedule() {
    std::shared_ptr<TaskList> self = m_self.lock();
    if (!self) return;
    for (;;) {
        std::shared_ptr<TaskEntry> entry;
        TaskDriver driver;
        {
            std::lock_guard lock(m_lock);
            if (m_closed) return;
            // A task started by hand goes first and ignores the count; the rest wait their turn
            // in list order.
            for (const auto& candidate : m_entries) {
                if (candidate->state == kQueued && candidate->start_now) {
                    entry = candidate;
                    break;
                }
            }
            if (!entry && m_running < m_max_concurrent) {
                for (const auto& candidate : m_entries) {
                    if (candidate->state == kQueued) {
                        entry = candidate;
                        break;
                    }
                }
            }
            if (!entry) return;
            entry->start_now = false;
            entry->state = kRunning;
            entry->thread_live = true;
            ++m_running;
            ++m_live_threads;
            m_current = entry->task;
            driver = m_driver;
            m_changes->note_status();
        }
        try {
            std::thread([self, entry, driver] { self->run_thread(entry, driver); }).detach();
        } catch (const std::system_error&) {
            entry->task->progress.set_failure("error: cannot start task thread", FailureCategory::kOther);
            entry->state = kError;
            entry->thread_live = false;
            --m_running;
            --m_live_threads;
            m_changes->note_status();
            return;
        }
    }
}

void TaskList::run_thread(const std::shared_ptr<TaskEntry>& entry, const TaskDriver& driver) {
    try {
        driver(entry->task->context());
    } catch (...) {
        // Nothing a driver throws may end the process from a detached thread.
        entry->task->progress.set_failure("error: internal failure", FailureCategory::kOther);
    }
    TaskState state = final_state(*entry->task);
    {
        std::lock_guard lock(m_lock);
        // A cancel that arrived while the driver ran has already deleted the files: the task
        // stays "canceled" whatever the driver ended with.
        if (entry->state == kCanceled) {
            state = kCanceled;
            entry->task->progress.finish(RunEnd::kCanceled);
        }
        entry->state = state;
        if (state == kDone) m_arbiter->set_holds_path(entry->task->progress, false);
        entry->thread_live = false;
        --m_running;
        m_changes->note_status();
    }
    schedule();
    --m_live_threads;
    // `close` waits for the last thread on the change signal.
    m_changes->wake();
}

void TaskList::close() {
    {
        std::lock_guard lock(m_lock);
        if (m_closed) return;
        m_closed = true;
    }
    const int64_t deadline = monotonic_ms() + kCloseWaitMs;
    for (int64_t left = kCloseWaitMs; m_live_threads > 0 && left > 0; left = deadline - monotonic_ms())
        m_changes->wait_for_change(revision(), ChangeScope::kStatus, left,
                                   [this] { return m_live_threads == 0; });
}

} // namespace twk
