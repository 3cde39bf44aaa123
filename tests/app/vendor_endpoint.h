// The vendor's side of self-update for tests: a loopback endpoint over https (nginx with the test
// CA's certificate in front of a scripted server), update lists signed with the test key pair,
// an installer stub, and TMPDIR pointed elsewhere for a while.
#pragma once

#include <gtest/gtest.h>

// This header of mbedTLS 3.6 declares its functions without C linkage for C++.
extern "C" {
#include <mbedtls/psa_util.h>
}
#include <psa/crypto.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace twk::test {

inline constexpr int64_t kEndpointDeadlineMs = 20000;

// The list's signature as the vendor makes it (`openssl dgst -sha256 -sign`: DER), with the test
// program's own key pair (built in at build time, ui/update_key.h) or with `private_key_hex`.
inline std::string sign_list(std::string_view body,
                             std::string_view private_key_hex = TWK_TEST_UPDATE_PRIVATE_KEY) {
    std::string key;
    for (size_t i = 0; i + 1 < private_key_hex.size(); i += 2)
        key += static_cast<char>(std::stoi(std::string(private_key_hex.substr(i, 2)), nullptr, 16));
    EXPECT_EQ(psa_crypto_init(), PSA_SUCCESS);
    psa_key_attributes_t attributes = PSA_KEY_ATTRIBUTES_INIT;
    psa_set_key_type(&attributes, PSA_KEY_TYPE_ECC_KEY_PAIR(PSA_ECC_FAMILY_SECP_R1));
    psa_set_key_bits(&attributes, 256);
    psa_set_key_usage_flags(&attributes, PSA_KEY_USAGE_SIGN_MESSAGE);
    psa_set_key_algorithm(&attributes, PSA_ALG_ECDSA(PSA_ALG_SHA_256));
    mbedtls_svc_key_id_t id = MBEDTLS_SVC_KEY_ID_INIT;
    EXPECT_EQ(psa_import_key(&attributes, reinterpret_cast<const uint8_t*>(key.data()), key.size(), &id),
              PSA_SUCCESS);
    uint8_t raw[64];
    size_t raw_length = 0;
    EXPECT_EQ(psa_sign_message(id, PSA_ALG_ECDSA(PSA_ALG_SHA_256),
                               reinterpret_cast<const uint8_t*>(body.data()), body.size(), raw, sizeof raw,
                               &raw_length),
              PSA_SUCCESS);
    psa_destroy_key(id);
    uint8_t der[80];
    size_t der_length = 0;
    EXPECT_EQ(mbedtls_ecdsa_raw_to_der(256, raw, raw_length, der, sizeof der, &der_length), 0);
    return std::string(reinterpret_cast<const char*>(der), der_length);
}

inline std::string manifest_body(const std::string& version, const std::string& url, const std::string& sha) {
    return "{\"version\":\"" + version + "\",\"downloads\":{\"linux\":\"" + url +
           "\"},\"sha256\":{\"linux\":\"" + sha + "\"}}";
}

// A vendor endpoint on loopback: each path answers with a fixed response (an empty one never
// answers); POST bodies are kept. It is reached over https through an nginx with the test CA's
// certificate for 127.0.0.1 in front of a scripted server, which can also be asked over plain
// http (`plain_base`) for the hops an attacker would answer.
class Endpoint {
public:
    Endpoint()
        : m_server([this](ScriptPeer& peer) {
              std::string request;
              while (peer.read_request(request)) {
                  std::string path = test::request_path(request);
                  std::string reply;
                  {
                      std::lock_guard lock(m_lock);
                      size_t query = path.find('?');
                      auto it = m_routes.find(path.substr(0, query));
                      reply =
                          it != m_routes.end() ? it->second : http_response("404 Not Found", "", "missing");
                      if (request.rfind("POST ", 0) == 0) m_posts.push_back(request);
                  }
                  if (reply.empty()) {
                      peer.wait_for_close();
                      return;
                  }
                  peer.send(reply);
                  if (reply.find("Connection: close\r\n") != std::string::npos) {
                      peer.close();
                      return;
                  }
              }
          }) {
        const std::string certs = std::filesystem::path(test::RealPeers::get().ca_file()).parent_path();
        m_tls_port = test::free_port();
        const std::string directives =
            "listen 127.0.0.1:" + std::to_string(m_tls_port) + " ssl;\n    ssl_certificate " + certs +
            "/ec.crt;\n    ssl_certificate_key " + certs + "/ec.key;\n    location / { proxy_pass " +
            plain_base() + "; proxy_redirect off; proxy_buffering off; proxy_request_buffering off; }\n";
        std::filesystem::create_directories(m_dir.file("www"));
        std::string error;
        if (!m_front.start(m_dir.file("www"), m_dir.path(), directives, error) ||
            !test::wait_until([&] { return test::accepts_connections(m_tls_port); }, kEndpointDeadlineMs))
            ADD_FAILURE() << "the https front did not start: " << error;
    }

    void route(const std::string& path, const std::string& reply) {
        std::lock_guard lock(m_lock);
        m_routes[path] = reply;
    }
    // A list offering `version` and its signature by the test key.
    void manifest(const std::string& version, const std::string& url, const std::string& sha) {
        const std::string body = manifest_body(version, url, sha);
        route("/latest.json", http_response("200 OK", "", body));
        route("/latest.json.sig", http_response("200 OK", "", sign_list(body)));
    }
    std::vector<std::string> posts() const {
        std::lock_guard lock(m_lock);
        return m_posts;
    }
    std::string base() const { return "https://127.0.0.1:" + std::to_string(m_tls_port); }
    std::string plain_base() const { return "http://127.0.0.1:" + std::to_string(m_server.port()); }
    ScriptServer& server() { return m_server; }

private:
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_routes;
    std::vector<std::string> m_posts;
    test::TempDir m_dir;
    int m_tls_port = 0;
    ScriptServer m_server; // its threads stop before the routes go
    test::NginxSite m_front;
};

// An installer that writes its arguments next to itself, so a test can tell it ran.
inline std::string installer_stub(const std::string& args_file) {
    return "#!/bin/sh\necho \"$@\" > '" + args_file + "'\n";
}

inline std::string body_of(const std::string& request) {
    size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : request.substr(end + 4);
}

// TMPDIR pointed at `folder` (where the installer goes) while the object lives, then put back.
class ScopedTmpdir {
public:
    explicit ScopedTmpdir(const std::string& folder)
        : m_old(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "") {
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~ScopedTmpdir() {
        if (m_old.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", m_old.c_str(), 1);
    }
    ScopedTmpdir(const ScopedTmpdir&) = delete;
    ScopedTmpdir& operator=(const ScopedTmpdir&) = delete;

private:
    std::string m_old;
};

// The private folders the updater made in the temporary folder `dir`.
inline std::vector<std::string> updater_folders(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("tarnwick-update-", 0) == 0) out.push_back(entry.path());
    }
    return out;
}

// The permission bits of a file or folder; 0 when there is none.
inline mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace twk::test
