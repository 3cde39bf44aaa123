// The TLS channel: a client-side TLS 1.2/1.3 session (mbedTLS 3.6 with PSA crypto) over an
// already connected socket, checked against the CA bundle built into the program.
//
// One process-wide configuration (tls_config.h) is created by the first open_tls and shared by
// every connection: an entropy source and a CTR-DRBG ("twk-tls") whose every call is serialised by
// one mutex, optional verification judged after the handshake, and the built-in CA chain. Failures of
// that set-up are permanent for the process. Developer switches, read once at that set-up:
//   TWK_TLS_MAX12  (present, any value) caps the protocol at TLS 1.2
//   TWK_DEBUG_TLS  mbedTLS's debug threshold (atoi of the value), lines "[mbedtls:N] file:line msg"
//   TWK_CA_FILE    a PEM file whose certificates are added to the built-in chain (never replacing
//                  it): how tests and private deployments trust a CA of their own
//   TWK_TLS_LIBRARY_RECORDS  (present, any value) leaves every record to the library, as on
//                  processors without AES-NI and PCLMULQDQ (see below)
// TLS 1.3 sessions on AES-GCM are read by our own record reader (tls13_records.h) once the
// handshake is done: the library keeps the handshake, the certificate checks and everything we
// send, and AES-128-GCM is offered first. Other sessions stay with the library entirely.
// Diagnostics ("[tls] ...") go through debug_log, so they show only with TWK_DEBUG.
#pragma once

#include "net/socket.h"

#include <memory>
#include <string>

namespace twk {

struct TlsSession; // the mbedTLS context; defined in tls_stream.cpp

class TlsStream final : public ByteStream {
public:
    explicit TlsStream(Socket socket);
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // One record's worth of plaintext; 0 at the end of the stream (a close-notify, or, as on a
    // plain connection, the peer closing TCP without one: bodies framed by a length or chunks
    // still catch a cut), -1 on error or time-out. A TLS 1.3 session ticket is not data: the
    // read goes on.
    int read(char* buffer, int capacity) override;
    bool send_all(const char* data, size_t length) override;
    // Sends a close-notify unless the socket has failed, then closes the socket. Idempotent.
    void close() override;
    void set_read_timeout(uint32_t milliseconds) override;
    // What broke the session when a read failed inside TLS rather than on the socket: "TLS record
    // authentication failed" for a record that did not verify, else the reader's or the
    // library's words. Empty after a time-out or a dropped connection.
    std::string failure_reason() const override;

    // The negotiated protocol, such as "TLSv1.3"; "unknown" before the handshake.
    std::string protocol() const;
    // True when what the server sends is read by our own TLS 1.3 record reader.
    bool reads_own_records() const;

private:
    friend std::unique_ptr<TlsStream> open_tls(Socket socket, const std::string& host, bool insecure,
                                               TransportError* why, SocketCanceller* canceller);
    // The steps of open_tls: SNI and certificate name, the handshake, the verification result.
    bool handshake(const std::string& host, bool insecure, TransportError& why);

    // The socket, its "closed" and "socket failed" flags and the mbedTLS context.
    std::unique_ptr<TlsSession> m_session;
};

// Runs the handshake on `socket` for `host` (SNI and certificate name). Unless `insecure`, a
// certificate that does not verify fails. On failure the socket is closed and null comes back;
// `why` then gets the reason ("unknown issuer", "certificate expired", "host name mismatch", the
// library's text for a refused handshake), permanent unless the connection itself failed. With a
// canceller, the socket is one it watches.
std::unique_ptr<TlsStream> open_tls(Socket socket, const std::string& host, bool insecure,
                                    TransportError* why = nullptr, SocketCanceller* canceller = nullptr);

// True when the process-wide configuration is ready (runs the set-up when it has not run yet).
bool tls_available();

} // namespace twk
