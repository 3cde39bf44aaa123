#include "core/bandwidth_limiter.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace twk {

namespace {

// A debt can in principle ask for a sleep beyond what fits in 64-bit nanoseconds.
constexpr double kMaxWaitNs = 4e18;

} // namespace

LimiterClock LimiterClock::steady() {
    LimiterClock c;
    c.now_ns = [] {
        auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
    };
    c.sleep_ns = [](uint64_t ns) { std::this_thread::sleep_for(std::chrono::nanoseconds(ns)); };
    return c;
}

size_t limited_read_size(int64_t limit, size_t largest, uint32_t readers) {
    if (limit <= 0) return largest;
    const int64_t parts = std::max<int64_t>(16, 4 * static_cast<int64_t>(readers));
    const uint64_t piece = static_cast<uint64_t>(limit / parts);
    return static_cast<size_t>(std::clamp<uint64_t>(piece, std::min(kSmallestLimitedRead, largest), largest));
}

BandwidthLimiter::BandwidthLimiter(LimiterClock clock) : m_clock(std::move(clock)) {}

void BandwidthLimiter::set_limit(int64_t bytes_per_second) {
    int64_t b = std::max<int64_t>(bytes_per_second, 0);
    std::lock_guard lock(m_mutex);
    if (m_limit.load() == b) return;
    m_limit.store(b);
    m_generation.fetch_add(1);
    if (b > 0) m_credit = std::max(m_credit, -static_cast<double>(b));
}

double BandwidthLimiter::credit() const {
    std::lock_guard lock(m_mutex);
    return m_credit;
}

void BandwidthLimiter::charge(uint64_t n, const std::function<bool()>& abandon) {
    // Without a limit a read costs no lock.
    if (m_limit.load(std::memory_order_relaxed) <= 0) return;
    uint64_t wait_ns = 0;
    uint64_t generation = 0;
    {
        std::lock_guard lock(m_mutex);
        double b = static_cast<double>(m_limit.load());
        if (b <= 0) return;
        generation = m_generation.load();
        uint64_t now = m_clock.now_ns();
        if (!m_started) {
            m_started = true;
            m_credit = 0;
            m_last_ns = now;
        }
        double seconds = now > m_last_ns ? static_cast<double>(now - m_last_ns) / 1e9 : 0;
        m_credit = std::min(b, m_credit + seconds * b) - static_cast<double>(n);
        m_last_ns = now;
        if (m_credit >= 0) return;
        wait_ns = static_cast<uint64_t>(std::min(-m_credit / b * 1e9, kMaxWaitNs));
    }
    sleep_off(wait_ns, generation, abandon);
}

// Sleeps until the deadline in slices, giving up when the limit changed or `abandon` says so.
void BandwidthLimiter::sleep_off(uint64_t wait_ns, uint64_t generation,
                                 const std::function<bool()>& abandon) {
    uint64_t deadline = m_clock.now_ns() + wait_ns;
    for (;;) {
        uint64_t now = m_clock.now_ns();
        if (now >= deadline) return;
        m_clock.sleep_ns(std::min(deadline - now, kMaxLimiterSleepNs));
        if (m_generation.load() != generation) return;
        if (abandon && abandon()) return;
    }
}

} // namespace twk
