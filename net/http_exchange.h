// The HTTP/1.1 client: the one call through which every fetch of the program goes.
//
// http_exchange sends one request and reads and validates the response head, following
// redirects itself (net/redirect_policy.h). It goes direct, through an HTTP or SOCKS5 proxy
// (net/proxy_tunnel.h), speaks TLS for https (net/tls_stream.h), and may reuse an idle
// keep-alive connection the caller hands in. The body is then read with a BodyReader
// (net/body_reader.h). ftp and ftps URLs are handed to the FTP client.
#pragma once

#include "net/body_reader.h"
#include "net/http_message.h"

#include <memory>
#include <optional>
#include <string>

namespace twk {

// Performs the request. On true `response` is filled and owns the connection; on false `error`
// holds one exact message. `pooled`, when given and holding an idle connection, is used for the
// first hop instead of a new connection (never with a proxy); the slot is then left empty. A
// failure on such a connection before any response byte says "(stale)", so that the caller can
// retry on a fresh one.
bool http_exchange(const HttpRequest& request, HttpResponse& response, std::string& error,
                   std::unique_ptr<ByteStream>* pooled = nullptr);

// The same, telling on failure whether asking again can help, so that a caller decides without
// reading the message: permanent for a URL that does not parse or names a scheme we do not
// speak, a name that does not resolve, a certificate or handshake the peer or we refuse, too many
// or refused redirects, a coding we do not decode and a proxy's refusal; stale for a pooled
// connection that had died; retryable for the rest (refused, reset, time-outs, a head that did
// not arrive in time). The message in `error.text` is the one the string form gives.
bool http_exchange(const HttpRequest& request, HttpResponse& response, TransportError& error,
                   std::unique_ptr<ByteStream>* pooled = nullptr);

// The time-out fetch_small uses when given none.
constexpr int kSmallFetchDefaultTimeoutMs = 8000;
// The largest body fetch_small returns.
constexpr size_t kMaxSmallFetch = 524288;

// One GET with default settings and `timeout_ms` as both connect and I/O time-out; the body of
// a 2xx response, or nothing on any failure, a body over kMaxSmallFetch, or body reading that
// takes more than three times the time-out. Its connections are watched by `canceller` when
// one is given, so that another thread can end the fetch at once. With `refuse_downgrade` a
// fetch that started on https never follows a redirect off it (HttpRequest::refuse_downgrade).
// It goes through `proxy` when one is configured.
std::optional<std::string> fetch_small(const std::string& url, int timeout_ms,
                                       SocketCanceller* canceller = nullptr, bool refuse_downgrade = false,
                                       const ProxySpec& proxy = {});

} // namespace twk
