#include "net/http_exchange.h"

#include "net/debug_log.h"
#include "net/ftp_client.h"
#include "net/http_head.h"
#include "net/proxy_tunnel.h"
#include "net/redirect_policy.h"
#include "net/text.h"
#include "net/tls_stream.h"
#include "net/url.h"

#include <atomic>

namespace twk {

namespace {

std::atomic<int> g_connections_opened{0};

// The working state of one call, carried from hop to hop; the caller's request stays as given.
struct Exchange {
    const HttpRequest& request;
    std::string method;
    std::string body;
    HeaderList headers;
    std::string url;
    bool redirected = false;
    // Credentials from the first URL, sent only to that URL's origin.
    UrlParts credential_origin;
    std::string credentials;
};

struct Hop {
    UrlParts url;
    std::unique_ptr<ByteStream> stream;
    bool reused = false;
    bool absolute_form = false;
    ResponseHead head;
    std::string prefetched;
};

bool is_ftp_url(const UrlParts& url) { return url.scheme == "ftp" || url.scheme == "ftps"; }

// ftp and ftps URLs go to the FTP client. An FTP body can never carry another request, so an
// idle connection the caller offers is taken and closed rather than left open beside it.
bool retrieve_ftp(const HttpRequest& request, HttpResponse& response, TransportError& error,
                  std::unique_ptr<ByteStream>* pooled) {
    if (pooled) pooled->reset();
    return ftp_retrieve(request, response, error);
}

// The URL for an error message, with any user information replaced by "***".
std::string redacted_url(const std::string& url) {
    const size_t scheme_end = url.find("://");
    const size_t at = url.find('@');
    if (scheme_end == std::string::npos || at == std::string::npos || at < scheme_end + 3) return url;
    return url.substr(0, scheme_end + 3) + "***" + url.substr(at);
}

bool has_header(const HeaderList& headers, std::string_view name) {
    for (const auto& header : headers) {
        if (equals_ignoring_case(header.first, name)) return true;
    }
    return false;
}

bool open_connection(const HttpRequest& request, Hop& hop, std::unique_ptr<ByteStream>* pooled,
                     TransportError& error) {
    if (pooled && *pooled && !request.proxy.configured()) {
        hop.stream = std::move(*pooled);
        hop.reused = true;
        return true;
    }
    const int io_timeout = static_cast<int>(std::min<uint32_t>(request.io_timeout_ms, INT32_MAX));
    SocketCanceller* canceller = request.canceller;
    Socket s;
    if (request.proxy.configured()) {
        s = open_via_proxy(request.proxy, hop.url.host, hop.url.port, hop.url.tls, request.connect_timeout_ms,
                           io_timeout, hop.absolute_form, error, canceller);
        if (s == kInvalidSocket) {
            if (error.text.empty()) error.text = "proxy connect failed";
            error.category = FailureCategory::kProxy;
            return false;
        }
    } else {
        TransportError why;
        s = tcp_connect(hop.url.host, hop.url.port, request.connect_timeout_ms, io_timeout, &why, canceller);
        if (s == kInvalidSocket) {
            error.set(FailureCategory::kConnect, why.kind, "connect failed: " + hop.url.host, why.reason);
            return false;
        }
    }
    if (hop.url.tls) {
        TransportError why;
        hop.stream = open_tls(s, hop.url.host, request.insecure, &why, canceller);
        if (!hop.stream) {
            error.set(FailureCategory::kTls, why.kind, "tls handshake/verification failed: " + hop.url.host,
                      why.reason);
            return false;
        }
    } else {
        hop.stream = std::make_unique<PlainStream>(s, canceller);
    }
    debug_log_if("TWK_DEBUG_CONN", "[conn] open #%d -> %s:%d", ++g_connections_opened, hop.url.host.c_str(),
                 hop.url.port);
    return true;
}

std::string build_request(const Exchange& ex, const Hop& hop) {
    const std::string authority = url_authority(hop.url);
    std::string out;
    out.reserve(ex.body.size() + 512);
    out += ex.method + " ";
    if (hop.absolute_form) out += hop.url.scheme + "://" + authority;
    out += request_target(hop.url.path) + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    const ProxySpec& proxy = ex.request.proxy;
    if (hop.absolute_form && !proxy.user.empty())
        out += "Proxy-Authorization: Basic " + basic_credentials(proxy.user, proxy.password) + "\r\n";
    if (!ex.credentials.empty() && same_origin(ex.credential_origin, hop.url) &&
        !has_header(ex.request.headers, "authorization"))
        out += "Authorization: Basic " + ex.credentials + "\r\n";

    HeaderList sent;
    for (const auto& [name, value] : ex.headers) {
        if (equals_ignoring_case(name, "host") || equals_ignoring_case(name, "connection") ||
            equals_ignoring_case(name, "content-length") || has_control_byte(name) || has_control_byte(value))
            continue;
        out += name + ": " + value + "\r\n";
        sent.emplace_back(name, std::string());
    }
    if (!has_header(sent, "user-agent")) out += "User-Agent: TWK\r\n";
    if (!has_header(sent, "accept")) out += "Accept: */*\r\n";
    if (!has_header(sent, "accept-encoding")) out += "Accept-Encoding: identity\r\n";
    if (!ex.body.empty() || ex.method == "POST")
        out += "Content-Length: " + std::to_string(ex.body.size()) + "\r\n";
    out += "Connection: keep-alive\r\n\r\n";
    out += ex.body;
    return out;
}

// Steps 1-8 of a hop: connection, request, response head.
bool run_hop(const Exchange& ex, Hop& hop, std::unique_ptr<ByteStream>* pooled, TransportError& error) {
    if (!parse_url(ex.url, hop.url)) {
        error.set(FailureKind::kPermanent, "bad url: " + redacted_url(ex.url));
        return false;
    }
    if (has_control_byte(ex.method) || has_control_byte(hop.url.path) || has_control_byte(hop.url.host) ||
        has_control_byte(url_authority(hop.url))) {
        error.set(FailureKind::kPermanent, "illegal control character in request");
        return false;
    }
    if (!open_connection(ex.request, hop, pooled, error)) return false;
    const std::string wire = build_request(ex, hop);
    if (!hop.stream->send_all(wire.data(), wire.size())) {
        if (hop.reused) {
            error.set(FailureKind::kStale, "reused-conn send failed (stale)");
        } else {
            error.set(FailureCategory::kIo, FailureKind::kRetryable, "send failed");
        }
        return false;
    }
    std::string head;
    // The whole head must come within the I/O time-out, not just each piece of it.
    if (!read_response_head(*hop.stream, head, hop.prefetched, ex.request.io_timeout_ms)) {
        if (hop.reused) {
            error.set(FailureKind::kStale, "reused-conn no response (stale)");
        } else {
            error.set(FailureCategory::kIo, FailureKind::kRetryable, "no response headers");
        }
        return false;
    }
    hop.head = parse_response_head(head);
    return true;
}

bool finish(Exchange& ex, Hop& hop, HttpResponse& response, TransportError& error) {
    response.status = hop.head.status;
    response.headers = std::move(hop.head.headers);
    response.set_final_url(hop.url);
    response.prefetched = std::move(hop.prefetched);
    response.connection = std::move(hop.stream);
    response.redirected = ex.redirected;
    FailureKind kind = FailureKind::kRetryable;
    if (apply_response_framing(ex.method, ex.request.headers, response, error.text, &kind)) return true;
    error.kind = kind;
    return false;
}

} // namespace

bool http_exchange(const HttpRequest& request, HttpResponse& response, std::string& error,
                   std::unique_ptr<ByteStream>* pooled) {
    TransportError failure;
    const bool ok = http_exchange(request, response, failure, pooled);
    error = failure.text;
    return ok;
}

bool http_exchange(const HttpRequest& request, HttpResponse& response, TransportError& error,
                   std::unique_ptr<ByteStream>* pooled) {
    error = TransportError{};
    response = HttpResponse{};
    UrlParts first;
    const bool first_parsed = parse_url(request.url, first);
    if (first_parsed && is_ftp_url(first)) return retrieve_ftp(request, response, error, pooled);
    if (request.max_redirects < 0) {
        error.set(FailureKind::kPermanent, "too many redirects");
        return false;
    }
    Exchange ex{request, request.method, request.body, request.headers, request.url, false, UrlParts{}, {}};
    if (first_parsed && !first.user.empty()) {
        ex.credential_origin = first;
        ex.credentials = basic_credentials(first.user, first.password);
    }
    bool secure = first_parsed && first.scheme == "https";
    for (int32_t hops = 0;; ++hops) {
        Hop hop;
        if (!run_hop(ex, hop, hops == 0 ? pooled : nullptr, error)) return false;
        if (hop.head.conflicting_length) {
            error.set(FailureKind::kRetryable, "conflicting Content-Length headers");
            return false;
        }
        const std::string next = redirect_target(hop.head.status, ex.url, hop.head.headers);
        if (next.empty()) return finish(ex, hop, response, error);
        if (hops == request.max_redirects) {
            error.set(FailureKind::kPermanent, "too many redirects");
            return false;
        }
        if (!apply_redirect(hop.head.status, hop.url, next, ex.method, ex.body, ex.headers, error.text)) {
            error.kind = FailureKind::kPermanent;
            return false;
        }
        UrlParts target;
        const bool target_parsed = parse_url(next, target);
        if (request.refuse_downgrade && secure && target_parsed && target.scheme != "https") {
            error.set(FailureKind::kPermanent, "redirect from https to http refused");
            return false;
        }
        secure = secure || (target_parsed && target.scheme == "https");
        hop.stream->close();
        ex.url = next;
        ex.redirected = true;
        // A redirect into ftp:// or ftps:// is followed into the FTP client, with the headers
        // as the redirects have left them.
        if (target_parsed && is_ftp_url(target)) {
            HttpRequest ftp_request = request;
            ftp_request.url = next;
            ftp_request.method = ex.method;
            ftp_request.body = ex.body;
            ftp_request.headers = ex.headers;
            if (!retrieve_ftp(ftp_request, response, error, nullptr)) return false;
            response.redirected = true;
            return true;
        }
    }
}

std::optional<std::string> fetch_small(const std::string& url, int timeout_ms, SocketCanceller* canceller,
                                       bool refuse_downgrade, const ProxySpec& proxy) {
    UrlParts parsed;
    if (url.empty() || !parse_url(url, parsed)) return std::nullopt;
    if (timeout_ms <= 0) timeout_ms = kSmallFetchDefaultTimeoutMs;
    HttpRequest request;
    request.url = url;
    request.connect_timeout_ms = timeout_ms;
    request.io_timeout_ms = static_cast<uint32_t>(timeout_ms);
    request.canceller = canceller;
    request.refuse_downgrade = refuse_downgrade;
    request.proxy = proxy;
    HttpResponse response;
    std::string error;
    if (!http_exchange(request, response, error) || response.status < 200 || response.status > 299)
        return std::nullopt;

    BodyReader reader(response);
    std::string body;
    const int64_t started = monotonic_ms();
    char piece[16384];
    for (;;) {
        if (monotonic_ms() - started > 3 * static_cast<int64_t>(timeout_ms)) return std::nullopt;
        const int n = reader.read(piece, sizeof piece);
        if (n < 0) return std::nullopt;
        if (n == 0) return body;
        body.append(piece, static_cast<size_t>(n));
        if (body.size() > kMaxSmallFetch) return std::nullopt;
    }
}

} // namespace twk
