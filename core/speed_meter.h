// Bytes per second over the last few seconds of readings of one download's progress.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace twk {

class SpeedMeter {
public:
    // `now_ms` from a steady clock; readings must not go back in time. Fewer bytes than the
    // last reading (a download that started over) start the measurement afresh.
    void add(int64_t now_ms, uint64_t done);
    double bytes_per_second() const;
    void reset() { m_samples.clear(); }

private:
    static constexpr int64_t kWindowMs = 3000;
    std::deque<std::pair<int64_t, uint64_t>> m_samples;
};

} // namespace twk
