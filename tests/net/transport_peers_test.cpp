// The transport against real servers: nginx over HTTP and HTTPS, tinyproxy and microsocks.
#include "net/aes_gcm.h"
#include "net/http_exchange.h"
#include "net/tls_stream.h"

#include "tests/support/real_peers.h"
#include "tests/support/tamper_relay.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

namespace twk {
namespace {

using test::kDataSize;
using test::kProxyPassword;
using test::kProxyUser;
using test::RealPeers;
using test::test_pattern;

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

const test::NginxPorts& nginx() {
    const test::NginxPorts& ports = RealPeers::get().nginx();
    EXPECT_NE(ports.http, 0) << RealPeers::get().failure();
    return ports;
}

std::string at(const char* scheme, int port, const char* path) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

struct Fetched {
    bool ok = false;
    std::string error;
    HttpResponse response;
    std::string body;
    int last_read = 0;
};

Fetched fetch(const HttpRequest& request, std::unique_ptr<ByteStream>* keep = nullptr) {
    Fetched f;
    f.ok = http_exchange(request, f.response, f.error, keep);
    if (!f.ok) return f;
    BodyReader reader(f.response);
    std::vector<char> buffer(16384);
    int n;
    while ((n = reader.read(buffer.data(), static_cast<int>(buffer.size()))) > 0)
        f.body.append(buffer.data(), static_cast<size_t>(n));
    f.last_read = n;
    if (keep && reader.finished()) *keep = reader.release_connection();
    return f;
}

HttpRequest get(const std::string& url) {
    HttpRequest request;
    request.url = url;
    request.connect_timeout_ms = 5000;
    request.io_timeout_ms = 10000;
    return request;
}

TEST(NginxHttp, WholeFileRangeAndHead) {
    const int port = nginx().http;
    Fetched whole = fetch(get(at("http", port, "/data.bin")));
    ASSERT_TRUE(whole.ok) << whole.error;
    EXPECT_EQ(whole.response.status, 200);
    EXPECT_EQ(whole.response.content_length, static_cast<int64_t>(kDataSize));
    EXPECT_TRUE(whole.body == test_pattern(kDataSize));

    HttpRequest ranged = get(at("http", port, "/data.bin"));
    ranged.headers = {{"Range", "bytes=1000-1999"}};
    Fetched part = fetch(ranged);
    ASSERT_TRUE(part.ok) << part.error;
    EXPECT_EQ(part.response.status, 206);
    EXPECT_EQ(part.response.range_start, 1000);
    EXPECT_EQ(part.response.range_total, static_cast<int64_t>(kDataSize));
    EXPECT_TRUE(part.body == test_pattern(2000).substr(1000));

    HttpRequest head = get(at("http", port, "/data.bin"));
    head.method = "HEAD";
    Fetched headers_only = fetch(head);
    ASSERT_TRUE(headers_only.ok);
    EXPECT_TRUE(headers_only.response.no_body);
    EXPECT_EQ(headers_only.body, "");
    EXPECT_EQ(headers_only.response.headers.get("accept-ranges"), "bytes");
}

// A name with a space and non-ASCII letters, written into the URL as a user would paste it, is
// sent percent-encoded (a raw space would end the request line early) and finds the file.
TEST(NginxHttp, UnencodedBytesInTheUrlAreEncodedInTheRequestLine) {
    const int port = nginx().http;
    test::write_file(RealPeers::get().www_dir() + "/my file \xC3\xBC.bin", "the file");
    for (const char* path :
         {"/my file \xC3\xBC.bin", "/my%20file%20%C3%BC.bin", "/my file%20\xC3\xBC.bin?x=a b"}) {
        Fetched f = fetch(get(at("http", port, path)));
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_EQ(f.response.status, 200) << path;
        EXPECT_EQ(f.body, "the file") << path;
    }
}

TEST(NginxHttp, KeepAliveConnectionIsReused) {
    const int port = nginx().http;
    std::unique_ptr<ByteStream> pooled;
    Fetched first = fetch(get(at("http", port, "/conn")), &pooled);
    ASSERT_TRUE(first.ok) << first.error;
    ASSERT_NE(pooled, nullptr);
    Fetched second = fetch(get(at("http", port, "/conn")), &pooled);
    ASSERT_TRUE(second.ok) << second.error;
    const std::string connection = first.body.substr(0, first.body.find(':'));
    EXPECT_EQ(first.body, connection + ":1");
    EXPECT_EQ(second.body, connection + ":2");
}

TEST(NginxHttps, BothProtocolVersionsNegotiate) {
    const test::NginxPorts& ports = nginx();
    Fetched tls13 = fetch(get(at("https", ports.tls, "/proto")));
    ASSERT_TRUE(tls13.ok) << tls13.error;
    EXPECT_EQ(tls13.body, "TLSv1.3");
    // nginx 1.22 by default: TLS 1.2 at most, an RSA certificate (the PKCS#1-first signature list).
    Fetched tls12 = fetch(get(at("https", ports.tls12_rsa, "/proto")));
    ASSERT_TRUE(tls12.ok) << tls12.error;
    EXPECT_EQ(tls12.body, "TLSv1.2");
}

// Of the suites both sides have, the server (nginx's default: the client's order) takes the first
// we offer, which is the one that costs least to receive: in TLS 1.3 AES-128-GCM where our own
// record reader runs, ChaCha20-Poly1305 where the library reads the records.
TEST(NginxHttps, TheCheapestSuiteIsOfferedFirst) {
    const test::NginxPorts& ports = nginx();
    const struct {
        int port;
        const char* cipher;
    } cases[] = {
        {ports.tls, AesGcmOpener::supported() ? "TLS_AES_128_GCM_SHA256" : "TLS_CHACHA20_POLY1305_SHA256"},
        {ports.tls12_rsa, "ECDHE-RSA-CHACHA20-POLY1305"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fetch_small(at("https", c.port, "/cipher"), 5000), c.cipher) << c.port;
}

TEST(NginxHttps, FileAndRangeOverTls) {
    const int port = nginx().tls;
    Fetched whole = fetch(get(at("https", port, "/data.bin")));
    ASSERT_TRUE(whole.ok) << whole.error;
    EXPECT_TRUE(whole.body == test_pattern(kDataSize));
    HttpRequest ranged = get(at("https", port, "/data.bin"));
    ranged.headers = {{"Range", "bytes=99990-"}};
    Fetched tail = fetch(ranged);
    ASSERT_TRUE(tail.ok) << tail.error;
    EXPECT_EQ(tail.response.range_start, 99990);
    EXPECT_TRUE(tail.body == test_pattern(kDataSize).substr(99990));
    EXPECT_EQ(fetch_small(at("https", port, "/proto"), 5000), "TLSv1.3");
}

// A file of `mib` MiB in nginx's folder whose every MiB differs, and the bytes of one MiB.
std::string large_block(size_t index) {
    std::string block(1 << 20, '\0');
    std::mt19937_64 rng(index + 1);
    for (size_t i = 0; i < block.size(); i += 8) {
        const uint64_t v = rng();
        std::memcpy(&block[i], &v, 8);
    }
    return block;
}

void write_large(const std::string& path, size_t mib) {
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < mib; ++i)
        out << large_block(i);
}

struct LargeRead {
    bool exchanged = false;
    std::string error;
    bool own_records = false;
    uint64_t matching = 0; // bytes received before the first that differs from the file
    uint64_t received = 0;
    int last_read = 0;
    std::string failure; // the reader's failure_reason() after the last read
};

// Reads the file over `port`, comparing every byte with the original as it arrives.
LargeRead read_large(int port, const char* path, size_t mib) {
    LargeRead r;
    HttpRequest request = get(at("https", port, path));
    HttpResponse response;
    r.exchanged = http_exchange(request, response, r.error);
    if (!r.exchanged) return r;
    if (auto* tls = dynamic_cast<TlsStream*>(response.connection.get()))
        r.own_records = tls->reads_own_records();
    BodyReader reader(response);
    std::vector<char> buffer(1 << 16);
    constexpr uint64_t kMiB = 1 << 20;
    std::string expected;
    uint64_t expected_index = UINT64_MAX;
    bool same = true;
    int n;
    while ((n = reader.read(buffer.data(), static_cast<int>(buffer.size()))) > 0) {
        for (size_t i = 0; same && i < static_cast<size_t>(n);) {
            const uint64_t at = r.received + i, block = at / kMiB, offset = at % kMiB;
            if (block != expected_index) {
                expected = block < mib ? large_block(block) : std::string();
                expected_index = block;
            }
            const size_t length = std::min<size_t>(static_cast<size_t>(n) - i, kMiB - offset);
            if (expected.empty() || std::memcmp(buffer.data() + i, expected.data() + offset, length) != 0) {
                for (size_t k = 0; !expected.empty() && buffer[i + k] == expected[offset + k]; ++k)
                    ++r.matching;
                same = false;
                break;
            }
            r.matching += length;
            i += length;
        }
        r.received += static_cast<uint64_t>(n);
    }
    r.last_read = n;
    r.failure = reader.failure_reason();
    return r;
}

// A long transfer over TLS 1.3 from nginx: many records, the read-ahead buffer wrapping around
// records, plaintext handed out straight and from records opened in place (the body reader asks
// for less than a record at times), every byte compared.
TEST(NginxHttps, ALargeFileOverTls13ArrivesIntact) {
    constexpr size_t kMib = 256;
    const int port = nginx().tls; // started first: it lays out the folder it serves
    const std::string path = RealPeers::get().www_dir() + "/large.bin";
    write_large(path, kMib);
    const LargeRead r = read_large(port, "/large.bin", kMib);
    std::remove(path.c_str());
    ASSERT_TRUE(r.exchanged) << r.error;
    EXPECT_EQ(r.own_records, AesGcmOpener::supported());
    EXPECT_EQ(r.last_read, 0);
    EXPECT_EQ(r.received, uint64_t{kMib} << 20);
    EXPECT_EQ(r.matching, uint64_t{kMib} << 20);
}

// One bit flipped in an application-data record on the way: the read fails, and every byte
// handed out before it is the file's own.
TEST(NginxHttps, AnAlteredRecordEndsTheReadWithNothingWrongHandedOut) {
    constexpr size_t kMib = 4;
    const int port = nginx().tls;
    const std::string path = RealPeers::get().www_dir() + "/altered.bin";
    write_large(path, kMib);
    test::TamperRelay relay(port, 1'500'000, [](int) { return true; });
    const LargeRead r = read_large(relay.port(), "/altered.bin", kMib);
    std::remove(path.c_str());
    ASSERT_TRUE(r.exchanged) << r.error;
    EXPECT_EQ(relay.tampered(), 1);
    EXPECT_EQ(r.last_read, -1);
    EXPECT_EQ(r.failure, "TLS record authentication failed");
    EXPECT_EQ(r.matching, r.received);
    EXPECT_GT(r.received, 1'000'000u);
    EXPECT_LT(r.received, 1'500'000u);
}

TEST(NginxHttps, ConnectionsOnManyThreadsShareOneConfiguration) {
    const int port = nginx().tls;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 3; ++i) {
                if (fetch_small(at("https", port, "/proto"), 5000) == "TLSv1.3") ++good;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, 12);
}

TEST(NginxHttps, CertificatesAreVerified) {
    const test::NginxPorts& ports = nginx();
    HttpRequest self_signed = get(at("https", ports.self_signed, "/proto"));
    EXPECT_EQ(fetch(self_signed).error, "tls handshake/verification failed: 127.0.0.1");
    self_signed.insecure = true;
    EXPECT_TRUE(fetch(self_signed).ok);

    for (bool insecure : {false, true}) {
        Socket s = tcp_connect("127.0.0.1", ports.tls, 5000, 5000);
        ASSERT_NE(s, kInvalidSocket);
        TransportError why;
        auto stream = open_tls(s, "wrong.example", insecure, &why);
        EXPECT_EQ(stream != nullptr, insecure);
        if (!insecure) {
            EXPECT_EQ(why.reason, "host name mismatch");
            EXPECT_EQ(why.kind, FailureKind::kPermanent);
        }
    }
    // The reason and that no retry helps travel with the message.
    HttpResponse response;
    TransportError error;
    self_signed.insecure = false;
    EXPECT_FALSE(http_exchange(self_signed, response, error));
    EXPECT_EQ(error.describe(), "tls handshake/verification failed: 127.0.0.1 (unknown issuer)");
    EXPECT_EQ(error.kind, FailureKind::kPermanent);
    Socket s = tcp_connect("127.0.0.1", ports.tls, 5000, 5000);
    auto stream = open_tls(s, "localhost", false);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->protocol(), "TLSv1.3");
}

TEST(NginxHttps, ACloseNotifyEndsTheStream) {
    Socket s = tcp_connect("127.0.0.1", nginx().tls, 5000, 5000);
    auto stream = open_tls(s, "127.0.0.1", false);
    ASSERT_NE(stream, nullptr);
    // HTTP/1.0 without keep-alive: nginx answers, then closes with a close-notify.
    const std::string request = "GET /proto HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(stream->send_all(request.data(), request.size()));
    std::string reply;
    char buffer[4096];
    int n;
    while ((n = stream->read(buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_NE(reply.find("\r\n\r\nTLSv1.3"), std::string::npos) << reply;
}

ProxySpec proxy(int32_t kind, int port, bool with_credentials, const char* password = kProxyPassword) {
    ProxySpec spec;
    spec.kind = kind;
    spec.host = "127.0.0.1";
    spec.port = port;
    if (with_credentials) {
        spec.user = kProxyUser;
        spec.password = password;
    }
    return spec;
}

TEST(Tinyproxy, PlainRequestsInAbsoluteFormAndTlsThroughConnect) {
    const test::NginxPorts& ports = nginx();
    const int port = RealPeers::get().tinyproxy(false);
    ASSERT_NE(port, 0) << RealPeers::get().failure();
    HttpRequest plain = get(at("http", ports.http, "/data.bin"));
    plain.proxy = proxy(kProxyHttp, port, false);
    std::unique_ptr<ByteStream> untouched = std::make_unique<PlainStream>(kInvalidSocket);
    Fetched via = fetch(plain, &untouched);
    ASSERT_TRUE(via.ok) << via.error;
    EXPECT_TRUE(via.body == test_pattern(kDataSize));
    EXPECT_NE(untouched, nullptr); // a pooled connection is never used with a proxy

    HttpRequest tls = get(at("https", ports.tls, "/proto"));
    tls.proxy = proxy(kProxyHttp, port, false);
    Fetched tunnelled = fetch(tls);
    ASSERT_TRUE(tunnelled.ok) << tunnelled.error;
    EXPECT_EQ(tunnelled.body, "TLSv1.3");
}

TEST(Tinyproxy, AuthenticationRequired) {
    const test::NginxPorts& ports = nginx();
    const int port = RealPeers::get().tinyproxy(true);
    ASSERT_NE(port, 0) << RealPeers::get().failure();
    HttpRequest tls = get(at("https", ports.tls, "/proto"));
    tls.proxy = proxy(kProxyHttp, port, false);
    EXPECT_EQ(fetch(tls).error, "proxy CONNECT failed (407)");
    tls.proxy = proxy(kProxyHttp, port, true);
    Fetched tunnelled = fetch(tls);
    ASSERT_TRUE(tunnelled.ok) << tunnelled.error;
    EXPECT_EQ(tunnelled.body, "TLSv1.3");

    HttpRequest plain = get(at("http", ports.http, "/conn"));
    plain.proxy = proxy(kProxyHttp, port, false);
    Fetched refused = fetch(plain);
    ASSERT_TRUE(refused.ok) << refused.error;
    EXPECT_EQ(refused.response.status, 407);
    plain.proxy = proxy(kProxyHttp, port, true);
    Fetched allowed = fetch(plain);
    ASSERT_TRUE(allowed.ok) << allowed.error;
    EXPECT_EQ(allowed.response.status, 200);
}

TEST(Microsocks, LocalAndRemoteNameResolution) {
    const test::NginxPorts& ports = nginx();
    const int port = RealPeers::get().microsocks(false);
    ASSERT_NE(port, 0) << RealPeers::get().failure();
    HttpRequest plain = get(at("http", ports.http, "/data.bin"));
    plain.proxy = proxy(kProxySocks5, port, false);
    Fetched local = fetch(plain);
    ASSERT_TRUE(local.ok) << local.error;
    EXPECT_TRUE(local.body == test_pattern(kDataSize));

    HttpRequest tls = get(at("https", ports.tls12_rsa, "/proto"));
    tls.proxy = proxy(kProxySocks5Remote, port, false);
    Fetched remote = fetch(tls);
    ASSERT_TRUE(remote.ok) << remote.error;
    EXPECT_EQ(remote.body, "TLSv1.2");
}

TEST(Microsocks, UserAndPassword) {
    const test::NginxPorts& ports = nginx();
    const int port = RealPeers::get().microsocks(true);
    ASSERT_NE(port, 0) << RealPeers::get().failure();
    HttpRequest tls = get(at("https", ports.tls, "/proto"));
    tls.proxy = proxy(kProxySocks5Remote, port, true);
    Fetched allowed = fetch(tls);
    ASSERT_TRUE(allowed.ok) << allowed.error;
    EXPECT_EQ(allowed.body, "TLSv1.3");

    tls.proxy = proxy(kProxySocks5Remote, port, false);
    EXPECT_EQ(fetch(tls).error, "socks5 no acceptable auth method");
    tls.proxy = proxy(kProxySocks5, port, true, "wrong");
    EXPECT_EQ(fetch(tls).error, "socks5 auth rejected");
}

} // namespace
} // namespace twk
