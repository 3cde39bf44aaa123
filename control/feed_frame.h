// The WebSocket feed's frame of the task list, shared by every client of a server: the list
// document is rendered and framed once per revision of the list, however many clients watch.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/change_signal.h"

namespace twk {

class Engine;

struct FeedFrame {
    Revision revision;                       // the list's revision, read before the render
    std::shared_ptr<const std::string> text; // a whole text frame (control/websocket.h)
};

class FeedFrames {
public:
    // The frame of the list as it is now: the one built last when the list's revision has not
    // moved since, else a new one. While a task runs, a frame older than `max_age_ms` is built
    // again (its elapsed time moved on). Clients that ask while a frame is being built wait
    // for it and take it.
    FeedFrame frame(const Engine& engine, int64_t max_age_ms);
    // How many frames were built since the server started.
    uint64_t builds() const;

private:
    mutable std::mutex m_lock; // held while building, so one build serves every client
    FeedFrame m_last;
    int64_t m_built_ms = 0;
    uint64_t m_builds = 0;
};

} // namespace twk
