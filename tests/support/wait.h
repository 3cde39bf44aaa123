// Waiting on a condition with a deadline, never on a fixed sleep.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace twk::test {

// Polls `condition` every 5 ms until it holds or `timeout_ms` have passed.
inline bool wait_until(const std::function<bool()>& condition, int64_t timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace twk::test
