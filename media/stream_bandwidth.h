// A stream task's speed limit: what `--limit-rate` and the list's shared limit mean for the
// segments, keys and playlists a stream run fetches.
//
// Every body byte a run's fetches read is charged to one limiter (core/bandwidth_limiter.h), so
// the run's segment workers, and a live recording's reloads, share the task's limit between
// them. The limiter is set as a plain download's is: to the task's own limit, or to its share of
// the list's limit (core/shared_bandwidth.h) when that is lower; the task takes part in the split
// for as long as the run lasts. A plain download's driver sets the limit on its pass tick; a
// stream run has no tick, so the charges bring it up to date themselves (at most every
// kStreamLimitRefreshNs), and so do workers sleeping off a debt, between their sleep slices: a
// changed limit reaches a sleeping worker within one slice. Everything is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "core/bandwidth_limiter.h"
#include "core/shared_bandwidth.h"
#include "core/task.h"

namespace twk {

// How often the limit is looked at again while bytes flow (a plain download's pass tick).
constexpr uint64_t kStreamLimitRefreshNs = 200'000'000;

class StreamBandwidth {
public:
    explicit StreamBandwidth(const RunContext& task, LimiterClock clock = LimiterClock::steady());
    StreamBandwidth(const StreamBandwidth&) = delete;
    StreamBandwidth& operator=(const StreamBandwidth&) = delete;

    // Charges `n` body bytes just read and sleeps as long as the limit requires; a stop of the
    // task, or `abandon` when given, ends the sleep at once.
    void charge(uint64_t n, const std::function<bool()>& abandon = {});

    // How much to read at once, at most `largest`: under a limit, a sixteenth of a second's worth
    // (limited_read_size in core/bandwidth_limiter.h), so that a run's workers, each reading a
    // piece before it sleeps it off, burst by little beyond the limit and their pace measures
    // evenly.
    size_t piece(size_t largest);

    // The limit in force now (bytes per second; 0: none).
    int64_t limit() const { return m_limiter.limit(); }

private:
    // Sets the limiter from the task's limit and its share, unless that was done within the
    // refresh interval (or another thread is doing it).
    void refresh();

    const RunContext m_task;
    LimiterClock m_clock;
    BandwidthLimiter m_limiter;
    SharedBandwidth::Participant m_share;
    std::atomic<uint64_t> m_charged{0};      // every byte charged in this run
    std::atomic<uint64_t> m_refreshed_ns{0}; // when the limit was last set; 0: never
    std::mutex m_refresh_lock;
};

} // namespace twk
