#include "net/tls_stream.h"

#include "net/debug_log.h"
#include "net/tls13_records.h"
#include "net/tls_config.h"

#include <mbedtls/net_sockets.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace twk {

// Bytes taken from the socket per receive. The library asks for a record's 5-byte header and
// then for its body, two receives per record; reading ahead serves several records of a fast
// transfer from one receive. It holds at least one whole record for our own record reader.
constexpr size_t kReadAheadSize = 65'536;
static_assert(kReadAheadSize >= 2 * Tls13RecordReader::kMaxRecord);

struct TlsSession {
    mbedtls_ssl_context ssl;
    Socket socket;
    bool closed = false;
    bool socket_failed = false; // no close-notify on a dead socket
    bool timed_out = false;     // the last receive ended on the socket's time-out
    SocketCanceller* canceller = nullptr;
    // Received bytes the library has not asked for yet: [ahead_start, ahead_end).
    std::unique_ptr<unsigned char[]> ahead = std::make_unique<unsigned char[]>(kReadAheadSize);
    size_t ahead_start = 0;
    size_t ahead_end = 0;
    // The server's application traffic secret as the library exports it during a TLS 1.3
    // handshake; handed to `records` and wiped once the handshake is over.
    unsigned char server_secret[48] = {};
    size_t server_secret_length = 0;
    // Set after a TLS 1.3 AES-GCM handshake: what the server sends is then read here instead of
    // by the library. Plaintext of a record that did not fit the caller's buffer waits, opened
    // in place, in the read-ahead buffer: [plain, plain + plain_left).
    std::unique_ptr<Tls13RecordReader> records;
    const unsigned char* plain = nullptr;
    size_t plain_left = 0;
    bool records_ended = false; // close_notify read
    std::string failure;        // what broke the session in a read (TlsStream::failure_reason)
    explicit TlsSession(Socket s) : socket(s) { mbedtls_ssl_init(&ssl); }
    ~TlsSession() {
        mbedtls_ssl_free(&ssl);
        mbedtls_platform_zeroize(server_secret, sizeof server_secret);
    }
};

namespace {

// Handshake results of WANT_READ/WANT_WRITE tolerated in total; the next one fails it.
constexpr int kHandshakeRetries = 2;
// ssl_write results of WANT_READ/WANT_WRITE tolerated in a row.
constexpr int kWriteRetries = 2;
// Reads that end without data and without a time-out (post-handshake messages) before one fails.
constexpr int kMaxEmptyReads = 64;

bool is_timeout(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Transport callbacks: at most one recv or send each (no receive-with-timeout callback). The
// socket's own time-outs bound every call; a time-out becomes WANT_READ or WANT_WRITE. A receive
// fills the read-ahead buffer with whatever has arrived, and the library's requests are served
// from it until it is empty.
int bio_recv(void* context, unsigned char* buffer, size_t length) {
    auto* session = static_cast<TlsSession*>(context);
    if (session->ahead_start == session->ahead_end && length > 0) {
        ssize_t n;
        do {
            n = ::recv(session->socket, session->ahead.get(), kReadAheadSize, 0);
        } while (n < 0 && errno == EINTR);
        session->timed_out = n < 0 && is_timeout(errno);
        // A cancel shuts the socket down, which reads as the end of the stream: it is no end.
        if (n == 0 && session->canceller && session->canceller->cancelled()) {
            session->socket_failed = true;
            return MBEDTLS_ERR_NET_RECV_FAILED;
        }
        if (n == 0) return 0;
        if (n < 0) {
            if (session->timed_out) return MBEDTLS_ERR_SSL_WANT_READ;
            session->socket_failed = true;
            return MBEDTLS_ERR_NET_RECV_FAILED;
        }
        session->ahead_start = 0;
        session->ahead_end = static_cast<size_t>(n);
    }
    const size_t n = std::min(length, session->ahead_end - session->ahead_start);
    std::memcpy(buffer, session->ahead.get() + session->ahead_start, n);
    session->ahead_start += n;
    return static_cast<int>(n);
}

int bio_send(void* context, const unsigned char* data, size_t length) {
    auto* session = static_cast<TlsSession*>(context);
    ssize_t n;
    do {
        n = ::send(session->socket, data, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    if (is_timeout(errno)) return MBEDTLS_ERR_SSL_WANT_WRITE;
    session->socket_failed = true;
    return MBEDTLS_ERR_NET_SEND_FAILED;
}

bool is_want(int rc) { return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE; }

// Keeps the server's application traffic secret of a TLS 1.3 handshake for our record reader.
void export_secret(void* context, mbedtls_ssl_key_export_type type, const unsigned char* secret,
                   size_t length, const unsigned char*, const unsigned char*, mbedtls_tls_prf_types) {
    auto* session = static_cast<TlsSession*>(context);
    if (type != MBEDTLS_SSL_KEY_EXPORT_TLS1_3_SERVER_APPLICATION_TRAFFIC_SECRET) return;
    if (length > sizeof session->server_secret) return;
    std::memcpy(session->server_secret, secret, length);
    session->server_secret_length = length;
}

// After a finished handshake: our own reader takes over what the server sends when the session is
// TLS 1.3 on an AES-GCM suite it handles, and the library holds no received bytes of its own
// (records never span the change to the application keys, so it should hold none).
void take_over_records(TlsSession& session) {
    mbedtls_ssl_context* ssl = &session.ssl;
    const int suite = mbedtls_ssl_get_ciphersuite_id_from_ssl(ssl);
    if (mbedtls_ssl_get_version_number(ssl) == MBEDTLS_SSL_VERSION_TLS1_3 &&
        Tls13RecordReader::handles(suite) && session.server_secret_length > 0 &&
        mbedtls_ssl_check_pending(ssl) == 0) {
        auto reader = std::make_unique<Tls13RecordReader>();
        if (reader->start(suite, session.server_secret, session.server_secret_length)) {
            session.records = std::move(reader);
            debug_log("[tls] TLS 1.3 suite 0x%04x: records read by our own AES-GCM", suite);
        }
    }
    mbedtls_platform_zeroize(session.server_secret, sizeof session.server_secret);
    session.server_secret_length = 0;
}

// Makes at least `want` received bytes wait in the read-ahead buffer from ahead_start, moving a
// partial record to the front when the rest would not fit. 1 when they are there; 0 when the peer
// closed the connection between records; -1 on a time-out, a failure, a cancel, or a close
// inside a record.
int fill_ahead(TlsSession& session, size_t want) {
    size_t have = session.ahead_end - session.ahead_start;
    if (have >= want) return 1;
    unsigned char* ahead = session.ahead.get();
    if (kReadAheadSize - session.ahead_start < want) {
        std::memmove(ahead, ahead + session.ahead_start, have);
        session.ahead_start = 0;
        session.ahead_end = have;
    }
    while (have < want) {
        ssize_t n;
        do {
            n = ::recv(session.socket, ahead + session.ahead_end, kReadAheadSize - session.ahead_end, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            session.timed_out = is_timeout(errno);
            if (!session.timed_out) session.socket_failed = true;
            return -1;
        }
        if (n == 0) {
            // A cancel shuts the socket down, which reads as the end of the stream: it is no end.
            if (session.canceller && session.canceller->cancelled()) {
                session.socket_failed = true;
                return -1;
            }
            if (have == 0) return 0;
            debug_log("[tls] connection closed inside a TLS record");
            session.socket_failed = true;
            return -1;
        }
        session.ahead_end += static_cast<size_t>(n);
        have += static_cast<size_t>(n);
    }
    return 1;
}

// TlsStream::read on our own record reader. A record whose plaintext fits `buffer` is opened
// straight into it; a larger one is opened in place and served from there.
int read_records(TlsSession& session, unsigned char* buffer, size_t capacity) {
    Tls13RecordReader& records = *session.records;
    for (;;) {
        if (session.plain_left > 0) {
            const size_t n = std::min(capacity, session.plain_left);
            std::memcpy(buffer, session.plain, n);
            session.plain += n;
            session.plain_left -= n;
            return static_cast<int>(n);
        }
        if (session.records_ended) return 0;
        if (capacity == 0) return 0;
        int rc = fill_ahead(session, Tls13RecordReader::kHeaderSize);
        if (rc <= 0) return rc;
        unsigned char* record = session.ahead.get() + session.ahead_start;
        const size_t size = records.record_size(record);
        if (size == 0) break;
        rc = fill_ahead(session, size);
        if (rc <= 0) return -1;
        record = session.ahead.get() + session.ahead_start;
        const size_t room = size - Tls13RecordReader::kHeaderSize - AesGcmOpener::kTagSize;
        unsigned char* out = room <= capacity ? buffer : record + Tls13RecordReader::kHeaderSize;
        const Tls13RecordReader::Result result = records.open(record, size, out);
        session.ahead_start += size;
        switch (result.outcome) {
        case Tls13RecordReader::Outcome::kData:
            if (out == buffer) return static_cast<int>(result.length);
            session.plain = out;
            session.plain_left = result.length;
            continue;
        case Tls13RecordReader::Outcome::kNothing: continue;
        case Tls13RecordReader::Outcome::kClosed: session.records_ended = true; return 0;
        case Tls13RecordReader::Outcome::kFailed: break;
        }
        break;
    }
    debug_log("[tls] reading failed: %s", records.error().c_str());
    session.failure = records.error();
    session.socket_failed = true; // the session is broken: no close-notify on it
    return -1;
}

} // namespace

TlsStream::TlsStream(Socket socket) : m_session(std::make_unique<TlsSession>(socket)) {}

TlsStream::~TlsStream() { close(); }

bool TlsStream::handshake(const std::string& host, bool insecure, TransportError& why) {
    TlsContext* tls = shared_tls_context();
    if (!tls) {
        why.set(FailureKind::kPermanent, "", "TLS set-up failed");
        return false;
    }
    mbedtls_ssl_context* ssl = &m_session->ssl;
    if (mbedtls_ssl_setup(ssl, &tls->config) != 0 || mbedtls_ssl_set_hostname(ssl, host.c_str()) != 0) {
        why.set(FailureKind::kPermanent, "", "TLS set-up failed");
        return false;
    }
    mbedtls_ssl_set_bio(ssl, m_session.get(), bio_send, bio_recv, nullptr);
    if (tls->own_records) mbedtls_ssl_set_export_keys_cb(ssl, export_secret, m_session.get());

    int retries = 0;
    for (;;) {
        int rc = mbedtls_ssl_handshake(ssl);
        if (rc == 0) break;
        if (is_want(rc)) {
            if (++retries > kHandshakeRetries) {
                why.set(FailureKind::kRetryable, "", "timed out");
                return false;
            }
            continue;
        }
        debug_log("[tls] handshake failed: -0x%04x %s", -rc, tls_error_text(rc).c_str());
        // A connection that broke is worth another try; a peer that refused what we offer is not.
        const bool broken = m_session->socket_failed || m_session->timed_out ||
                            rc == MBEDTLS_ERR_SSL_CONN_EOF || rc == MBEDTLS_ERR_NET_RECV_FAILED ||
                            rc == MBEDTLS_ERR_NET_SEND_FAILED || rc == MBEDTLS_ERR_NET_CONN_RESET;
        why.set(broken ? FailureKind::kRetryable : FailureKind::kPermanent, "", tls_error_text(rc));
        return false;
    }
    if (tls->own_records) take_over_records(*m_session);
    if (insecure) return true;
    uint32_t flags = mbedtls_ssl_get_verify_result(ssl);
    if (flags == 0) return true;
    const std::string reason = tls_verify_reason(flags);
    debug_log("[tls] certificate REJECTED for %s: %s (use --insecure to override)", host.c_str(),
              reason.c_str());
    why.set(FailureKind::kPermanent, "", reason);
    return false;
}

int TlsStream::read(char* buffer, int capacity) {
    if (m_session->closed || capacity < 0) return -1;
    if (m_session->records)
        return read_records(*m_session, reinterpret_cast<unsigned char*>(buffer),
                            static_cast<size_t>(capacity));
    // A post-handshake message such as a TLS 1.3 session ticket can end a call without data;
    // only a real time-out of the socket ends the read with -1.
    for (int attempt = 0; attempt < kMaxEmptyReads; ++attempt) {
        m_session->timed_out = false;
        int rc = mbedtls_ssl_read(&m_session->ssl, reinterpret_cast<unsigned char*>(buffer),
                                  static_cast<size_t>(capacity));
        if (rc > 0) return rc;
        if (rc == 0 || rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) return 0;
        if (rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
        if (is_want(rc) && !m_session->timed_out && !m_session->socket_failed) continue;
        if (rc == MBEDTLS_ERR_SSL_INVALID_MAC)
            m_session->failure = "TLS record authentication failed";
        else if (!is_want(rc) && !m_session->socket_failed && rc != MBEDTLS_ERR_SSL_CONN_EOF)
            m_session->failure = tls_error_text(rc);
        return -1;
    }
    return -1;
}

bool TlsStream::send_all(const char* data, size_t length) {
    if (m_session->closed) return false;
    // Answering a server's request to update our keys is beyond the library: this session has
    // said what it can.
    if (m_session->records && m_session->records->key_update_requested()) {
        debug_log("[tls] not sending: the server asked for a key update");
        return false;
    }
    int retries = 0;
    while (length > 0) {
        int rc = mbedtls_ssl_write(&m_session->ssl, reinterpret_cast<const unsigned char*>(data), length);
        if (rc >= 1) {
            data += rc;
            length -= static_cast<size_t>(rc);
            retries = 0;
            continue;
        }
        if (rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
        if (!is_want(rc) || ++retries > kWriteRetries) return false;
    }
    return true;
}

void TlsStream::close() {
    if (m_session->closed) return;
    m_session->closed = true;
    if (m_session->socket != kInvalidSocket) {
        if (!m_session->socket_failed) mbedtls_ssl_close_notify(&m_session->ssl);
        close_socket(m_session->socket, m_session->canceller);
        m_session->socket = kInvalidSocket;
    }
    mbedtls_ssl_free(&m_session->ssl);
    mbedtls_ssl_init(&m_session->ssl);
}

void TlsStream::set_read_timeout(uint32_t milliseconds) {
    if (m_session->closed || m_session->socket == kInvalidSocket) return;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    setsockopt(m_session->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::string TlsStream::failure_reason() const { return m_session->failure; }

std::string TlsStream::protocol() const { return mbedtls_ssl_get_version(&m_session->ssl); }

bool TlsStream::reads_own_records() const { return m_session->records != nullptr; }

std::unique_ptr<TlsStream> open_tls(Socket socket, const std::string& host, bool insecure,
                                    TransportError* why, SocketCanceller* canceller) {
    auto stream = std::make_unique<TlsStream>(socket);
    stream->m_session->canceller = canceller;
    TransportError failure;
    if (!stream->handshake(host, insecure, failure)) { // destroying it closes the socket
        if (why) *why = failure;
        return nullptr;
    }
    return stream;
}

bool tls_available() { return shared_tls_context() != nullptr; }

} // namespace twk
