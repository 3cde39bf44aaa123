// The FTP client against a real server, pyftpdlib: plain and explicit FTPS (TLS on the control
// connection, PROT P on the data channel, a certificate from the tests' own CA), anonymous and
// with a user and password. Whole downloads run through a real `twk get` process: a large file
// in byte ranges over 8 connections, an FTPS file, and a run killed mid-way that resumes from its
// sidecar. Every copy must equal the server's file byte for byte.
#include "core/sidecar.h"
#include "net/body_reader.h"
#include "net/ftp_client.h"
#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/real_peers.h"
#include "tests/support/tamper_relay.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace twk {
namespace {

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

constexpr const char* kUser = "bob";
constexpr const char* kPassword = "pa ss:w@rd";
constexpr const char* kPasswordInUrl = "pa%20ss%3Aw%40rd";
constexpr int kStartAttempts = 5;
constexpr int64_t kStartDeadlineMs = 20000;
constexpr int64_t kExitDeadlineMs = 180000;

using test::wait_until;

// A child process with standard output and error in `log`; killed by the destructor unless it
// has ended.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& log) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Child() { stop(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() {
        if (m_pid <= 0) return false;
        int status;
        if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return true;
        m_status = status;
        m_pid = -1;
        return false;
    }
    // The exit code; -1 when it did not end within `deadline_ms` or ended by a signal.
    int wait_exit(int64_t deadline_ms) {
        if (!wait_until([&] { return !running(); }, deadline_ms)) return -1;
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }
    void stop(int signal_number) {
        if (!running()) return;
        ::kill(m_pid, signal_number);
        if (wait_exit(5000) == -1 && running()) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_status = 0;
};

// pyftpdlib serving `root` on a free loopback port.
class FtpSite {
public:
    // `options` go to tests/net/ftp_server.py: "--tls CERT KEY", "--user NAME PASSWORD",
    // "--throttle BYTES".
    bool start(const std::string& root, const std::string& log, const std::vector<std::string>& options) {
        m_log = log;
        for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
            const int port = test::free_port();
            std::vector<std::string> argv = {"/usr/bin/python3", TWK_FTP_SERVER, root, std::to_string(port)};
            argv.insert(argv.end(), options.begin(), options.end());
            m_server = std::make_unique<Child>(argv, log);
            if (wait_until([&] { return !m_server->running() || test::accepts_connections(port); },
                           kStartDeadlineMs) &&
                m_server->running()) {
                m_port = port;
                return true;
            }
            m_server.reset();
        }
        return false;
    }
    std::string url(const std::string& scheme, const std::string& path,
                    const std::string& userinfo = "") const {
        return scheme + "://" + userinfo + "127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::string log() const { return test::read_file(m_log); }
    int port() const { return m_port; }

private:
    std::unique_ptr<Child> m_server;
    std::string m_log;
    int m_port = 0;
};

// Deterministic bytes that do not repeat within a file, written 1 MiB at a time.
void write_large_file(const std::string& path, size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(1 << 17);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (size_t written = 0; written < size;) {
        for (auto& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const size_t n = std::min(size - written, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
}

bool same_files(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
        if (fa.gcount() == 0) return true;
    }
}

// Lines of the server's log that record a REST it accepted.
int accepted_rests(const std::string& log) {
    int count = 0;
    for (size_t at = 0; (at = log.find("REST ", at)) != std::string::npos; ++at) {
        const size_t blank = log.find(' ', at + 5);
        count += blank != std::string::npos && log.compare(blank, 4, " 350") == 0 ? 1 : 0;
    }
    return count;
}

// The RETR transfers pyftpdlib logged in `log`, how many of them began at byte 0 (their session
// had accepted no REST above 0 before), and where each began. Log lines start
// "127.0.0.1:PORT-[user] ".
struct Transfers {
    int total = 0;
    int from_start = 0;
    std::vector<uint64_t> starts;
};
Transfers logged_transfers(const std::string& log) {
    Transfers out;
    std::map<std::string, uint64_t> resumed; // by session, "127.0.0.1:PORT": the REST taken
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const size_t session_start = line.find("127.0.0.1:");
        const size_t session_end = line.find('-', session_start);
        if (session_start == std::string::npos || session_end == std::string::npos) continue;
        const std::string session = line.substr(session_start, session_end - session_start);
        const size_t rest = line.find("] REST ");
        if (rest != std::string::npos && line.ends_with(" 350"))
            resumed[session] = std::strtoull(line.c_str() + rest + 7, nullptr, 10);
        if (line.find("] RETR ") != std::string::npos && line.find(" completed=") != std::string::npos) {
            ++out.total;
            out.from_start += resumed[session] > 0 ? 0 : 1;
            out.starts.push_back(resumed[session]);
        }
    }
    return out;
}

// Bytes the sidecar of `output` says are on disk; 0 while there is none that loads.
uint64_t saved_bytes(const std::string& output) {
    auto state = load_sidecar(output + ".twk", output);
    uint64_t done = 0;
    if (state) {
        for (const auto& segment : state->segments)
            done += segment->pos > segment->start ? segment->pos - segment->start : 0;
    }
    return done;
}

// The server logs a transfer when it notices its end: true once every session it opened is
// closed, so that an earlier run's transfers are all in its log.
bool sessions_closed(const FtpSite& site, int64_t deadline_ms) {
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
            ++n;
        return n;
    };
    return wait_until(
        [&] {
            const std::string log = site.log();
            return count(log, "FTP session opened") == count(log, "FTP session closed");
        },
        deadline_ms);
}

class FtpPeer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::RealPeers::get().ca_file().empty()) << test::RealPeers::get().failure();
        std::filesystem::create_directories(m_dir.file("root"));
        std::filesystem::create_directories(m_dir.file("dl"));
        test::write_file(m_dir.file("root/data.bin"), test::test_pattern(test::kDataSize));
    }

    // The files the tests' CA issued for localhost and 127.0.0.1, or a self-signed pair.
    static std::vector<std::string> tls_options(const std::string& name = "ec") {
        const std::string dir = std::filesystem::path(test::RealPeers::get().ca_file()).parent_path();
        return {"--tls", dir + "/" + name + ".crt", dir + "/" + name + ".key"};
    }

    void start(FtpSite& site, std::vector<std::string> options, const std::string& log_name) {
        options.insert(options.end(), {"--user", kUser, kPassword});
        ASSERT_TRUE(site.start(m_dir.file("root"), m_dir.file(log_name), options))
            << test::read_file(m_dir.file(log_name));
    }

    // `twk get` with `args` and the URL; its exit code, its output in `log`.
    int twk_get(const std::vector<std::string>& args, const std::string& log) {
        std::vector<std::string> argv = {TWK_BINARY, "get", "-q", "-d", m_dir.file("dl")};
        argv.insert(argv.end(), args.begin(), args.end());
        Child twk(argv, log);
        return twk.wait_exit(kExitDeadlineMs);
    }

    test::TempDir m_dir;
};

HttpRequest request_for(const std::string& url, const std::string& range = "") {
    HttpRequest request;
    request.url = url;
    if (!range.empty()) request.headers.emplace_back("Range", range);
    return request;
}

bool read_all(HttpResponse& response, std::string& body) {
    BodyReader reader(response);
    std::vector<char> piece(65536);
    for (;;) {
        const int n = reader.read(piece.data(), static_cast<int>(piece.size()));
        if (n < 0) return false;
        if (n == 0) return true;
        body.append(piece.data(), static_cast<size_t>(n));
    }
}

TEST_F(FtpPeer, RetrievesWholeFilesAndRangesPlainAndOverFtps) {
    FtpSite plain, secure;
    start(plain, {}, "plain.log");
    start(secure, tls_options(), "ftps.log");
    const std::string data = test::test_pattern(test::kDataSize);
    const std::string named = std::string(kUser) + ":" + kPasswordInUrl + "@";
    struct Case {
        const FtpSite& site;
        std::string scheme, userinfo;
    };
    for (const Case& c : {Case{plain, "ftp", ""}, Case{plain, "ftp", named}, Case{secure, "ftps", ""},
                          Case{secure, "ftps", named}}) {
        const std::string url = c.site.url(c.scheme, "/data.bin", c.userinfo);
        HttpResponse whole;
        std::string error, body;
        ASSERT_TRUE(ftp_retrieve(request_for(url), whole, error)) << url << ": " << error;
        EXPECT_EQ(whole.status, 200) << url;
        EXPECT_EQ(whole.content_length, static_cast<int64_t>(test::kDataSize)) << url;
        ASSERT_TRUE(read_all(whole, body)) << url;
        EXPECT_TRUE(body == data) << url;

        HttpResponse part;
        body.clear();
        ASSERT_TRUE(ftp_retrieve(request_for(url, "bytes=12345-23456"), part, error)) << url << ": " << error;
        EXPECT_EQ(part.status, 206) << url;
        EXPECT_EQ(part.range_start, 12345) << url;
        EXPECT_EQ(part.range_total, static_cast<int64_t>(test::kDataSize)) << url;
        ASSERT_EQ(part.content_length, 23456 - 12345 + 1) << url;
        ASSERT_TRUE(read_all(part, body)) << url;
        EXPECT_TRUE(body == data.substr(12345, 23456 - 12345 + 1)) << url;
    }
    const std::string log = secure.log();
    EXPECT_NE(log.find("USER 'bob' logged in"), std::string::npos) << log;
    EXPECT_NE(log.find("USER 'anonymous' logged in"), std::string::npos) << log;
}

// Through a proxy both the control and the passive data connection are tunnelled: tinyproxy
// by CONNECT, microsocks by SOCKS5 with its user and password (a wrong one is refused, so the
// copies that arrive came through it).
TEST_F(FtpPeer, ControlAndDataGoThroughHttpAndSocksProxies) {
    FtpSite plain, secure;
    start(plain, {}, "plain.log");
    start(secure, tls_options(), "ftps.log");
    const int tinyproxy = test::RealPeers::get().tinyproxy(false);
    const int microsocks = test::RealPeers::get().microsocks(true);
    ASSERT_NE(tinyproxy, 0) << test::RealPeers::get().failure();
    ASSERT_NE(microsocks, 0) << test::RealPeers::get().failure();
    const std::string data = test::test_pattern(test::kDataSize);
    const ProxySpec proxies[] = {
        {kProxyHttp, "127.0.0.1", tinyproxy, "", ""},
        {kProxySocks5, "127.0.0.1", microsocks, test::kProxyUser, test::kProxyPassword},
        {kProxySocks5Remote, "127.0.0.1", microsocks, test::kProxyUser, test::kProxyPassword},
    };
    for (const ProxySpec& proxy : proxies) {
        for (const std::string& url : {plain.url("ftp", "/data.bin"), secure.url("ftps", "/data.bin")}) {
            HttpRequest request = request_for(url, "bytes=100-");
            request.proxy = proxy;
            HttpResponse response;
            std::string error, body;
            ASSERT_TRUE(ftp_retrieve(request, response, error))
                << url << " via " << proxy.port << ": " << error;
            EXPECT_EQ(response.status, 206) << url;
            ASSERT_TRUE(read_all(response, body)) << url;
            EXPECT_TRUE(body == data.substr(100)) << url << " via " << proxy.port;
        }
    }
    const std::string proxy_log = test::read_file(
        std::filesystem::path(test::RealPeers::get().ca_file()).parent_path() / "tinyproxy.log");
    // Two retrievals, each a control and a data connection.
    int tunnels = 0;
    for (size_t at = 0; (at = proxy_log.find("CONNECT 127.0.0.1:", at)) != std::string::npos; ++at)
        ++tunnels;
    EXPECT_EQ(tunnels, 4) << proxy_log;

    HttpRequest refused = request_for(plain.url("ftp", "/data.bin"));
    refused.proxy = {kProxySocks5, "127.0.0.1", microsocks, test::kProxyUser, "wrong"};
    HttpResponse response;
    TransportError error;
    EXPECT_FALSE(ftp_retrieve(refused, response, error));
    EXPECT_EQ(error.text, "socks5 auth rejected");
    EXPECT_TRUE(error.permanent());
    EXPECT_EQ(error.category, FailureCategory::kProxy);
}

TEST_F(FtpPeer, RealRefusalsCarryTheServersWords) {
    FtpSite plain, self_signed;
    start(plain, {}, "plain.log");
    start(self_signed, tls_options("self"), "self.log");
    struct Case {
        std::string url;
        std::string error_start;
    };
    const std::vector<Case> cases = {
        {plain.url("ftp", "/data.bin", "bob:wrong@"), "ftp login failed: 530 "},
        {plain.url("ftp", "/missing.bin"), "ftp RETR failed: 550 "},
        {plain.url("ftps", "/data.bin"), "server refused AUTH TLS (not an FTPS server?): 500 "},
        {self_signed.url("ftps", "/data.bin"), "FTPS control handshake failed (certificate or protocol)"},
    };
    for (const auto& c : cases) {
        HttpResponse response;
        std::string error;
        EXPECT_FALSE(ftp_retrieve(request_for(c.url), response, error)) << c.url;
        EXPECT_EQ(error.substr(0, c.error_start.size()), c.error_start) << c.url << ": " << error;
        EXPECT_FALSE(has_control_byte(error, true)) << error;
    }
    HttpRequest insecure = request_for(self_signed.url("ftps", "/data.bin"));
    insecure.insecure = true;
    HttpResponse response;
    std::string error, body;
    ASSERT_TRUE(ftp_retrieve(insecure, response, error)) << error;
    ASSERT_TRUE(read_all(response, body));
    EXPECT_EQ(body.size(), test::kDataSize);
}

// A file of 256 MiB with 8 connections: ranged (the server accepted REST several times) and
// byte-identical.
TEST_F(FtpPeer, TwkFetchesALargeFileInRangesOverEightConnections) {
    constexpr size_t kSize = 256u << 20;
    write_large_file(m_dir.file("root/large.bin"), kSize);
    FtpSite site;
    start(site, {}, "large.log");
    const std::string log = m_dir.file("twk.log");
    ASSERT_EQ(twk_get({"-x", "8", site.url("ftp", "/large.bin")}, log), 0) << test::read_file(log);
    EXPECT_TRUE(same_files(m_dir.file("root/large.bin"), m_dir.file("dl/large.bin")));
    EXPECT_FALSE(test::file_exists(m_dir.file("dl/large.bin.twk")));
    EXPECT_GE(accepted_rests(site.log()), 2) << site.log();
}

TEST_F(FtpPeer, TwkFetchesAnFtpsFileWithAUserInRanges) {
    constexpr size_t kSize = 64u << 20;
    write_large_file(m_dir.file("root/secure.bin"), kSize);
    FtpSite site;
    start(site, tls_options(), "secure.log");
    const std::string log = m_dir.file("twk.log");
    const std::string url = site.url("ftps", "/secure.bin", std::string(kUser) + ":" + kPasswordInUrl + "@");
    ASSERT_EQ(twk_get({"-x", "8", url}, log), 0) << test::read_file(log);
    EXPECT_TRUE(same_files(m_dir.file("root/secure.bin"), m_dir.file("dl/secure.bin")));
    EXPECT_GE(accepted_rests(site.log()), 2) << site.log();
}

// Four connections of 1 MiB/s each: killed once half the file is saved, the same command then
// fetches only what was missing and ends with the server's bytes.
TEST_F(FtpPeer, TwkKilledMidwayResumesFromItsSidecar) {
    constexpr size_t kSize = 16u << 20;
    write_large_file(m_dir.file("root/resume.bin"), kSize);
    FtpSite site;
    start(site, {"--throttle", "1048576"}, "resume.log");
    const std::string output = m_dir.file("dl/resume.bin");
    const std::vector<std::string> args = {"-x", "4", site.url("ftp", "/resume.bin")};
    uint64_t saved = 0;
    {
        std::vector<std::string> argv = {TWK_BINARY, "get", "-q", "-d", m_dir.file("dl")};
        argv.insert(argv.end(), args.begin(), args.end());
        Child first(argv, m_dir.file("first.log"));
        ASSERT_TRUE(wait_until([&] { return saved_bytes(output) >= kSize / 2; }, kExitDeadlineMs))
            << test::read_file(m_dir.file("first.log"));
        first.stop(SIGKILL);
        saved = saved_bytes(output);
        ASSERT_GE(saved, kSize / 2);
        ASSERT_LT(saved, kSize) << "the first run finished before it was killed";
    }
    ASSERT_TRUE(sessions_closed(site, kExitDeadlineMs)) << site.log();
    const size_t log_offset = site.log().size();
    ASSERT_EQ(twk_get(args, m_dir.file("second.log")), 0) << test::read_file(m_dir.file("second.log"));
    EXPECT_TRUE(same_files(m_dir.file("root/resume.bin"), output));
    EXPECT_FALSE(test::file_exists(output + ".twk"));
    // A run that continues asks for every missing range from where it stopped; a fresh start
    // would fetch from byte 0 again.
    const Transfers second = logged_transfers(site.log().substr(log_offset));
    EXPECT_GE(second.total, 1) << site.log().substr(log_offset);
    EXPECT_EQ(second.from_start, 0) << site.log().substr(log_offset);
}

// A file replaced on the server between a killed run and its rerun, by one of the same size
// (only its modification time tells) or of another size: the rerun starts over and ends with
// the new file's bytes, never a mix of both, and never stuck on "remote file changed".
TEST_F(FtpPeer, TwkStartsOverWhenTheFileWasReplacedOnTheServer) {
    constexpr size_t kSize = 8u << 20;
    FtpSite site;
    start(site, {"--throttle", "1048576"}, "swap.log");
    for (const size_t new_size : {kSize, kSize / 2 + 12345}) {
        const std::string served = m_dir.file("root/swap.bin");
        const std::string output = m_dir.file("dl/swap.bin");
        write_large_file(served, kSize);
        const std::vector<std::string> args = {"-x", "2", site.url("ftp", "/swap.bin")};
        {
            std::vector<std::string> argv = {TWK_BINARY, "get", "-q", "-d", m_dir.file("dl")};
            argv.insert(argv.end(), args.begin(), args.end());
            Child first(argv, m_dir.file("first.log"));
            ASSERT_TRUE(wait_until(
                [&] {
                    auto state = load_sidecar(output + ".twk", output);
                    return state && state->segments.front()->pos >= (1u << 20);
                },
                kExitDeadlineMs))
                << test::read_file(m_dir.file("first.log"));
            first.stop(SIGKILL);
        }
        ASSERT_TRUE(load_sidecar(output + ".twk", output)) << "the first run finished before it was killed";
        // Other bytes, written aside and moved into place, an hour younger.
        const std::string fresh = m_dir.file("root/fresh.tmp");
        {
            std::ofstream out(fresh, std::ios::binary);
            const std::string pattern = test::test_pattern(new_size);
            out.write(pattern.data(), static_cast<std::streamsize>(pattern.size()));
        }
        std::filesystem::last_write_time(fresh,
                                         std::filesystem::last_write_time(served) + std::chrono::hours(1));
        std::filesystem::rename(fresh, served);

        ASSERT_EQ(twk_get(args, m_dir.file("second.log")), 0)
            << new_size << ": " << test::read_file(m_dir.file("second.log"));
        EXPECT_TRUE(same_files(served, output)) << new_size;
        EXPECT_FALSE(test::file_exists(output + ".twk")) << new_size;
        std::filesystem::remove(output);
    }
}

// A download stopped a quarter of the way in, run again under `-o` with other links. One to
// another file (another size, or the same size modified at another time) is refused with the
// reason; the partial file and its sidecar stay as they were and no byte of the file is sent.
// One to the same file (renamed on the server, fetched as another user) continues from the
// sidecar: every transfer begins in a range the file lacks.
TEST_F(FtpPeer, TwkContinuesWithANewLinkOnlyToTheSameFile) {
    constexpr size_t kSize = 16u << 20;
    FtpSite site;
    start(site, {"--throttle", "1048576"}, "refresh.log");
    write_large_file(m_dir.file("root/old.bin"), kSize);
    const std::string output = m_dir.file("dl/kept.bin");
    auto args = [](const std::string& url) {
        return std::vector<std::string>{"-x", "2", "-o", "kept.bin", url};
    };
    {
        std::vector<std::string> argv = {TWK_BINARY, "get", "-q", "-d", m_dir.file("dl")};
        for (const std::string& arg : args(site.url("ftp", "/old.bin")))
            argv.push_back(arg);
        Child first(argv, m_dir.file("first.log"));
        ASSERT_TRUE(wait_until([&] { return saved_bytes(output) >= kSize / 8; }, kExitDeadlineMs))
            << test::read_file(m_dir.file("first.log"));
        first.stop(SIGINT);
    }
    const auto state = load_sidecar(output + ".twk", output);
    ASSERT_TRUE(state) << "the first run finished before it was stopped";
    // The ranges the file holds, [start, pos) of each segment.
    std::vector<std::pair<uint64_t, uint64_t>> held;
    for (const auto& segment : state->segments)
        held.emplace_back(segment->start, segment->pos);
    ASSERT_TRUE(sessions_closed(site, kExitDeadlineMs)) << site.log();
    const std::string partial = test::read_file(output);
    const std::string sidecar = test::read_file(output + ".twk");

    write_large_file(m_dir.file("root/half.bin"), kSize / 2);
    std::filesystem::copy_file(m_dir.file("root/old.bin"), m_dir.file("root/copy.bin"));
    std::filesystem::last_write_time(m_dir.file("root/copy.bin"),
                                     std::filesystem::last_write_time(m_dir.file("root/old.bin")) +
                                         std::chrono::hours(1));
    struct Refusal {
        std::string path, error;
    };
    const Refusal refusals[] = {
        {"/half.bin", "error: the new link's file is " + std::to_string(kSize / 2) +
                          " bytes, the download's is " + std::to_string(kSize)},
        {"/copy.bin", "error: the new link's file was modified at "},
    };
    for (const Refusal& r : refusals) {
        const size_t log_offset = site.log().size();
        const std::string log = m_dir.file("refused.log");
        EXPECT_EQ(twk_get(args(site.url("ftp", r.path)), log), 1) << r.path << ": " << test::read_file(log);
        EXPECT_NE(test::read_file(log).find(r.error), std::string::npos)
            << r.path << ": " << test::read_file(log);
        EXPECT_TRUE(test::read_file(output) == partial) << r.path;
        EXPECT_TRUE(test::read_file(output + ".twk") == sidecar) << r.path;
        ASSERT_TRUE(sessions_closed(site, kExitDeadlineMs)) << site.log();
        EXPECT_EQ(site.log().find(" RETR ", log_offset), std::string::npos) << site.log().substr(log_offset);
    }

    std::filesystem::rename(m_dir.file("root/old.bin"), m_dir.file("root/renamed.bin"));
    const size_t log_offset = site.log().size();
    const std::string log = m_dir.file("continued.log");
    const std::string url = site.url("ftp", "/renamed.bin", std::string(kUser) + ":" + kPasswordInUrl + "@");
    ASSERT_EQ(twk_get(args(url), log), 0) << test::read_file(log);
    EXPECT_NE(test::read_file(log).find("continuing with a new link"), std::string::npos)
        << test::read_file(log);
    EXPECT_TRUE(same_files(m_dir.file("root/renamed.bin"), output));
    EXPECT_FALSE(test::file_exists(output + ".twk"));
    ASSERT_TRUE(sessions_closed(site, kExitDeadlineMs)) << site.log();
    // Every transfer begins where the file lacked bytes: none fetches again what it held.
    const Transfers second = logged_transfers(site.log().substr(log_offset));
    EXPECT_GE(second.total, 1) << site.log().substr(log_offset);
    for (const uint64_t start : second.starts) {
        for (const auto& [from, to] : held)
            EXPECT_FALSE(start >= from && start < to) << start << " in [" << from << ", " << to << ")\n"
                                                      << site.log().substr(log_offset);
    }
}

// A record of the FTPS data channel altered on its way (an HTTP proxy that flips one bit of what
// the data connection carries, the control connection untouched): the read fails in TLS's words,
// and what was handed out before it is the file's own bytes.
TEST_F(FtpPeer, AnAlteredFtpsDataRecordFailsTheReadWithTheReason) {
    FtpSite secure;
    start(secure, tls_options(), "ftps.log");
    const int control = secure.port();
    test::TamperRelay relay(test::TamperRelay::kConnectProxy, 50'000,
                            [control](int port) { return port != control; });
    HttpRequest request = request_for(secure.url("ftps", "/data.bin"));
    request.proxy = {kProxyHttp, "127.0.0.1", relay.port(), "", ""};
    HttpResponse response;
    std::string error;
    ASSERT_TRUE(ftp_retrieve(request, response, error)) << error;
    BodyReader reader(response);
    std::string body;
    std::vector<char> piece(65536);
    int n;
    while ((n = reader.read(piece.data(), static_cast<int>(piece.size()))) > 0)
        body.append(piece.data(), static_cast<size_t>(n));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(reader.failure_reason(), "TLS record authentication failed");
    EXPECT_EQ(relay.tampered(), 1);
    EXPECT_LT(body.size(), 50'000u);
    EXPECT_TRUE(test::test_pattern(test::kDataSize).starts_with(body));
}

} // namespace
} // namespace twk
