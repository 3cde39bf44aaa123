#include "net/text.h"

#include <cctype>
#include <chrono>

namespace twk {

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

int64_t monotonic_ms() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return ns / 1000000;
}

} // namespace twk
