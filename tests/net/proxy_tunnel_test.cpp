// Proxy tunnel failures no real proxy produces, against scripted loopback peers.
#include "net/proxy_tunnel.h"

#include "tests/support/loopback.h"
#include "tests/support/script_server.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

using test::ScriptPeer;
using test::ScriptServer;

struct TunnelResult {
    Socket socket = kInvalidSocket;
    bool absolute_form = false;
    std::string error;
    ~TunnelResult() { close_socket(socket); }
};

void open(const ProxySpec& proxy, const std::string& host, int port, bool tls, TunnelResult& r) {
    r.socket = open_via_proxy(proxy, host, port, tls, 5000, 5000, r.absolute_form, r.error);
}

ProxySpec proxy_at(int32_t kind, int port) {
    ProxySpec p;
    p.kind = kind;
    p.host = "127.0.0.1";
    p.port = port;
    return p;
}

TEST(ProxyTunnel, RefusesHttpsProxiesAndIllegalTargets) {
    const int closed = test::closed_port();
    const std::pair<std::pair<ProxySpec, std::string>, const char*> cases[] = {
        {{proxy_at(kProxyHttps, closed), "example.com"},
         "HTTPS proxy not supported (refusing to send credentials in cleartext)"},
        {{proxy_at(kProxyHttp, closed), ""}, "illegal proxy target"},
        {{proxy_at(kProxyHttp, closed), "exa\nmple.com"}, "illegal proxy target"},
    };
    for (const auto& [input, message] : cases) {
        TunnelResult r;
        open(input.first, input.second, 443, true, r);
        EXPECT_EQ(r.socket, kInvalidSocket);
        EXPECT_EQ(r.error, message);
    }
    TunnelResult bad_port;
    open(proxy_at(kProxyHttp, closed), "example.com", 0, true, bad_port);
    EXPECT_EQ(bad_port.error, "illegal proxy target");
}

// A proxy that is not there fails at once, naming the proxy, so that a task does not spend
// minutes retrying it; one that merely does not answer in time may be retried.
TEST(ProxyTunnel, AProxyThatRefusesOrDoesNotExistFailsForGood) {
    const int closed = test::closed_port();
    ProxySpec unknown = proxy_at(kProxyHttp, 3128);
    unknown.host = "no-such-proxy.invalid";
    const std::pair<ProxySpec, std::string> cases[] = {
        {proxy_at(kProxySocks5, closed),
         "proxy 127.0.0.1:" + std::to_string(closed) + " refused the connection"},
        {proxy_at(kProxyHttp, closed),
         "proxy 127.0.0.1:" + std::to_string(closed) + " refused the connection"},
        {unknown, "proxy no-such-proxy.invalid:3128 could not be resolved"},
    };
    for (const auto& [spec, message] : cases) {
        bool absolute_form = false;
        TransportError error;
        const Socket s =
            open_via_proxy(spec, "example.com", 443, true, 5000, 5000, absolute_form, error, nullptr);
        EXPECT_EQ(s, kInvalidSocket);
        EXPECT_EQ(error.text, message);
        EXPECT_TRUE(error.permanent()) << message;
    }
}

TEST(ProxyTunnel, ConnectReplyIsReadUpToItsEndAndNoFurther) {
    ScriptServer proxy([](ScriptPeer& peer) {
        std::string request;
        if (!peer.read_request(request)) return;
        peer.send("HTTP/1.1 200 Connection established\r\nX: y\r\n\r\nTUNNEL");
        peer.read_request(request);
    });
    TunnelResult r;
    ProxySpec spec = proxy_at(kProxyHttp, proxy.port());
    spec.user = "u";
    spec.password = "p:w";
    open(spec, "::1", 8443, true, r);
    ASSERT_NE(r.socket, kInvalidSocket) << r.error;
    char tunnel[6];
    ASSERT_TRUE(recv_exact(r.socket, tunnel, 6));
    EXPECT_EQ(std::string(tunnel, 6), "TUNNEL");
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests()[0],
              "CONNECT [::1]:8443 HTTP/1.1\r\nHost: [::1]:8443\r\n"
              "Proxy-Authorization: Basic dTpwOnc=\r\nProxy-Connection: keep-alive\r\n\r\n");
}

TEST(ProxyTunnel, ConnectFailures) {
    const std::pair<std::string, const char*> cases[] = {
        {"HTTP/1.1 403 Forbidden\r\n\r\n", "proxy CONNECT failed (403)"},
        {"garbage\r\n\r\n", "proxy CONNECT failed (0)"},
        {"HTTP/1.1 200 OK\r\n", "no CONNECT reply"},
        {"HTTP/1.1 200 OK\r\n" + std::string(kMaxConnectReply, 'x'), "no CONNECT reply"},
    };
    for (const auto& [reply, message] : cases) {
        ScriptServer proxy([reply = reply](ScriptPeer& peer) {
            std::string request;
            if (peer.read_request(request)) peer.send(reply);
        });
        TunnelResult r;
        open(proxy_at(kProxyHttp, proxy.port()), "example.com", 443, true, r);
        EXPECT_EQ(r.socket, kInvalidSocket);
        EXPECT_EQ(r.error, message);
    }
}

// A SOCKS5 proxy that answers with the scripted bytes after reading the client's greeting,
// (optionally) its authentication and its connect request; what it read is kept in `seen`.
struct Socks5Script {
    std::string method_reply;
    std::string auth_reply;    // empty: no authentication step
    std::string connect_reply; // empty: the proxy stops after the method or auth reply
    std::string tail;          // bytes after the connect reply (the tunnel's first bytes)
};

ScriptServer::Handler socks5_script(Socks5Script script, std::string* seen) {
    return [script, seen](ScriptPeer& peer) {
        std::string bytes;
        if (!peer.read_exact(2, bytes) || !peer.read_exact(static_cast<unsigned char>(bytes[1]), bytes))
            return;
        peer.send(script.method_reply);
        if (!script.auth_reply.empty()) {
            std::string head, user, pass_len, pass;
            if (!peer.read_exact(2, head) || !peer.read_exact(static_cast<unsigned char>(head[1]), user) ||
                !peer.read_exact(1, pass_len) ||
                !peer.read_exact(static_cast<unsigned char>(pass_len[0]), pass))
                return;
            *seen += head + user + pass_len + pass;
            peer.send(script.auth_reply);
        }
        if (script.connect_reply.empty()) return;
        std::string request;
        if (!peer.read_exact(5, request)) return;
        const size_t rest = request[3] == 1   ? 4 - 1 + 2
                            : request[3] == 4 ? 16 - 1 + 2
                                              : static_cast<unsigned char>(request[4]) + 2u;
        std::string tail;
        if (!peer.read_exact(rest, tail)) return;
        *seen += request + tail;
        peer.send(script.connect_reply + script.tail); // the tail stays readable after the close
    };
}

TEST(ProxyTunnel, Socks5ConsumesADomainNameBoundAddressCompletely) {
    std::string seen;
    const std::string reply("\x05\x00\x00\x03\x0b"
                            "example.com\x01\xbb",
                            18);
    ScriptServer proxy(socks5_script({std::string("\x05\x00", 2), "", reply, "FIRST"}, &seen));
    TunnelResult r;
    open(proxy_at(kProxySocks5Remote, proxy.port()), "files.example", 0x1f90, false, r);
    ASSERT_NE(r.socket, kInvalidSocket) << r.error;
    EXPECT_FALSE(r.absolute_form);
    EXPECT_EQ(seen, std::string("\x05\x01\x00\x03\x0d"
                                "files.example\x1f\x90",
                                20));
    char first[5];
    ASSERT_TRUE(recv_exact(r.socket, first, 5));
    EXPECT_EQ(std::string(first, 5), "FIRST");
}

TEST(ProxyTunnel, Socks5SendsCredentialsAndAResolvedAddress) {
    std::string seen;
    const std::string reply("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10);
    ScriptServer proxy(
        socks5_script({std::string("\x05\x02", 2), std::string("\x01\x00", 2), reply, ""}, &seen));
    TunnelResult r;
    ProxySpec spec = proxy_at(kProxySocks5, proxy.port());
    spec.user = "bob";
    spec.password = "p@ss";
    open(spec, "127.0.0.1", 80, false, r);
    ASSERT_NE(r.socket, kInvalidSocket) << r.error;
    EXPECT_EQ(seen, std::string("\x01\x03"
                                "bob\x04"
                                "p@ss"
                                "\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50",
                                20));
}

TEST(ProxyTunnel, Socks5Failures) {
    const std::string ok_method("\x05\x00", 2);
    const std::string bnd_v4("\x00\x01\x02\x03\x04\x05", 6);
    const std::pair<Socks5Script, const char*> cases[] = {
        {{std::string("\x05\xff", 2), "", "", ""}, "socks5 no acceptable auth method"},
        {{std::string("\x04\x00", 2), "", "", ""}, "socks5 bad version"},
        {{std::string("\x05", 1), "", "", ""}, "socks5 no method reply"},
        {{std::string("\x05\x02", 2), std::string("\x01\x01", 2), "", ""}, "socks5 auth rejected"},
        {{ok_method, "", std::string("\x05\x05\x00\x01", 4) + bnd_v4, ""}, "socks5 connect rejected (0x05)"},
        {{ok_method, "", std::string("\x04\x00\x00\x01", 4) + bnd_v4, ""}, "socks5 bad reply version"},
        {{ok_method, "", std::string("\x05\x00\x00\x07", 4) + bnd_v4, ""}, "socks5 bad bnd atyp"},
        {{ok_method, "", std::string("\x05\x00\x00\x04", 4) + bnd_v4, ""}, "socks5 short bnd addr"},
        {{ok_method, "", std::string("\x05\x00\x00", 3), ""}, "socks5 no connect reply"},
    };
    for (const auto& [script, message] : cases) {
        std::string seen;
        ScriptServer proxy(socks5_script(script, &seen));
        TunnelResult r;
        ProxySpec spec = proxy_at(kProxySocks5Remote, proxy.port());
        spec.user = "u";
        spec.password = "p";
        open(spec, "example.com", 443, true, r);
        EXPECT_EQ(r.socket, kInvalidSocket);
        EXPECT_EQ(r.error, message);
    }
    TunnelResult long_user;
    ProxySpec spec;
    std::string seen;
    ScriptServer proxy(socks5_script({std::string("\x05\x02", 2), "", "", ""}, &seen));
    spec = proxy_at(kProxySocks5, proxy.port());
    spec.user = std::string(256, 'u');
    open(spec, "127.0.0.1", 443, true, long_user);
    EXPECT_EQ(long_user.error, "socks5 credential too long");

    TunnelResult long_host;
    ScriptServer remote(socks5_script({std::string("\x05\x00", 2), "", "", ""}, &seen));
    open(proxy_at(kProxySocks5Remote, remote.port()), std::string(256, 'h'), 443, true, long_host);
    EXPECT_EQ(long_host.error, "socks5 host too long");

    TunnelResult no_dns;
    ScriptServer local(socks5_script({std::string("\x05\x00", 2), "", "", ""}, &seen));
    open(proxy_at(kProxySocks5, local.port()), "no-such-host.invalid", 443, true, no_dns);
    EXPECT_EQ(no_dns.error, "socks5 local DNS failed: no-such-host.invalid");
}

} // namespace
} // namespace twk
