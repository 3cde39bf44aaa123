#include "ui/queue_end_countdown.h"

namespace twk::ui {

QueueEndStep QueueEndCountdown::observe(bool busy, int64_t now_ms) {
    if (busy) {
        m_was_busy = true;
        if (!m_counting) return QueueEndStep::kNone;
        m_counting = false;
        return QueueEndStep::kDismiss;
    }
    if (m_counting) {
        if (m_action == 0) {
            m_counting = false;
            return QueueEndStep::kDismiss;
        }
        if (now_ms < m_deadline_ms) return QueueEndStep::kTick;
        m_counting = false;
        return QueueEndStep::kAct;
    }
    if (!m_was_busy) return QueueEndStep::kNone;
    m_was_busy = false;
    if (m_action == 0) return QueueEndStep::kNone;
    m_counting = true;
    m_deadline_ms = now_ms + m_ms;
    return QueueEndStep::kAsk;
}

int64_t QueueEndCountdown::seconds_left(int64_t now_ms) const {
    if (!m_counting) return 0;
    const int64_t left = m_deadline_ms - now_ms;
    return left <= 0 ? 0 : (left + 999) / 1000;
}

} // namespace twk::ui
