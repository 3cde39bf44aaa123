#include "net/text.h"

#include <cctype>
#include <charconv>
#include <chrono>

namespace twk {

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string fixed_decimal(double value, int decimals) {
    // The longest fixed text of a double: sign, 309 integer digits, point, the decimals.
    char buffer[512];
    decimals = decimals < 0 ? 0 : decimals > 100 ? 100 : decimals;
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}

int64_t monotonic_ms() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return ns / 1000000;
}

} // namespace twk
