// One speed limit for all downloads of a task list together (off by default).
//
// The limit is split into a share per task, which its driver gives the task's own limiter
// (core/bandwidth_limiter.h) on every pass tick. The shares never add up to more than the limit,
// so the tasks together stay under it (after a burst of at most one second's worth), and the
// split is by task, not by connection: a task with 16 connections gets what one with a single
// connection gets. (One bucket that every write is charged to would share by connection, and
// starve the task with few.) The limit is split evenly between the tasks that use what they are
// given; a task that stays well below its share (a slow server, its own lower limit) is given a
// little more than it takes, and the rest goes to the others. A task that only now joined
// counts as wanting an even share.
//
// Tasks take part while their driver runs (`Participant`). Everything is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "core/bandwidth_limiter.h"

namespace twk {

class SharedBandwidth {
public:
    explicit SharedBandwidth(LimiterClock clock = LimiterClock::steady());
    SharedBandwidth(const SharedBandwidth&) = delete;
    SharedBandwidth& operator=(const SharedBandwidth&) = delete;

    // Bytes per second for all tasks together; 0 or less turns the limit off. The shares follow
    // on each task's next tick.
    void set_limit(int64_t bytes_per_second);
    int64_t limit() const { return m_limit.load(); }

    // A task's place in the split while its run lasts; `key` tells the tasks apart.
    class Participant {
    public:
        Participant(SharedBandwidth* shared, const void* key);
        ~Participant();
        Participant(const Participant&) = delete;
        Participant& operator=(const Participant&) = delete;
        // The task's share in bytes per second given the bytes it has written so far (any
        // counter that only grows); 0 when the limit is off or there is no shared limit.
        int64_t share(uint64_t bytes_written);

    private:
        SharedBandwidth* m_shared;
        const void* m_key;
    };

private:
    struct Member {
        bool measured = false;
        uint64_t last_bytes = 0;
        uint64_t last_ns = 0;
        double rate = 0;  // bytes per second over the last interval
        double given = 0; // the share handed out last
    };
    void join(const void* key);
    void leave(const void* key);
    int64_t share(const void* key, uint64_t bytes_written);
    void split(double limit); // under m_lock

    LimiterClock m_clock;
    std::atomic<int64_t> m_limit{0};
    std::mutex m_lock;
    std::unordered_map<const void*, Member> m_members; // under m_lock
};

// The limit a task's limiter is set to: its own limit (`own`), or its share of the list's limit
// (`share`) when that is lower; 0 or less means none for either. A share that grew by less than an
// eighth keeps the limiter's `current` limit as it is: every change of a limiter's limit forgives
// the debt beyond one second's worth, which a share that wobbled on every tick would turn into a
// leak. A smaller share applies at once, so the shares never add up to more than the limit.
int64_t task_limit(int64_t own, int64_t share, int64_t current);

} // namespace twk
