// Small helpers shared by every layer above the JSON codec: the control-byte rule, ASCII case,
// locale-free decimals, Base64 and the steady clock. The diagnostic printer is net/debug_log.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

// The control-byte rule for anything that reaches a request line, a header, an FTP command or
// a proxy request: a byte below 0x20 other than TAB, or 0x7F. With `tab_is_control` TAB counts
// too (credentials taken from a URL).
constexpr bool is_control_byte(unsigned char c, bool tab_is_control = false) {
    return (c < 0x20 && (tab_is_control || c != '\t')) || c == 0x7F;
}

constexpr bool has_control_byte(std::string_view text, bool tab_is_control = false) {
    for (char c : text) {
        if (is_control_byte(static_cast<unsigned char>(c), tab_is_control)) return true;
    }
    return false;
}

// ASCII letters lower-cased; every other byte kept.
std::string to_lower_ascii(std::string_view text);

// `value` with `decimals` digits after the point, as "%.*f" prints it in the C locale, whatever
// the process locale is (documents and protocol texts must not take a decimal comma).
std::string fixed_decimal(double value, int decimals);

// Standard Base64 (RFC 4648 alphabet, "=" padding): Basic credentials, the WebSocket accept.
std::string base64_encode(std::string_view bytes);

// The steady clock in nanoseconds (task start times, elapsed times) and in milliseconds (every
// deadline, progress time and contact time).
int64_t monotonic_ns();
int64_t monotonic_ms();

} // namespace twk
