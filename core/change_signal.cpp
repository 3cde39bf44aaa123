#include "core/change_signal.h"

#include <algorithm>
#include <chrono>

namespace twk {

Revision ChangeSignal::revision() const { return Revision{m_any.load(), m_status.load()}; }

void ChangeSignal::note_progress() {
    m_any.fetch_add(1);
    if (m_any_waiters.load() > 0) notify();
}

void ChangeSignal::note_status() {
    m_status.fetch_add(1);
    m_any.fetch_add(1);
    if (m_any_waiters.load() > 0 || m_status_waiters.load() > 0) notify();
}

void ChangeSignal::notify() const {
    // Taking the lock orders the increment before a waiter's next check: a waiter that checked
    // before it is already waiting, and one that checks after sees it.
    { std::lock_guard lock(m_lock); }
    m_changed.notify_all();
}

void ChangeSignal::wake() const { notify(); }

Revision ChangeSignal::wait_for_change(const Revision& seen, ChangeScope scope, int64_t timeout_ms,
                                       const std::function<bool()>& stop) const {
    const bool any = scope == ChangeScope::kAny;
    std::atomic<int32_t>& waiters = any ? m_any_waiters : m_status_waiters;
    // Registered before the first check, so that a change made after the check sees a waiter.
    waiters.fetch_add(1);
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeout_ms, 0)), [&] {
            const bool changed = any ? m_any.load() != seen.any : m_status.load() != seen.status;
            return changed || (stop && stop());
        });
    }
    waiters.fetch_sub(1);
    return revision();
}

} // namespace twk
