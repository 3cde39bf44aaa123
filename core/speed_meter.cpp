#include "core/speed_meter.h"

namespace twk {

void SpeedMeter::add(int64_t now_ms, uint64_t done) {
    // A restarted download (new validator) starts again from fewer bytes: measure afresh.
    if (!m_samples.empty() && done < m_samples.back().second) m_samples.clear();
    m_samples.emplace_back(now_ms, done);
    while (m_samples.size() > 2 && now_ms - m_samples[1].first >= kWindowMs)
        m_samples.pop_front();
}

double SpeedMeter::bytes_per_second() const {
    if (m_samples.size() < 2) return 0;
    const auto& [first_ms, first_done] = m_samples.front();
    const auto& [last_ms, last_done] = m_samples.back();
    if (last_ms <= first_ms) return 0;
    return static_cast<double>(last_done - first_done) * 1000.0 / static_cast<double>(last_ms - first_ms);
}

} // namespace twk
