// The change signal of a task list: a revision that every change of a task's state, status
// text or progress advances, and a wait for the next change with a time-out. Front ends (the
// `twk` watcher, the WebSocket feed, the desktop window) wait on it instead of re-reading the
// list document on a timer, and skip a frame when the revision they drew is still current.
//
// Two counters: `any` moves with every change, progress included (a body write, a segment
// claimed or split); `status` only with what starts or ends something (a task added, a state
// change, a new status text). A watcher that only prints status changes waits on `status` and
// is not woken by every 64 KiB that arrives.
//
// Who advances it: the status setters of `TaskProgress` (core/task.h) and every progress write
// go through `TaskProgress::note_progress` and `TaskProgress::note_status`, which reach the
// signal of the list the task is in; the task list advances it for its own state changes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace twk {

struct Revision {
    uint64_t any = 0;    // every change
    uint64_t status = 0; // state and status-text changes only
    bool operator==(const Revision&) const = default;
};

enum class ChangeScope : uint8_t {
    kAny,    // wake on every change, progress included
    kStatus, // wake only on state and status-text changes
};

class ChangeSignal {
public:
    Revision revision() const;

    void note_progress();
    void note_status();

    // Waits until the counter of `scope` differs from `seen`'s, `timeout_ms` have passed, or
    // `stop` holds (checked at the start and whenever `wake` is called). Returns the revision
    // then: equal to `seen` in that counter after a time-out or a stop.
    Revision wait_for_change(const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                             const std::function<bool()>& stop = {}) const;

    // Makes every wait look at its `stop` condition again (a signal came, a server stops).
    void wake() const;

private:
    void notify() const;

    std::atomic<uint64_t> m_any{0};
    std::atomic<uint64_t> m_status{0};
    // Waits in progress per scope: a change notifies only when someone waits for it, so the
    // body writes of a download cost an increment each and nothing more.
    mutable std::atomic<int32_t> m_any_waiters{0};
    mutable std::atomic<int32_t> m_status_waiters{0};
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
};

} // namespace twk
