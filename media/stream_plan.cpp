#include "media/stream_plan.h"

#include <cctype>
#include <charconv>
#include <limits>

namespace twk {

namespace {

std::string_view skip_spaces(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    return text.substr(i);
}

// Digits after an optional sign, saturating at `limit`; `negative` tells whether a "-" came first.
uint64_t leading_digits(std::string_view text, bool& negative, uint64_t limit) {
    text = skip_spaces(text);
    negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return limit;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

int64_t lenient_int64(std::string_view text) {
    bool negative = false;
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t magnitude = leading_digits(text, negative, kMax + 1);
    if (!negative)
        return magnitude > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(magnitude);
    return magnitude > kMax ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
}

int32_t lenient_int32(std::string_view text) {
    const int64_t value = lenient_int64(text);
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

uint64_t lenient_uint64(std::string_view text) {
    bool negative = false;
    const uint64_t value = leading_digits(text, negative, std::numeric_limits<uint64_t>::max());
    return negative ? 0 - value : value;
}

double lenient_double(std::string_view text) {
    text = skip_spaces(text);
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') return 0; // "+-1" is no number
    }
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    return error == std::errc() ? value : 0;
}

} // namespace twk
