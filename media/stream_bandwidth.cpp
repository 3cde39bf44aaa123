#include "media/stream_bandwidth.h"

#include <utility>

namespace twk {

StreamBandwidth::StreamBandwidth(const RunContext& task, LimiterClock clock)
    : m_task(task), m_clock(clock), m_limiter(std::move(clock)),
      m_share(task.progress.shared_bandwidth(), &task.progress) {}

void StreamBandwidth::refresh() {
    const uint64_t last = m_refreshed_ns.load();
    if (last != 0 && m_clock.now_ns() - last < kStreamLimitRefreshNs) return;
    // The first time everyone waits for it: until then the limiter has no limit at all.
    std::unique_lock lock(m_refresh_lock, std::defer_lock);
    if (last == 0) {
        lock.lock();
        if (m_refreshed_ns.load() != 0) return;
    } else if (!lock.try_lock()) {
        return;
    }
    const int64_t share = m_share.share(m_charged.load());
    m_limiter.set_limit(task_limit(m_task.control.bandwidth_limit, share, m_limiter.limit()));
    m_refreshed_ns = m_clock.now_ns();
}

size_t StreamBandwidth::piece(size_t largest) {
    refresh();
    return limited_read_size(m_limiter.limit(), largest);
}

void StreamBandwidth::charge(uint64_t n, const std::function<bool()>& abandon) {
    refresh();
    m_limiter.charge(n, [&] {
        refresh();
        return m_task.control.stop.load() || (abandon && abandon());
    });
    // Counted once paid for: the share is split by what a task takes, and workers that read a
    // piece each and then sleep it off together would otherwise look idle while they sleep.
    m_charged += n;
}

} // namespace twk
