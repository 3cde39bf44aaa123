// The SHA-256 on the CPU's SHA extensions against mbedTLS's on any input cut into any updates:
// the first byte picks the piece sizes.
#include <mbedtls/sha256.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/sha256_ni.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!twk::sha256_ni_available() || size == 0) return 0;
    const unsigned seed = data[0];
    ++data;
    --size;
    unsigned char expected[32];
    mbedtls_sha256(data, size, expected, 0);
    twk::Sha256Ni hash;
    size_t at = 0;
    unsigned state = seed;
    while (at < size) {
        state = state * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(size - at, (state >> 16) % 200);
        hash.update(data + at, piece);
        at += piece;
    }
    unsigned char got[32];
    hash.finish(got);
    if (std::memcmp(expected, got, sizeof got) != 0) std::abort();
    return 0;
}
