#include "net/sha256_ni.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TWK_SHA_NI 1
#endif

namespace twk {

namespace {

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#ifdef TWK_SHA_NI

alignas(16) constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

#define TWK_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four message words, big-endian in the block.
TWK_SHA_TARGET inline __m128i load_words(const unsigned char* data, __m128i byte_swap) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), byte_swap);
}

// Four rounds on the message words `words` (already in host order), group `group` of sixteen.
TWK_SHA_TARGET inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i words, int group) {
    __m128i message =
        _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[group * 4])));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
    message = _mm_shuffle_epi32(message, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
}

// Words 4g..4g+3 of the schedule from the four groups before them (oldest first).
TWK_SHA_TARGET inline __m128i next_words(__m128i w4, __m128i w3, __m128i w2, __m128i w1) {
    const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w4, w3), _mm_alignr_epi8(w1, w2, 4));
    return _mm_sha256msg2_epu32(partial, w1);
}

// Hashes `blocks` 64-byte blocks into `state`. The instructions keep the state as the word pairs
// ABEF and CDGH, so it is rearranged on the way in and out.
TWK_SHA_TARGET void compress(uint32_t state[8], const unsigned char* data, size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i w0 = load_words(data, byte_swap);
        __m128i w1 = load_words(data + 16, byte_swap);
        __m128i w2 = load_words(data + 32, byte_swap);
        __m128i w3 = load_words(data + 48, byte_swap);
        four_rounds(abef, cdgh, w0, 0);
        four_rounds(abef, cdgh, w1, 1);
        four_rounds(abef, cdgh, w2, 2);
        four_rounds(abef, cdgh, w3, 3);
        for (int group = 4; group < 16; group += 4) {
            w0 = next_words(w0, w1, w2, w3);
            four_rounds(abef, cdgh, w0, group);
            w1 = next_words(w1, w2, w3, w0);
            four_rounds(abef, cdgh, w1, group + 1);
            w2 = next_words(w2, w3, w0, w1);
            four_rounds(abef, cdgh, w2, group + 2);
            w3 = next_words(w3, w0, w1, w2);
            four_rounds(abef, cdgh, w3, group + 3);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

#else

void compress(uint32_t*, const unsigned char*, size_t) {}

#endif

} // namespace

bool sha256_ni_available() {
#ifdef TWK_SHA_NI
    // GCC's __builtin_cpu_supports knows "sha", clang's does not: CPUID leaf 7 tells both
    // (EBX bit 29).
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || !(ebx & (1u << 29))) return false;
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

void Sha256Ni::reset() {
    std::memcpy(m_state, kInitial, sizeof m_state);
    m_pending_size = 0;
    m_length = 0;
}

void Sha256Ni::update(const unsigned char* data, size_t size) {
    if (size == 0) return;
    m_length += size;
    if (m_pending_size > 0) {
        const size_t take = std::min(size, kBlock - m_pending_size);
        std::memcpy(m_pending + m_pending_size, data, take);
        m_pending_size += take;
        data += take;
        size -= take;
        if (m_pending_size < kBlock) return;
        compress(m_state, m_pending, 1);
        m_pending_size = 0;
    }
    const size_t whole = size / kBlock;
    if (whole > 0) compress(m_state, data, whole);
    data += whole * kBlock;
    size -= whole * kBlock;
    std::memcpy(m_pending, data, size);
    m_pending_size = size;
}

void Sha256Ni::finish(unsigned char digest[kDigestSize]) {
    const uint64_t bits = m_length * 8;
    // 0x80, zeros up to 8 bytes short of a block's end, then the length in bits, big-endian.
    unsigned char tail[2 * kBlock] = {0x80};
    const size_t tail_size = (m_pending_size < kBlock - 8 ? kBlock : 2 * kBlock) - m_pending_size;
    for (int i = 0; i < 8; ++i)
        tail[tail_size - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    update(tail, tail_size);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<unsigned char>(m_state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(m_state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(m_state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(m_state[i]);
    }
    reset();
}

} // namespace twk
