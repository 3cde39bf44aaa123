// The desktop app's few worker threads (update check, installer download, diagnostic upload),
// kept so that shut-down can stop and join every one of them. A job gets a stop flag it should
// look at between steps, and hands `connections()` to its requests, so that shut-down also ends
// a connect or read blocked on a silent server; finished threads are joined when the next job
// starts.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace twk::app {

class BackgroundJobs {
public:
    using Job = std::function<void(const std::atomic<bool>& stop)>;

    BackgroundJobs() = default;
    ~BackgroundJobs() { stop_and_join(); }
    BackgroundJobs(const BackgroundJobs&) = delete;
    BackgroundJobs& operator=(const BackgroundJobs&) = delete;

    // Runs `job` on a new thread; nothing once stopping.
    void run(Job job) {
        std::lock_guard lock(m_lock);
        if (m_stop.load()) return;
        reap_finished();
        auto done = std::make_shared<std::atomic<bool>>(false);
        m_threads.push_back({std::thread([this, job = std::move(job), done] {
                                 job(m_stop);
                                 done->store(true);
                             }),
                             done});
    }

    // The canceller every job's connections go through.
    SocketCanceller& connections() { return m_connections; }

    // Sets the stop flag, ends every job's connections and waits for every thread.
    void stop_and_join() {
        std::vector<Worker> threads;
        {
            std::lock_guard lock(m_lock);
            m_stop.store(true);
            threads.swap(m_threads);
        }
        m_connections.cancel();
        for (Worker& worker : threads)
            worker.thread.join();
    }

    // Threads still running; tests wait for 0.
    size_t running() const {
        std::lock_guard lock(m_lock);
        size_t n = 0;
        for (const Worker& worker : m_threads)
            n += worker.done->load() ? 0 : 1;
        return n;
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void reap_finished() {
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = m_threads.erase(it);
            } else {
                ++it;
            }
        }
    }

    mutable std::mutex m_lock;
    std::vector<Worker> m_threads;
    std::atomic<bool> m_stop{false};
    SocketCanceller m_connections;
};

} // namespace twk::app
