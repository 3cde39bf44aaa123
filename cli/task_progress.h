// What `twk get` knows about its tasks: the engine's snapshots (core/task_snapshot.h), how each
// one is judged, the speed it measures between two readings, and the exit status the whole run
// ends with.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/task_snapshot.h"

namespace twk {

inline constexpr int kExitDone = 0;          // every task ended "done"
inline constexpr int kExitFailed = 1;        // a task ended in error (or was never added)
inline constexpr int kExitUsage = 2;         // bad command line
inline constexpr int kExitInterrupted = 130; // Ctrl-C or SIGTERM: tasks paused, sidecars kept

// The exit status of `twk get`: 130 when interrupted, 0 when every task is done (and there was
// at least one), else 1.
int get_exit_status(const std::vector<TaskSnapshot>& tasks, bool interrupted);

// Bytes per second over the last few seconds of readings of one task.
class SpeedMeter {
public:
    // `now_ms` from a steady clock; readings must not go back in time.
    void add(int64_t now_ms, uint64_t done);
    double bytes_per_second() const;
    void reset() { m_samples.clear(); }

private:
    static constexpr int64_t kWindowMs = 3000;
    std::deque<std::pair<int64_t, uint64_t>> m_samples;
};

} // namespace twk
