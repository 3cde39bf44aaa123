#include "core/adaptive_controller.h"

#include "net/debug_log.h"
#include "net/text.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace twk {

namespace {

constexpr double kNoBest = -1;

uint64_t ramp_retry_base_from(const char* text) {
    if (!text) return kDefaultRampRetryMs;
    long long value = std::strtoll(text, nullptr, 10);
    if (value < 1) return kDefaultRampRetryMs;
    return static_cast<uint64_t>(value); // an overflowing value saturates, and the delay is capped
}

} // namespace

AdaptiveSettings AdaptiveSettings::from_environment() {
    AdaptiveSettings s;
    s.no_adapt = std::getenv("TWK_NO_ADAPT") != nullptr;
    s.ramp_retry_base_ms = ramp_retry_base_from(std::getenv("TWK_RAMP_RETRY_MS"));
    if (env_switch("TWK_DEBUG_ADAPT")) {
        s.log = [](const std::string& line) { debug_log_if("TWK_DEBUG_ADAPT", "%s", line.c_str()); };
    }
    return s;
}

AdaptiveController::AdaptiveController(uint32_t connections, uint64_t now_ns, uint64_t bytes_done,
                                       uint32_t throttle_hits, const AdaptiveSettings& settings)
    : m_connections(std::max<uint32_t>(connections, 1)), m_settings(settings) {
    if (m_settings.ramp_retry_base_ms < 1) m_settings.ramp_retry_base_ms = kDefaultRampRetryMs;
    if (m_settings.no_adapt) {
        m_state.target = m_connections;
        m_state.ramp = false;
    } else {
        m_state.target = std::max<uint32_t>(1, std::min(m_connections, (m_connections + 1) / 2));
    }
    m_state.window_start_ns = now_ns;
    m_state.window_bytes = bytes_done;
    m_state.last_hits = throttle_hits;
    m_ticks.push_back({now_ns, bytes_done});
    m_history_start_ns = now_ns;
}

bool AdaptiveController::sample(uint64_t now_ns, uint64_t now_ms, uint64_t bytes_done,
                                uint32_t throttle_hits) {
    if (m_settings.no_adapt) return false;
    record_tick(now_ns, bytes_done);
    double e = 0;
    bool early = false;
    if (!measure(now_ns, bytes_done, e, early)) return false;
    double span_rate = e;
    const Bursts bursts = judge_bursts(span_rate);
    if (early) {
        // A short window is taken only as evidence that the last step paid, and never from a
        // sender known to be bursty. Early in a pass the ramp's own growth can look like bursts
        // before any span can be judged: the window is then taken by itself.
        if (bursts == Bursts::Bursty || !early_step_pays(now_ms, throttle_hits, e)) return false;
    } else if (bursts == Bursts::TooEarly) {
        return false; // the window keeps growing
    } else {
        e = span_rate;
    }
    m_state.bursty = bursts == Bursts::Bursty;
    m_state.throughput = e;

    if (early) {
        // Only the step: a short window overstates a burst, so it neither raises the peak a
        // collapse is judged by nor the best later steps must keep.
        ramp_step(now_ms, e, false);
    } else {
        rearm_if_due(now_ms);
        if (m_state.target > 1 && throttle_hits > m_state.last_hits) {
            back_off_throttled(now_ms, e);
        } else {
            m_state.peak = std::max(e, kPeakDecay * m_state.peak);
            if (!collapsed(now_ms, e) && m_state.ramp && now_ms >= m_state.hold_until_ms)
                ramp_step(now_ms, e, true);
        }
    }
    if (m_settings.log) m_settings.log(log_line(now_ms, throttle_hits));

    m_state.last_hits = throttle_hits;
    m_state.window_start_ns = now_ns;
    m_state.window += 1;
    m_state.window_bytes = bytes_done;
    return true;
}

// A window is measured once it lasted 0.8 s and either held 256 KiB or lasted 4 s. Bytes done
// falling below the window's start (the driver restarted the file) is measured at once as 0.
// From 80 ms on, a window that holds 256 KiB is measured as `early`: it counts only for a ramp
// step that paid.
bool AdaptiveController::measure(uint64_t now_ns, uint64_t bytes_done, double& throughput,
                                 bool& early) const {
    if (now_ns < m_state.window_start_ns) return false;
    double elapsed = static_cast<double>(now_ns - m_state.window_start_ns) / 1e9;
    if (elapsed < kRampSampleSeconds) return false;
    bool shrank = bytes_done < m_state.window_bytes;
    uint64_t delta = shrank ? 0 : bytes_done - m_state.window_bytes;
    early = elapsed < kMinSampleSeconds;
    if (early && (shrank || delta < kMinSampleBytes)) return false;
    if (delta < kMinSampleBytes && elapsed < kLongWindowSeconds && !shrank) return false;
    throughput = static_cast<double>(delta) / elapsed;
    return true;
}

bool AdaptiveController::ramping_fast() const {
    const AdaptiveState& s = m_state;
    return !m_settings.no_adapt && s.ramp && s.backoffs == 0 && s.rate_ceiling == 0 && !s.strike &&
           s.target < m_connections && !s.bursty;
}

// Whether a short window shows that the ramp may take its next step now: the pass is ramping,
// has not been throttled, holds no strike and no hold, sees no new 429/503, and the throughput
// kept its share of the best (any throughput while no best is known yet) without collapsing.
bool AdaptiveController::early_step_pays(uint64_t now_ms, uint32_t throttle_hits, double throughput) const {
    const AdaptiveState& s = m_state;
    if (!s.ramp || s.backoffs > 0 || s.rate_ceiling != 0 || s.strike || now_ms < s.hold_until_ms)
        return false;
    if (throttle_hits > s.last_hits || s.target >= m_connections) return false;
    const double peak = std::max(throughput, kPeakDecay * s.peak);
    if (peak > kCollapsePeak && throughput < kCollapseRatio * peak) return false;
    return s.best < 0 || throughput >= kRampPaidRatio * s.best;
}

void AdaptiveController::record_tick(uint64_t now_ns, uint64_t bytes_done) {
    // A reading that goes back in time or in bytes (the driver started the file over) starts
    // the history again.
    if (!m_ticks.empty() && (now_ns < m_ticks.back().ns || bytes_done < m_ticks.back().bytes)) {
        m_ticks.clear();
        m_history_start_ns = now_ns;
    }
    m_ticks.push_back({now_ns, bytes_done});
    // Keep one reading at or beyond the span, so that a whole span can be measured.
    const uint64_t span_ns = static_cast<uint64_t>(kBurstSpanSeconds * 1e9);
    while (m_ticks.size() > 2 && now_ns - m_ticks[1].ns >= span_ns)
        m_ticks.pop_front();
}

// When the ticks of the last span came in bursts, `throughput` becomes the span's rate. The span
// starts at the reading whose age is nearest kBurstSpanSeconds: a sender that bursts once a
// second then holds two whole periods, whatever their phase. A span that reaches into the first
// second of the readings is not measured at all: nginx hands every new connection its first
// second's worth at once, and the connections of a pass all start together.
AdaptiveController::Bursts AdaptiveController::judge_bursts(double& throughput) const {
    if (m_ticks.size() < kMinBurstTicks + 1) return Bursts::Smooth;
    const Tick& now = m_ticks.back();
    const double span_ns = kBurstSpanSeconds * 1e9;
    size_t from = 0;
    for (size_t i = 1; i + 1 < m_ticks.size(); ++i) {
        double age = static_cast<double>(now.ns - m_ticks[i].ns);
        double best = static_cast<double>(now.ns - m_ticks[from].ns);
        if (std::abs(age - span_ns) < std::abs(best - span_ns)) from = i;
    }
    const size_t ticks = m_ticks.size() - 1 - from;
    if (ticks < kMinBurstTicks) return Bursts::Smooth;
    // Readings per second of every tick; coarse ticks say nothing about bursts.
    double sum = 0, squares = 0;
    for (size_t i = from + 1; i < m_ticks.size(); ++i) {
        double seconds = static_cast<double>(m_ticks[i].ns - m_ticks[i - 1].ns) / 1e9;
        if (seconds <= 0 || seconds > kMaxBurstTickSeconds) return Bursts::Smooth;
        double rate = static_cast<double>(m_ticks[i].bytes - m_ticks[i - 1].bytes) / seconds;
        sum += rate;
        squares += rate * rate;
    }
    const double mean = sum / static_cast<double>(ticks);
    if (mean <= 0) return Bursts::Smooth;
    const double variance = std::max(0.0, squares / static_cast<double>(ticks) - mean * mean);
    if (std::sqrt(variance) <= kBurstiness * mean) return Bursts::Smooth;
    const double seconds = static_cast<double>(now.ns - m_ticks[from].ns) / 1e9;
    if (seconds < kMinBurstSpanShare * kBurstSpanSeconds ||
        m_ticks[from].ns < m_history_start_ns + static_cast<uint64_t>(kBurstStartSeconds * 1e9))
        return Bursts::TooEarly;
    throughput = static_cast<double>(now.bytes - m_ticks[from].bytes) / seconds;
    return Bursts::Bursty;
}

void AdaptiveController::rearm_if_due(uint64_t now_ms) {
    AdaptiveState& s = m_state;
    if (s.ramp || s.backoffs > 1 || s.retry_at_ms == 0 || now_ms < s.retry_at_ms) return;
    if (s.target >= m_connections) return;
    s.reopens += 1;
    s.ramp = true;
    s.step = 1;
    s.retry_at_ms = 0;
    s.strike = false;
    s.best = kNoBest;
}

// The server answered 429 or 503 since the last sample: halve, remember where it happened, and
// hold off ramping. A second back-off in the same pass stops ramping for the rest of it.
void AdaptiveController::back_off_throttled(uint64_t now_ms, double throughput) {
    AdaptiveState& s = m_state;
    s.rate_ceiling = s.rate_ceiling == 0 ? s.target : std::min(s.rate_ceiling, s.target);
    s.peak = throughput;
    s.step = 1;
    s.backoffs += 1;
    s.target /= 2;
    s.ramp = s.backoffs <= 1;
    s.retry_at_ms = 0;
    s.hold_until_ms = now_ms + kThrottleHoldMs;
    s.best = kNoBest;
}

bool AdaptiveController::collapsed(uint64_t now_ms, double throughput) {
    AdaptiveState& s = m_state;
    if (!(s.peak > kCollapsePeak && s.target > 1 && throughput < kCollapseRatio * s.peak)) return false;
    s.target -= 1;
    s.peak = throughput;
    s.strike = false;
    s.step = 1;
    s.hold_until_ms = now_ms + kCollapseHoldMs;
    s.best = kNoBest;
    return true;
}

// One ramp step. A step that did not keep 93 % of the best throughput earns a strike; a second
// strike in a row parks the ramp where it is until the re-arm time. Without `raise_best` a
// paid step leaves the best as it was.
void AdaptiveController::ramp_step(uint64_t now_ms, double throughput, bool raise_best) {
    AdaptiveState& s = m_state;
    uint32_t ceiling = s.rate_ceiling > 1 ? s.rate_ceiling - 1 : m_connections;
    if (s.target >= ceiling) {
        s.ramp = false;
        if (s.rate_ceiling == 0) park(now_ms);
    } else if (s.best < 0) {
        s.target += 1;
        if (s.window != 0) s.best = throughput;
    } else if (throughput >= kRampPaidRatio * s.best) {
        s.target = std::min(s.target + s.step, ceiling);
        if (raise_best) s.best = std::max(throughput, s.best);
        s.step = std::min(2 * s.step, kMaxRampStep);
        s.strike = false;
    } else if (s.target <= 1) {
        s.best = throughput;
        s.strike = false;
    } else if (!s.strike) {
        s.strike = true;
    } else {
        park(now_ms);
        s.ramp = false;
        s.strike = false;
    }
}

// The re-arm delay doubles with every re-arm: base, 2×, 4×, 8×, capped at 240 s.
void AdaptiveController::park(uint64_t now_ms) {
    uint64_t base = std::min(m_settings.ramp_retry_base_ms, kMaxRampRetryMs);
    uint64_t delay = std::min(kMaxRampRetryMs, base << std::min<uint32_t>(m_state.reopens, 3));
    m_state.retry_at_ms = now_ms + delay;
}

std::string AdaptiveController::log_line(uint64_t now_ms, uint32_t throttle_hits) const {
    const AdaptiveState& s = m_state;
    // Numbers with a decimal point in every locale.
    return "[adapt] t=" + fixed_decimal(static_cast<double>(now_ms) / 1000.0, 1) +
           " target=" + std::to_string(s.target) + " tput=" + fixed_decimal(s.throughput * 0.000001, 1) +
           " rateCeil=" + std::to_string(s.rate_ceiling) + " hits=" + std::to_string(throttle_hits) +
           " ramp=" + (s.ramp ? "1" : "0") + " win=" + std::to_string(s.window) +
           " reopens=" + std::to_string(s.reopens);
}

} // namespace twk
