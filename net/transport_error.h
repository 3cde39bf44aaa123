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

// What a failure was about, kept beside its exact text: code decides by this and never by the
// words, and a front end may give each category words of its own language.
enum class FailureCategory : uint8_t {
    kNone = 0,   // no failure
    kStale,      // a kept-alive connection had died before any response byte
    kConnect,    // resolving the name or connecting to the server
    kTls,        // TLS set-up, handshake or certificate
    kProxy,      // the proxy could not be reached, refused, or broke the tunnel
    kHttpStatus, // the server refused: an HTTP status outside 2xx, an FTP error reply
    kProtocol,   // an answer we cannot use (malformed, unsupported, changed); a URL we refuse
    kIo,         // sending, receiving, or reading and writing local files
    kOther,      // the engine itself: a thread that could not start, a failure of no known kind
};

struct TransportError {
    FailureKind kind = FailureKind::kRetryable;
    FailureCategory category = FailureCategory::kProtocol;
    std::string text;   // the exact message
    std::string reason; // the underlying cause, when known; may be empty

    void set(FailureKind k, std::string message, std::string why = {}) {
        kind = k;
        if (k == FailureKind::kStale) category = FailureCategory::kStale;
        text = std::move(message);
        reason = std::move(why);
    }
    void set(FailureCategory c, FailureKind k, std::string message, std::string why = {}) {
        set(k, std::move(message), std::move(why));
        category = c;
    }
    // The message with the reason in parentheses: "connect failed: h (connection refused)".
    std::string describe() const { return reason.empty() ? text : text + " (" + reason + ")"; }
    bool permanent() const { return kind == FailureKind::kPermanent; }
};

} // namespace twk
