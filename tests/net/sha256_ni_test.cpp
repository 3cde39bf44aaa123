// The SHA-256 on the CPU's SHA extensions gives mbedTLS's digest for every length and every way
// of cutting the input into updates.
#include "net/sha256_ni.h"

#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace twk {
namespace {

std::string reference(const std::vector<unsigned char>& data) {
    unsigned char digest[32];
    mbedtls_sha256(data.data(), data.size(), digest, 0);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

std::string fast(const std::vector<unsigned char>& data, const std::vector<size_t>& cuts) {
    Sha256Ni hash;
    size_t at = 0;
    for (size_t cut : cuts) {
        hash.update(data.data() + at, cut - at);
        at = cut;
    }
    hash.update(data.data() + at, data.size() - at);
    unsigned char digest[32];
    hash.finish(digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

TEST(Sha256Ni, EqualsMbedtlsOnEveryLengthAndSplit) {
    if (!sha256_ni_available()) GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937 random(28);
    // Around the padding's edges (55/56 bytes leave room for the length or not), a block's
    // edges, and a long input ending mid-block.
    for (size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, (1 << 20) + 7}) {
        std::vector<unsigned char> data(length);
        for (auto& byte : data)
            byte = static_cast<unsigned char>(random());
        const std::string expected = reference(data);
        EXPECT_EQ(fast(data, {}), expected) << length << " bytes whole";
        for (int trial = 0; trial < 4; ++trial) {
            std::vector<size_t> cuts;
            for (int i = 0; i < 6 && length > 0; ++i)
                cuts.push_back(random() % (length + 1));
            std::sort(cuts.begin(), cuts.end());
            EXPECT_EQ(fast(data, cuts), expected) << length << " bytes in pieces";
        }
    }
}

TEST(Sha256Ni, StartsOverAfterFinish) {
    if (!sha256_ni_available()) GTEST_SKIP() << "this CPU has no SHA extensions";
    const std::vector<unsigned char> abc = {'a', 'b', 'c'};
    Sha256Ni hash;
    unsigned char digest[32];
    hash.update(abc.data(), 2);
    hash.finish(digest);
    hash.update(abc.data(), abc.size());
    hash.finish(digest);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), 32), reference(abc));
}

} // namespace
} // namespace twk
