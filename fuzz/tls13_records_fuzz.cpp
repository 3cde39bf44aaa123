// The TLS 1.3 record reader and our AES-GCM on arbitrary input, checked against mbedTLS's GCM.
// The input is a series of steps, each a control byte, a 16-bit length and that many bytes:
//   0  the bytes as an inner plaintext (content, type, padding) sealed as the server would:
//      whatever the reader hands on must be that content
//   1  the bytes as a raw record, header included
//   2  a sealed record with one bit flipped: the reader must refuse it
//   3  our GCM and mbedTLS's open the same ciphertext and tag under a key from the bytes: both
//      accept with the same plaintext, or both refuse
// A reader that ended starts again with a fresh one.
#include "net/aes_gcm.h"
#include "net/tls13_records.h"

#include <mbedtls/gcm.h>
#include <mbedtls/hkdf.h>
#include <mbedtls/md.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes expand_label(mbedtls_md_type_t md, const Bytes& secret, const char* label, size_t length) {
    Bytes info = {static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length),
                  static_cast<unsigned char>(6 + std::strlen(label))};
    for (const char* p = "tls13 "; *p; ++p)
        info.push_back(static_cast<unsigned char>(*p));
    for (const char* p = label; *p; ++p)
        info.push_back(static_cast<unsigned char>(*p));
    info.push_back(0);
    Bytes out(length);
    mbedtls_hkdf_expand(mbedtls_md_info_from_type(md), secret.data(), secret.size(), info.data(), info.size(),
                        out.data(), length);
    return out;
}

Bytes gcm_seal(const Bytes& key, const unsigned char* nonce, const Bytes& aad, const Bytes& plain) {
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key.data(), static_cast<unsigned>(key.size() * 8));
    Bytes out(plain.size() + 16);
    mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, plain.size(), nonce, 12, aad.data(), aad.size(),
                              plain.data(), out.data(), 16, out.data() + plain.size());
    mbedtls_gcm_free(&gcm);
    return out;
}

struct Server {
    int suite;
    Bytes secret;
    uint64_t sequence = 0;
    Bytes seal(const Bytes& inner) {
        const mbedtls_md_type_t md = suite == 0x1301 ? MBEDTLS_MD_SHA256 : MBEDTLS_MD_SHA384;
        const Bytes key = expand_label(md, secret, "key", suite == 0x1301 ? 16 : 32);
        Bytes nonce = expand_label(md, secret, "iv", 12);
        for (int i = 0; i < 8; ++i)
            nonce[11 - i] ^= static_cast<unsigned char>(sequence >> (8 * i));
        ++sequence;
        const size_t length = inner.size() + 16;
        Bytes record = {23, 3, 3, static_cast<unsigned char>(length >> 8),
                        static_cast<unsigned char>(length)};
        const Bytes body = gcm_seal(key, nonce.data(), record, inner);
        record.insert(record.end(), body.begin(), body.end());
        return record;
    }
};

twk::Tls13RecordReader::Result feed(twk::Tls13RecordReader& reader, Bytes record, Bytes& out) {
    using Outcome = twk::Tls13RecordReader::Outcome;
    if (record.size() < twk::Tls13RecordReader::kHeaderSize) return {Outcome::kFailed, 0};
    const size_t size = reader.record_size(record.data());
    if (size == 0 || size != record.size()) return {Outcome::kFailed, 0};
    out.assign(size, 0);
    // In place half of the time, as the stream does for a caller's short buffer.
    unsigned char* target =
        (record[4] & 1) ? record.data() + twk::Tls13RecordReader::kHeaderSize : out.data();
    const auto result = reader.open(record.data(), size, target);
    if (target != out.data()) std::memcpy(out.data(), target, result.length);
    return result;
}

void differential_gcm(const Bytes& bytes) {
    if (bytes.size() < 1 + 16 + 12 + 16) return;
    const size_t key_length = (bytes[0] & 1) ? 32 : 16;
    if (bytes.size() < 1 + key_length + 12 + 16) return;
    const Bytes key(bytes.begin() + 1, bytes.begin() + 1 + static_cast<long>(key_length));
    const unsigned char* nonce = bytes.data() + 1 + key_length;
    const unsigned char* tag = nonce + 12;
    const unsigned char* rest = tag + 16;
    const size_t rest_length = bytes.size() - static_cast<size_t>(rest - bytes.data());
    const size_t aad_length = std::min<size_t>(bytes[0] >> 3, rest_length);
    const size_t length = rest_length - aad_length;

    twk::AesGcmOpener opener;
    if (!opener.set_key(key.data(), key.size())) return;
    Bytes ours(length + 1), theirs(length + 1);
    const bool ours_ok = opener.open(nonce, rest, aad_length, rest + aad_length, length, tag, ours.data());
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key.data(), static_cast<unsigned>(key_length * 8));
    const bool theirs_ok = mbedtls_gcm_auth_decrypt(&gcm, length, nonce, 12, rest, aad_length, tag, 16,
                                                    rest + aad_length, theirs.data()) == 0;
    mbedtls_gcm_free(&gcm);
    if (ours_ok != theirs_ok) std::abort();
    if (ours_ok && std::memcmp(ours.data(), theirs.data(), length) != 0) std::abort();
    // A forged tag does not pass when the real one is known: seal the same bytes and check.
    Bytes plain(rest + aad_length, rest + aad_length + length);
    const Bytes aad(rest, rest + aad_length);
    const Bytes sealed = gcm_seal(key, nonce, aad, plain);
    if (!opener.open(nonce, aad.data(), aad.size(), sealed.data(), length, sealed.data() + length,
                     ours.data()))
        std::abort();
    if (std::memcmp(ours.data(), plain.data(), length) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using Outcome = twk::Tls13RecordReader::Outcome;
    if (size < 1 || !twk::AesGcmOpener::supported()) return 0;
    const int suite = (data[0] & 1) ? 0x1302 : 0x1301;
    Server server{suite, Bytes(suite == 0x1301 ? 32 : 48, 0x5a)};
    auto reader = std::make_unique<twk::Tls13RecordReader>();
    if (!reader->start(suite, server.secret.data(), server.secret.size())) std::abort();
    size_t at = 1;
    while (at + 3 <= size) {
        const unsigned char control = data[at];
        size_t length = (size_t{data[at + 1]} << 8) | data[at + 2];
        at += 3;
        length = std::min(length, size - at);
        const Bytes bytes(data + at, data + at + length);
        at += length;
        Bytes out;
        twk::Tls13RecordReader::Result result{Outcome::kNothing, 0};
        switch (control & 3) {
        case 0: {
            result = feed(*reader, server.seal(bytes), out);
            if (result.outcome == Outcome::kData) {
                // The content is what precedes the last non-zero byte, which is 23.
                size_t end = bytes.size();
                while (end > 0 && bytes[end - 1] == 0)
                    --end;
                if (end == 0 || bytes[end - 1] != 23 || result.length != end - 1 ||
                    std::memcmp(out.data(), bytes.data(), result.length) != 0)
                    std::abort();
            }
            break;
        }
        case 1: result = feed(*reader, bytes, out); break;
        case 2: {
            Bytes record = server.seal(bytes);
            const size_t bit = (size_t{control} << 8 | (bytes.empty() ? 0 : bytes[0])) % (record.size() * 8);
            record[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
            result = feed(*reader, record, out);
            if (result.outcome != Outcome::kFailed) std::abort();
            break;
        }
        case 3: differential_gcm(bytes); continue;
        }
        if (result.outcome == Outcome::kFailed || result.outcome == Outcome::kClosed) {
            reader = std::make_unique<twk::Tls13RecordReader>();
            server.secret.assign(server.secret.size(), 0x5a);
            server.sequence = 0;
            reader->start(suite, server.secret.data(), server.secret.size());
        }
    }
    return 0;
}
