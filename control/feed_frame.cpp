#include "control/feed_frame.h"

#include "control/websocket.h"
#include "core/engine.h"
#include "net/text.h"

namespace twk {

FeedFrame FeedFrames::frame(const Engine& engine, int64_t max_age_ms) {
    std::lock_guard lock(m_lock);
    // Read before the render: a change landing meanwhile moves the revision past the frame's,
    // and the next ask builds again.
    const Revision revision = engine.revision();
    const int64_t now_ms = monotonic_ms();
    if (m_last.text && m_last.revision == revision &&
        (now_ms - m_built_ms < max_age_ms || engine.all_settled()))
        return m_last;
    m_last.revision = revision;
    m_last.text = std::make_shared<const std::string>(websocket_text_frame(engine.list_document()));
    m_built_ms = now_ms;
    ++m_builds;
    return m_last;
}

uint64_t FeedFrames::builds() const {
    std::lock_guard lock(m_lock);
    return m_builds;
}

} // namespace twk
