// SIGINT and SIGTERM for a command that runs an engine. They are blocked in every thread (the
// engine's threads, started later, inherit the mask) and taken by a thread of their own, which
// counts them and wakes whoever waits: on the engine's changes, or in `wait_beyond`.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <thread>

#include "core/engine.h"

namespace twk {

// How long paused tasks get to save their sidecars after a stop signal before the engine is
// closed; a second signal ends the wait.
inline constexpr int64_t kSettleDeadlineMs = 30'000;

class StopSignals {
public:
    // Made before the engine starts any thread.
    explicit StopSignals(const Engine& engine);
    // A signal that came after the last look is dropped: the command is ending anyway, and the
    // default action would end the process without its closing lines.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Signals taken so far.
    int count() const { return m_count; }
    // Blocks until more than `seen` signals came.
    void wait_beyond(int seen);

private:
    void take();

    const Engine* m_engine;
    sigset_t m_set;
    sigset_t m_old;
    std::atomic<int> m_count{0};
    std::atomic<bool> m_quit{false};
    std::mutex m_lock;
    std::condition_variable m_taken;
    std::thread m_thread;
};

} // namespace twk
