// The per-task bandwidth limiter, shared by all segment workers of a task.
//
// Every write a worker makes is charged to it. The limiter keeps a credit in bytes, refilled at
// the limit's rate and capped at one second's worth, so a task that was idle may write up to the
// limit at once. A charge that leaves the credit negative makes the worker sleep until the debt
// is paid; the credit itself is not reset, so the sleep is paid back by the next refill.
//
// The limit may change at any time (the user edits it while the task runs). Sleeping workers
// wake in slices of at most kMaxLimiterSleepNs and return early when the limit changed or their
// abandon check says so (stop or pause), so no worker sleeps on under a limit that is gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace twk {

// The time source and the sleep, replaceable by a fake clock in tests.
struct LimiterClock {
    std::function<uint64_t()> now_ns;       // monotonic nanoseconds
    std::function<void(uint64_t)> sleep_ns; // blocks for about this many nanoseconds

    // The steady clock and std::this_thread::sleep_for.
    static LimiterClock steady();
};

// Longest single sleep; between slices a worker re-checks the limit and its abandon check.
constexpr uint64_t kMaxLimiterSleepNs = 100'000'000;

// The smallest read under a limit, however low the limit.
constexpr size_t kSmallestLimitedRead = 4096;

// How much a worker reads at once under `limit` (bytes per second; 0 or less: none), at most
// `largest`. A worker charges what it read and then sleeps it off, so the workers of a task,
// each holding a read it has not paid for yet, can run ahead of the limit by their reads
// together; the charges also land in lumps of a read. Under a limit a read is therefore a
// sixteenth of a second's worth, and with more than four `readers` a quarter of a second's worth
// split between them (at least kSmallestLimitedRead). Without a limit it is `largest`.
size_t limited_read_size(int64_t limit, size_t largest, uint32_t readers = 1);

class BandwidthLimiter {
public:
    explicit BandwidthLimiter(LimiterClock clock = LimiterClock::steady());
    BandwidthLimiter(const BandwidthLimiter&) = delete;
    BandwidthLimiter& operator=(const BandwidthLimiter&) = delete;

    // Bytes per second; 0 or negative turns the limiter off. Workers sleeping under the old limit
    // return, and a debt larger than one second at the new limit is forgiven down to that.
    void set_limit(int64_t bytes_per_second);
    int64_t limit() const { return m_limit.load(); }

    // Charges `n` bytes just written and sleeps as long as the limit requires. `abandon`, when
    // given, is asked between sleep slices; returning true ends the sleep at once.
    void charge(uint64_t n, const std::function<bool()>& abandon = {});

    // The current credit in bytes (negative: a debt still to be slept off).
    double credit() const;

private:
    void sleep_off(uint64_t wait_ns, uint64_t generation, const std::function<bool()>& abandon);

    LimiterClock m_clock;
    std::atomic<int64_t> m_limit{0};
    std::atomic<uint64_t> m_generation{0}; // bumped on every change of the limit
    mutable std::mutex m_mutex;
    bool m_started = false; // guarded by m_mutex, as are the two below
    double m_credit = 0;
    uint64_t m_last_ns = 0;
};

} // namespace twk
