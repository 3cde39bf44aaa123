// The control server's request reader and access rules: pure functions over bytes, so that every
// rule can be tested with a table and fuzzed without a socket.
//
// Who may do what:
//   - Every route needs a request addressed to a loopback name: the Host header (its port
//     dropped) must be "localhost", "[::1]" or an IPv4 literal in 127.0.0.0/8 written as four
//     decimal numbers. A name that merely begins with "127." is refused: a page on such a name,
//     pointed at 127.0.0.1 by its DNS, would otherwise pass (DNS rebinding). An HTTP/1.0
//     request may leave Host out.
//   - Every route but "/ping" needs a client of the user the program runs as (the server asks
//     the kernel, control/peer_user.h): another account on the machine gets 403.
//   - "/ws", "/start", "/capture", "/retry", "/stop" and "/limits" also need an allowed caller:
//     a browser extension (an Origin "chrome-extension", "moz-extension" or
//     "safari-web-extension") that proves it holds the
//     extension key (control/extension_key.h), an http or https Origin on a loopback name (same
//     rule as Host), or the server's bearer token or the extension key itself, given as
//     "Authorization: Bearer <token>" or as the query parameter "token". Any process can send an
//     extension's Origin, so that alone is not enough.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace twk {

// A request head must end ("\r\n\r\n") within this many bytes, or the connection is closed
// without a reply.
inline constexpr size_t kMaxRequestHead = 16384; // no caller of ours sends a head near this
// A request head must be whole within this long, however slowly its bytes arrive: a client that
// dribbles one byte at a time cannot hold a connection thread for longer.
inline constexpr int64_t kHeadDeadlineMs = 5000;
// Connections still in their request at once (WebSocket streams counted apart); at the cap the
// oldest one still sending its head is closed to make room.
inline constexpr int32_t kMaxRequestConnections = 128;
inline constexpr int32_t kMaxWebSocketClients = 32;
inline constexpr int kHeadReceiveSize = 4096;
// A start request's body is read up to this size; the rest is not waited for.
inline constexpr int64_t kMaxStartBody = 8388608;
inline constexpr int kBodyReceiveSize = 8192;
// A browser tag ("b" query parameter) is 1 to this many lower-case letters.
inline constexpr size_t kMaxBrowserTag = 12;

struct ControlRequest {
    std::string method;
    std::string target;
    std::string version;
    std::map<std::string, std::string> headers; // lower-cased names, trimmed values; the last wins

    const std::string* header(std::string_view lower_name) const;
};

// The head without its terminating empty line: the request line (split at blanks into method,
// target and version), then header lines split at their first ":". Lines end at "\n", one "\r"
// before it dropped; lines without ":" are skipped.
ControlRequest parse_request_head(std::string_view head);

// Where the head ends in `buffer`: the offset just past "\r\n\r\n", or 0 while it has not come.
size_t request_head_end(std::string_view buffer);

// The target up to its first "?".
std::string_view request_path(std::string_view target);

// The value of the first `name` in the target's query ("a=1&b=2"), byte for byte, without
// percent-decoding; empty when missing or without "=".
std::string query_parameter(std::string_view target, std::string_view name);

// A Host or Origin authority lower-cased with its port dropped: "[::1]:8080" gives "[::1]",
// "LocalHost:1" gives "localhost".
std::string host_without_port(std::string_view authority);

// "localhost", "[::1]", or four decimal numbers 0-255 (no leading zeros) of which the first is 127.
bool is_loopback_name(std::string_view host);

enum class HostCheck { kAllowed, kMissingHost, kForbidden };
HostCheck check_host(const ControlRequest& request);

// The bearer token the request presents: "Authorization: Bearer <token>" (the word in any case,
// blanks around the token dropped), else the "token" query parameter; empty when neither.
std::string presented_token(const ControlRequest& request);

enum ExtensionKind : int32_t {
    kNoExtension = 0,
    kChromeExtension = 1,
    kMozExtension = 2,
    kSafariExtension = 3
};

struct AccessDecision {
    bool allowed = false;
    ExtensionKind extension = kNoExtension; // the Origin's extension scheme, if any
};

// The proof an extension presents: "X-Tarnwick-Proof: NONCE.PROOF", else the query parameter
// "proof" in that form. False when neither is there; the parts are checked by the server.
bool presented_proof(const ControlRequest& request, std::string& nonce, std::string& proof);

// The rule above for the routes that need an allowed caller. `proven`: the request carried a
// proof the server accepted. An empty server token or extension key never matches.
AccessDecision decide_access(const ControlRequest& request, std::string_view server_token,
                             std::string_view extension_key = {}, bool proven = false);

// A Content-Length value read leniently, as the C library would: blanks, a sign, the longest run
// of digits; 0 for none, the largest value on overflow.
int64_t lenient_content_length(std::string_view text);

// Same length and bytes; the time taken depends only on the lengths.
bool tokens_equal(std::string_view a, std::string_view b);

// 1 to 12 bytes, each a lower-case letter a-z.
bool valid_browser_tag(std::string_view tag);

// The address the server binds: `requested` when it is a loopback IPv4 literal, else "127.0.0.1".
std::string control_bind_address(std::string_view requested);

} // namespace twk
