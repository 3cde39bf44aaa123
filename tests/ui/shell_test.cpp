// Self-update and diagnostics: the version table, the manifest, the check and the installer
// against a loopback vendor endpoint, the run and crash markers, the sampler's triggers and the
// one prompt per run, in-process with an offscreen window and as a real tarnwick process.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

// This header of mbedTLS 3.6 declares its functions without C linkage for C++.
extern "C" {
#include <mbedtls/psa_util.h>
}
#include <psa/crypto.h>

#include <QApplication>
#include <QDir>
#include <QImage>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "core/task_journal.h"
#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "ui/background_jobs.h"
#include "ui/diagnostics.h"
#include "ui/self_update.h"
#include "ui/shell_controller.h"
#include "json/json.h"

namespace twk::ui {
namespace {

// The test CA, trusted through TWK_CA_FILE (by this program and the tarnwick it starts).
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

using test::http_response;
using test::ScriptPeer;
using test::ScriptServer;

constexpr int64_t kDeadlineMs = 20000;

QApplication& application() {
    static int argc = 1;
    static char name[] = "ui_shell_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Waits for `condition` while the UI thread's queued calls run.
bool wait_with_events(const std::function<bool()>& condition, int64_t timeout_ms = kDeadlineMs) {
    return test::wait_until(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        timeout_ms);
}

// The list's signature as the vendor makes it (`openssl dgst -sha256 -sign`: DER), with the test
// program's own key pair (built in at build time, ui/update_key.h) or with `private_key_hex`.
std::string sign_list(std::string_view body, std::string_view private_key_hex = TWK_TEST_UPDATE_PRIVATE_KEY) {
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

std::string manifest_body(const std::string& version, const std::string& url, const std::string& sha) {
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
            !test::wait_until([&] { return test::accepts_connections(m_tls_port); }, kDeadlineMs))
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
std::string installer_stub(const std::string& args_file) {
    return "#!/bin/sh\necho \"$@\" > '" + args_file + "'\n";
}

// The banner band's colour in the middle of a picture of the window.
bool shows_banner(const QImage& image) {
    return !image.isNull() && image.pixelColor(image.width() / 2, 46 + 4) == QColor(0xEA, 0xF1, 0xFC);
}

void save(const QImage& image, const char* name) {
    QDir().mkpath(QStringLiteral("ui-shots"));
    image.save(QStringLiteral("ui-shots/%1.png").arg(QString::fromUtf8(name)));
}

std::string body_of(const std::string& request) {
    size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : request.substr(end + 4);
}

// ---------------------------------------------------------------------------------------------
// Versions and the manifest

TEST(Versions, ComparedByLeadingDigitsOfEachComponent) {
    struct Case {
        const char* manifest;
        bool newer;
    } cases[] = {
        {"0.1.416", false},   {"0.1.5", false},      {"0.2", true},
        {"0.1.416.1", true},  {"0.1.417beta", true}, {"0.1.416-beta", false},
        {"0.1.416.0", false}, {"1", true},           {"0.1", false},
        {"x.y.z", false},     {"", false},           {"0.1.99999999999999999999", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compare_versions(program_version(), c.manifest) < 0, c.newer) << c.manifest;
    }
    EXPECT_STREQ(program_version(), "0.1.416");
    EXPECT_GT(compare_versions("0.10", "0.9"), 0);
    EXPECT_EQ(compare_versions("1.0.0", "1"), 0);
}

TEST(Manifest, MembersOfTheWrongTypeReadAsEmpty) {
    UpdateOffer offer;
    ASSERT_TRUE(read_manifest(R"({"version":"0.2","downloads":{"linux":"http://h/i","windows":"w"},)"
                              R"("sha256":{"linux":"AB"},"other":[1]})",
                              offer));
    EXPECT_EQ(offer.version, "0.2");
    EXPECT_EQ(offer.url, "http://h/i");
    EXPECT_EQ(offer.sha256, "AB");
    ASSERT_TRUE(read_manifest(R"( {"version":2,"downloads":"x","sha256":{"linux":5}} )", offer));
    EXPECT_EQ(offer.version, "");
    EXPECT_EQ(offer.url, "");
    EXPECT_EQ(offer.sha256, "");
    for (const char* bad : {"[]", "\"0.2\"", "", "{\"version\":\"0.2\"} x", "{\"version\":", "null"})
        EXPECT_FALSE(read_manifest(bad, offer)) << bad;
}

TEST(InstallId, RandomUpperCaseUuidKeptOnceStored) {
    std::string a = new_install_id(), b = new_install_id();
    ASSERT_EQ(a.size(), 36u);
    EXPECT_NE(a, b);
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(a[i], '-') << a;
        else
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(a[i])) || (a[i] >= 'A' && a[i] <= 'F')) << a;
    }
    EXPECT_EQ(a[14], '4');

    test::TempDir home;
    SettingsStore store({home.file("config"), home.file("data")});
    store.write_string("InstallID", "short");
    std::string made = ensure_install_id(store);
    EXPECT_EQ(made.size(), 36u);
    EXPECT_EQ(store.read_string("InstallID", ""), made);
    EXPECT_EQ(ensure_install_id(store), made);
    store.write_string("InstallID", "0123456789abcdef");
    EXPECT_EQ(ensure_install_id(store), "0123456789abcdef");
}

TEST(UpdateSchedule, StartUpCheckWhenUnsetFutureOrOverAnHourOld) {
    const int64_t now = 1'800'000'000;
    EXPECT_TRUE(update_check_due_at_start(true, 0, now));
    EXPECT_TRUE(update_check_due_at_start(true, now + 10, now));
    EXPECT_TRUE(update_check_due_at_start(true, now - 3600, now));
    EXPECT_FALSE(update_check_due_at_start(true, now - 3599, now));
    EXPECT_FALSE(update_check_due_at_start(false, 0, now));
}

// ---------------------------------------------------------------------------------------------
// The check against a loopback endpoint

class UpdateCheckTest : public ::testing::Test {
protected:
    test::TempDir m_home;
    SettingsStore m_store{{m_home.file("config"), m_home.file("data")}};
    Endpoint m_endpoint;
};

TEST_F(UpdateCheckTest, OffersOnlyNewerVersionsAndRecordsEveryGoodReply) {
    const std::string sha(64, 'a');
    struct Case {
        const char* version;
        bool offered;
    } cases[] = {
        {"0.1.416", false}, {"0.1.5", false}, {"0.2", true}, {"0.1.416.1", true}, {"0.1.417-rc1", true}};
    int64_t now = 1'700'000'000;
    for (const Case& c : cases) {
        m_endpoint.manifest(c.version, "https://h/setup.run", sha);
        std::optional<UpdateOffer> offer = run_update_check(m_store, m_endpoint.base(), ++now);
        EXPECT_EQ(offer.has_value(), c.offered) << c.version;
        if (offer) {
            EXPECT_EQ(offer->version, c.version);
            EXPECT_EQ(offer->url, "https://h/setup.run");
            EXPECT_EQ(offer->sha256, sha);
        }
        EXPECT_EQ(m_store.read_dword("LastUpdateCheck", 0), now) << c.version;
    }
    std::vector<std::string> requests = m_endpoint.server().requests();
    ASSERT_FALSE(requests.empty());
    std::string id = m_store.read_string("InstallID", "");
    EXPECT_EQ(test::request_path(requests[0]), "/latest.json?p=linux&v=0.1.416&i=" + id);
}

TEST_F(UpdateCheckTest, BadRepliesEndTheCheckSilently) {
    std::string big = "{\"version\":\"9\",\"pad\":\"" + std::string(524288, 'x') + "\"}";
    const std::string replies[] = {
        http_response("200 OK", "", big),
        http_response("200 OK", "", "[{\"version\":\"9\"}]"),
        http_response("200 OK", "", "{\"version\":\"9\"} trailing"),
        http_response("200 OK", "", "{\"version\":\"\"}"),
        http_response("500 Internal Server Error", "", "{\"version\":\"9\"}"),
    };
    for (const std::string& reply : replies) {
        m_endpoint.route("/latest.json", reply);
        EXPECT_FALSE(run_update_check(m_store, m_endpoint.base(), 1'700'000'000)) << reply.substr(0, 80);
    }
    EXPECT_EQ(m_store.read_dword("LastUpdateCheck", 0), 0) << "no usable reply was recorded";
    EXPECT_FALSE(run_update_check(m_store, "http://127.0.0.1:1", 1'700'000'000));
    EXPECT_FALSE(run_update_check(m_store, "not a url", 1'700'000'000));
}

// Closing the app while a check waits on a server that never answers ends the check at once,
// not after its time-outs (8 s per read, 24 s for the body).
TEST_F(UpdateCheckTest, ShutDownEndsACheckStuckOnASilentServer) {
    m_endpoint.route("/latest.json", ""); // never answered
    BackgroundJobs jobs;
    std::atomic<bool> returned{false};
    jobs.run([&](const std::atomic<bool>&) {
        run_update_check(m_store, m_endpoint.base(), 1'700'000'000, &jobs.connections());
        returned = true;
    });
    ASSERT_TRUE(test::wait_until([&] { return m_endpoint.server().requests().size() == 1; }, kDeadlineMs));
    const int64_t started = monotonic_ms();
    jobs.stop_and_join();
    EXPECT_TRUE(returned);
    EXPECT_LT(monotonic_ms() - started, kUpdateCheckTimeoutMs / 2);
}

// Only a list that came whole over https, signed with the built-in key, and naming an https
// installer is acted on; the others are refused with a line that says why.
TEST_F(UpdateCheckTest, AListNotSignedOrNotAllHttpsIsRefused) {
    const std::string sha(64, 'a');
    const std::string good = manifest_body("9.0", "https://h/setup.run", sha);
    // A key pair of nobody's (P-256, private scalar 1).
    const std::string stranger_key = std::string(63, '0') + "1";
    struct Case {
        const char* name;
        std::string endpoint;
        std::string list;
        std::string signature; // "" for none (404)
        std::string line;      // the SELFUPDATE line, "" for none
    } cases[] = {
        {"unsigned", m_endpoint.base(), good, "", "SELFUPDATE: update list refused: no valid signature\n"},
        {"altered after signing", m_endpoint.base(), manifest_body("9.0", "https://evil/setup.run", sha),
         sign_list(good), "SELFUPDATE: update list refused: no valid signature\n"},
        {"signed by another key", m_endpoint.base(), good, sign_list(good, stranger_key),
         "SELFUPDATE: update list refused: no valid signature\n"},
        {"asked over plain http", m_endpoint.plain_base(), good, sign_list(good),
         "SELFUPDATE: update list refused: not asked over https\n"},
        {"plain-http installer", m_endpoint.base(), manifest_body("9.0", "http://h/setup.run", sha),
         sign_list(manifest_body("9.0", "http://h/setup.run", sha)),
         "SELFUPDATE: update list refused: installer URL is not https\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_endpoint.route("/latest.json", http_response("200 OK", "", c.list));
        m_endpoint.route("/latest.json.sig", c.signature.empty() ? http_response("404 Not Found", "", "")
                                                                 : http_response("200 OK", "", c.signature));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(run_update_check(m_store, c.endpoint, 1'700'000'000));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    }
    // A signed list reached through a hop over plain http is never asked for on that hop.
    m_endpoint.manifest("9.0", "https://h/setup.run", sha);
    m_endpoint.route(
        "/moved/latest.json",
        http_response("302 Found", "Location: " + m_endpoint.plain_base() + "/latest.json\r\n", ""));
    const size_t asked = m_endpoint.server().requests().size();
    EXPECT_FALSE(run_update_check(m_store, m_endpoint.base() + "/moved", 1'700'000'000));
    EXPECT_EQ(m_endpoint.server().requests().size(), asked + 1) << "only the https hop was asked";
    EXPECT_TRUE(run_update_check(m_store, m_endpoint.base(), 1'700'000'000));
}

TEST(Endpoint, TakenFromTheEnvironmentWithoutTrailingSlash) {
    ::setenv("TWK_ENDPOINT", "http://127.0.0.1:9/", 1);
    EXPECT_EQ(vendor_endpoint(), "http://127.0.0.1:9");
    EXPECT_EQ(download_page_url(), "http://127.0.0.1:9/download");
    ::unsetenv("TWK_ENDPOINT");
    EXPECT_EQ(vendor_endpoint().rfind("https://", 0), 0u);
}

// ---------------------------------------------------------------------------------------------
// The installer

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
std::vector<std::string> updater_folders(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("tarnwick-update-", 0) == 0) out.push_back(entry.path());
    }
    return out;
}

class InstallerTest : public ::testing::Test {
protected:
    std::vector<std::string> update_folders() const { return updater_folders(m_dir.path()); }

    test::TempDir m_dir;
    ScopedTmpdir m_tmpdir{m_dir.path()};
    Endpoint m_endpoint;
};

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(InstallerTest, VerifiedWithUpperCaseDigestAndStartedSilentlyFromAPrivateFolder) {
    std::string stub = installer_stub(m_dir.file("args"));
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    std::string upper = sha256_hex(stub);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    UpdateOffer offer{"0.2.0", m_endpoint.base() + "/setup.run", upper};
    std::string error;
    ASSERT_TRUE(fetch_and_launch_installer(offer, ProxySpec{}, nullptr, error)) << error;
    ASSERT_TRUE(
        test::wait_until([&] { return test::read_file(m_dir.file("args")) == "--silent\n"; }, kDeadlineMs));
    const std::vector<std::string> folders = update_folders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(mode_of(folders[0]), 0700u);
    EXPECT_EQ(mode_of(folders[0] + "/Tarnwick-0.2.0-setup.run"), 0700u);
    EXPECT_EQ(test::request_header(m_endpoint.server().requests().back(), "User-Agent"), "Tarnwick/updater");
}

// What runs is the file that was written and hashed, even when its name is made to point at
// another file before the start.
TEST_F(InstallerTest, StartedFromTheFileThatWasCheckedNotFromItsName) {
    InstallerFile file;
    std::string error;
    ASSERT_TRUE(create_installer_file(m_dir.path(), "0.2.0", file, error)) << error;
    const std::string checked = installer_stub(m_dir.file("args"));
    ASSERT_TRUE(write_all(file.fd.get(), checked));
    EXPECT_EQ(sha256_fd_hex(file.fd.get()), sha256_hex(checked));
    const std::string swapped = m_dir.file("swapped");
    test::write_file(swapped, "#!/bin/sh\necho swapped > '" + m_dir.file("args") + "'\n");
    ASSERT_EQ(::chmod(swapped.c_str(), 0700), 0);
    ASSERT_EQ(::rename(swapped.c_str(), file.path.c_str()), 0);
    ASSERT_TRUE(launch_installer(file.fd, error)) << error;
    ASSERT_TRUE(test::wait_until([&] { return !test::read_file(m_dir.file("args")).empty(); }, kDeadlineMs));
    EXPECT_EQ(test::read_file(m_dir.file("args")), "--silent\n");
}

TEST_F(InstallerTest, EveryFailureLeavesNoFile) {
    std::string stub = installer_stub(m_dir.file("args"));
    std::string digest = sha256_hex(stub);
    std::string wrong = digest;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    m_endpoint.route("/gone", http_response("404 Not Found", "", stub));
    m_endpoint.route("/short", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" + stub);
    m_endpoint.route("/redirected", http_response("302 Found", "Location: /setup.run\r\n", ""));
    m_endpoint.route(
        "/down", http_response("302 Found", "Location: " + m_endpoint.plain_base() + "/setup.run\r\n", ""));
    struct Case {
        std::string url;
        std::string sha;
        std::string version;
        bool ok;
    } cases[] = {
        {m_endpoint.base() + "/setup.run", wrong, "0.2.0", false}, // checksum
        {m_endpoint.base() + "/gone", digest, "0.2.0", false},     // status
        {m_endpoint.base() + "/short", digest, "0.2.0", false},    // length
        {m_endpoint.base() + "/setup.run", digest, "../x", false}, // a version that is no plain file name
        {m_endpoint.plain_base() + "/setup.run", digest, "0.2.0", false}, // an installer over plain http
        {m_endpoint.base() + "/down", digest, "0.2.0", false},            // https to http
        {m_endpoint.base() + "/redirected", digest, "0.2.1", true},       // https to https is followed
    };
    for (const Case& c : cases) {
        std::string error;
        ::unlink(m_dir.file("args").c_str());
        UpdateOffer offer{c.version, c.url, c.sha};
        EXPECT_EQ(fetch_and_launch_installer(offer, ProxySpec{}, nullptr, error), c.ok)
            << c.url << " " << error;
        if (c.ok) {
            EXPECT_TRUE(test::wait_until([&] { return test::file_exists(m_dir.file("args")); }, kDeadlineMs));
        } else {
            EXPECT_TRUE(update_folders().empty()) << c.url;
            EXPECT_FALSE(test::file_exists(m_dir.file("args"))) << c.url;
        }
    }
    EXPECT_FALSE(test::file_exists(m_dir.path() + "/../Tarnwick-../x-setup.run"));
}

TEST_F(InstallerTest, RedirectFromHttpsToHttpIsRefusedBeforeThePlainHopIsAsked) {
    std::string stub = installer_stub(m_dir.file("args"));
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    // The plain endpoint's /bounce leads back to https.
    m_endpoint.route("/chain",
                     http_response("302 Found", "Location: " + m_endpoint.plain_base() + "/bounce\r\n", ""));
    m_endpoint.route("/bounce",
                     http_response("302 Found", "Location: " + m_endpoint.base() + "/setup.run\r\n", ""));
    InstallerFile file;
    std::string error;
    ASSERT_TRUE(create_installer_file(m_dir.path(), "0.3.0", file, error)) << error;
    ASSERT_TRUE(
        download_installer(m_endpoint.base() + "/setup.run", file.fd.get(), ProxySpec{}, nullptr, error))
        << error;
    EXPECT_EQ(sha256_fd_hex(file.fd.get()), sha256_hex(stub));

    const size_t asked = m_endpoint.server().requests().size();
    InstallerFile other;
    ASSERT_TRUE(create_installer_file(m_dir.path(), "0.3.2", other, error)) << error;
    EXPECT_FALSE(
        download_installer(m_endpoint.base() + "/chain", other.fd.get(), ProxySpec{}, nullptr, error));
    EXPECT_EQ(error, "redirect from https to http refused");
    EXPECT_EQ(m_endpoint.server().requests().size(), asked + 1) << "only the https hop was asked";
    remove_installer_file(file);
    remove_installer_file(other);
    EXPECT_TRUE(update_folders().empty());
}

// The diagnostic record never follows a redirect off https.
TEST(DiagnosticPost, NeverLeavesHttps) {
    Endpoint endpoint;
    endpoint.route("/api/diag", http_response("303 See Other",
                                              "Location: " + endpoint.plain_base() + "/api/diag\r\n", ""));
    EXPECT_FALSE(post_diagnostic(endpoint.base(), "{\"v\":\"1\"}", ProxySpec{}, nullptr));
    ASSERT_EQ(endpoint.server().requests().size(), 1u) << "the plain hop is never asked";
    EXPECT_EQ(endpoint.posts().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Markers, crash reports, the record

TEST(Marker, LineRoundTripsAndNumbersReadLeniently) {
    RunMarker m{"0.1.416", "linux6.1", 61, 120, 7};
    EXPECT_EQ(format_marker(m), "v=0.1.416;os=linux6.1;up=61;rss=120;cpu=7");
    RunMarker back = parse_marker(format_marker(m));
    EXPECT_EQ(back.v, "0.1.416");
    EXPECT_EQ(back.os, "linux6.1");
    EXPECT_EQ(back.up, 61);
    EXPECT_EQ(back.rss, 120);
    EXPECT_EQ(back.cpu, 7);
    RunMarker odd = parse_marker("up=12abc;rss=x;junk;v=a=b;cpu=-3;zz=1");
    EXPECT_EQ(odd.up, 12);
    EXPECT_EQ(odd.rss, 0);
    EXPECT_EQ(odd.v, "a=b");
    EXPECT_EQ(odd.cpu, -3);
    EXPECT_EQ(format_marker({std::string(300, 'v'), "os", 0, 0, 0}).size(), kMaxMarkerChars);
    EXPECT_EQ(os_text().rfind("linux", 0), 0u);
    EXPECT_GT(memory_mib() + 1, 0);
    EXPECT_GT(cpu_time_100ns(), 0);
}

TEST(DiagnosticRecord, ValidJsonWhateverTheMarkerHolds) {
    // The marker file is the user's to write: quotes, backslashes and control bytes must not
    // break the record or add members to it.
    RunMarker hostile = parse_marker("v=1\",\"trig\":\"x\\;os=a\"b\\\x01;up=3;rss=4;cpu=5");
    DiagRecord record{hostile.v, hostile.os, hostile.up, hostile.rss, hostile.cpu, 0, 0, "crash"};
    std::string body = format_diag_record(record);
    JsonValue parsed;
    ASSERT_TRUE(parse_json(body, parsed)) << body;
    ASSERT_EQ(parsed.kind, JsonKind::Object);
    EXPECT_EQ(parsed.object.size(), 8u) << body;
    EXPECT_EQ(parsed.object["v"].string, "1\",\"trig\":\"x\\");
    EXPECT_EQ(parsed.object["os"].string, "a\"b\\\x01");
    EXPECT_EQ(parsed.object["trig"].string, "crash");
    EXPECT_EQ(parsed.object["up"].number, 3);
    EXPECT_EQ(format_diag_record({"0.1.416", "linux6.1", 60, 801, 2, 1, 3, "rss"}),
              R"({"v":"0.1.416","os":"linux6.1","up":60,"rss":801,"cpu":2,"act":1,"done":3,"trig":"rss"})");
}

class CrashCheckTest : public ::testing::Test {
protected:
    void report(const std::string& name, int seconds_ago) {
        std::string path = m_reports.file(name);
        test::write_file(path, "core");
        auto when = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(seconds_ago);
        std::filesystem::last_write_time(path, when);
    }
    std::optional<DiagRecord> check(const std::string& exe = "tarnwick") {
        return crash_check(m_files, {m_reports.path(), m_dir.file("missing")}, exe, m_fresh);
    }

    test::TempDir m_dir, m_reports;
    MarkerFiles m_files{m_dir.file("state/tarnwick")};
    RunMarker m_fresh{"0.1.416", "linux6.1", 0, 10, 0};
};

TEST_F(CrashCheckTest, ANewerReportIsOfferedOnceAfterAMarkerWasLeft) {
    // A clean exit: no marker, nothing to report, a fresh marker written.
    EXPECT_FALSE(check());
    EXPECT_EQ(test::read_file(m_files.marker_path()), format_marker(m_fresh));
    // Killed, with no report: the marker is found and replaced, no prompt.
    m_files.write_marker({"0.1.415", "", 42, 300, 9});
    EXPECT_FALSE(check());
    // Killed, and the system recorded a crash (systemd-coredump names the command).
    m_files.write_marker({"0.1.415", "", 42, 300, 9});
    report("core.tarnwick.1000.0123abcd.4242.1700000000000000.zst", 5);
    std::optional<DiagRecord> crash = check();
    ASSERT_TRUE(crash);
    EXPECT_EQ(crash->v, "0.1.415");
    EXPECT_EQ(crash->os, "linux6.1") << "the current OS text when the marker had none";
    EXPECT_EQ(crash->up, 42);
    EXPECT_EQ(crash->rss, 300);
    EXPECT_EQ(crash->cpu, 9);
    EXPECT_EQ(crash->trig, "crash");
    EXPECT_TRUE(test::file_exists(m_files.marker_path()));
    // Killed again without a new report: the crash marker already holds that report's time.
    m_files.write_marker({"0.1.416", "linux6.1", 1, 1, 1});
    EXPECT_FALSE(check());
    // A newer report (apport's naming) is offered again.
    m_files.write_marker({"0.1.416", "linux6.1", 1, 1, 1});
    report("_usr_bin_tarnwick.1000.crash", 0);
    EXPECT_TRUE(check());
    // Both markers are the user's alone.
    EXPECT_EQ(mode_of(m_files.marker_path()), 0600u);
    EXPECT_EQ(mode_of(m_files.crash_marker_path()), 0600u);
    EXPECT_EQ(mode_of(m_dir.file("state/tarnwick")), 0700u);
}

TEST_F(CrashCheckTest, LongNamesMatchOnTheirFirstTwelveCharacters) {
    report("core.tarnwick-nigh.1000.x", 10); // systemd cuts the command to 15 bytes
    EXPECT_NE(newest_crash_report({m_reports.path()}, "tarnwick-nightly-build"), 0u);
    EXPECT_NE(newest_crash_report({m_reports.path()}, "TARNWICK-NIGH"), 0u);
    EXPECT_NE(newest_crash_report({m_reports.path()}, "tarnwick-nigXYZ"), 0u);
    EXPECT_EQ(newest_crash_report({m_reports.path()}, "tarnwick-niX"), 0u);
    EXPECT_EQ(newest_crash_report({m_reports.path()}, ""), 0u);
    // No marker of a described run: no report is looked for.
    m_files.write_marker({"", "linux6.1", 1, 1, 1});
    EXPECT_FALSE(check("tarnwick-nightly"));
    EXPECT_FALSE(test::file_exists(m_files.crash_marker_path()));
}

// ---------------------------------------------------------------------------------------------
// The sampler and the prompt

TEST(Sampler, MemoryTriggersAtOnceCpuAfterThreeIdleMinutes) {
    const int64_t minute = 60'000, cpu_minute = 60 * 10'000'000; // one processor busy for a minute
    ResourceSampler s;
    s.start(0, 0, 10);
    EXPECT_FALSE(s.due(minute - 1));
    EXPECT_TRUE(s.due(minute));
    int64_t t = 0, cpu = 0;
    auto next = [&](int percent, int64_t memory, int64_t active) {
        t += minute;
        cpu += cpu_minute * percent / 100;
        return s.sample({t, cpu, memory, active, 0});
    };
    EXPECT_EQ(next(0, 801, 1).trigger, "rss");
    EXPECT_EQ(next(0, 800, 0).trigger, "");
    // 30 % with nothing to download three times in a row; a busy minute restarts the count.
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(s.last_cpu(), 30);
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 2).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(25, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "cpu");
    EXPECT_EQ(next(30, 10, 0).trigger, "cpu");
}

TEST(Sampler, MarkerEveryFifthSampleAndNoCpuFromShortOrBackwardIntervals) {
    ResourceSampler s;
    s.start(0, 1'000'000'000, 10);
    int written = 0;
    for (int i = 1; i <= 10; ++i)
        written += s.sample({i * 60'000, 1'000'000'000, 10, 0, 0}).write_marker ? i : 0;
    EXPECT_EQ(written, 5 + 10);
    s.sample({10 * 60'000 + 1500, 2'000'000'000, 10, 0, 0});
    EXPECT_EQ(s.last_cpu(), 0) << "1.5 s counts as 1 s or less";
    s.sample({12 * 60'000, 5, 10, 0, 0});
    EXPECT_EQ(s.last_cpu(), 0) << "CPU time went backwards";
}

TEST(Prompt, RaisedOnceSentOnce) {
    DiagnosticPrompt p;
    EXPECT_FALSE(p.take_for_sending());
    EXPECT_TRUE(p.raise({"0.1.416", "linux6.1", 1, 2, 3, 0, 0, "crash"}));
    EXPECT_FALSE(p.raise({"0.1.416", "linux6.1", 1, 900, 3, 0, 0, "rss"}));
    std::optional<std::string> body = p.take_for_sending();
    ASSERT_TRUE(body);
    EXPECT_NE(body->find("\"trig\":\"crash\""), std::string::npos);
    EXPECT_FALSE(p.take_for_sending());
}

// ---------------------------------------------------------------------------------------------
// The window with its controller, offscreen

class ShellWindowTest : public ::testing::Test {
protected:
    void SetUp() override { application(); }

    ShellEnvironment environment() {
        ShellEnvironment env;
        env.endpoint = m_endpoint.base();
        env.state_folder = m_home.file("state/tarnwick");
        env.report_folders = {m_home.file("reports")};
        env.exe_name = "tarnwick";
        env.open_url = [this](const std::string& url) { m_opened.push_back(url); };
        return env;
    }
    SettingsPaths paths() { return {m_home.file("config"), m_home.file("data")}; }
    // Turns the start-up update check off, so only the test's own checks ask the endpoint.
    void no_start_up_check() { SettingsStore(paths()).write_dword("AutoUpdateCheck", 0); }

    test::TempDir m_home;
    ScopedTmpdir m_tmpdir{m_home.path()};
    Endpoint m_endpoint;
    std::vector<std::string> m_opened;
};

TEST_F(ShellWindowTest, CrashBannerOnceThenNoneAndCleanExitRemovesTheMarker) {
    no_start_up_check();
    std::filesystem::create_directories(m_home.file("reports"));
    test::write_file(m_home.file("reports/_opt_tarnwick_tarnwick.1000.crash"), "report");
    MarkerFiles files(m_home.file("state/tarnwick"));
    files.write_marker({"0.1.416", "linux6.1", 30, 50, 1});
    {
        MainWindow window(EngineOps{});
        ShellController shell(window, paths(), Settings{}, environment());
        shell.start(monotonic_ms());
        ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::CrashPrompt; }));
        QImage frame = window.render_frame();
        save(frame, "shell-crash-banner");
        EXPECT_TRUE(shows_banner(frame));
        EXPECT_TRUE(test::file_exists(files.marker_path()));
        // A resource trigger later in the same run raises nothing.
        shell.take_sample({monotonic_ms() + 60'000, 0, 900, 0, 0});
        window.close_banner();
        QCoreApplication::processEvents();
        EXPECT_EQ(window.banner_mode(), BannerMode::None);
    }
    EXPECT_FALSE(test::file_exists(files.marker_path())) << "a clean exit deletes the marker";
    // Killed next time, no newer report: no banner.
    files.write_marker({"0.1.416", "linux6.1", 30, 50, 1});
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), Settings{}, environment());
    shell.start(monotonic_ms());
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(window.banner_mode(), BannerMode::None);
    EXPECT_FALSE(shell.prompt().raised());
}

TEST_F(ShellWindowTest, ShareSendsOneValidRecordWhateverIsClicked) {
    no_start_up_check();
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), Settings{}, environment());
    shell.start(monotonic_ms());
    shell.take_sample({monotonic_ms() + 60'000, 0, 801, 0, 2});
    ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::ResourcePrompt; }));
    window.click_banner_link();
    EXPECT_EQ(window.banner_mode(), BannerMode::None) << "the prompt closes on Share";
    ASSERT_TRUE(test::wait_until([&] { return m_endpoint.posts().size() == 1; }, kDeadlineMs));
    // A second click (the banner cannot come back this run) sends nothing.
    shell.take_sample({monotonic_ms() + 120'000, 0, 900, 0, 0});
    shell.share();
    ASSERT_TRUE(test::wait_until([&] { return shell.workers_running() == 0; }, kDeadlineMs));
    ASSERT_EQ(m_endpoint.posts().size(), 1u);

    std::string post = m_endpoint.posts()[0];
    EXPECT_EQ(test::request_path(post), "/api/diag");
    EXPECT_EQ(test::request_header(post, "Content-Type"), "application/json");
    JsonValue record;
    ASSERT_TRUE(parse_json(body_of(post), record)) << post;
    EXPECT_EQ(record.object["trig"].string, "rss");
    EXPECT_EQ(record.object["rss"].number, 801);
    EXPECT_EQ(record.object["done"].number, 2);
    EXPECT_EQ(record.object["v"].string, "0.1.416");
}

TEST_F(ShellWindowTest, DownloadLinkFallsBackToTheDownloadPage) {
    std::string stub = installer_stub(m_home.file("args"));
    std::string digest = sha256_hex(stub);
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    std::string wrong = digest;
    wrong[5] = wrong[5] == 'f' ? 'e' : 'f';
    struct Case {
        std::string sha;
        bool fetches;
    } cases[] = {{digest.substr(0, 63), false}, {wrong, true}};
    for (const Case& c : cases) {
        m_opened.clear();
        m_endpoint.manifest("0.2.0", m_endpoint.base() + "/setup.run", c.sha);
        SettingsStore(paths()).write_dword("LastUpdateCheck", 0);
        MainWindow window(EngineOps{});
        ShellController shell(window, paths(), Settings{}, environment());
        shell.start(monotonic_ms()); // the start-up check finds 0.2.0
        ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::Update; }));
        save(window.render_frame(), "shell-update-banner");
        size_t requests = m_endpoint.server().requests().size();
        window.click_banner_link();
        ASSERT_TRUE(wait_with_events([&] { return m_opened.size() == 1; })) << c.sha;
        EXPECT_EQ(m_opened[0], m_endpoint.base() + "/download");
        EXPECT_EQ(m_endpoint.server().requests().size() > requests, c.fetches);
        EXPECT_FALSE(shell.update_in_progress());
        EXPECT_TRUE(updater_folders(m_home.path()).empty());
        EXPECT_FALSE(test::file_exists(m_home.file("args")));
        EXPECT_EQ(window.banner_mode(), BannerMode::Update) << "the banner stays for another try";
    }
}

TEST_F(ShellWindowTest, DailyCheckOnTheRefreshTickWhileTheSettingIsOn) {
    m_endpoint.manifest("0.3", m_endpoint.base() + "/setup.run", std::string(64, 'a'));
    // Checked a minute ago: no check at start-up, the next one a day later.
    SettingsStore(paths()).write_dword("LastUpdateCheck", static_cast<int32_t>(std::time(nullptr) - 60));
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), Settings{}, environment());
    const int64_t now = monotonic_ms();
    shell.start(now);
    EXPECT_EQ(shell.next_check_ms(), now + kUpdateCheckPeriodMs);
    shell.tick(now + kUpdateCheckPeriodMs - 1);
    ASSERT_TRUE(test::wait_until([&] { return shell.workers_running() == 0; }, kDeadlineMs));
    EXPECT_TRUE(m_endpoint.server().requests().empty());
    shell.tick(now + kUpdateCheckPeriodMs);
    ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::Update; }));
    EXPECT_EQ(shell.next_check_ms(), now + 2 * kUpdateCheckPeriodMs);
    // Turned off in the settings: no schedule; on again: a day from then.
    shell.set_auto_update(false, now);
    EXPECT_EQ(shell.next_check_ms(), 0);
    shell.set_auto_update(true, now + 5);
    EXPECT_EQ(shell.next_check_ms(), now + 5 + kUpdateCheckPeriodMs);
}

// The update check goes through the proxy in Settings, and a proxy saved later counts for the
// next check at once: a proxy that is not there leaves the endpoint unasked; tinyproxy's log
// shows the tunnel of a check through it.
TEST_F(ShellWindowTest, TheUpdateCheckFollowsTheProxyJustSaved) {
    m_endpoint.manifest("0.3", m_endpoint.base() + "/setup.run", std::string(64, 'a'));
    SettingsStore(paths()).write_dword("LastUpdateCheck", static_cast<int32_t>(std::time(nullptr) - 60));
    MainWindow window(EngineOps{});
    ShellController shell(window, paths(), Settings{}, environment());
    shell.start(monotonic_ms());
    const int tinyproxy = test::RealPeers::get().tinyproxy(false);
    ASSERT_NE(tinyproxy, 0) << test::RealPeers::get().failure();

    shell.set_proxy(kProxyCustom, "127.0.0.1:" + std::to_string(test::closed_port()));
    shell.start_update_check();
    ASSERT_TRUE(test::wait_until([&] { return shell.workers_running() == 0; }, kDeadlineMs));
    EXPECT_TRUE(m_endpoint.server().requests().empty());

    shell.set_proxy(kProxyCustom, "http://127.0.0.1:" + std::to_string(tinyproxy));
    shell.start_update_check();
    ASSERT_TRUE(wait_with_events([&] { return window.banner_mode() == BannerMode::Update; }));
    const std::string proxy_log = test::read_file(
        std::filesystem::path(test::RealPeers::get().ca_file()).parent_path() / "tinyproxy.log");
    EXPECT_NE(proxy_log.find("CONNECT " + m_endpoint.base().substr(8)), std::string::npos) << proxy_log;
}

// ---------------------------------------------------------------------------------------------
// The tarnwick program itself

class AppProcessTest : public ::testing::Test {
protected:
    // Starts tarnwick offscreen in the test's home, standard error into a file.
    pid_t start(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        // Everything is prepared before the fork: the child of a threaded process only execs.
        std::map<std::string, std::string> vars;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            size_t equals = entry.find('=');
            if (equals != std::string::npos) vars[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        vars["QT_QPA_PLATFORM"] = "offscreen";
        vars["HOME"] = m_home.path();
        vars["XDG_CONFIG_HOME"] = m_home.file("config");
        vars["XDG_DATA_HOME"] = m_home.file("data");
        vars["XDG_STATE_HOME"] = m_home.file("state");
        vars["TMPDIR"] = m_home.path();
        vars["TWK_ENDPOINT"] = m_endpoint.base();
        vars["TWK_CRASH_REPORT_DIRS"] = m_home.file("reports");
        vars["TWK_CONTROL_PORT"] = std::to_string(test::free_port());
        vars["LSAN_OPTIONS"] = "suppressions=" + m_home.file("lsan.supp");
        for (const auto& [name, value] : extra)
            vars[name] = value;
        std::vector<std::string> entries;
        for (const auto& [name, value] : vars)
            entries.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string err_path = m_home.file("stderr");
        char* argv[] = {const_cast<char*>(TWK_APP_BINARY), nullptr};
        pid_t pid = ::fork();
        if (pid == 0) {
            int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, 2);
            ::execve(TWK_APP_BINARY, argv, envp.data());
            ::_exit(127);
        }
        return pid;
    }
    // The exit status, or -1 when the process did not end in time.
    int wait_exit(pid_t pid) {
        int status = -1;
        bool ended = test::wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, kDeadlineMs);
        if (ended) return status;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    void SetUp() override {
        test::write_file(m_home.file("lsan.supp"), "leak:libfontconfig.so\nleak:libdbus\n");
        std::filesystem::create_directories(m_home.file("config/tarnwick"));
        // No start-up check unless the test asks for one.
        test::write_file(m_home.file("config/tarnwick/settings.json"), "{\"AutoUpdateCheck\": 0}");
    }
    std::string marker() const { return m_home.file("state/tarnwick/session.marker"); }

    test::TempDir m_home;
    Endpoint m_endpoint;
};

TEST_F(AppProcessTest, NormalExitLeavesNoMarkerAKillLeavesOne) {
    pid_t pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGTERM);
    int status = wait_exit(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << test::read_file(m_home.file("stderr"));
    EXPECT_FALSE(test::file_exists(marker()));

    pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGKILL);
    wait_exit(pid);
    RunMarker left = parse_marker(test::read_file(marker()));
    EXPECT_EQ(left.v, "0.1.416");
    EXPECT_EQ(left.os, os_text());
}

// The app reads its task journal at start and writes it back when it closes: a download that
// was running when the last run ended comes back paused, a finished one done, under their ids.
TEST_F(AppProcessTest, TheTaskListOutlivesTheApp) {
    const std::string journal = m_home.file("state/tarnwick/tasks.json");
    std::filesystem::create_directories(m_home.file("dl"));
    test::write_file(m_home.file("dl/finished.bin"), "finished");
    auto entry = [&](int32_t id, TaskState state, const std::string& name) {
        JournalEntry e;
        e.id = id;
        e.request.url = "http://127.0.0.1:9/" + name;
        e.filename = name;
        e.output_path = m_home.file("dl/" + name);
        e.state = state;
        e.status = state == kDone ? "done" : "downloading";
        return e;
    };
    std::string error;
    ASSERT_TRUE(
        write_journal(journal, {entry(4, kRunning, "half.bin"), entry(6, kDone, "finished.bin")}, error))
        << error;

    pid_t pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGTERM);
    int status = wait_exit(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << test::read_file(m_home.file("stderr"));

    JournalLoad load = load_journal(journal);
    EXPECT_FALSE(load.set_aside) << load.problem;
    ASSERT_EQ(load.entries.size(), 2u) << test::read_file(journal);
    EXPECT_EQ(load.entries[0].id, 4);
    EXPECT_EQ(load.entries[0].state, kPaused);
    EXPECT_EQ(load.entries[1].id, 6);
    EXPECT_EQ(load.entries[1].state, kDone);
}

TEST_F(AppProcessTest, KilledRunWithACrashReportShowsTheBannerOnTheNextStartOnly) {
    pid_t pid = start();
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(marker()); }, kDeadlineMs));
    ::kill(pid, SIGKILL);
    wait_exit(pid);
    std::filesystem::create_directories(m_home.file("reports"));
    test::write_file(m_home.file("reports/_usr_bin_tarnwick.1000.crash"), "report");
    // Two starts, each closed cleanly; a picture of each.
    for (const char* name : {"shell-process-crash-banner", "shell-process-no-banner"}) {
        std::string shot = m_home.file(std::string(name) + ".png");
        pid = start({{"TWK_SHOT", shot}, {"TWK_SHOT_MS", "300"}});
        bool saved = test::wait_until([&] { return test::read_file(shot).find("IEND") != std::string::npos; },
                                      kDeadlineMs);
        ::kill(pid, SIGTERM);
        int status = wait_exit(pid);
        ASSERT_TRUE(saved) << test::read_file(m_home.file("stderr"));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        QImage image(QString::fromStdString(shot));
        save(image, name);
        EXPECT_EQ(shows_banner(image), std::string(name) == "shell-process-crash-banner") << name;
    }
}

TEST_F(AppProcessTest, SelfUpdateNowStartsTheVerifiedInstallerAndQuits) {
    std::string stub = installer_stub(m_home.file("args"));
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    std::string url = m_endpoint.base() + "/setup.run", sha = sha256_hex(stub);
    m_endpoint.manifest("0.2.0", url, sha);
    test::write_file(m_home.file("config/tarnwick/settings.json"), "{}");
    pid_t pid = start({{"TWK_SELFUPDATE_NOW", "1"}});
    int status = wait_exit(pid);
    std::string err = test::read_file(m_home.file("stderr"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the app quits by itself: " << status << err;
    EXPECT_NE(err.find("SELFUPDATE: found 0.2.0 url=" + url + " sha=" + sha + "\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("SELFUPDATE: verified and installer launched\n"), std::string::npos) << err;
    EXPECT_TRUE(
        test::wait_until([&] { return test::read_file(m_home.file("args")) == "--silent\n"; }, kDeadlineMs));
    EXPECT_FALSE(test::file_exists(marker()));
    std::string settings = test::read_file(m_home.file("config/tarnwick/settings.json"));
    EXPECT_NE(settings.find("\"LastUpdateCheck\""), std::string::npos) << settings;
    EXPECT_NE(settings.find("\"InstallID\""), std::string::npos) << settings;
}

} // namespace
} // namespace twk::ui
