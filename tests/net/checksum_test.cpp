// Checksums as users write them, the digests servers send (RFC 9530), and the running hash.
#include "net/checksum.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

constexpr const char* kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Checksum, TheFormsUsersWrite) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("sha-256=") + kAbcSha256, std::string("sha-256=") + kAbcSha256},
        {std::string("SHA256:") + "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
         std::string("sha-256=") + kAbcSha256},
        {"md5=900150983cd24fb0d6963f7d28e17f72", "md5=900150983cd24fb0d6963f7d28e17f72"},
        {"sha1=a9993e364706816aba3e25717850c26c9cd0d89d", "sha-1=a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"sha-256=abc", ""},                      // too short
        {"sha-256=" + std::string(64, 'g'), ""},  // not hex
        {"crc32=12345678", ""},                   // an algorithm we do not know
        {"900150983cd24fb0d6963f7d28e17f72", ""}, // no algorithm
    };
    for (const auto& [text, canonical] : cases) {
        Checksum out;
        EXPECT_EQ(parse_checksum(text, out), !canonical.empty()) << text;
        EXPECT_EQ(out.empty() ? "" : out.text(), canonical) << text;
    }
}

TEST(Checksum, DigestFieldsTakeTheStrongestSecureEntry) {
    // sha-256 of "abc" is ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0= in base64.
    const std::string sha256 = "sha-256=:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=:";
    const std::string sha512 =
        "sha-512=:3a81oZNherrMQXNJriBBMRLm+k6JqX6iCp7u5ktV05ohkpkqJ0/BqDa6PCOj/uu9RU1EI2Q86A4qmslPpUyknw==:";
    EXPECT_EQ(parse_digest_field(sha256)->text(), std::string("sha-256=") + kAbcSha256);
    EXPECT_EQ(parse_digest_field("md5=:kAFQmDzST7DWlj99KOF/cg==:, " + sha256)->algorithm, "sha-256");
    EXPECT_EQ(parse_digest_field(sha256 + ", " + sha512)->algorithm, "sha-512");
    EXPECT_EQ(parse_digest_field(sha512 + "," + sha256)->algorithm, "sha-512");
    for (const char* unusable : {"", "sha-256=ungWv48Bz", "sha-256=:short:", "md5=:kAFQmDzST7DWlj99KOF/cg==:",
                                 "sha-256=:not base64!:", "unixsum=:AAAA:"})
        EXPECT_FALSE(parse_digest_field(unusable)) << unusable;
}

TEST(Checksum, TheHashOfPiecesIsTheHashOfTheWhole) {
    auto hasher = Hasher::create("sha-256");
    ASSERT_TRUE(hasher);
    hasher->update("a", 1);
    hasher->update("bc", 2);
    EXPECT_EQ(hasher->finish(), kAbcSha256);
    hasher->update("abc", 3); // it starts over after finish
    EXPECT_EQ(hasher->finish(), kAbcSha256);
    auto md5 = Hasher::create("md5");
    md5->update("abc", 3);
    EXPECT_EQ(md5->finish(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_FALSE(Hasher::create("crc32"));
}

} // namespace
} // namespace twk
