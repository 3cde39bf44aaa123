// The connection counts a download may use, for every layer that offers or checks one.
#pragma once

#include <cstdint>

namespace twk {

// The only connection counts a task takes; any other becomes kDefaultConnections.
inline constexpr uint64_t kAllowedConnections[] = {1, 2, 4, 8, 12, 16, 24, 32};
inline constexpr uint64_t kDefaultConnections = 8;

} // namespace twk
