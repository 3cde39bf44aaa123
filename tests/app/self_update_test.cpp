// Self-update: the version table, the manifest, the check and the installer against a loopback
// vendor endpoint, and the diagnostic post.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/background_jobs.h"
#include "app/diagnostics.h"
#include "app/self_update.h"
#include "net/text.h"
#include "tests/app/vendor_endpoint.h"
#include "json/json.h"

namespace twk::app {
namespace {

// The test CA, trusted through TWK_CA_FILE.
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

using test::body_of;
using test::Endpoint;
using test::http_response;
using test::installer_stub;
using test::manifest_body;
using test::mode_of;
using test::ScopedTmpdir;
using test::ScriptPeer;
using test::ScriptServer;
using test::sign_list;
using test::updater_folders;

constexpr int64_t kDeadlineMs = test::kEndpointDeadlineMs;

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
        EXPECT_EQ(app::compare_versions(app::program_version(), c.manifest) < 0, c.newer) << c.manifest;
    }
    EXPECT_STREQ(app::program_version(), "0.1.416");
    EXPECT_GT(app::compare_versions("0.10", "0.9"), 0);
    EXPECT_EQ(app::compare_versions("1.0.0", "1"), 0);
}

TEST(Manifest, MembersOfTheWrongTypeReadAsEmpty) {
    app::UpdateOffer offer;
    ASSERT_TRUE(app::read_manifest(R"({"version":"0.2","downloads":{"linux":"http://h/i","windows":"w"},)"
                                   R"("sha256":{"linux":"AB"},"other":[1]})",
                                   offer));
    EXPECT_EQ(offer.version, "0.2");
    EXPECT_EQ(offer.url, "http://h/i");
    EXPECT_EQ(offer.sha256, "AB");
    ASSERT_TRUE(app::read_manifest(R"( {"version":2,"downloads":"x","sha256":{"linux":5}} )", offer));
    EXPECT_EQ(offer.version, "");
    EXPECT_EQ(offer.url, "");
    EXPECT_EQ(offer.sha256, "");
    for (const char* bad : {"[]", "\"0.2\"", "", "{\"version\":\"0.2\"} x", "{\"version\":", "null"})
        EXPECT_FALSE(app::read_manifest(bad, offer)) << bad;
}

TEST(InstallId, RandomUpperCaseUuidKeptOnceStored) {
    std::string a = app::new_install_id(), b = app::new_install_id();
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
    app::SettingsStore store({home.file("config"), home.file("data")});
    store.write_string("InstallID", "short");
    std::string made = app::ensure_install_id(store);
    EXPECT_EQ(made.size(), 36u);
    EXPECT_EQ(store.read_string("InstallID", ""), made);
    EXPECT_EQ(app::ensure_install_id(store), made);
    store.write_string("InstallID", "0123456789abcdef");
    EXPECT_EQ(app::ensure_install_id(store), "0123456789abcdef");
}

TEST(UpdateSchedule, StartUpCheckWhenUnsetFutureOrOverAnHourOld) {
    const int64_t now = 1'800'000'000;
    EXPECT_TRUE(app::update_check_due_at_start(true, 0, now));
    EXPECT_TRUE(app::update_check_due_at_start(true, now + 10, now));
    EXPECT_TRUE(app::update_check_due_at_start(true, now - 3600, now));
    EXPECT_FALSE(app::update_check_due_at_start(true, now - 3599, now));
    EXPECT_FALSE(app::update_check_due_at_start(false, 0, now));
}

// ---------------------------------------------------------------------------------------------
// The check against a loopback endpoint

class UpdateCheckTest : public ::testing::Test {
protected:
    test::TempDir m_home;
    app::SettingsStore m_store{{m_home.file("config"), m_home.file("data")}};
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
        std::optional<app::UpdateOffer> offer = app::run_update_check(m_store, m_endpoint.base(), ++now);
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
        EXPECT_FALSE(app::run_update_check(m_store, m_endpoint.base(), 1'700'000'000)) << reply.substr(0, 80);
    }
    EXPECT_EQ(m_store.read_dword("LastUpdateCheck", 0), 0) << "no usable reply was recorded";
    EXPECT_FALSE(app::run_update_check(m_store, "http://127.0.0.1:1", 1'700'000'000));
    EXPECT_FALSE(app::run_update_check(m_store, "not a url", 1'700'000'000));
}

// Closing the app while a check waits on a server that never answers ends the check at once,
// not after its time-outs (8 s per read, 24 s for the body).
TEST_F(UpdateCheckTest, ShutDownEndsACheckStuckOnASilentServer) {
    m_endpoint.route("/latest.json", ""); // never answered
    app::BackgroundJobs jobs;
    std::atomic<bool> returned{false};
    jobs.run([&](const std::atomic<bool>&) {
        app::run_update_check(m_store, m_endpoint.base(), 1'700'000'000, &jobs.connections());
        returned = true;
    });
    ASSERT_TRUE(test::wait_until([&] { return m_endpoint.server().requests().size() == 1; }, kDeadlineMs));
    const int64_t started = monotonic_ms();
    jobs.stop_and_join();
    EXPECT_TRUE(returned);
    EXPECT_LT(monotonic_ms() - started, app::kUpdateCheckTimeoutMs / 2);
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
        EXPECT_FALSE(app::run_update_check(m_store, c.endpoint, 1'700'000'000));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    }
    // A signed list reached through a hop over plain http is never asked for on that hop.
    m_endpoint.manifest("9.0", "https://h/setup.run", sha);
    m_endpoint.route(
        "/moved/latest.json",
        http_response("302 Found", "Location: " + m_endpoint.plain_base() + "/latest.json\r\n", ""));
    const size_t asked = m_endpoint.server().requests().size();
    EXPECT_FALSE(app::run_update_check(m_store, m_endpoint.base() + "/moved", 1'700'000'000));
    EXPECT_EQ(m_endpoint.server().requests().size(), asked + 1) << "only the https hop was asked";
    EXPECT_TRUE(app::run_update_check(m_store, m_endpoint.base(), 1'700'000'000));
}

TEST(Endpoint, TakenFromTheEnvironmentWithoutTrailingSlash) {
    ::setenv("TWK_ENDPOINT", "http://127.0.0.1:9/", 1);
    EXPECT_EQ(app::vendor_endpoint(), "http://127.0.0.1:9");
    EXPECT_EQ(app::download_page_url(), "http://127.0.0.1:9/download");
    ::unsetenv("TWK_ENDPOINT");
    EXPECT_EQ(app::vendor_endpoint().rfind("https://", 0), 0u);
}

// ---------------------------------------------------------------------------------------------
// The installer

class InstallerTest : public ::testing::Test {
protected:
    std::vector<std::string> update_folders() const { return updater_folders(m_dir.path()); }

    test::TempDir m_dir;
    ScopedTmpdir m_tmpdir{m_dir.path()};
    Endpoint m_endpoint;
};

TEST_F(InstallerTest, VerifiedWithUpperCaseDigestAndStartedSilentlyFromAPrivateFolder) {
    std::string stub = installer_stub(m_dir.file("args"));
    m_endpoint.route("/setup.run", http_response("200 OK", "", stub));
    std::string upper = app::sha256_hex(stub);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    app::UpdateOffer offer{"0.2.0", m_endpoint.base() + "/setup.run", upper};
    std::string error;
    ASSERT_TRUE(app::fetch_and_launch_installer(offer, ProxySpec{}, nullptr, error)) << error;
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
    app::InstallerFile file;
    std::string error;
    ASSERT_TRUE(app::create_installer_file(m_dir.path(), "0.2.0", file, error)) << error;
    const std::string checked = installer_stub(m_dir.file("args"));
    ASSERT_TRUE(write_all(file.fd.get(), checked));
    EXPECT_EQ(app::sha256_fd_hex(file.fd.get()), app::sha256_hex(checked));
    const std::string swapped = m_dir.file("swapped");
    test::write_file(swapped, "#!/bin/sh\necho swapped > '" + m_dir.file("args") + "'\n");
    ASSERT_EQ(::chmod(swapped.c_str(), 0700), 0);
    ASSERT_EQ(::rename(swapped.c_str(), file.path.c_str()), 0);
    ASSERT_TRUE(app::launch_installer(file.fd, error)) << error;
    ASSERT_TRUE(test::wait_until([&] { return !test::read_file(m_dir.file("args")).empty(); }, kDeadlineMs));
    EXPECT_EQ(test::read_file(m_dir.file("args")), "--silent\n");
}

TEST_F(InstallerTest, EveryFailureLeavesNoFile) {
    std::string stub = installer_stub(m_dir.file("args"));
    std::string digest = app::sha256_hex(stub);
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
        app::UpdateOffer offer{c.version, c.url, c.sha};
        EXPECT_EQ(app::fetch_and_launch_installer(offer, ProxySpec{}, nullptr, error), c.ok)
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
    app::InstallerFile file;
    std::string error;
    ASSERT_TRUE(app::create_installer_file(m_dir.path(), "0.3.0", file, error)) << error;
    ASSERT_TRUE(
        app::download_installer(m_endpoint.base() + "/setup.run", file.fd.get(), ProxySpec{}, nullptr, error))
        << error;
    EXPECT_EQ(app::sha256_fd_hex(file.fd.get()), app::sha256_hex(stub));

    const size_t asked = m_endpoint.server().requests().size();
    app::InstallerFile other;
    ASSERT_TRUE(app::create_installer_file(m_dir.path(), "0.3.2", other, error)) << error;
    EXPECT_FALSE(
        app::download_installer(m_endpoint.base() + "/chain", other.fd.get(), ProxySpec{}, nullptr, error));
    EXPECT_EQ(error, "redirect from https to http refused");
    EXPECT_EQ(m_endpoint.server().requests().size(), asked + 1) << "only the https hop was asked";
    app::remove_installer_file(file);
    app::remove_installer_file(other);
    EXPECT_TRUE(update_folders().empty());
}

// The diagnostic record never follows a redirect off https.
TEST(DiagnosticPost, NeverLeavesHttps) {
    Endpoint endpoint;
    endpoint.route("/api/diag", http_response("303 See Other",
                                              "Location: " + endpoint.plain_base() + "/api/diag\r\n", ""));
    EXPECT_FALSE(app::post_diagnostic(endpoint.base(), "{\"v\":\"1\"}", ProxySpec{}, nullptr));
    ASSERT_EQ(endpoint.server().requests().size(), 1u) << "the plain hop is never asked";
    EXPECT_EQ(endpoint.posts().size(), 1u);
}

} // namespace
} // namespace twk::app
