// The records of one HTTP exchange: what the caller asks for (HttpRequest) and what comes back
// (HttpResponse), with the header collections both use.
#pragma once

#include "net/text.h"

#include "net/proxy_spec.h"
#include "net/socket.h"
#include "net/url.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace twk {

// ASCII case-insensitive comparison, for header and method names.
bool equals_ignoring_case(std::string_view a, std::string_view b);

// Caller headers: sent in order, duplicates allowed.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Response headers after merging: one entry per name (the first spelling received), in order of
// arrival, looked up case-insensitively.
struct HeaderMap {
    HeaderList entries;

    // The value, or an empty string when the name is missing.
    const std::string& get(std::string_view name) const;
    std::string* find(std::string_view name);
    const std::string* find(std::string_view name) const;
    void set(std::string_view name, std::string_view value);
};

// The limits every request of the engine goes out with, unless a caller says otherwise.
inline constexpr int32_t kDefaultMaxRedirects = 10;
inline constexpr int32_t kDefaultConnectTimeoutMs = 15'000;
inline constexpr uint32_t kDefaultIoTimeoutMs = 30'000;

struct HttpRequest {
    std::string method = "GET";
    std::string url; // absolute URL
    HeaderList headers;
    std::string body;
    int32_t max_redirects = kDefaultMaxRedirects;
    int32_t connect_timeout_ms = kDefaultConnectTimeoutMs; // per address
    uint32_t io_timeout_ms = kDefaultIoTimeoutMs;          // every socket receive and send, TLS included
    bool insecure = false;                                 // skip certificate verification
    // Once a hop went over https, a redirect anywhere but https is refused before it is
    // followed: "redirect from https to http refused".
    bool refuse_downgrade = false;
    ProxySpec proxy;
    // When given, every connection the exchange opens is watched by it, so that another thread
    // can end a blocked connect or read at once. Not owned; must outlive the response.
    SocketCanceller* canceller = nullptr;
};

struct HttpResponse {
    int32_t status = 0; // 0 when the status line had no three-digit code
    HeaderMap headers;
    // The final URL after redirects.
    std::string scheme;
    std::string host;
    int32_t port = 0;
    std::string path;
    bool tls = false;
    std::string user;
    std::string password;
    // Takes the final URL's parts above from `url`.
    void set_final_url(const UrlParts& url) {
        scheme = url.scheme;
        host = url.host;
        port = url.port;
        path = url.path;
        tls = url.tls;
        user = url.user;
        password = url.password;
    }

    std::unique_ptr<ByteStream> connection; // the connection the response arrived on
    std::string prefetched;                 // body bytes that arrived with the head
    int64_t content_length = -1;            // -1 when unknown
    int64_t range_start = -1;               // first byte of a valid 206, else -1
    int64_t range_total = -1;               // complete length of a valid 206; -1 for "*" or no 206
    bool chunked = false;
    bool until_close = false; // neither chunked nor a length: the body ends when the peer closes
    bool no_body = false;     // HEAD, 204 or 304
    bool redirected = false;  // at least one redirect was followed
};

} // namespace twk
