// TWK_TLS_MAX12 caps the protocol at TLS 1.2 even against a server that offers TLS 1.3. The
// switch is read once per process, so this program sets it before any TLS connection.
#include "net/http_exchange.h"
#include "net/tls_stream.h"

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

// TLS 1.2 records stay with the library: a whole file arrives over it intact.
TEST(TlsMax12, RecordsStayWithTheLibrary) {
    const test::NginxPorts& ports = test::RealPeers::get().nginx();
    ASSERT_NE(ports.tls, 0) << test::RealPeers::get().failure();
    auto stream = open_tls(tcp_connect("127.0.0.1", ports.tls, 5000, 5000), "127.0.0.1", false);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->protocol(), "TLSv1.2");
    EXPECT_FALSE(stream->reads_own_records());
    const std::string request = "GET /data.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(stream->send_all(request.data(), request.size()));
    std::string reply;
    char buffer[5000];
    int n;
    while ((n = stream->read(buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    const size_t body = reply.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_TRUE(reply.substr(body + 4) == test::test_pattern(test::kDataSize));
}

} // namespace
} // namespace twk
