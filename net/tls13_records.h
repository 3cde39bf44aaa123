// The receiving half of a TLS 1.3 record layer for AES-GCM sessions, run on AesGcmOpener once the
// TLS library has finished the handshake: the library keeps the handshake, the certificate checks,
// everything we send and the closing alert; this reads what the server sends afterwards.
//
// It is given the negotiated suite and the server's application traffic secret (as the library
// exports it), derives the key and IV with HKDF-Expand-Label (RFC 8446 7.3) and opens records in
// order: the nonce is the IV XOR the 64-bit sequence number, the additional data the record's
// 5-byte header; the inner content type is the last non-zero byte of the plaintext. Then:
//   application data   handed on (an empty record is allowed and skipped)
//   NewSessionTicket   ignored (we never resume)
//   KeyUpdate          the next traffic secret (RFC 8446 7.2), from the next record on; a request
//                      to update our own keys is remembered, since we cannot answer it
//   close_notify       the orderly end
// Anything else ends the session with an error: a record that fails its tag (no plaintext of it is
// ever handed on), another alert, a record type or handshake message a client does not expect
// here, a malformed length, padding without a content type, data interleaved with a fragmented
// handshake message, a KeyUpdate not at the end of its record.
#pragma once

#include "net/aes_gcm.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace twk {

class Tls13RecordReader {
public:
    static constexpr size_t kHeaderSize = 5;
    static constexpr size_t kMaxBody = 16'384 + 256; // ciphertext of one record, tag included
    static constexpr size_t kMaxPlaintext = 16'384;  // content of one record
    static constexpr size_t kMaxRecord = kHeaderSize + kMaxBody;

    // True when a session on `suite` (its TLS 1.3 number) can be read here on this processor.
    static bool handles(int suite);

    Tls13RecordReader() = default;
    ~Tls13RecordReader(); // wipes the traffic secret and IV
    Tls13RecordReader(const Tls13RecordReader&) = delete;
    Tls13RecordReader& operator=(const Tls13RecordReader&) = delete;

    // Takes the suite and the server's application traffic secret; false, with nothing kept, when
    // the suite is not handled or the secret is not as long as the suite's hash.
    bool start(int suite, const unsigned char* secret, size_t secret_length);

    // For a record's header: the size of the whole record (header included), or 0 when it cannot
    // start a protected record (wrong type or version, a length out of range). 0 fails the reader.
    size_t record_size(const unsigned char header[kHeaderSize]);

    enum class Outcome {
        kData,    // `length` bytes of application data in `out`
        kNothing, // a ticket, a key update or an empty record: read on
        kClosed,  // close_notify
        kFailed,  // see error()
    };
    struct Result {
        Outcome outcome;
        size_t length;
    };
    // Opens one whole record of `size` bytes (as record_size said) into `out`, which has room for
    // size - kHeaderSize - 16 bytes and may be `record + kHeaderSize` (in place). After kClosed or
    // kFailed every later call fails.
    Result open(const unsigned char* record, size_t size, unsigned char* out);

    // Why the reader failed, in a few words ("TLS record authentication failed", "TLS alert 40
    // from the server").
    const std::string& error() const { return m_error; }
    // The server asked us to update our sending keys, which this reader cannot do: the session
    // must not send again.
    bool key_update_requested() const { return m_update_requested; }

private:
    bool derive(const unsigned char* secret);
    Result fail(const char* why);
    Result handshake_messages(const unsigned char* data, size_t length);

    AesGcmOpener m_gcm;
    unsigned char m_secret[48] = {};
    unsigned char m_iv[12] = {};
    size_t m_hash_length = 0; // 32 (SHA-256) or 48 (SHA-384); 0 before start
    size_t m_key_length = 0;
    uint64_t m_sequence = 0;
    std::string m_handshake; // a handshake message that continues in the next record
    std::string m_error;
    bool m_done = false;
    bool m_update_requested = false;
};

} // namespace twk
