// Proxy tunnels: the path to a target through an HTTP proxy (absolute-form requests for plain
// targets, a CONNECT tunnel for TLS targets) or a SOCKS5 proxy (RFC 1928, with RFC 1929
// user/password authentication), the target's name resolved here or at the proxy.
#pragma once

#include "net/proxy_spec.h"
#include "net/socket.h"

#include <string>

namespace twk {

// Largest CONNECT reply head read before giving up.
constexpr size_t kMaxConnectReply = 65535;

// Opens the path to `target_host`:`target_port` through `proxy`. On success the socket leads to
// the target (the caller starts TLS on it when the target needs it), or, when `absolute_form`
// comes back true, to an HTTP proxy that takes plain requests with the full URL as target.
// On failure returns kInvalidSocket with one exact message in `error`; the proxy socket is closed.
Socket open_via_proxy(const ProxySpec& proxy, const std::string& target_host, int target_port,
                      bool target_tls, int connect_timeout_ms, int io_timeout_ms, bool& absolute_form,
                      std::string& error);

// The same with the failure's kind: the proxy refusing (a 4xx to CONNECT but 408 and 429, a
// SOCKS5 rule or authentication refusal, a name that does not resolve) is permanent; a proxy
// that cannot be reached or breaks off is retryable. With a canceller, the proxy socket is one
// it watches from the connect on.
Socket open_via_proxy(const ProxySpec& proxy, const std::string& target_host, int target_port,
                      bool target_tls, int connect_timeout_ms, int io_timeout_ms, bool& absolute_form,
                      TransportError& error, SocketCanceller* canceller);

} // namespace twk
