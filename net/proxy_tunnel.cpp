#include "net/proxy_tunnel.h"

#include "net/text.h"
#include "net/url.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace twk {

namespace {

bool fail(TransportError& error, FailureKind kind, std::string text) {
    error.set(kind, std::move(text));
    return false;
}

// Whether a refusal by status can be mended by asking again: time-outs, throttling and the
// server-side 5xx can; the rest of 4xx, 501 and 505 cannot.
bool status_is_permanent(int status) {
    if (status >= 400 && status <= 499) return status != 408 && status != 429;
    return status == 501 || status == 505;
}

// The CONNECT exchange. The reply is read one byte at a time so that no byte of the tunnel
// (the server's first TLS record) is taken from the socket.
bool http_connect(Socket s, const ProxySpec& proxy, const std::string& host, int port,
                  TransportError& error) {
    const bool ipv6 = host.find(':') != std::string::npos;
    const std::string target = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (!proxy.user.empty())
        request += "Proxy-Authorization: Basic " + basic_credentials(proxy.user, proxy.password) + "\r\n";
    request += "Proxy-Connection: keep-alive\r\n\r\n";
    if (!send_raw_all(s, request.data(), request.size()))
        return fail(error, FailureKind::kRetryable, "CONNECT send failed");
    std::string reply;
    for (;;) {
        char c;
        if (reply.size() > kMaxConnectReply || recv_some(s, &c, 1) != 1)
            return fail(error, FailureKind::kRetryable, "no CONNECT reply");
        reply += c;
        if (reply.size() >= 4 && reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0) break;
    }
    const size_t space = reply.find(' ');
    const int status = space == std::string::npos ? 0 : std::atoi(reply.c_str() + space + 1);
    if (space != std::string::npos && status >= 200 && status <= 299) return true;
    return fail(error, status_is_permanent(status) ? FailureKind::kPermanent : FailureKind::kRetryable,
                "proxy CONNECT failed (" + std::to_string(status) + ")");
}

bool socks5_authenticate(Socket s, const ProxySpec& proxy, TransportError& error) {
    const bool with_user = !proxy.user.empty();
    const unsigned char greeting_user[] = {0x05, 0x02, 0x00, 0x02};
    const unsigned char greeting_plain[] = {0x05, 0x01, 0x00};
    const bool sent = with_user ? send_raw_all(s, reinterpret_cast<const char*>(greeting_user), 4)
                                : send_raw_all(s, reinterpret_cast<const char*>(greeting_plain), 3);
    if (!sent) return fail(error, FailureKind::kRetryable, "socks5 greeting send failed");
    unsigned char method[2];
    if (!recv_exact(s, reinterpret_cast<char*>(method), 2))
        return fail(error, FailureKind::kRetryable, "socks5 no method reply");
    if (method[0] != 0x05) return fail(error, FailureKind::kPermanent, "socks5 bad version");
    if (method[1] == 0x00) return true;
    if (method[1] != 0x02) return fail(error, FailureKind::kPermanent, "socks5 no acceptable auth method");

    if (proxy.user.size() > 255 || proxy.password.size() > 255)
        return fail(error, FailureKind::kPermanent, "socks5 credential too long");
    std::string auth;
    auth += '\x01';
    auth += static_cast<char>(proxy.user.size());
    auth += proxy.user;
    auth += static_cast<char>(proxy.password.size());
    auth += proxy.password;
    if (!send_raw_all(s, auth.data(), auth.size()))
        return fail(error, FailureKind::kRetryable, "socks5 auth send failed");
    unsigned char status[2];
    if (!recv_exact(s, reinterpret_cast<char*>(status), 2))
        return fail(error, FailureKind::kRetryable, "socks5 no auth reply");
    if (status[1] != 0x00) return fail(error, FailureKind::kPermanent, "socks5 auth rejected");
    return true;
}

// The address part of the connect request: resolved here (kind 2) or left to the proxy (kind 3).
bool socks5_address(const ProxySpec& proxy, const std::string& host, std::string& out,
                    TransportError& error) {
    if (proxy.kind == kProxySocks5Remote) {
        if (host.size() > 255) return fail(error, FailureKind::kPermanent, "socks5 host too long");
        out += '\x03';
        out += static_cast<char>(host.size());
        out += host;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    bool ok = getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list;
    if (ok && list->ai_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
        out += '\x01';
        out.append(reinterpret_cast<const char*>(&a->sin_addr), 4);
    } else if (ok && list->ai_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(list->ai_addr);
        out += '\x04';
        out.append(reinterpret_cast<const char*>(&a->sin6_addr), 16);
    } else {
        ok = false;
    }
    if (list) freeaddrinfo(list);
    if (!ok) error.set(FailureKind::kPermanent, "socks5 local DNS failed: " + host, "name does not resolve");
    return ok;
}

bool socks5_connect(Socket s, const ProxySpec& proxy, const std::string& host, int port,
                    TransportError& error) {
    if (!socks5_authenticate(s, proxy, error)) return false;
    std::string request("\x05\x01\x00", 3);
    if (!socks5_address(proxy, host, request, error)) return false;
    request += static_cast<char>((port >> 8) & 0xFF);
    request += static_cast<char>(port & 0xFF);
    if (!send_raw_all(s, request.data(), request.size()))
        return fail(error, FailureKind::kRetryable, "socks5 connect send failed");

    unsigned char reply[4];
    if (!recv_exact(s, reinterpret_cast<char*>(reply), 4))
        return fail(error, FailureKind::kRetryable, "socks5 no connect reply");
    if (reply[0] != 0x05) return fail(error, FailureKind::kPermanent, "socks5 bad reply version");
    if (reply[1] != 0x00) {
        char text[48];
        std::snprintf(text, sizeof text, "socks5 connect rejected (0x%02x)", reply[1]);
        // Not allowed by the proxy's rules, command or address type not supported: final.
        const bool permanent = reply[1] == 0x02 || reply[1] == 0x07 || reply[1] == 0x08;
        return fail(error, permanent ? FailureKind::kPermanent : FailureKind::kRetryable, text);
    }
    size_t address_length = 0;
    if (reply[3] == 0x01) {
        address_length = 4;
    } else if (reply[3] == 0x04) {
        address_length = 16;
    } else if (reply[3] == 0x03) {
        unsigned char n;
        if (!recv_exact(s, reinterpret_cast<char*>(&n), 1))
            return fail(error, FailureKind::kRetryable, "socks5 short bnd");
        address_length = n;
    } else {
        return fail(error, FailureKind::kPermanent, "socks5 bad bnd atyp");
    }
    char bound[255 + 2];
    if (!recv_exact(s, bound, address_length + 2))
        return fail(error, FailureKind::kRetryable, "socks5 short bnd addr");
    return true;
}

} // namespace

Socket open_via_proxy(const ProxySpec& proxy, const std::string& target_host, int target_port,
                      bool target_tls, int connect_timeout_ms, int io_timeout_ms, bool& absolute_form,
                      std::string& error) {
    TransportError failure;
    Socket s = open_via_proxy(proxy, target_host, target_port, target_tls, connect_timeout_ms, io_timeout_ms,
                              absolute_form, failure, nullptr);
    error = failure.text;
    return s;
}

namespace {

// "127.0.0.1:3128", "[::1]:1080": the proxy as users wrote it, never with its credentials.
std::string proxy_address(const ProxySpec& proxy) {
    const bool v6 = proxy.host.find(':') != std::string::npos;
    return (v6 ? "[" + proxy.host + "]" : proxy.host) + ":" + std::to_string(proxy.port);
}

// A proxy that refuses connections or whose name does not exist will not change its mind
// within a retry or two: such a task fails at once and names the proxy. A proxy that does not
// answer in time may be busy and is worth another try.
void proxy_connect_failure(const ProxySpec& proxy, const TransportError& why, TransportError& error) {
    if (why.permanent()) {
        error.set(FailureKind::kPermanent, "proxy " + proxy_address(proxy) + " could not be resolved",
                  why.reason);
    } else if (why.reason == system_reason(ECONNREFUSED)) {
        error.set(FailureKind::kPermanent, "proxy " + proxy_address(proxy) + " refused the connection");
    } else {
        error.set(why.kind, "connect to proxy failed: " + proxy.host, why.reason);
    }
}

} // namespace

Socket open_via_proxy(const ProxySpec& proxy, const std::string& target_host, int target_port,
                      bool target_tls, int connect_timeout_ms, int io_timeout_ms, bool& absolute_form,
                      TransportError& error, SocketCanceller* canceller) {
    absolute_form = false;
    error = TransportError{};
    if (proxy.kind == kProxyHttps) {
        fail(error, FailureKind::kPermanent,
             "HTTPS proxy not supported (refusing to send credentials in cleartext)");
        return kInvalidSocket;
    }
    const bool known_kind =
        proxy.kind == kProxyHttp || proxy.kind == kProxySocks5 || proxy.kind == kProxySocks5Remote;
    if (!known_kind || proxy.host.empty() || target_host.empty() || has_control_byte(target_host) ||
        target_port < 1 || target_port > 65535) {
        fail(error, FailureKind::kPermanent, "illegal proxy target");
        return kInvalidSocket;
    }
    TransportError why;
    Socket s = tcp_connect(proxy.host, proxy.port, connect_timeout_ms, io_timeout_ms, &why, canceller);
    if (s == kInvalidSocket) {
        proxy_connect_failure(proxy, why, error);
        return kInvalidSocket;
    }
    if (proxy.kind == kProxyHttp && !target_tls) {
        absolute_form = true;
        return s;
    }
    const bool ok = proxy.kind == kProxyHttp ? http_connect(s, proxy, target_host, target_port, error)
                                             : socks5_connect(s, proxy, target_host, target_port, error);
    if (ok) return s;
    close_socket(s, canceller);
    return kInvalidSocket;
}

} // namespace twk
