// `twk get` over TLS 1.3 through a relay that alters one bit of an application record: the
// record is refused, the download goes on over a new connection, and the file is the server's
// byte for byte; where it cannot go on, the error names the failed record.
#include "tests/support/real_peers.h"
#include "tests/support/tamper_relay.h"
#include "tests/support/temp_dir.h"
#include "tests/support/twk_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

namespace twk {
namespace {

// The real peers' environment (nginx, the test CA in TWK_CA_FILE) is registered once for this
// program, by twk_proxy_test.cpp.

constexpr int64_t kExitDeadlineMs = 120000;
constexpr size_t kSize = 8 << 20;

std::string random_file(const std::string& path) {
    std::string bytes(kSize, '\0');
    std::mt19937_64 rng(8);
    for (size_t i = 0; i < kSize; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&bytes[i], &v, 8);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

TEST(TwkHttps, AnAlteredRecordNeverReachesTheFile) {
    const int tls = test::RealPeers::get().nginx().tls;
    ASSERT_NE(tls, 0) << test::RealPeers::get().failure();
    const std::string served = test::RealPeers::get().www_dir() + "/altered.bin";
    const std::string original = random_file(served);
    test::TempDir dir;
    // Each connection has a bit altered 3 MB into what the server sends: the download resumes by
    // range after each refused record and so gets further each time.
    test::TamperRelay relay(tls, 3'000'000, [](int) { return true; });
    const std::string log = dir.file("twk.log");
    test::TwkProcess twk({"get", "-q", "-x", "1", "-d", dir.file("dl"),
                          "https://127.0.0.1:" + std::to_string(relay.port()) + "/altered.bin"},
                         log);
    EXPECT_EQ(twk.wait_exit(kExitDeadlineMs), 0) << test::read_file(log);
    EXPECT_GE(relay.tampered(), 2);
    EXPECT_TRUE(test::read_file(dir.file("dl/altered.bin")) == original);
    std::remove(served.c_str());
}

// Without ranges every try starts over and meets the altered record again: the download fails
// and says why in TLS's words, not as a dropped connection.
TEST(TwkHttps, ARecordThatNeverVerifiesFailsWithTheReason) {
    const int tls = test::RealPeers::get().nginx().tls;
    ASSERT_NE(tls, 0) << test::RealPeers::get().failure();
    const std::string served = test::RealPeers::get().www_dir() + "/noranges/altered.bin";
    random_file(served);
    test::TempDir dir;
    test::TamperRelay relay(tls, 3'000'000, [](int) { return true; });
    const std::string log = dir.file("twk.log");
    test::TwkProcess twk({"get", "-x", "1", "-d", dir.file("dl"),
                          "https://127.0.0.1:" + std::to_string(relay.port()) + "/noranges/altered.bin"},
                         log);
    EXPECT_NE(twk.wait_exit(kExitDeadlineMs), 0) << test::read_file(log);
    EXPECT_NE(test::read_file(log).find("error: retries exhausted: TLS record authentication failed"),
              std::string::npos)
        << test::read_file(log);
    EXPECT_GE(relay.tampered(), 2);
    std::remove(served.c_str());
}

} // namespace
} // namespace twk
