// What a failed connection or exchange tells its caller beyond its message: whether trying
// again can help. The message stays one exact English text; `reason` adds the system's or the
// peer's own words where there are any ("connection refused", "unknown issuer").
#pragma once

#include <cstdint>
#include <string>

namespace twk {

enum class FailureKind : uint8_t {
    kRetryable, // a later attempt may succeed: refused, reset, time-out, a 5xx
    kPermanent, // no retry can mend it: bad URL, unknown host, certificate, unsupported coding
    kStale,     // a kept-alive connection had died before any response byte: ask again at once
};

struct TransportError {
    FailureKind kind = FailureKind::kRetryable;
    std::string text;   // the exact message
    std::string reason; // the underlying cause, when known; may be empty

    void set(FailureKind k, std::string message, std::string why = {}) {
        kind = k;
        text = std::move(message);
        reason = std::move(why);
    }
    // The message with the reason in parentheses: "connect failed: h (connection refused)".
    std::string describe() const { return reason.empty() ? text : text + " (" + reason + ")"; }
    bool permanent() const { return kind == FailureKind::kPermanent; }
};

} // namespace twk
