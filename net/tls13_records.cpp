#include "net/tls13_records.h"

#include <mbedtls/hkdf.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

#include <cstring>

namespace twk {

namespace {

constexpr int kAes128GcmSha256 = 0x1301;
constexpr int kAes256GcmSha384 = 0x1302;

constexpr unsigned char kTypeAlert = 21;
constexpr unsigned char kTypeHandshake = 22;
constexpr unsigned char kTypeApplicationData = 23;

constexpr unsigned char kNewSessionTicket = 4;
constexpr unsigned char kKeyUpdate = 24;

constexpr unsigned char kCloseNotify = 0;

// A handshake message we would wait for across records (a session ticket with a large ticket).
constexpr size_t kMaxHandshakeMessage = 1 << 17;

// HKDF-Expand-Label(secret, label, "", length) of RFC 8446 7.1.
bool expand_label(mbedtls_md_type_t md, const unsigned char* secret, size_t secret_length, const char* label,
                  unsigned char* out, size_t length) {
    unsigned char info[2 + 1 + 255 + 1];
    const size_t label_length = 6 + std::strlen(label);
    info[0] = static_cast<unsigned char>(length >> 8);
    info[1] = static_cast<unsigned char>(length);
    info[2] = static_cast<unsigned char>(label_length);
    std::memcpy(info + 3, "tls13 ", 6);
    std::memcpy(info + 9, label, label_length - 6);
    info[3 + label_length] = 0; // empty context
    return mbedtls_hkdf_expand(mbedtls_md_info_from_type(md), secret, secret_length, info, 4 + label_length,
                               out, length) == 0;
}

} // namespace

bool Tls13RecordReader::handles(int suite) {
    return (suite == kAes128GcmSha256 || suite == kAes256GcmSha384) && AesGcmOpener::supported();
}

Tls13RecordReader::~Tls13RecordReader() {
    mbedtls_platform_zeroize(m_secret, sizeof m_secret);
    mbedtls_platform_zeroize(m_iv, sizeof m_iv);
}

bool Tls13RecordReader::start(int suite, const unsigned char* secret, size_t secret_length) {
    if (!handles(suite)) return false;
    const size_t hash_length = suite == kAes128GcmSha256 ? 32 : 48;
    if (secret_length != hash_length) return false;
    m_hash_length = hash_length;
    m_key_length = suite == kAes128GcmSha256 ? 16 : 32;
    if (!derive(secret)) {
        m_hash_length = 0;
        return false;
    }
    return true;
}

// Keys for `secret`, which becomes the current traffic secret; the sequence starts again at 0.
bool Tls13RecordReader::derive(const unsigned char* secret) {
    const mbedtls_md_type_t md = m_hash_length == 32 ? MBEDTLS_MD_SHA256 : MBEDTLS_MD_SHA384;
    unsigned char key[32];
    if (secret != m_secret) std::memcpy(m_secret, secret, m_hash_length);
    const bool ok = expand_label(md, m_secret, m_hash_length, "key", key, m_key_length) &&
                    expand_label(md, m_secret, m_hash_length, "iv", m_iv, sizeof m_iv) &&
                    m_gcm.set_key(key, m_key_length);
    mbedtls_platform_zeroize(key, sizeof key);
    m_sequence = 0;
    return ok;
}

Tls13RecordReader::Result Tls13RecordReader::fail(const char* why) {
    if (!m_done) m_error = why;
    m_done = true;
    return {Outcome::kFailed, 0};
}

size_t Tls13RecordReader::record_size(const unsigned char header[kHeaderSize]) {
    if (m_done || m_hash_length == 0) {
        fail("TLS session already ended");
        return 0;
    }
    // Every record after the handshake is protected: its outer type is application data, and its
    // version the fixed 0x0303.
    if (header[0] != kTypeApplicationData || header[1] != 3 || header[2] != 3) {
        fail("unexpected TLS record");
        return 0;
    }
    const size_t length = (size_t{header[3]} << 8) | header[4];
    if (length < AesGcmOpener::kTagSize + 1 || length > kMaxBody) {
        fail("TLS record of a bad length");
        return 0;
    }
    return kHeaderSize + length;
}

Tls13RecordReader::Result Tls13RecordReader::open(const unsigned char* record, size_t size,
                                                  unsigned char* out) {
    if (m_done || m_hash_length == 0) return fail("TLS session already ended");
    if (size < kHeaderSize || record_size(record) != size) return fail("TLS record of a bad length");
    if (m_sequence == UINT64_MAX) return fail("TLS sequence number exhausted");

    unsigned char nonce[12];
    std::memcpy(nonce, m_iv, sizeof nonce);
    for (int i = 0; i < 8; ++i)
        nonce[11 - i] ^= static_cast<unsigned char>(m_sequence >> (8 * i));
    const size_t body = size - kHeaderSize - AesGcmOpener::kTagSize;
    if (!m_gcm.open(nonce, record, kHeaderSize, record + kHeaderSize, body,
                    record + size - AesGcmOpener::kTagSize, out))
        return fail("TLS record authentication failed");
    ++m_sequence;

    // TLSInnerPlaintext: content, the content type, then zero padding.
    size_t length = body;
    while (length > 0 && out[length - 1] == 0)
        --length;
    if (length == 0) return fail("TLS record without a content type");
    const unsigned char type = out[--length];
    if (length > kMaxPlaintext) return fail("TLS record too long");
    if (!m_handshake.empty() && type != kTypeHandshake) return fail("TLS record inside a handshake message");

    switch (type) {
    case kTypeApplicationData: return {length > 0 ? Outcome::kData : Outcome::kNothing, length};
    case kTypeHandshake:
        if (length == 0) return fail("empty TLS handshake record");
        return handshake_messages(out, length);
    case kTypeAlert:
        if (length != 2) return fail("malformed TLS alert");
        if (out[1] == kCloseNotify) {
            m_done = true;
            return {Outcome::kClosed, 0};
        }
        m_error = "TLS alert " + std::to_string(out[1]) + " from the server";
        m_done = true;
        return {Outcome::kFailed, 0};
    default: return fail("unexpected TLS content type");
    }
}

Tls13RecordReader::Result Tls13RecordReader::handshake_messages(const unsigned char* data, size_t length) {
    m_handshake.append(reinterpret_cast<const char*>(data), length);
    bool update = false;
    size_t at = 0;
    while (m_handshake.size() - at >= 4) {
        const auto* message = reinterpret_cast<const unsigned char*>(m_handshake.data()) + at;
        const size_t body = (size_t{message[1]} << 16) | (size_t{message[2]} << 8) | message[3];
        if (body > kMaxHandshakeMessage) return fail("TLS handshake message too long");
        if (m_handshake.size() - at - 4 < body) break;
        if (message[0] == kKeyUpdate) {
            // The new keys start with the next record, so nothing may follow in this one.
            if (body != 1 || message[4] > 1) return fail("malformed TLS key update");
            if (m_handshake.size() != at + 5) return fail("TLS key update not at the end of its record");
            if (message[4] == 1) m_update_requested = true;
            update = true;
        } else if (message[0] != kNewSessionTicket) {
            return fail("unexpected TLS handshake message");
        }
        at += 4 + body;
    }
    m_handshake.erase(0, at);
    if (update) {
        const mbedtls_md_type_t md = m_hash_length == 32 ? MBEDTLS_MD_SHA256 : MBEDTLS_MD_SHA384;
        unsigned char next[48];
        if (!expand_label(md, m_secret, m_hash_length, "traffic upd", next, m_hash_length)) {
            mbedtls_platform_zeroize(next, sizeof next);
            return fail("TLS key update failed");
        }
        std::memcpy(m_secret, next, m_hash_length);
        mbedtls_platform_zeroize(next, sizeof next);
        if (!derive(m_secret)) return fail("TLS key update failed");
    }
    return {Outcome::kNothing, 0};
}

} // namespace twk
