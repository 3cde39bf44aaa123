// AES-GCM decryption on the processor's AES and carry-less multiply instructions (x86-64 AES-NI,
// PCLMULQDQ and SSE4.1), for the bulk of a TLS 1.3 download: eight blocks in flight, and one
// GHASH reduction per eight blocks (the powers H..H^8 are kept with the key). mbedTLS does the
// same work one block and one reduction at a time, several times slower.
//
// Only opening (decrypt and check the tag) is here: what we send is small and goes through the
// TLS library. Callers ask `supported()` before using it; on other processors nothing here runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace twk {

class AesGcmOpener {
public:
    static constexpr size_t kNonceSize = 12;
    static constexpr size_t kTagSize = 16;

    // True when the processor has every instruction used here (asked once).
    static bool supported();

    AesGcmOpener() = default;
    ~AesGcmOpener(); // wipes the key schedule
    AesGcmOpener(const AesGcmOpener&) = delete;
    AesGcmOpener& operator=(const AesGcmOpener&) = delete;

    // A 16- or 32-byte key (AES-128 or AES-256); false for any other length or when the processor
    // lacks the instructions.
    bool set_key(const unsigned char* key, size_t key_length);

    // Decrypts `length` bytes of `in` into `out` when `tag` matches, and returns true. `out` may be
    // `in` itself (in place) but must not otherwise overlap it. On a tag mismatch `out` is zeroed
    // and false comes back: a forged or damaged record never yields plaintext.
    bool open(const unsigned char nonce[kNonceSize], const unsigned char* aad, size_t aad_length,
              const unsigned char* in, size_t length, const unsigned char tag[kTagSize],
              unsigned char* out) const;

private:
    alignas(16) unsigned char m_round_keys[15 * 16] = {};
    alignas(16) unsigned char m_h_powers[8 * 16] = {}; // H, H^2 .. H^8 in GHASH's byte-reversed form
    int m_rounds = 0;
};

} // namespace twk
