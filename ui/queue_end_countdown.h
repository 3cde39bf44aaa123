// What to do once the queue empties (a setting: nothing, suspend or power off), as plain logic
// with the clock handed in, so that a test need not wait the minute.
//
// The queue empties when downloads were busy (some queued or running) and none is any more.
// The action is not taken at once: a countdown of kQueueEndCountdownSeconds starts, which the
// user may cancel; downloads that get busy again meanwhile cancel it too. At its end the action
// is taken once. An app that starts with nothing to do, or a queue that empties with the action
// set to nothing, counts down nothing; a later emptying asks again.
#pragma once

#include <cstdint>

namespace twk::ui {

inline constexpr int64_t kQueueEndCountdownSeconds = 60;

enum class QueueEndStep {
    kNone,    // nothing to show or do
    kAsk,     // the countdown started: show it
    kTick,    // it runs: show the seconds left
    kDismiss, // it stopped without acting (downloads busy again): take it down
    kAct,     // it ran out: take it down and act
};

class QueueEndCountdown {
public:
    explicit QueueEndCountdown(int64_t seconds = kQueueEndCountdownSeconds) : m_ms(seconds * 1000) {}

    // kQueueEndNothing (0), kQueueEndSuspend (1) or kQueueEndPowerOff (2) of app/settings.h.
    void set_action(int action) { m_action = action; }
    int action() const { return m_action; }

    // Whether downloads are busy at `now_ms`; what the caller shows or does now.
    QueueEndStep observe(bool busy, int64_t now_ms);
    // The user's Cancel: no action until the queue empties again.
    void cancel() { m_counting = false; }

    bool counting() const { return m_counting; }
    // Whole seconds left, rounded up; 0 when not counting.
    int64_t seconds_left(int64_t now_ms) const;

private:
    int64_t m_ms;
    int m_action = 0;
    bool m_was_busy = false;
    bool m_counting = false;
    int64_t m_deadline_ms = 0;
};

} // namespace twk::ui
