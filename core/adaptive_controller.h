// The adaptive connection controller: decides how many connections a task should use.
//
// The download driver builds one controller at the start of every pass and calls sample() every
// 200 ms (every 100 ms while ramping_fast()). The controller starts at about half of the task's
// connection count, ramps up in doubling steps while added connections raise throughput, backs
// off when the server answers 429/503 (halving, with a rate ceiling) or when throughput
// collapses, and after it stops ramping it re-arms later with a growing delay. The driver caps
// target() by its own connection cap.
//
// Senders that throttle in bursts (nginx's limit_rate hands each connection a second's worth
// at once, then waits) make a 0.8 s window hold one burst or none by chance. The controller
// therefore keeps every tick's reading for the last few seconds; when they show such bursts, a
// sample is judged by the rate over the last two seconds, which holds whole burst periods,
// instead of by its own window. Smooth senders are judged by the window as before.
//
// A ramp step that pays need not wait for a full window: while a pass ramps up without having
// been throttled, the driver samples every 100 ms, and a window of 80 ms or more that already
// holds 256 KiB is taken when it shows the last step paid (it kept 93 % of the best, and nothing
// collapsed or was throttled). Such a window takes the step and nothing else: it raises neither
// the best nor the peak, since a short window can hold a burst. Every other judgement (a
// strike, a collapse, a back-off, parking) still waits for a full window, so a short window that
// happens to be low, such as a gap between a bursty sender's bursts, only makes the window grow.
// On a server that limits each connection the configured count is reached within about half a
// second instead of four.
//
// The controller knows nothing of the task record: the driver hands it the clock readings, the
// task's bytes done and its throttle-hit counter. Everything runs on the driver's thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace twk {

// The ramp's re-arm delay when TWK_RAMP_RETRY_MS does not give one.
inline constexpr uint64_t kDefaultRampRetryMs = 30'000;

// What the controller reads from the environment, gathered up front so tests can set it.
struct AdaptiveSettings {
    bool no_adapt = false; // TWK_NO_ADAPT set to any value
    // TWK_RAMP_RETRY_MS; missing or below 1 gives kDefaultRampRetryMs
    uint64_t ramp_retry_base_ms = kDefaultRampRetryMs;
    // Receives the "[adapt]" line (without its line feed) after every sample; empty: no log.
    // from_environment() sets it to the diagnostic printer when TWK_DEBUG_ADAPT is on.
    std::function<void(const std::string&)> log;

    // Reads the variables now; the driver calls it at the start of each pass.
    static AdaptiveSettings from_environment();
};

// The controller's state; every field is reset at the start of a pass.
struct AdaptiveState {
    uint32_t target = 1;          // connections wanted
    bool ramp = true;             // ramping allowed
    uint32_t step = 1;            // ramp increment
    double best = -1;             // best throughput since the current ramp began (bytes/s; < 0: none)
    double peak = 0;              // decaying peak throughput (bytes/s)
    uint32_t rate_ceiling = 0;    // connection count at which the server throttled (0: none)
    uint64_t hold_until_ms = 0;   // no ramp step before this (ms since task start)
    bool strike = false;          // one ramp step did not pay
    uint32_t backoffs = 0;        // throttle back-offs in this pass
    uint32_t window = 0;          // samples taken
    uint32_t reopens = 0;         // times ramping was re-armed
    uint64_t retry_at_ms = 0;     // when ramping may be re-armed (ms since task start; 0: none)
    uint64_t window_start_ns = 0; // monotonic time at the start of the current window
    uint64_t window_bytes = 0;    // bytes done at the start of the current window
    uint32_t last_hits = 0;       // throttle hits at the start of the current window
    double throughput = 0;        // throughput the last sample was judged by (bytes/s)
    bool bursty = false;          // the last sample found the sender bursty
};

// Limits of the sampling and ramp rules.
constexpr double kMinSampleSeconds = 0.8;   // shorter windows are not measured, except:
constexpr double kRampSampleSeconds = 0.08; // a ramp step that paid, after about one quick tick
// While such a step may come, the driver samples this often instead of at its own pace.
constexpr int64_t kQuickTickMs = 100;
constexpr double kLongWindowSeconds = 4.0;    // a window this long is measured whatever it holds
constexpr uint64_t kMinSampleBytes = 262'144; // or one that holds at least this much
constexpr uint64_t kThrottleHoldMs = 5'000;   // no ramp step this long after a 429/503 back-off
constexpr uint64_t kCollapseHoldMs = 3'000;   // nor this long after a collapse
constexpr double kCollapsePeak = 524'288;     // collapse is only judged above this peak (bytes/s)
constexpr double kCollapseRatio = 0.35;       // throughput below this share of the peak collapsed
constexpr double kPeakDecay = 0.97;           // per sample
constexpr double kRampPaidRatio = 0.93;       // a ramp step paid when throughput kept this share
constexpr uint32_t kMaxRampStep = 8;
constexpr uint64_t kMaxRampRetryMs = 240'000; // the re-arm delay doubles up to this
// Bursty senders: the readings of the last kBurstSpanSeconds are kept; when at least
// kMinBurstTicks of them (ticks of at most kMaxBurstTickSeconds) vary by more than
// kBurstiness (standard deviation over mean), a sample is judged by their span's rate, but
// only by a span of at least kMinBurstSpanShare of its length that starts kBurstStartSeconds or
// more after the readings began.
constexpr double kBurstSpanSeconds = 2.0;
constexpr double kMinBurstSpanShare = 0.9;
constexpr double kBurstStartSeconds = 1.0;
constexpr double kMaxBurstTickSeconds = 0.4;
constexpr size_t kMinBurstTicks = 6;
constexpr double kBurstiness = 0.6;

class AdaptiveController {
public:
    // Starts a pass: `now_ns` is the monotonic clock, `bytes_done` and `throttle_hits` the task's
    // counters at this moment. A connection count below 1 is taken as 1.
    AdaptiveController(uint32_t connections, uint64_t now_ns, uint64_t bytes_done, uint32_t throttle_hits,
                       const AdaptiveSettings& settings);

    // One tick of the driver. Returns whether a sample was taken (a window long or full enough).
    // `now_ms` is the time since the task's start, used for holds, re-arming and the log line.
    bool sample(uint64_t now_ns, uint64_t now_ms, uint64_t bytes_done, uint32_t throttle_hits);

    uint32_t target() const { return m_state.target; }
    // Whether a short window may take the next ramp step: the driver then samples every
    // kQuickTickMs.
    bool ramping_fast() const;
    const AdaptiveState& state() const { return m_state; }

private:
    std::string log_line(uint64_t now_ms, uint32_t throttle_hits) const;
    bool measure(uint64_t now_ns, uint64_t bytes_done, double& throughput, bool& early) const;
    bool early_step_pays(uint64_t now_ms, uint32_t throttle_hits, double throughput) const;
    void record_tick(uint64_t now_ns, uint64_t bytes_done);
    enum class Bursts { Smooth, Bursty, TooEarly };
    Bursts judge_bursts(double& throughput) const;
    void rearm_if_due(uint64_t now_ms);
    void back_off_throttled(uint64_t now_ms, double throughput);
    bool collapsed(uint64_t now_ms, double throughput);
    void ramp_step(uint64_t now_ms, double throughput, bool raise_best);
    void park(uint64_t now_ms);

    uint32_t m_connections;
    AdaptiveSettings m_settings;
    AdaptiveState m_state;
    struct Tick {
        uint64_t ns;
        uint64_t bytes;
    };
    std::deque<Tick> m_ticks;        // every call's reading, oldest first, for about kBurstSpanSeconds
    uint64_t m_history_start_ns = 0; // when the readings began (the pass, or a restart of the file)
};

} // namespace twk
