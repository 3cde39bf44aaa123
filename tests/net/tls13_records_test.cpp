// Our AES-GCM against mbedTLS's, and the TLS 1.3 record reader on records sealed here with
// mbedTLS's GCM: what it hands on, and every record it must refuse.
#include "net/aes_gcm.h"
#include "net/tls13_records.h"

#include <mbedtls/gcm.h>
#include <mbedtls/hkdf.h>
#include <mbedtls/md.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace twk {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<unsigned char>(rng());
    return out;
}

// mbedTLS's GCM: ciphertext followed by the tag.
Bytes seal(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& plain) {
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    EXPECT_EQ(
        mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key.data(), static_cast<unsigned>(key.size() * 8)),
        0);
    Bytes out(plain.size() + 16);
    EXPECT_EQ(mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, plain.size(), nonce.data(), nonce.size(),
                                        aad.data(), aad.size(), plain.data(), out.data(), 16,
                                        out.data() + plain.size()),
              0);
    mbedtls_gcm_free(&gcm);
    return out;
}

class AesGcm : public ::testing::Test {
protected:
    void SetUp() override {
        if (!AesGcmOpener::supported()) GTEST_SKIP() << "no AES-NI/PCLMULQDQ on this processor";
    }
};

// Lengths around the 16-byte block and the 128-byte stride of eight blocks in flight, and a full
// TLS record; both key sizes; additional data of several lengths; in place and into another buffer.
TEST_F(AesGcm, OpensWhatMbedtlsSealsAtEveryLength) {
    std::mt19937 rng(30);
    const size_t lengths[] = {0,   1,   15,  16,  17,   112,  127,   128,  129,
                              143, 255, 256, 257, 1000, 4101, 16385, 16640};
    for (size_t key_length : {16, 32}) {
        for (size_t aad_length : {0, 5, 16, 21}) {
            for (size_t length : lengths) {
                SCOPED_TRACE(testing::Message()
                             << key_length << "-byte key, " << aad_length << " aad, " << length);
                const Bytes key = random_bytes(rng, key_length), nonce = random_bytes(rng, 12);
                const Bytes aad = random_bytes(rng, aad_length), plain = random_bytes(rng, length);
                Bytes sealed = seal(key, nonce, aad, plain);
                AesGcmOpener opener;
                ASSERT_TRUE(opener.set_key(key.data(), key.size()));
                Bytes out(length + 1, 0xee);
                ASSERT_TRUE(opener.open(nonce.data(), aad.data(), aad.size(), sealed.data(), length,
                                        sealed.data() + length, out.data()));
                EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
                EXPECT_EQ(out[length], 0xee); // nothing written past the end
                ASSERT_TRUE(opener.open(nonce.data(), aad.data(), aad.size(), sealed.data(), length,
                                        sealed.data() + length, sealed.data()));
                EXPECT_TRUE(std::equal(plain.begin(), plain.end(), sealed.begin()));
            }
        }
    }
}

// One flipped bit anywhere (ciphertext first, middle or last byte, tag, additional data, nonce,
// key) fails the tag, and what was decrypted is wiped.
TEST_F(AesGcm, AnyFlippedBitFailsAndLeavesNoPlaintext) {
    std::mt19937 rng(31);
    const Bytes key = random_bytes(rng, 16), nonce = random_bytes(rng, 12), aad = random_bytes(rng, 5);
    const Bytes plain = random_bytes(rng, 300);
    const Bytes sealed = seal(key, nonce, aad, plain);
    struct Flip {
        const char* what;
        size_t at;
    };
    const Flip flips[] = {{"ciphertext", 0}, {"ciphertext", 150}, {"ciphertext", 299}, {"tag", 300},
                          {"tag", 315},      {"aad", 0},          {"nonce", 11},       {"key", 3}};
    for (const Flip& f : flips) {
        SCOPED_TRACE(testing::Message() << f.what << " " << f.at);
        Bytes k = key, n = nonce, a = aad, s = sealed;
        const std::string what = f.what;
        Bytes& target = what == "key" ? k : what == "nonce" ? n : what == "aad" ? a : s;
        target[f.at] ^= 0x10;
        AesGcmOpener opener;
        ASSERT_TRUE(opener.set_key(k.data(), k.size()));
        Bytes out(300, 0xee);
        EXPECT_FALSE(opener.open(n.data(), a.data(), a.size(), s.data(), 300, s.data() + 300, out.data()));
        EXPECT_EQ(out, Bytes(300, 0));
    }
    AesGcmOpener opener;
    EXPECT_FALSE(opener.set_key(key.data(), 24)); // AES-192 is no TLS 1.3 suite
}

// --- the record reader ---

// HKDF-Expand-Label(secret, label, "", length), written out here from RFC 8446 7.1.
Bytes expand_label(mbedtls_md_type_t md, const Bytes& secret, const std::string& label, size_t length) {
    std::string info;
    info += static_cast<char>(length >> 8);
    info += static_cast<char>(length & 0xff);
    info += static_cast<char>(6 + label.size());
    info += "tls13 " + label;
    info += '\0';
    Bytes out(length);
    EXPECT_EQ(mbedtls_hkdf_expand(mbedtls_md_info_from_type(md), secret.data(), secret.size(),
                                  reinterpret_cast<const unsigned char*>(info.data()), info.size(),
                                  out.data(), length),
              0);
    return out;
}

// The server's side: seals inner plaintexts into records with the current traffic secret.
struct Server {
    int suite;
    mbedtls_md_type_t md;
    Bytes secret;
    uint64_t sequence = 0;

    explicit Server(int suite_id)
        : suite(suite_id), md(suite_id == 0x1301 ? MBEDTLS_MD_SHA256 : MBEDTLS_MD_SHA384) {
        secret.assign(suite == 0x1301 ? 32 : 48, 0);
        for (size_t i = 0; i < secret.size(); ++i)
            secret[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    // A record carrying `content` of inner type `type`, with `padding` zero bytes.
    Bytes record(unsigned char type, const std::string& content, size_t padding = 0) {
        Bytes inner(content.begin(), content.end());
        inner.push_back(type);
        inner.resize(inner.size() + padding, 0);
        return raw(inner);
    }
    Bytes raw(const Bytes& inner) {
        const Bytes key = expand_label(md, secret, "key", suite == 0x1301 ? 16 : 32);
        Bytes nonce = expand_label(md, secret, "iv", 12);
        for (int i = 0; i < 8; ++i)
            nonce[11 - i] ^= static_cast<unsigned char>(sequence >> (8 * i));
        ++sequence;
        const size_t length = inner.size() + 16;
        const Bytes header = {23, 3, 3, static_cast<unsigned char>(length >> 8),
                              static_cast<unsigned char>(length)};
        Bytes out = header;
        const Bytes body = seal(key, nonce, header, inner);
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    void update_keys() {
        secret = expand_label(md, secret, "traffic upd", secret.size());
        sequence = 0;
    }
};

std::string handshake_message(unsigned char type, const std::string& body) {
    std::string m(1, static_cast<char>(type));
    m += static_cast<char>(body.size() >> 16);
    m += static_cast<char>((body.size() >> 8) & 0xff);
    m += static_cast<char>(body.size() & 0xff);
    return m + body;
}

const std::string kKeyUpdate = handshake_message(24, std::string(1, '\0'));
const std::string kKeyUpdateRequested = handshake_message(24, std::string(1, '\1'));
const std::string kTicket = handshake_message(4, std::string(200, 't'));

struct Step {
    Tls13RecordReader::Outcome outcome;
    std::string data;
};

// Feeds `record` through record_size and open, as the stream does.
Step feed(Tls13RecordReader& reader, const Bytes& record) {
    if (record.size() < Tls13RecordReader::kHeaderSize) return {Tls13RecordReader::Outcome::kFailed, ""};
    const size_t size = reader.record_size(record.data());
    if (size == 0) return {Tls13RecordReader::Outcome::kFailed, ""};
    if (size != record.size()) return {Tls13RecordReader::Outcome::kFailed, "size"};
    Bytes copy = record;
    Bytes out(size);
    const auto result = reader.open(copy.data(), size, out.data());
    return {result.outcome, std::string(out.begin(), out.begin() + static_cast<long>(result.length))};
}

class Tls13Records : public AesGcm {};

using Outcome = Tls13RecordReader::Outcome;

TEST_F(Tls13Records, DataTicketsKeyUpdatesAndTheCloseInOrder) {
    for (int suite : {0x1301, 0x1302}) {
        SCOPED_TRACE(suite);
        Server server(suite);
        Tls13RecordReader reader;
        ASSERT_TRUE(reader.start(suite, server.secret.data(), server.secret.size()));
        EXPECT_EQ(feed(reader, server.record(23, "hello")).data, "hello");
        // The largest record: 2^14 bytes of content, the type and padding up to 2^14 + 256 with the tag.
        EXPECT_TRUE(feed(reader, server.record(23, std::string(16384, 'x'), 239)).data ==
                    std::string(16384, 'x'));
        EXPECT_EQ(feed(reader, server.record(23, "")).outcome, Outcome::kNothing);
        // A ticket, then one split over two records.
        EXPECT_EQ(feed(reader, server.record(22, kTicket)).outcome, Outcome::kNothing);
        EXPECT_EQ(feed(reader, server.record(22, kTicket.substr(0, 50))).outcome, Outcome::kNothing);
        EXPECT_EQ(feed(reader, server.record(22, kTicket.substr(50) + kTicket, 3)).outcome,
                  Outcome::kNothing);
        EXPECT_EQ(feed(reader, server.record(23, "after tickets")).data, "after tickets");
        // A key update: the next record is under the next secret, with the sequence at 0 again.
        EXPECT_EQ(feed(reader, server.record(22, kTicket + kKeyUpdate)).outcome, Outcome::kNothing);
        server.update_keys();
        EXPECT_EQ(feed(reader, server.record(23, "new keys")).data, "new keys");
        EXPECT_FALSE(reader.key_update_requested());
        EXPECT_EQ(feed(reader, server.record(22, kKeyUpdateRequested)).outcome, Outcome::kNothing);
        server.update_keys();
        EXPECT_TRUE(reader.key_update_requested());
        EXPECT_EQ(feed(reader, server.record(23, "newer keys")).data, "newer keys");
        EXPECT_EQ(feed(reader, server.record(21, std::string("\1\0", 2))).outcome, Outcome::kClosed);
        EXPECT_EQ(feed(reader, server.record(23, "after the close")).outcome, Outcome::kFailed);
    }
}

// Each case: records sent after one good data record; the last must fail with `error`, and no
// data of it comes out.
TEST_F(Tls13Records, WhatTheReaderRefuses) {
    struct Case {
        const char* name;
        std::function<std::vector<Bytes>(Server&)> records;
        const char* error;
    };
    const auto flip = [](Bytes record, size_t at) {
        record[at] ^= 1;
        return record;
    };
    const Case cases[] = {
        {"flipped ciphertext", [&](Server& s) { return std::vector<Bytes>{flip(s.record(23, "abc"), 6)}; },
         "TLS record authentication failed"},
        {"flipped tag", [&](Server& s) { return std::vector<Bytes>{flip(s.record(23, "abc"), 22)}; },
         "TLS record authentication failed"},
        {"flipped header length",
         [&](Server& s) {
             Bytes r = s.record(23, "abcd", 1);
             r[4] = static_cast<unsigned char>(r[4] - 1); // the header is the additional data
             r.pop_back();
             return std::vector<Bytes>{r};
         },
         "TLS record authentication failed"},
        {"replayed record",
         [&](Server& s) {
             Bytes r = s.record(23, "abc");
             return std::vector<Bytes>{r, r};
         },
         "TLS record authentication failed"},
        {"skipped record",
         [&](Server& s) {
             s.record(23, "lost");
             return std::vector<Bytes>{s.record(23, "abc")};
         },
         "TLS record authentication failed"},
        {"old keys after an update",
         [&](Server& s) {
             return std::vector<Bytes>{s.record(22, kKeyUpdate), s.record(23, "abc")};
         },
         "TLS record authentication failed"},
        {"plaintext alert",
         [&](Server&) {
             return std::vector<Bytes>{Bytes{21, 3, 3, 0, 2, 2, 40}};
         },
         "unexpected TLS record"},
        {"change cipher spec",
         [&](Server&) {
             return std::vector<Bytes>{Bytes{20, 3, 3, 0, 1, 1}};
         },
         "unexpected TLS record"},
        {"wrong version",
         [&](Server& s) {
             Bytes r = s.record(23, "abc");
             r[2] = 1;
             return std::vector<Bytes>{r};
         },
         "unexpected TLS record"},
        {"too short for a tag",
         [&](Server&) {
             Bytes r(5 + 16, 0);
             r[0] = 23, r[1] = 3, r[2] = 3, r[4] = 16;
             return std::vector<Bytes>{r};
         },
         "TLS record of a bad length"},
        {"too long",
         [&](Server&) {
             Bytes r(5 + 16'641, 0);
             r[0] = 23, r[1] = 3, r[2] = 3, r[3] = 16'641 >> 8, r[4] = 16'641 & 0xff;
             return std::vector<Bytes>{r};
         },
         "TLS record of a bad length"},
        {"content over 16384",
         [&](Server& s) { return std::vector<Bytes>{s.record(23, std::string(16385, 'x'))}; },
         "TLS record too long"},
        {"only padding", [&](Server& s) { return std::vector<Bytes>{s.raw(Bytes(10, 0))}; },
         "TLS record without a content type"},
        {"unknown content type", [&](Server& s) { return std::vector<Bytes>{s.record(24, "abc")}; },
         "unexpected TLS content type"},
        {"inner change cipher spec", [&](Server& s) { return std::vector<Bytes>{s.record(20, "\1")}; },
         "unexpected TLS content type"},
        {"fatal alert", [&](Server& s) { return std::vector<Bytes>{s.record(21, "\2\50")}; },
         "TLS alert 40 from the server"},
        {"long alert", [&](Server& s) { return std::vector<Bytes>{s.record(21, std::string("\1\0\0", 3))}; },
         "malformed TLS alert"},
        {"certificate request",
         [&](Server& s) { return std::vector<Bytes>{s.record(22, handshake_message(13, "xx"))}; },
         "unexpected TLS handshake message"},
        {"empty handshake record", [&](Server& s) { return std::vector<Bytes>{s.record(22, "")}; },
         "empty TLS handshake record"},
        {"data inside a split ticket",
         [&](Server& s) {
             return std::vector<Bytes>{s.record(22, kTicket.substr(0, 10)), s.record(23, "abc")};
         },
         "TLS record inside a handshake message"},
        {"key update before more",
         [&](Server& s) { return std::vector<Bytes>{s.record(22, kKeyUpdate + kTicket)}; },
         "TLS key update not at the end of its record"},
        {"key update value 2",
         [&](Server& s) { return std::vector<Bytes>{s.record(22, handshake_message(24, "\2"))}; },
         "malformed TLS key update"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Server server(0x1301);
        Tls13RecordReader reader;
        ASSERT_TRUE(reader.start(0x1301, server.secret.data(), server.secret.size()));
        ASSERT_EQ(feed(reader, server.record(23, "first")).data, "first");
        const std::vector<Bytes> records = c.records(server);
        for (size_t i = 0; i + 1 < records.size(); ++i)
            ASSERT_NE(feed(reader, records[i]).outcome, Outcome::kFailed) << reader.error();
        const Step last = feed(reader, records.back());
        EXPECT_EQ(last.outcome, Outcome::kFailed);
        EXPECT_EQ(last.data, "");
        EXPECT_EQ(reader.error(), c.error);
        // A failed reader stays failed.
        EXPECT_EQ(feed(reader, server.record(23, "later")).outcome, Outcome::kFailed);
    }
}

TEST_F(Tls13Records, OnlyAesGcmSuitesWithASecretOfTheirHash) {
    const Bytes secret(48, 1);
    Tls13RecordReader reader;
    EXPECT_FALSE(reader.start(0x1303, secret.data(), 32)); // ChaCha20-Poly1305 stays with the library
    EXPECT_FALSE(reader.start(0x1301, secret.data(), 48));
    EXPECT_FALSE(reader.start(0x1302, secret.data(), 32));
    const Bytes header = {23, 3, 3, 0, 20};
    EXPECT_EQ(reader.record_size(header.data()), 0u); // not started
}

} // namespace
} // namespace twk
