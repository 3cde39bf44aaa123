// SHA-256 on the x86 SHA extensions (SHA-NI): several times the speed of the portable code, which
// matters when a download of gigabytes is checked as it arrives. `Hasher` (net/checksum.h) picks
// it when `sha256_ni_available()`; everywhere else mbedTLS does the work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace twk {

// Whether this CPU has the SHA extensions (and SSE4.1, which the code also uses). False on other
// architectures.
bool sha256_ni_available();

// Only to be used where `sha256_ni_available()`.
class Sha256Ni {
public:
    static constexpr size_t kDigestSize = 32;

    Sha256Ni() { reset(); }
    void reset();
    void update(const unsigned char* data, size_t size);
    // Writes the digest and starts over.
    void finish(unsigned char digest[kDigestSize]);

private:
    static constexpr size_t kBlock = 64;
    uint32_t m_state[8];
    unsigned char m_pending[kBlock]; // a block begun by earlier updates
    size_t m_pending_size = 0;
    uint64_t m_length = 0; // bytes hashed
};

} // namespace twk
