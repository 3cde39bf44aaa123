// AES-128-CBC as an HLS packager applies it, with one test key and IV, for the tests that serve
// encrypted segments.
#pragma once

#include <mbedtls/aes.h>

#include <array>
#include <cstdint>
#include <string>

namespace twk::test {

inline constexpr std::array<uint8_t, 16> kKey = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
inline constexpr std::array<uint8_t, 16> kIv = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// AES-128-CBC of whole blocks with the given key and IV (the test's by default), no padding added.
inline std::string encrypt_raw(const std::string& blocks, const std::array<uint8_t, 16>& key = kKey,
                               const std::array<uint8_t, 16>& iv = kIv) {
    std::string out(blocks.size(), '\0');
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    std::array<uint8_t, 16> chain = iv;
    mbedtls_aes_setkey_enc(&aes, key.data(), 128);
    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, blocks.size(), chain.data(),
                          reinterpret_cast<const unsigned char*>(blocks.data()),
                          reinterpret_cast<unsigned char*>(out.data()));
    mbedtls_aes_free(&aes);
    return out;
}

// AES-128-CBC with PKCS#7 padding, as a packager writes it.
inline std::string encrypt(const std::string& plain, const std::array<uint8_t, 16>& key = kKey,
                           const std::array<uint8_t, 16>& iv = kIv) {
    const size_t pad = 16 - plain.size() % 16;
    return encrypt_raw(plain + std::string(pad, static_cast<char>(pad)), key, iv);
}

// The test IV as an EXT-X-KEY attribute value ("0x0102...").
inline std::string iv_attribute() {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (uint8_t b : kIv) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

} // namespace twk::test
