#include "core/task_list.h"

#include "core/sidecar.h"

#include <unistd.h>

#include <chrono>
#include <map>
#include <system_error>
#include <thread>

#include "core/naming.h"
#include "core/sidecar.h"
#include "core/task_driver.h"
#include "net/text.h"

namespace twk {

namespace {

constexpr int kMaxCollisionNumber = 99999;
constexpr int64_t kCloseWaitMs = 3'000;

struct IndexEntry {
    std::weak_ptr<TaskList> list;
    int32_t id = 0;
};

std::mutex& index_mutex() {
    static std::mutex m;
    return m;
}

std::map<const Task*, IndexEntry>& task_index() {
    static std::map<const Task*, IndexEntry> index;
    return index;
}

void index_add(const Task* task, const std::shared_ptr<TaskList>& list, int32_t id) {
    std::lock_guard lock(index_mutex());
    task_index()[task] = IndexEntry{list, id};
}

void index_remove(const Task* task) {
    std::lock_guard lock(index_mutex());
    task_index().erase(task);
}

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

TaskState final_state(const Task& task) {
    std::string status = task.status();
    // A run that finished just as a pause reached it is done: its file is whole and its
    // sidecar gone, so "paused" would promise a resume that starts it over.
    if (status == "done") return kDone;
    if (task.pause || status == "paused") return kPaused;
    if (status == "canceled") return kCanceled;
    if (task.status_is_error()) return kError;
    return kDone;
}

} // namespace

TaskHome find_task_home(const Task& task) {
    std::lock_guard lock(index_mutex());
    auto it = task_index().find(&task);
    if (it == task_index().end()) return {};
    return TaskHome{it->second.list.lock(), it->second.id};
}

std::shared_ptr<TaskList> TaskList::create(int64_t max_concurrent) {
    std::shared_ptr<TaskList> list(new TaskList(max_concurrent));
    list->m_self = list;
    return list;
}

TaskList::TaskList(int64_t max_concurrent)
    : m_driver(run_task), m_max_concurrent(max_concurrent < 1 ? 1 : max_concurrent) {}

TaskList::~TaskList() { close(); }

std::shared_ptr<TaskEntry> TaskList::find(int32_t id) const {
    for (const auto& entry : m_entries) {
        if (entry->id == id) return entry;
    }
    return nullptr;
}

bool TaskList::path_taken(const std::string& path, const Task& task) const {
    std::string normalized = normalize_path(path);
    for (const auto& entry : m_entries) {
        if (entry->task.get() == &task || entry->state == kDone) continue;
        if (normalize_path(entry->task->output_path()) == normalized) return true;
    }
    return false;
}

std::string TaskList::free_path_locked(const Task& task, const std::string& candidate,
                                       bool avoid_files) const {
    auto is_free = [&](const std::string& path) {
        return !path_taken(path, task) && (!avoid_files || may_write_over(task, path));
    };
    if (is_free(candidate)) return candidate;
    for (int n = 1; n <= kMaxCollisionNumber; ++n) {
        std::string numbered = numbered_path(candidate, n);
        if (is_free(numbered)) return numbered;
    }
    return candidate;
}

std::string TaskList::free_path(const Task& task, const std::string& candidate, bool avoid_files) const {
    std::lock_guard lock(m_lock);
    return free_path_locked(task, candidate, avoid_files);
}

int32_t TaskList::add(std::shared_ptr<Task> task) {
    if (!task) return -1;
    int32_t id;
    {
        std::lock_guard lock(m_lock);
        if (m_closed) return -1;
        id = m_next_id++;
        task->attach_changes(m_changes);
        task->set_status("queued");
        // Files already on disk count too: a new task never truncates a file it does not own.
        task->set_output_path(free_path_locked(*task, task->output_path(), true));
        auto entry = std::make_shared<TaskEntry>();
        entry->id = id;
        entry->task = task;
        m_entries.push_back(entry);
        m_changes->note_status();
    }
    if (auto self = m_self.lock()) index_add(task.get(), self, id);
    schedule();
    return id;
}

int32_t TaskList::restore(std::shared_ptr<Task> task, int32_t id, TaskState state) {
    if (!task || id < 1 || state == kQueued || state == kRunning || state > kCanceled) return -1;
    {
        std::lock_guard lock(m_lock);
        if (m_closed || find(id)) return -1;
        auto entry = std::make_shared<TaskEntry>();
        entry->id = id;
        entry->task = task;
        entry->state = state;
        m_entries.push_back(entry);
        if (id < INT32_MAX && m_next_id <= id) m_next_id = id + 1;
    }
    if (auto self = m_self.lock()) index_add(task.get(), self, id);
    return id;
}

void TaskList::pause(int32_t id) {
    std::lock_guard lock(m_lock);
    auto entry = find(id);
    if (!entry) return;
    if (entry->state == kRunning) {
        entry->task->pause = true;
        entry->task->stop = true;
        entry->task->interrupt();
    } else if (entry->state == kQueued) {
        entry->state = kPaused;
        entry->task->set_status("paused");
    }
    m_changes->note_status();
}

void TaskList::cancel(int32_t id) {
    std::lock_guard lock(m_lock);
    auto entry = find(id);
    if (!entry || entry->state == kDone) return;
    Task& task = *entry->task;
    if (entry->state == kRunning) {
        task.pause = false;
        task.stop = true;
        task.interrupt();
    }
    // A stream task paused earlier keeps its fetched parts for the next run; with no run going,
    // nobody else will remove them.
    const bool idle_stream = task.request.is_stream() && !entry->thread_live;
    entry->state = kCanceled;
    task.set_status("canceled");
    m_changes->note_status();
    remove_sidecar(task.sidecar_path());
    remove_file(task.output_path());
    if (idle_stream) clean_up_stream_task(task);
}

void TaskList::resume(int32_t id) {
    {
        std::lock_guard lock(m_lock);
        auto entry = find(id);
        if (!entry || m_closed) return;
        int32_t state = entry->state;
        if (state != kError && state != kPaused && state != kCanceled) return;
        // A task cancelled while running is "canceled" before its thread has ended; starting a
        // second thread on it would let two drivers write one file.
        if (entry->thread_live) return;
        Task& task = *entry->task;
        task.set_output_path(free_path_locked(task, task.output_path(), true));
        task.stop = false;
        task.pause = false;
        task.complete = false;
        task.set_status("queued");
        entry->state = kQueued;
        m_changes->note_status();
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
    m_driver = driver ? std::move(driver) : TaskDriver(run_task);
}

TaskList::Snapshot TaskList::snapshot() const {
    std::lock_guard lock(m_lock);
    return Snapshot{m_entries, m_current};
}

void TaskList::schedule() {
    std::shared_ptr<TaskList> self = m_self.lock();
    if (!self) return;
    for (;;) {
        std::shared_ptr<TaskEntry> entry;
        TaskDriver driver;
        {
            std::lock_guard lock(m_lock);
            if (m_closed || m_running >= m_max_concurrent) return;
            for (const auto& candidate : m_entries) {
                if (candidate->state == kQueued) {
                    entry = candidate;
                    break;
                }
            }
            if (!entry) return;
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
            entry->task->set_status("error: cannot start task thread");
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
        driver(entry->task);
    } catch (...) {
        // Nothing a driver throws may end the process from a detached thread.
        entry->task->set_status("error: internal failure");
    }
    TaskState state = final_state(*entry->task);
    {
        std::lock_guard lock(m_lock);
        // A cancel that arrived while the driver ran has already deleted the files: the task
        // stays "canceled" whatever the driver ended with.
        if (entry->state == kCanceled) {
            state = kCanceled;
            entry->task->set_status("canceled");
        }
        entry->state = state;
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
    std::vector<std::shared_ptr<TaskEntry>> entries;
    {
        std::lock_guard lock(m_lock);
        entries = m_entries;
    }
    for (const auto& entry : entries)
        index_remove(entry->task.get());
}

} // namespace twk
