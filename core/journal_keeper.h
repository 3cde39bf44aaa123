// Keeps an engine's task list in its journal (core/task_journal.h).
//
// At start the journal's tasks are put back into the list with their ids, in their order:
//   done                          done, or "error: file missing" when the output file is gone
//                                 (resuming it fetches the file again)
//   queued, running, paused       paused; resuming continues from the sidecar exactly as a new
//                                 task for the same output path would
//   error, canceled               as they were
// A live recording comes back with its place in the stream, and resuming it appends to the same
// file (when that is still there), recording what it missed as a gap. New ids continue after
// the highest one loaded. A restored task shows the progress its sidecar
// holds, else the progress the journal recorded.
//
// Afterwards one writer thread waits on the list's change signal and writes the journal when a
// task was added, changed state, status or output path, or was removed, at most four times a
// second (a change the interval held back is written when it ends). With no state or status
// change it looks at the running tasks once a second (for a size that moves no counter), and at
// every task every 30 s. A look reads again only the tasks whose change count, state or size
// moved (and the running ones), and the file is put together from the entry texts kept for the
// rest, so that a list of thousands of settled tasks costs little while a few download. Progress
// alone is written with the next such change, or by the stop. `stop` joins the writer and writes
// the list one last time. Canceled tasks are left out of the journal: cancelling is how the app
// deletes a task.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/task.h"
#include "core/task_journal.h"
#include "core/task_list.h"

namespace twk {

// The entry for one task of a list.
JournalEntry journal_entry(int32_t id, int32_t state, const Task& task);
// The entries of the list in its order, canceled tasks left out.
std::vector<JournalEntry> journal_entries(const TaskList& list);

// The task an entry describes, and the state it comes back in (see above).
struct RestoredTask {
    std::shared_ptr<Task> task;
    TaskState state = kPaused;
};
RestoredTask restore_task(const JournalEntry& entry);

class JournalKeeper {
public:
    // Takes the journal at `path` for this list: locks it (an advisory lock on "<path>.lock"), so
    // that a second engine on the same journal, such as `twk serve` beside the desktop app, runs
    // without one instead of overwriting the other's list; loads it into `list` (which should be
    // empty); starts the writer. Null with the reason in `error` when the journal is in use.
    static std::unique_ptr<JournalKeeper> open(std::shared_ptr<TaskList> list, std::string path,
                                               std::string& error);
    ~JournalKeeper();
    JournalKeeper(const JournalKeeper&) = delete;
    JournalKeeper& operator=(const JournalKeeper&) = delete;

    // Ends the writer thread and writes the list as it is now. Later calls do nothing.
    void stop();

    const std::string& path() const { return m_path; }

private:
    JournalKeeper(std::shared_ptr<TaskList> list, std::string path, int lock_fd);
    void load();
    void run();
    // Waits until the monotonic time `until_ms` or the stop.
    void rest_until(int64_t until_ms);
    // Brings the kept entry texts up to date with the list, reading again only the tasks that
    // changed since the last look; `texts` and `ids` get the entries to write, in list order.
    // True when something a write is due for changed.
    bool look(std::vector<const std::string*>& texts, std::vector<int32_t>& ids);
    // True when a running task changed what a write is due for (its size, its path): with no
    // state or status change since the last full look, only they can have.
    bool running_changed();
    // Writes when the list differs from what was written last (always with `force`). True when
    // the journal then holds the list; false when a write is still due (held back by the write
    // interval, or failed).
    bool save(bool force);
    // The write a look at the running tasks found due, or a full look if one is due.
    bool save_after_quiet_look();

    // One task as last looked at: what it was read at, what a write is due for, and its text.
    struct Kept {
        const Task* task = nullptr;
        uint64_t changes = 0; // TaskProgress::change_count
        int32_t state = -1;
        uint64_t total = 0;
        std::string print; // state, total, status text and path: what a write is due for
        std::string text;  // the entry as the document holds it
    };

    std::shared_ptr<TaskList> m_list;
    std::string m_path;
    int m_lock_fd = -1;                  // holds the journal's lock until the keeper is gone
    std::mutex m_lock;                   // guards m_stopped
    std::condition_variable m_stop_wake; // ends the writer's rest at once when the keeper stops
    std::atomic<bool> m_stopping{false};
    bool m_stopped = false;
    std::thread m_writer;
    // Used by the writer thread, and by `stop` once the writer has ended.
    std::unordered_map<int32_t, Kept> m_kept; // by task id
    std::vector<int32_t> m_written_ids;       // the ids last written, in order
    int32_t m_written_next_id = 0;            // the "nextId" last written
    bool m_pending = false;                   // a change not written yet
    uint64_t m_full_look_status = 0;          // the list's status count at the last full look
    int64_t m_full_look_ms = 0;
    int64_t m_last_write_ms = 0;
    std::string m_last_error;
};

} // namespace twk
