// The proxy the environment names for a URL, as curl and wget read it: `<scheme>_proxy` (only
// the lower-case `http_proxy` for http, since a CGI program gets a request's "Proxy:" header as
// HTTP_PROXY; for the other schemes the lower-case name first, then the upper-case one), then
// `all_proxy` / `ALL_PROXY`; `no_proxy` / `NO_PROXY` (lower case first) lists the hosts that go
// direct.
//
// `no_proxy` is a list separated by commas or blanks. "*" alone matches every host. A name
// matches itself and every name below it ("example.com" and ".example.com" both match
// "example.com" and "a.example.com", never "badexample.com"), without regard to case and to a
// trailing dot. An IP address matches an equal address or a CIDR range ("10.0.0.0/8",
// "fd00::/8"); names are never resolved to compare them.
//
// A proxy value without a scheme is an HTTP proxy; without a port it is port 1080, as in curl.
#pragma once

#include "net/proxy_spec.h"

#include <functional>
#include <string>
#include <string_view>

namespace twk {

// Reads one environment variable; empty when unset.
using EnvironmentLookup = std::function<std::string(const char* name)>;

// Whether `host` (a URL's host, an IPv6 literal with or without brackets) is in `no_proxy`.
bool no_proxy_matches(std::string_view no_proxy, std::string_view host);

struct EnvironmentProxy {
    ProxySpec proxy;      // kind 0: direct
    std::string variable; // the variable it came from; empty when direct
    bool usable = true;   // false when the variable's value is not a proxy we can use
};

// The proxy for `url` (any URL text; one that does not parse goes direct). `lookup` defaults to
// the process environment.
EnvironmentProxy environment_proxy(std::string_view url, const EnvironmentLookup& lookup = {});

} // namespace twk
