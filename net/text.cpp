#include "net/text.h"

#include <chrono>

namespace twk {

int64_t monotonic_ms() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return ns / 1000000;
}

} // namespace twk
