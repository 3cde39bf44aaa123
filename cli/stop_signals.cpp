#include "cli/stop_signals.h"

#include <pthread.h>

#include <ctime>
#include <system_error>

namespace twk {

StopSignals::StopSignals(const Engine& engine) : m_engine(&engine) {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
    try {
        m_thread = std::thread([this] { take(); });
    } catch (const std::system_error&) {
        // Without a thread to take them, the signals keep their default action.
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
}

StopSignals::~StopSignals() {
    if (!m_thread.joinable()) return;
    m_quit = true;
    pthread_kill(m_thread.native_handle(), SIGINT);
    m_thread.join();
    timespec now{0, 0};
    while (sigtimedwait(&m_set, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

void StopSignals::wait_beyond(int seen) {
    std::unique_lock lock(m_lock);
    m_taken.wait(lock, [&] { return m_count > seen; });
}

void StopSignals::take() {
    for (;;) {
        int signal = 0;
        if (sigwait(&m_set, &signal) != 0 || m_quit) return;
        {
            std::lock_guard lock(m_lock);
            ++m_count;
        }
        m_taken.notify_all();
        m_engine->wake_waiters();
    }
}

} // namespace twk
