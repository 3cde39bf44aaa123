// The proxy record every layer passes around (engine options, start requests, the tunnel and
// the HTTP client), and its parser for proxy URLs such as "socks5h://user:pw@host:1080".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

enum ProxyKind : int32_t {
    kProxyNone = 0,
    kProxyHttp = 1,
    kProxySocks5 = 2,       // the target's name is resolved here
    kProxySocks5Remote = 3, // the proxy resolves the target's name
    kProxyHttps = 4,        // recognised, but refused when used
};

struct ProxySpec {
    int32_t kind = kProxyNone;
    std::string host; // without brackets for an IPv6 literal
    int32_t port = 0;
    std::string user;     // taken literally, no percent-decoding
    std::string password; // taken literally

    bool configured() const { return kind != kProxyNone && !host.empty() && port >= 1; }
};

// Fills `out` from a proxy URL. An empty (or blank) text succeeds with kind 0: no proxy.
// Without "://" the scheme is http. The port is mandatory.
bool parse_proxy_url(std::string_view text, ProxySpec& out);

} // namespace twk
