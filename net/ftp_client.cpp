#include "net/ftp_client.h"

#include "net/debug_log.h"
#include "net/proxy_tunnel.h"
#include "net/text.h"
#include "net/tls_stream.h"
#include "net/url.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <netdb.h>
#include <new>
#include <sys/socket.h>

namespace twk {

namespace {

// "%XX" with two hexadecimal digits becomes the byte; any other "%" stays as written.
std::string decode_path_leniently(std::string_view path) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && hex(path[i + 1]) >= 0 && hex(path[i + 2]) >= 0) {
            out += static_cast<char>(hex(path[i + 1]) * 16 + hex(path[i + 2]));
            i += 2;
        } else {
            out += path[i];
        }
    }
    return out;
}

bool is_2xx(int code) { return code >= 200 && code <= 299; }

struct ByteRange {
    int64_t start = 0;
    int64_t end = -1; // -1: to the end of the file
};

// "bytes=START-" or "bytes=START-END" with END >= START; anything else (a suffix range, a list,
// garbage) is no range at all and the whole file is fetched.
bool requested_range(const HeaderList& headers, ByteRange& range) {
    const std::string* value = nullptr;
    for (const auto& [name, v] : headers) {
        if (name == "Range" || name == "range") {
            value = &v;
            break;
        }
    }
    constexpr std::string_view kPrefix = "bytes=";
    if (!value || value->compare(0, kPrefix.size(), kPrefix) != 0) return false;
    std::string_view spec = std::string_view(*value).substr(kPrefix.size());
    const size_t dash = spec.find('-');
    if (dash == std::string_view::npos || !parse_ftp_digits(spec.substr(0, dash), range.start)) return false;
    const std::string_view end = spec.substr(dash + 1);
    if (end.empty()) {
        range.end = -1;
        return true;
    }
    return parse_ftp_digits(end, range.end) && range.end >= range.start;
}

// The numeric address of the socket's peer ("127.0.0.1", "::1", "fe80::1%eth0"); empty when it
// cannot be read.
std::string peer_address(Socket socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return host;
}

// What one retrieval holds open; destroying it closes whatever is still held.
struct FtpSession {
    explicit FtpSession(const HttpRequest& r)
        : request(r), io_timeout_ms(static_cast<int>(std::min<uint32_t>(r.io_timeout_ms, INT32_MAX))) {}

    const HttpRequest& request;
    UrlParts url;
    int io_timeout_ms;
    FtpControl control;
    std::string peer; // numeric address of the control peer
    std::unique_ptr<ByteStream> data;
    std::string reply;
    std::string error;
    FailureKind kind = FailureKind::kRetryable;
    FailureCategory category = FailureCategory::kHttpStatus;
    std::string reason; // the system's or the TLS library's cause, when known

    bool fail(FailureKind k, std::string message, std::string why = {}) {
        return fail(FailureCategory::kHttpStatus, k, std::move(message), std::move(why));
    }
    bool fail(FailureCategory c, FailureKind k, std::string message, std::string why = {}) {
        kind = k;
        category = c;
        error = std::move(message);
        reason = std::move(why);
        return false;
    }
    // Sends a command; -1 with `error`, `kind` and `category` set when it could not be sent
    // (a control byte in it is refused; a failed send may go better later).
    int command(std::string_view text) {
        FailureKind refused = FailureKind::kRetryable;
        const int code = ftp_command(control, text, reply, error, &refused);
        if (code == -1 && !error.empty()) {
            kind = refused;
            category = refused == FailureKind::kPermanent ? FailureCategory::kProtocol : FailureCategory::kIo;
        }
        return code;
    }
    // A reply of the permanent class (5xx) cannot be mended by asking again; 4xx can.
    static FailureKind kind_of_reply(int code) {
        return code >= 500 && code <= 599 ? FailureKind::kPermanent : FailureKind::kRetryable;
    }

    // Sends a command; true when its reply code is within [low, high]. Otherwise `error` holds
    // the command's own failure, or `message` and the safe reply text.
    bool expect(std::string_view command, int low, int high, std::string_view message) {
        const int code = this->command(command);
        if (code >= low && code <= high) return true;
        if (!error.empty()) return false; // the command never went out, or could not be sent
        return fail(kind_of_reply(code), std::string(message) + safe_reply_text(reply));
    }
};

// A connection to `host`:`port`, direct or tunnelled through the request's proxy (an HTTP
// proxy's CONNECT or SOCKS5 alike: FTP is never spoken to the proxy itself). A proxy's failure
// is complete in `error` and fails the session.
Socket connect_to(FtpSession& s, const std::string& host, int port, TransportError& why) {
    if (!s.request.proxy.configured())
        return tcp_connect(host, port, s.request.connect_timeout_ms, s.io_timeout_ms, &why,
                           s.request.canceller);
    bool absolute_form = false;
    const Socket socket = open_via_proxy(s.request.proxy, host, port, true, s.request.connect_timeout_ms,
                                         s.io_timeout_ms, absolute_form, why, s.request.canceller);
    if (socket == kInvalidSocket) {
        s.fail(FailureCategory::kProxy, why.kind, why.text, why.reason);
    }
    return socket;
}

// Steps up to a logged-in control connection: connect, greeting, AUTH TLS for ftps, USER/PASS.
bool open_control(FtpSession& s) {
    TransportError why;
    const Socket socket = connect_to(s, s.url.host, s.url.port, why);
    if (socket == kInvalidSocket && !s.error.empty()) return false;
    if (socket == kInvalidSocket)
        return s.fail(FailureCategory::kConnect, why.kind,
                      "ftp connect failed: " + safe_reply_text(s.url.host), why.reason);
    // Through a proxy the socket's peer is the proxy: data connections go to the server's name.
    if (!s.request.proxy.configured()) s.peer = peer_address(socket);
    auto plain = std::make_unique<PlainStream>(socket, s.request.canceller);
    PlainStream* raw = plain.get();
    s.control.stream = std::move(plain);

    // A greeting of 421 (too many users) is worth another try later; a 5xx greeting is not.
    const int greeting = ftp_read_reply(s.control, s.reply);
    if (!is_2xx(greeting))
        return s.fail(FtpSession::kind_of_reply(greeting),
                      "ftp greeting failed: " + safe_reply_text(s.reply));
    if (s.url.scheme == "ftps") {
        const int code = s.command("AUTH TLS");
        if (code != 234) {
            if (!s.error.empty()) return false;
            return s.fail(code >= 400 && code <= 499 ? FailureKind::kRetryable : FailureKind::kPermanent,
                          "server refused AUTH TLS (not an FTPS server?): " + safe_reply_text(s.reply));
        }
        // Bytes after the 234 came before the handshake, unprotected: a man in the middle could
        // have placed them there to be read as replies of the secured session.
        if (!s.control.buffer.empty())
            return s.fail(FailureCategory::kProtocol, FailureKind::kPermanent,
                          "unexpected plaintext after AUTH TLS");
        TransportError why;
        s.control.stream =
            open_tls(raw->release(), s.url.host, s.request.insecure, &why, s.request.canceller);
        if (!s.control.stream)
            return s.fail(FailureCategory::kTls, why.kind,
                          "FTPS control handshake failed (certificate or protocol)", why.reason);
    }

    const bool anonymous = s.url.user.empty();
    const std::string user = anonymous ? "anonymous" : s.url.user;
    const std::string password = anonymous ? std::string(kFtpAnonymousPassword) : s.url.password;
    int code = s.command("USER " + user);
    if (code == 331 || code == 332) code = s.command("PASS " + password);
    if (!is_2xx(code)) {
        if (!s.error.empty()) return false;
        // 530 (not logged in) is a wrong user or password: asking again changes nothing.
        return s.fail(code >= 400 && code <= 499 ? FailureKind::kRetryable : FailureKind::kPermanent,
                      "ftp login failed: " + safe_reply_text(s.reply));
    }
    return true;
}

// EPSV, else PASV; the data connection to the control peer at the port the reply names.
bool open_data(FtpSession& s) {
    int port = 0;
    if (s.command("EPSV") == 229) port = ftp_epsv_port(s.reply);
    if (port == 0) {
        s.error.clear();
        const int code = s.command("PASV");
        if (code == 227) port = ftp_pasv_port(s.reply);
        if (port == 0) {
            if (!s.error.empty()) return false;
            return s.fail(FtpSession::kind_of_reply(code),
                          "ftp passive mode failed: " + safe_reply_text(s.reply));
        }
    }
    const std::string& host = s.peer.empty() ? s.url.host : s.peer;
    TransportError why;
    const Socket socket = connect_to(s, host, port, why);
    if (socket == kInvalidSocket && !s.error.empty()) return false;
    if (socket == kInvalidSocket)
        return s.fail(FailureCategory::kConnect, FailureKind::kRetryable, "ftp data connect failed",
                      why.reason);
    s.data = std::make_unique<PlainStream>(socket, s.request.canceller);
    debug_log("[net] ftp data connection to %s port %d", host.c_str(), port);
    return true;
}

// The TLS handshake of a protected data channel. It runs after the server has answered RETR:
// common servers start their side of it only then.
bool secure_data(FtpSession& s) {
    auto* plain = static_cast<PlainStream*>(s.data.get());
    TransportError why;
    s.data = open_tls(plain->release(), s.url.host, s.request.insecure, &why, s.request.canceller);
    if (s.data) return true;
    return s.fail(FailureCategory::kTls, why.kind, "FTPS data handshake failed", why.reason);
}

// The HTTP-shaped head of the answer: a 206 with Content-Range's numbers for a range, else a 200
// with the file's length (-1 when SIZE told nothing).
void describe(const FtpSession& s, HttpResponse& response, bool ranged, const ByteRange& range, int64_t size,
              const std::string& modified) {
    response.set_final_url(s.url);
    response.headers.set("Accept-Ranges", "bytes");
    if (!modified.empty()) response.headers.set("Last-Modified", modified);
    if (ranged) {
        // An end past the last byte is cut to it, as an HTTP server cuts its Content-Range: the
        // server sends no more than the file holds, and a longer length would read as a cut body.
        int64_t end = range.end;
        bool end_known = end >= 0;
        if (size >= 0 && (!end_known || end > size - 1)) {
            end = size - 1;
            end_known = true;
        }
        response.status = 206;
        response.range_start = range.start;
        response.range_total = size;
        response.content_length = end_known ? std::max<int64_t>(end - range.start + 1, 0) : -1;
    } else {
        response.status = 200;
        response.content_length = size;
    }
}

std::string rest_command(int64_t start) {
    char rest[40];
    std::snprintf(rest, sizeof rest, "REST %lld", static_cast<long long>(start));
    return rest;
}

bool retrieve(FtpSession& s, HttpResponse& response) {
    const bool ftps = s.url.scheme == "ftps";
    const std::string path = decode_path_leniently(s.url.path);
    if (!open_control(s)) return false;
    if (ftps && (!s.expect("PBSZ 0", 200, 299, "FTPS PBSZ 0 refused: ") ||
                 !s.expect("PROT P", 200, 299, "FTPS PROT P refused (data channel would be cleartext): ")))
        return false;
    if (!s.expect("TYPE I", 200, 299, "ftp TYPE I failed: ")) return false;

    int64_t size = -1;
    if (s.command("SIZE " + path) == 213) size = ftp_size_from_reply(s.reply);
    // The command never went out: the path holds a control byte, or the connection died.
    if (!s.error.empty()) return false;
    // A server without MDTM gives no validator: a resume then relies on the size alone.
    std::string modified;
    if (s.command("MDTM " + path) == 213) modified = http_date_from_mdtm(s.reply);
    if (!s.error.empty()) return false;

    ByteRange range;
    const bool ranged = requested_range(s.request.headers, range);
    if (s.request.method == "HEAD") {
        // A REST only sets where the next RETR would start: none follows, so nothing is sent.
        bool resumes = false;
        if (ranged) {
            const int code = s.command(rest_command(range.start));
            if (!s.error.empty()) return false;
            resumes = code == 350;
        }
        describe(s, response, resumes, range, size, modified);
        response.no_body = true;
        return true;
    }
    if (!open_data(s)) return false;
    if (ranged && range.start > 0 &&
        !s.expect(rest_command(range.start), 350, 350, "ftp REST rejected (no resume support): "))
        return false;
    if (!s.expect("RETR " + path, 100, 199, "ftp RETR failed: ")) return false;
    if (ftps && !secure_data(s)) return false;

    describe(s, response, ranged, range, size, modified);
    response.until_close = response.content_length == -1;
    response.connection.reset(new (std::nothrow) FtpBodyStream(std::move(s.data), std::move(s.control)));
    if (!response.connection)
        return s.fail(FailureCategory::kOther, FailureKind::kRetryable, "out of memory");
    return true;
}

} // namespace

int FtpBodyStream::read(char* buffer, int capacity) {
    if (m_failed || !m_data || capacity < 0) return -1;
    if (capacity == 0) return 0;
    const int n = m_data->read(buffer, capacity);
    if (n != 0 || m_final_reply_read) return n;
    m_final_reply_read = true;
    std::string reply;
    const int code = ftp_read_reply(m_control, reply);
    if (is_2xx(code)) return 0;
    debug_log("[net] ftp transfer not confirmed: %s", safe_reply_text(reply).c_str());
    if (code > 0) m_failure = "ftp transfer failed: " + safe_reply_text(reply);
    m_failed = true;
    return -1;
}

std::string FtpBodyStream::failure_reason() const {
    if (!m_failure.empty()) return m_failure;
    return m_data ? m_data->failure_reason() : std::string();
}

bool FtpBodyStream::send_all(const char* data, size_t length) {
    return m_data ? m_data->send_all(data, length) : false;
}

void FtpBodyStream::close() {
    if (m_data) m_data->close();
    if (m_control.stream) m_control.stream->close();
}

bool ftp_retrieve(const HttpRequest& request, HttpResponse& response, TransportError& error) {
    error = TransportError{};
    FtpSession s(request);
    if (!parse_url(request.url, s.url) || (s.url.scheme != "ftp" && s.url.scheme != "ftps")) {
        error.set(FailureKind::kPermanent, "bad ftp url");
        return false;
    }
    if (has_control_byte(s.url.host, true)) {
        error.set(FailureKind::kPermanent, "illegal character in ftp host");
        return false;
    }
    if (retrieve(s, response)) return true;
    error.set(s.category, s.kind, std::move(s.error), std::move(s.reason));
    return false;
}

bool ftp_retrieve(const HttpRequest& request, HttpResponse& response, std::string& error) {
    TransportError typed;
    const bool ok = ftp_retrieve(request, response, typed);
    error = ok ? std::string() : std::move(typed.text);
    return ok;
}

} // namespace twk
