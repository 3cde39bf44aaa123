// AES-128 decryption of HLS segments (RFC 8216 section 4.3.2.4: AES-128-CBC with PKCS#7 padding).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

enum class Decrypted {
    ok,
    bad_length,  // not a non-zero multiple of 16
    bad_padding, // the plaintext does not end in PKCS#7 padding: the key is not this segment's
};

// AES-128-CBC decryption of one segment. The plaintext must end in PKCS#7 padding (a last byte
// n in 1..16 and n bytes of value n), which is removed.
Decrypted decrypt_segment(std::string_view data, const std::array<uint8_t, 16>& key,
                          const std::array<uint8_t, 16>& iv, std::string& out);

} // namespace twk
