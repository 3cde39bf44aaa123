#include "net/aes_gcm.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TWK_AES_GCM_X86 1
#else
#define TWK_AES_GCM_X86 0
#endif

namespace twk {

#if TWK_AES_GCM_X86

#define TWK_AES_TARGET __attribute__((target("aes,pclmul,sse4.1,ssse3")))

namespace {

// GHASH works on bit-reflected blocks; reversing the bytes of each block lets the carry-less
// multiply below work on them directly.
TWK_AES_TARGET inline __m128i byte_reverse(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// One step of the AES-128 key expansion.
TWK_AES_TARGET inline __m128i expand_step(__m128i key, __m128i assist) {
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

#define TWK_EXPAND128(i, rcon)                                                                               \
    rk[i] = expand_step(rk[(i)-1], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[(i)-1], rcon), 0xff))

TWK_AES_TARGET void expand_key_128(const unsigned char* key, __m128i* rk) {
    rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    TWK_EXPAND128(1, 0x01);
    TWK_EXPAND128(2, 0x02);
    TWK_EXPAND128(3, 0x04);
    TWK_EXPAND128(4, 0x08);
    TWK_EXPAND128(5, 0x10);
    TWK_EXPAND128(6, 0x20);
    TWK_EXPAND128(7, 0x40);
    TWK_EXPAND128(8, 0x80);
    TWK_EXPAND128(9, 0x1b);
    TWK_EXPAND128(10, 0x36);
}

// AES-256: even round keys take the RotWord/SubWord/Rcon step, odd ones SubWord alone.
#define TWK_EXPAND256(i, rcon)                                                                               \
    rk[i] = expand_step(rk[(i)-2], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[(i)-1], rcon), 0xff));     \
    if ((i) + 1 < 15)                                                                                        \
    rk[(i) + 1] = expand_step(rk[(i)-1], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[i], 0), 0xaa))

TWK_AES_TARGET void expand_key_256(const unsigned char* key, __m128i* rk) {
    rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    rk[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
    TWK_EXPAND256(2, 0x01);
    TWK_EXPAND256(4, 0x02);
    TWK_EXPAND256(6, 0x04);
    TWK_EXPAND256(8, 0x08);
    TWK_EXPAND256(10, 0x10);
    TWK_EXPAND256(12, 0x20);
    TWK_EXPAND256(14, 0x40);
}

TWK_AES_TARGET inline __m128i encrypt_block(const __m128i* rk, int rounds, __m128i block) {
    block = _mm_xor_si128(block, rk[0]);
    for (int r = 1; r < rounds; ++r)
        block = _mm_aesenc_si128(block, rk[r]);
    return _mm_aesenclast_si128(block, rk[rounds]);
}

// A 256-bit carry-less product kept unreduced as (low, middle, high) so that several products
// can be summed before one reduction.
struct Wide {
    __m128i lo, mid, hi;
};

TWK_AES_TARGET inline void multiply_add(Wide& acc, __m128i a, __m128i b) {
    acc.lo = _mm_xor_si128(acc.lo, _mm_clmulepi64_si128(a, b, 0x00));
    acc.hi = _mm_xor_si128(acc.hi, _mm_clmulepi64_si128(a, b, 0x11));
    acc.mid = _mm_xor_si128(
        acc.mid, _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01)));
}

// Folds a product into a field element: the one-bit shift that the reflected representation
// needs, then reduction modulo x^128 + x^7 + x^2 + x + 1.
TWK_AES_TARGET inline __m128i reduce(const Wide& w) {
    __m128i lo = _mm_xor_si128(w.lo, _mm_slli_si128(w.mid, 8));
    __m128i hi = _mm_xor_si128(w.hi, _mm_srli_si128(w.mid, 8));
    __m128i lo_carry = _mm_srli_epi32(lo, 31);
    __m128i hi_carry = _mm_srli_epi32(hi, 31);
    lo = _mm_slli_epi32(lo, 1);
    hi = _mm_slli_epi32(hi, 1);
    __m128i cross = _mm_srli_si128(lo_carry, 12);
    hi_carry = _mm_slli_si128(hi_carry, 4);
    lo_carry = _mm_slli_si128(lo_carry, 4);
    lo = _mm_or_si128(lo, lo_carry);
    hi = _mm_or_si128(_mm_or_si128(hi, hi_carry), cross);

    __m128i a =
        _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)), _mm_slli_epi32(lo, 25));
    __m128i a_high = _mm_srli_si128(a, 4);
    lo = _mm_xor_si128(lo, _mm_slli_si128(a, 12));
    __m128i b =
        _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)), _mm_srli_epi32(lo, 7));
    b = _mm_xor_si128(b, a_high);
    lo = _mm_xor_si128(lo, b);
    return _mm_xor_si128(hi, lo);
}

TWK_AES_TARGET inline __m128i gf_multiply(__m128i a, __m128i b) {
    Wide w{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    multiply_add(w, a, b);
    return reduce(w);
}

// Up to 16 bytes as one zero-padded block.
TWK_AES_TARGET inline __m128i load_partial(const unsigned char* data, size_t length) {
    alignas(16) unsigned char block[16] = {};
    std::memcpy(block, data, length);
    return _mm_load_si128(reinterpret_cast<const __m128i*>(block));
}

TWK_AES_TARGET inline __m128i counter_block(__m128i base, uint32_t counter) {
    return _mm_insert_epi32(base, static_cast<int>(__builtin_bswap32(counter)), 3);
}

TWK_AES_TARGET bool set_key_x86(const unsigned char* key, size_t key_length, unsigned char* round_keys,
                                unsigned char* h_powers) {
    __m128i rk[15];
    if (key_length == 16)
        expand_key_128(key, rk);
    else
        expand_key_256(key, rk);
    const int rounds = key_length == 16 ? 10 : 14;
    for (int i = 0; i <= rounds; ++i)
        _mm_store_si128(reinterpret_cast<__m128i*>(round_keys) + i, rk[i]);
    const __m128i h = byte_reverse(encrypt_block(rk, rounds, _mm_setzero_si128()));
    __m128i power = h;
    for (int i = 0; i < 8; ++i) {
        _mm_store_si128(reinterpret_cast<__m128i*>(h_powers) + i, power);
        power = gf_multiply(power, h);
    }
    volatile unsigned char* wipe = reinterpret_cast<volatile unsigned char*>(rk);
    for (size_t i = 0; i < sizeof rk; ++i)
        wipe[i] = 0;
    return true;
}

// The bulk of open_x86: whole groups of eight blocks from `pos`, with the round count fixed so
// that the compiler lays out every round. Returns the position after the last group.
template <int Rounds>
TWK_AES_TARGET size_t open_groups(const __m128i* rk, const __m128i* hp, __m128i base, uint32_t& counter,
                                  __m128i& y, const unsigned char* in, size_t length, unsigned char* out) {
    const __m128i zero = _mm_setzero_si128();
    size_t pos = 0;
    for (; length - pos >= 128; pos += 128, counter += 8) {
        __m128i c[8], k[8];
        for (int i = 0; i < 8; ++i)
            c[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos) + i);
        for (int i = 0; i < 8; ++i)
            k[i] = _mm_xor_si128(counter_block(base, counter + static_cast<uint32_t>(i)), rk[0]);
        Wide acc{zero, zero, zero};
        multiply_add(acc, _mm_xor_si128(y, byte_reverse(c[0])), hp[7]);
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) {
            for (int i = 0; i < 8; ++i)
                k[i] = _mm_aesenc_si128(k[i], rk[r]);
            if (r < 8) multiply_add(acc, byte_reverse(c[r]), hp[7 - r]);
        }
        for (int i = 0; i < 8; ++i)
            k[i] = _mm_aesenclast_si128(k[i], rk[Rounds]);
        y = reduce(acc);
        for (int i = 0; i < 8; ++i)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + pos) + i, _mm_xor_si128(c[i], k[i]));
    }
    return pos;
}

TWK_AES_TARGET bool open_x86(const unsigned char* round_keys, int rounds, const unsigned char* h_powers,
                             const unsigned char* nonce, const unsigned char* aad, size_t aad_length,
                             const unsigned char* in, size_t length, const unsigned char* tag,
                             unsigned char* out) {
    const __m128i* rk = reinterpret_cast<const __m128i*>(round_keys);
    const __m128i* hp = reinterpret_cast<const __m128i*>(h_powers); // hp[i] = H^(i+1)
    const __m128i h = hp[0];
    const __m128i zero = _mm_setzero_si128();

    __m128i base = load_partial(nonce, 12); // nonce || 0x00000000
    const __m128i tag_mask = encrypt_block(rk, rounds, counter_block(base, 1));
    uint32_t counter = 2;

    __m128i y = zero;
    for (size_t done = 0; done < aad_length; done += 16) {
        const size_t n = aad_length - done < 16 ? aad_length - done : 16;
        y = gf_multiply(_mm_xor_si128(y, byte_reverse(load_partial(aad + done, n))), h);
    }

    size_t pos = rounds == 10 ? open_groups<10>(rk, hp, base, counter, y, in, length, out)
                              : open_groups<14>(rk, hp, base, counter, y, in, length, out);
    for (; length - pos >= 16; pos += 16, ++counter) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
        y = gf_multiply(_mm_xor_si128(y, byte_reverse(c)), h);
        const __m128i k = encrypt_block(rk, rounds, counter_block(base, counter));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + pos), _mm_xor_si128(c, k));
    }
    if (pos < length) {
        const size_t n = length - pos;
        const __m128i c = load_partial(in + pos, n);
        y = gf_multiply(_mm_xor_si128(y, byte_reverse(c)), h);
        alignas(16) unsigned char plain[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(plain),
                        _mm_xor_si128(c, encrypt_block(rk, rounds, counter_block(base, counter))));
        std::memcpy(out + pos, plain, n);
    }
    const __m128i lengths =
        _mm_set_epi64x(static_cast<long long>(aad_length * 8), static_cast<long long>(length * 8));
    y = gf_multiply(_mm_xor_si128(y, lengths), h);
    const __m128i expected = _mm_xor_si128(byte_reverse(y), tag_mask);
    const __m128i diff = _mm_xor_si128(expected, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tag)));
    if (_mm_testz_si128(diff, diff)) return true;
    std::memset(out, 0, length);
    return false;
}

} // namespace

bool AesGcmOpener::supported() {
    static const bool has = __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") &&
                            __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
    return has;
}

bool AesGcmOpener::set_key(const unsigned char* key, size_t key_length) {
    if (!supported() || (key_length != 16 && key_length != 32)) return false;
    m_rounds = key_length == 16 ? 10 : 14;
    return set_key_x86(key, key_length, m_round_keys, m_h_powers);
}

bool AesGcmOpener::open(const unsigned char nonce[kNonceSize], const unsigned char* aad, size_t aad_length,
                        const unsigned char* in, size_t length, const unsigned char tag[kTagSize],
                        unsigned char* out) const {
    if (m_rounds == 0) return false;
    return open_x86(m_round_keys, m_rounds, m_h_powers, nonce, aad, aad_length, in, length, tag, out);
}

#else

bool AesGcmOpener::supported() { return false; }
bool AesGcmOpener::set_key(const unsigned char*, size_t) { return false; }
bool AesGcmOpener::open(const unsigned char*, const unsigned char*, size_t, const unsigned char*, size_t,
                        const unsigned char*, unsigned char*) const {
    return false;
}

#endif

AesGcmOpener::~AesGcmOpener() {
    volatile unsigned char* keys = m_round_keys;
    for (size_t i = 0; i < sizeof m_round_keys; ++i)
        keys[i] = 0;
    volatile unsigned char* powers = m_h_powers;
    for (size_t i = 0; i < sizeof m_h_powers; ++i)
        powers[i] = 0;
}

} // namespace twk
