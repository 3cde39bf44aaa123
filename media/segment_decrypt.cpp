#include "media/segment_decrypt.h"

#include <mbedtls/aes.h>

namespace twk {

Decrypted decrypt_segment(std::string_view data, const std::array<uint8_t, 16>& key,
                          const std::array<uint8_t, 16>& iv, std::string& out) {
    if (data.empty() || data.size() % 16 != 0) return Decrypted::bad_length;
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    std::array<uint8_t, 16> chain = iv; // the cipher advances it
    out.assign(data.size(), '\0');
    bool ok = mbedtls_aes_setkey_dec(&aes, key.data(), 128) == 0 &&
              mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, data.size(), chain.data(),
                                    reinterpret_cast<const unsigned char*>(data.data()),
                                    reinterpret_cast<unsigned char*>(out.data())) == 0;
    mbedtls_aes_free(&aes);
    if (!ok) return Decrypted::bad_length;
    // A wrong key turns the last block into noise, which ends in valid padding about once in 256.
    const auto n = static_cast<uint8_t>(out.back());
    if (n < 1 || n > 16) return Decrypted::bad_padding;
    for (size_t i = out.size() - n; i < out.size(); ++i) {
        if (static_cast<uint8_t>(out[i]) != n) return Decrypted::bad_padding;
    }
    out.resize(out.size() - n);
    return Decrypted::ok;
}

} // namespace twk
