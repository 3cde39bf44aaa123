// Real servers from Debian for the transport tests: nginx (HTTP, HTTPS with a test CA made by
// openssl, a TLS-1.2-only block with an RSA certificate, a self-signed block), tinyproxy (with and
// without Basic authentication) and microsocks (with and without user/password). Each runs from a
// temporary folder on a free loopback port, is started on first use and stopped by
// RealPeerEnvironment at the end of the test program.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace twk::test {

// The deterministic bytes of nginx's "/data.bin" (and of other test bodies).
std::string test_pattern(size_t size);
constexpr size_t kDataSize = 100000;

struct NginxPorts {
    int http = 0;        // "/data.bin", "/conn" ("$connection:$connection_requests"); files under
                         // "/noranges/" are served whole, Range ignored (by the TLS blocks too)
    int tls = 0;         // TLS 1.2 and 1.3, ECDSA certificate for localhost and 127.0.0.1;
                         // "/to-http/PORT/PATH" answers 302 to http://127.0.0.1:PORT/PATH
    int tls12_rsa = 0;   // TLS up to 1.2 only (nginx's default), RSA certificate
    int self_signed = 0; // a self-signed certificate no CA vouches for
};
// Every TLS block answers "/proto" with nginx's $ssl_protocol ("TLSv1.3", "TLSv1.2").

constexpr const char* kProxyUser = "alice";
constexpr const char* kProxyPassword = "s3cr3t-pw";

class RealPeers {
public:
    static RealPeers& get();

    // The test CA (made at start-up, and added to the TLS chain through TWK_CA_FILE).
    void prepare();
    const std::string& ca_file() const { return m_ca_file; }
    // The folder nginx serves; tests may add files to it.
    std::string www_dir() const { return m_dir + "/www"; }

    // Each starts its server on first use; a port of 0 means it could not start (the test fails
    // with the server's log in the message).
    const NginxPorts& nginx();
    int tinyproxy(bool with_auth);
    int microsocks(bool with_auth);
    std::string failure() const { return m_failure; }

    void stop_all();

private:
    struct Process {
        int pid = -1;
        int port = 0;
    };
    bool start(Process& process, const std::vector<std::string>& argv, int port, const std::string& log);

    std::string m_dir;
    std::string m_ca_file;
    std::string m_failure;
    bool m_nginx_tried = false;
    NginxPorts m_nginx;
    Process m_nginx_process;
    Process m_tinyproxy[2];
    Process m_microsocks[2];
};

class RealPeerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { RealPeers::get().prepare(); }
    void TearDown() override { RealPeers::get().stop_all(); }
};

} // namespace twk::test
