// TWK_TLS_MAX12 caps the protocol at TLS 1.2 even against a server that offers TLS 1.3. The
// switch is read once per process, so this program sets it before any TLS connection.
#include "net/http_exchange.h"

#include "tests/support/real_peers.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace twk {
namespace {

class Max12Environment : public test::RealPeerEnvironment {
public:
    void SetUp() override {
        ::setenv("TWK_TLS_MAX12", "1", 1);
        RealPeerEnvironment::SetUp();
    }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Max12Environment);

TEST(TlsMax12, AServerOfferingTls13IsSpokenToWithTls12) {
    const test::NginxPorts& ports = test::RealPeers::get().nginx();
    ASSERT_NE(ports.tls, 0) << test::RealPeers::get().failure();
    EXPECT_EQ(fetch_small("https://127.0.0.1:" + std::to_string(ports.tls) + "/proto", 5000), "TLSv1.2");
}

} // namespace
} // namespace twk
