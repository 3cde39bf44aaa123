// The control server against real clients: curl for the routes and access rules, Python's
// websockets for the status channel, nginx as the server a start request downloads from.
#include "control/control_server.h"

#include "app/engine_api.h"
#include "control/control_service.h"
#include "control/extension_key.h"
#include "control/feed_frame.h"
#include "control/request.h"
#include "control/status_page.h"
#include "core/task_list.h"
#include "tests/control/process.h"
#include "tests/core/placeholder_driver.h"
#include "tests/support/loopback.h"
#include "tests/support/nginx_site.h"
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace twk {
namespace {

using test::run_process;
using test::wait_until;

constexpr int64_t kDeadlineMs = 20000;
constexpr const char* kExtension = "Origin: chrome-extension://abcdefghijklmnop";

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

struct Reply {
    int status = 0;
    std::string head; // status line and headers
    std::string body;
    std::string header(const std::string& lower_name) const {
        std::string lower = head;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t at = lower.find("\r\n" + lower_name + ":");
        if (at == std::string::npos) return "<none>";
        size_t begin = at + 3 + lower_name.size();
        return trim(head.substr(begin, head.find("\r\n", begin) - begin));
    }
};

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_dir.file("dl"));
        // The extension key goes to a folder of this test's own.
        ::setenv("XDG_RUNTIME_DIR", m_dir.file("run").c_str(), 1);
        m_engine = engine_create(m_dir.file("dl"), 3);
        std::string error;
        m_server = start_control_server(m_engine, "127.0.0.1", 0, &error);
        ASSERT_NE(m_server, nullptr) << error;
        m_token = control_server_token(*m_server);
        ASSERT_TRUE(load_extension_key(m_key, error)) << error;
        m_extension = {kExtension, "Authorization: Bearer " + m_key};
        m_base = "http://127.0.0.1:" + std::to_string(control_server_port(*m_server));
    }
    void TearDown() override {
        stop_control_server(m_server);
        engine_destroy(m_engine);
    }

    // curl with `args` (each "-H" value given bare as "Name: value") against `target`.
    Reply curl(const std::string& method, const std::string& target,
               const std::vector<std::string>& headers = {}, const std::string& body = "",
               const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = m_as;
        argv.insert(argv.end(), {"curl", "-s", "-i", "--max-time", "20", "-X", method});
        for (const std::string& h : headers) {
            argv.push_back("-H");
            argv.push_back(h);
        }
        if (!body.empty() || method == "POST") {
            argv.push_back("--data-binary");
            argv.push_back(body);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(m_base + target);
        test::ProcessResult result = run_process(argv);
        Reply reply;
        size_t split = result.output.find("\r\n\r\n");
        if (result.status != 0 || split == std::string::npos) {
            ADD_FAILURE() << "curl failed (" << result.status << "): " << result.output;
            return reply;
        }
        reply.head = result.output.substr(0, split + 2);
        reply.body = result.output.substr(split + 4);
        reply.status = std::atoi(reply.head.c_str() + reply.head.find(' ') + 1);
        return reply;
    }

    test::ProcessResult ws_client(const std::string& target, const std::string& origin,
                                  const std::string& mode, int count = 1) {
        return run_process({"/usr/bin/python3", TWK_WS_CLIENT,
                            "ws://127.0.0.1:" + std::to_string(control_server_port(*m_server)) + target,
                            origin, mode, std::to_string(count)});
    }

    test::TempDir m_dir;
    Engine* m_engine = nullptr;
    ControlServer* m_server = nullptr;
    std::string m_token;
    std::string m_key;
    std::vector<std::string> m_extension; // an extension's Origin with the key
    std::vector<std::string> m_as;        // what curl runs under (setpriv for another user)
    std::string m_base;
};

TEST_F(ControlServerTest, RoutesAnswerWithTheirExactReplies) {
    struct Case {
        const char* method;
        const char* target;
        std::vector<std::string> headers;
        const char* body;
        int status;
        const char* type;
        const char* reply;
    } cases[] = {
        {"GET", "/ping", {}, "", 200, "text/plain", "ok"},
        {"POST", "/ping", {}, "", 200, "text/plain", "ok"},
        {"GET", "/start", {kExtension}, "", 404, "text/plain", "not found"},
        {"OPTIONS",
         "/start",
         {kExtension, "Access-Control-Request-Method: POST"},
         "",
         404,
         "text/plain",
         "not found"},
        {"POST", "/", {}, "", 404, "text/plain", "not found"},
        {"POST", "/ws", {kExtension}, "", 404, "text/plain", "not found"},
        {"GET", "/nothing", {}, "", 404, "text/plain", "not found"},
        {"GET", "/ws", {}, "", 403, "text/plain", "forbidden"},
        {"GET", "/ws", m_extension, "", 400, "text/plain", "bad ws"},
        {"POST",
         "/start",
         {},
         "{\"url\":\"http://127.0.0.1/x\"}",
         403,
         "application/json",
         "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"POST",
         "/capture",
         {"Origin: https://example.com"},
         "{}",
         403,
         "application/json",
         "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"POST", "/start", m_extension, "[1,2]", 400, "application/json",
         "{\"ok\":false,\"error\":\"bad json\"}"},
        {"POST", "/start", m_extension, "not json", 400, "application/json",
         "{\"ok\":false,\"error\":\"bad json\"}"},
        {"POST", "/capture", m_extension, "", 400, "application/json",
         "{\"ok\":false,\"error\":\"bad json\"}"},
        {"POST", "/start", m_extension, "{}", 400, "application/json",
         "{\"ok\":false,\"error\":\"empty url\"}"},
        {"POST", "/capture", m_extension, "{\"url\":\"  \\t \"}", 400, "application/json",
         "{\"ok\":false,\"error\":\"empty url\"}"},
        {"POST", "/start", m_extension, "{\"url\":\"gopher://127.0.0.1/f\"}", 400, "application/json",
         "{\"ok\":false,\"error\":\"invalid url\"}"},
        {"POST",
         "/retry",
         {},
         "{\"id\":1}",
         403,
         "application/json",
         "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"GET", "/retry", m_extension, "", 404, "text/plain", "not found"},
        {"POST", "/retry", m_extension, "{\"id\":\"1\"}", 400, "application/json",
         "{\"ok\":false,\"error\":\"bad id\"}"},
        {"POST", "/retry", m_extension, "{\"id\":1.5}", 400, "application/json",
         "{\"ok\":false,\"error\":\"bad id\"}"},
        {"POST", "/retry", m_extension, "{\"id\":999}", 200, "application/json", "{\"ok\":true}"},
        {"POST",
         "/stop",
         {},
         "{\"id\":1}",
         403,
         "application/json",
         "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"GET", "/stop", m_extension, "", 404, "text/plain", "not found"},
        {"POST", "/stop", m_extension, "{\"id\":0}", 400, "application/json",
         "{\"ok\":false,\"error\":\"bad id\"}"},
        {"POST", "/stop", m_extension, "{\"id\":999}", 200, "application/json", "{\"ok\":true}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.body);
        Reply reply = curl(c.method, c.target, c.headers, c.body);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("content-type"), c.type);
        EXPECT_EQ(reply.body, c.reply);
        EXPECT_EQ(reply.header("connection"), "close");
        EXPECT_EQ(reply.head.find("Access-Control"), std::string::npos) << reply.head;
    }
}

// The status page's Retry: a download that failed with a 404 runs again once the file is there.
TEST_F(ControlServerTest, RetryRunsAFailedDownloadAgain) {
    test::TempDir site;
    std::filesystem::create_directories(site.file("www"));
    std::filesystem::create_directories(site.file("nginx"));
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(site.file("www"), site.file("nginx"), "", error)) << error;
    const int32_t id = engine_add(m_engine, nginx.url("/late.bin"), 1, "");
    ASSERT_GT(id, 0);
    auto state = [&] { return m_engine->snapshot().tasks.at(0).state; };
    ASSERT_TRUE(test::wait_until([&] { return state() == kError; }, 30000));
    test::write_file(site.file("www/late.bin"), "here now");
    Reply reply = curl("POST", "/retry", m_extension, "{\"id\":" + std::to_string(id) + "}");
    EXPECT_EQ(reply.body, "{\"ok\":true}");
    EXPECT_TRUE(test::wait_until([&] { return state() == kDone; }, 30000));
}

// The status page's Stop: a live recording (a playlist that never ends, served by nginx) ends
// "done", its file holding what was listed.
TEST_F(ControlServerTest, StopEndsALiveRecordingDone) {
    test::TempDir site;
    std::filesystem::create_directories(site.file("www"));
    std::filesystem::create_directories(site.file("nginx"));
    std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n";
    for (int i = 0; i < 2; ++i) {
        playlist += "#EXTINF:2.0,\ns" + std::to_string(i) + ".ts\n";
        test::write_file(site.file("www/s" + std::to_string(i) + ".ts"),
                         std::string(188, static_cast<char>('a' + i)));
    }
    test::write_file(site.file("www/live.m3u8"), playlist);
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(site.file("www"), site.file("nginx"), "", error)) << error;
    const int32_t id = engine_add(m_engine, nginx.url("/live.m3u8"), 1, "");
    ASSERT_GT(id, 0);
    auto task = [&] { return m_engine->snapshot().tasks.at(0); };
    ASSERT_TRUE(test::wait_until([&] { return task().status == "recording" && task().done == 376; }, 30000))
        << task().status;
    Reply reply = curl("POST", "/stop", m_extension, "{\"id\":" + std::to_string(id) + "}");
    EXPECT_EQ(reply.body, "{\"ok\":true}");
    ASSERT_TRUE(test::wait_until([&] { return task().state == kDone; }, 30000)) << task().status;
    EXPECT_EQ(task().status, "done");
    EXPECT_EQ(test::read_file(m_dir.file("dl/live.ts")), std::string(188, 'a') + std::string(188, 'b'));
}

// "/limits": read, changed, and refused with the reason and nothing changed for what is no
// limit; only an allowed caller reaches it.
TEST_F(ControlServerTest, LimitsAreReadChangedAndRefusedWithAReason) {
    const std::string initial = "{\"ok\":true,\"speedLimit\":0,\"downloadsAtOnce\":3}";
    EXPECT_EQ(curl("GET", "/limits", m_extension).body, initial);
    const std::string speed_error =
        "{\"ok\":false,\"error\":\"speedLimit must be a whole number of bytes per second, 0 for none\"}";
    const std::string count_error =
        "{\"ok\":false,\"error\":\"downloadsAtOnce must be a whole number from 1 to 10\"}";
    struct Case {
        std::vector<std::string> headers;
        std::string body;
        int status;
        std::string reply;
    } refused[] = {
        {{}, "{\"speedLimit\":1024}", 403, "{\"ok\":false,\"error\":\"forbidden\"}"},
        {{"Origin: https://example.com"},
         "{\"speedLimit\":1024}",
         403,
         "{\"ok\":false,\"error\":\"forbidden\"}"},
        {m_extension, "", 400, "{\"ok\":false,\"error\":\"bad json\"}"},
        {m_extension, "[1]", 400, "{\"ok\":false,\"error\":\"bad json\"}"},
        {m_extension, "{}", 400, "{\"ok\":false,\"error\":\"give speedLimit or downloadsAtOnce\"}"},
        {m_extension, "{\"speedLimit\":-1}", 400, speed_error},
        {m_extension, "{\"speedLimit\":1.5}", 400, speed_error},
        {m_extension, "{\"speedLimit\":\"1M\"}", 400, speed_error},
        {m_extension, "{\"speedLimit\":null}", 400, speed_error},
        {m_extension, "{\"speedLimit\":1e300}", 400, speed_error},
        {m_extension, "{\"downloadsAtOnce\":0}", 400, count_error},
        {m_extension, "{\"downloadsAtOnce\":11}", 400, count_error},
        {m_extension, "{\"downloadsAtOnce\":2.5}", 400, count_error},
        {m_extension, "{\"downloadsAtOnce\":true}", 400, count_error},
        // One bad member changes nothing, not even the good one beside it.
        {m_extension, "{\"speedLimit\":2048,\"downloadsAtOnce\":0}", 400, count_error},
        {m_extension, "{\"speedLimit\":-5,\"downloadsAtOnce\":2}", 400, speed_error},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.body);
        Reply reply = curl("POST", "/limits", c.headers, c.body);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("content-type"), "application/json");
        EXPECT_EQ(reply.body, c.reply);
    }
    EXPECT_EQ(curl("GET", "/limits", {}).status, 403);
    // A captured download's "maxConcurrent" may not go beyond what "/limits" allows either:
    // the download is refused and nothing changes.
    for (const std::string at_once : {"11", "1e300"}) {
        SCOPED_TRACE(at_once);
        Reply reply = curl("POST", "/capture", m_extension,
                           "{\"url\":\"http://127.0.0.1:9/f.bin\",\"maxConcurrent\":" + at_once + "}");
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.body,
                  "{\"ok\":false,\"error\":\"maxConcurrent must be a whole number from 1 to 10\"}");
    }
    EXPECT_TRUE(engine_task_list(m_engine)->snapshot().entries.empty());
    EXPECT_EQ(m_engine->global_limit(), 0);
    EXPECT_EQ(m_engine->max_concurrent(), 3);

    // The bearer token passes as well; members left out keep their values.
    const std::string bearer = "Authorization: Bearer " + m_token;
    EXPECT_EQ(curl("POST", "/limits", {bearer}, "{\"speedLimit\":524288,\"downloadsAtOnce\":10}").body,
              "{\"ok\":true,\"speedLimit\":524288,\"downloadsAtOnce\":10}");
    EXPECT_EQ(curl("POST", "/limits", {bearer}, "{\"downloadsAtOnce\":1}").body,
              "{\"ok\":true,\"speedLimit\":524288,\"downloadsAtOnce\":1}");
    EXPECT_EQ(m_engine->global_limit(), 524288);
    EXPECT_EQ(m_engine->max_concurrent(), 1);
    EXPECT_EQ(curl("POST", "/limits", {bearer}, "{\"speedLimit\":0}").body,
              "{\"ok\":true,\"speedLimit\":0,\"downloadsAtOnce\":1}");
    EXPECT_EQ(curl("GET", "/limits?token=" + m_token).body,
              "{\"ok\":true,\"speedLimit\":0,\"downloadsAtOnce\":1}");
}

// A limit set through "/limits" holds the downloads nginx serves together under it, and only
// as many run as it allows; taken off, they finish whole.
TEST_F(ControlServerTest, ALimitSetThroughTheApiHolds) {
    constexpr int64_t kLimit = 1 << 20;
    constexpr size_t kSize = 3u << 20; // more than the window lets through
    constexpr int64_t kWindowMs = 3000;
    std::filesystem::create_directories(m_dir.file("www"));
    std::filesystem::create_directories(m_dir.file("nginx"));
    const std::string bytes = test::test_pattern(kSize);
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        test::write_file(m_dir.file(std::string("www/") + name), bytes);
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(m_dir.file("www"), m_dir.file("nginx"), "", error)) << error;
    ASSERT_EQ(curl("POST", "/limits", m_extension, "{\"speedLimit\":1048576,\"downloadsAtOnce\":2}").body,
              "{\"ok\":true,\"speedLimit\":1048576,\"downloadsAtOnce\":2}");
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        ASSERT_GT(engine_add(m_engine, nginx.url(std::string("/") + name), 4, ""), 0);

    auto tasks = engine_task_list(m_engine);
    const auto bytes_now = [&] {
        uint64_t sum = 0;
        for (const auto& entry : tasks->snapshot().entries)
            sum += entry->task->progress.bytes_done();
        return sum;
    };
    const auto moving = [&] {
        int n = 0;
        for (const auto& entry : tasks->snapshot().entries)
            n += entry->task->progress.bytes_done() > 0;
        return n;
    };
    // The window opens once the two that may run move bytes.
    ASSERT_TRUE(wait_until([&] { return moving() == 2; }, kDeadlineMs));
    const auto start = std::chrono::steady_clock::now();
    const uint64_t before = bytes_now();
    std::this_thread::sleep_for(std::chrono::milliseconds(kWindowMs));
    const uint64_t after = bytes_now();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t moved = after - before;
    // At most a second's burst beyond the rate, and the limit is not starving them.
    EXPECT_LE(static_cast<double>(moved), kLimit * (seconds + 1.0))
        << moved << " bytes in " << seconds << " s";
    EXPECT_GE(static_cast<double>(moved), kLimit * seconds * 0.6) << moved << " bytes in " << seconds << " s";
    EXPECT_EQ(moving(), 2) << "the third waits for a free place";
    EXPECT_LE(tasks->running_count(), 2);

    EXPECT_EQ(curl("POST", "/limits", m_extension, "{\"speedLimit\":0}").status, 200);
    ASSERT_TRUE(wait_until([&] { return tasks->all_settled(); }, 60000));
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        EXPECT_TRUE(test::read_file(m_dir.file(std::string("dl/") + name)) == bytes) << name;
}

TEST_F(ControlServerTest, ServesTheBuiltInStatusPage) {
    Reply reply = curl("GET", "/");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(reply.header("content-length"), std::to_string(status_page().size()));
    EXPECT_EQ(reply.body, status_page());
    EXPECT_TRUE(reply.body.starts_with("<!DOCTYPE html>"));
    EXPECT_EQ(reply.header("x-frame-options"), "DENY");
    EXPECT_EQ(reply.header("content-security-policy"), "frame-ancestors 'none'");
}

// A raw client that sends `bytes` and keeps the connection open.
int open_client(int port, const std::string& bytes) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    if (!bytes.empty()) (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return fd;
}

// True once the server has closed `fd` (a read returns the end or an error).
bool closed_by_server(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

TEST_F(ControlServerTest, SlowAndOversizedHeadsCannotSilenceTheServer) {
    const int port = control_server_port(*m_server);
    // Twice the connection cap, each an unfinished head that never goes on.
    std::vector<int> slow;
    for (int i = 0; i < 2 * kMaxRequestConnections; ++i) {
        int fd = open_client(port, "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        ASSERT_GE(fd, 0);
        slow.push_back(fd);
    }
    // A real client still gets its answer, and the server holds no more than the cap.
    Reply reply = curl("GET", "/ping");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "ok");
    EXPECT_LE(control_server_held_requests(*m_server), kMaxRequestConnections);
    // Every slow head ends at its deadline, however the bytes trickle.
    EXPECT_TRUE(wait_until(
        [&] {
            for (int fd : slow)
                if (!closed_by_server(fd)) return false;
            return true;
        },
        kDeadlineMs));
    // A head over the size limit is closed without an answer.
    const int big = open_client(port, "GET /ping HTTP/1.1\r\nX-Pad: " + std::string(kMaxRequestHead, 'a'));
    ASSERT_GE(big, 0);
    EXPECT_TRUE(wait_until([&] { return closed_by_server(big); }, kDeadlineMs));
    slow.push_back(big);
    for (int fd : slow)
        ::close(fd);
}

TEST_F(ControlServerTest, HostMustBeALoopbackName) {
    const std::string port = std::to_string(control_server_port(*m_server));
    const std::string bearer = "Authorization: Bearer " + m_token;
    for (std::string host :
         {"localhost:" + port, std::string("127.0.0.5"), "[::1]:" + port, std::string("LOCALHOST")}) {
        Reply reply = curl("GET", "/ping", {"Host: " + host});
        EXPECT_EQ(reply.status, 200) << host;
        EXPECT_EQ(reply.body, "ok") << host;
    }
    // A name an attacker's DNS points at 127.0.0.1 gets nothing, not even with the token.
    for (std::string host : {std::string("127.attacker.example"), "127.0.0.1.attacker.example:" + port,
                             std::string("example.com")}) {
        Reply reply =
            curl("POST", "/start", {"Host: " + host, bearer, kExtension}, "{\"url\":\"http://127.0.0.1/x\"}");
        EXPECT_EQ(reply.status, 403) << host;
        EXPECT_EQ(reply.header("content-type"), "text/plain");
        EXPECT_EQ(reply.body, "forbidden") << host;
    }
    Reply http10 = curl("GET", "/ping", {"Host:"}, "", {"--http1.0"});
    EXPECT_EQ(http10.status, 200) << http10.head;
    EXPECT_EQ(http10.body, "ok");
    Reply http11 = curl("GET", "/ping", {"Host:"});
    EXPECT_EQ(http11.status, 400);
    EXPECT_EQ(http11.body, "missing host");
    EXPECT_TRUE(engine_task_list(m_engine)->snapshot().entries.empty());
}

TEST_F(ControlServerTest, ForeignOriginsNeedTheToken) {
    const std::string body = "{\"url\":\"http://127.0.0.1:1/a.bin\",\"connections\":2}";
    const std::string foreign = "Origin: https://example.com";
    struct Case {
        std::vector<std::string> headers;
        std::string target;
        bool allowed;
    } cases[] = {
        {{foreign}, "/start", false},
        {{"Origin: http://127.attacker.example:8080"}, "/start", false},
        {{foreign, "Authorization: bEaReR    " + m_token + "   "}, "/start", true},
        {{foreign, "Authorization: Bearer " + m_token + "x"}, "/start", false},
        {{foreign}, "/start?token=" + m_token, true},
        {{foreign}, "/start?token=" + m_token.substr(1), false},
        {{}, "/capture?token=" + m_token, true},
        // A loopback page passes when this server served it (the status page's form), not when
        // another port did: that page may belong to another account.
        {{"Origin: " + m_base}, "/start", true},
        {{"Origin: http://localhost:" + std::to_string(control_server_port(*m_server))}, "/start", true},
        {{"Origin: http://127.0.0.1:9"}, "/start", false},
        {{"Origin: http://127.0.0.1"}, "/start", false},
        {{"Origin: chrome-extension://abc"}, "/capture?token=" + m_key, true},
        {{"Origin: moz-extension://1234"}, "/start", false},
        {{"Origin: moz-extension://1234", "Authorization: Bearer " + m_key}, "/start", true},
    };
    int32_t next_id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target + (c.headers.empty() ? "" : " " + c.headers.back()));
        Reply reply = curl("POST", c.target, c.headers, body);
        if (c.allowed) {
            EXPECT_EQ(reply.status, 200);
            EXPECT_EQ(reply.body, "{\"ok\":true,\"id\":" + std::to_string(next_id++) + ",\"connections\":2}");
        } else {
            EXPECT_EQ(reply.status, 403);
            EXPECT_EQ(reply.body, "{\"ok\":false,\"error\":\"forbidden\"}");
        }
    }
    EXPECT_EQ(engine_task_list(m_engine)->snapshot().entries.size(), static_cast<size_t>(next_id - 1));
    EXPECT_EQ(last_extension_kind(*m_server), kMozExtension);
    EXPECT_GE(last_extension_contact(*m_server), 0);
}

TEST_F(ControlServerTest, RecordsBrowserTagsAndPings) {
    EXPECT_EQ(last_ping(*m_server), -1);
    EXPECT_EQ(last_extension_contact(*m_server), -1);
    for (const char* target : {"/ping?b=chrome", "/ping?x=1&b=firefox", "/ping?b=Edge", "/ping?b=edge1",
                               "/ping?b=abcdefghijklm", "/?b=abcdefghijkl"})
        EXPECT_EQ(curl("GET", target).status, 200) << target;
    EXPECT_GE(last_ping(*m_server), 0);
    EXPECT_EQ(last_extension_contact(*m_server), -1) << "no extension origin came";
    for (const char* seen : {"chrome", "firefox", "abcdefghijkl"}) {
        int64_t age = browser_contact_age(*m_server, seen);
        EXPECT_GE(age, 0) << seen;
        EXPECT_LT(age, 60000) << seen;
    }
    for (const char* unseen : {"edge", "Edge", "edge1", "abcdefghijklm", ""})
        EXPECT_EQ(browser_contact_age(*m_server, unseen), -1) << unseen;
}

TEST_F(ControlServerTest, StartAndCaptureDownloadFromNginx) {
    std::filesystem::create_directories(m_dir.file("www"));
    std::filesystem::create_directories(m_dir.file("nginx"));
    const std::string bytes = test::test_pattern(1 << 20);
    test::write_file(m_dir.file("www/file.bin"), bytes);
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(m_dir.file("www"), m_dir.file("nginx"), "", error)) << error;
    const std::string url = nginx.url("/file.bin");

    Reply plain = curl("POST", "/start", m_extension,
                       "{\"url\":\"" + url + "\",\"connections\":4,\"filename\":\"ignored.bin\"}");
    EXPECT_EQ(plain.body, "{\"ok\":true,\"id\":1,\"connections\":4}");
    Reply capture =
        curl("POST", "/capture", m_extension,
             "{\"url\":\"" + url + "\",\"connections\":6,\"filename\":\"renamed.bin\",\"maxConcurrent\":5}");
    EXPECT_EQ(capture.body, "{\"ok\":true,\"id\":2,\"connections\":8}");

    auto tasks = engine_task_list(m_engine);
    ASSERT_TRUE(wait_until([&] { return tasks->all_settled(); }, kDeadlineMs));
    for (const auto& entry : tasks->snapshot().entries)
        EXPECT_EQ(entry->state.load(), kDone) << entry->task->progress.status();
    EXPECT_TRUE(test::read_file(m_dir.file("dl/file.bin")) == bytes);
    EXPECT_TRUE(test::read_file(m_dir.file("dl/renamed.bin")) == bytes);
    EXPECT_FALSE(test::file_exists(m_dir.file("dl/ignored.bin")));
    EXPECT_EQ(tasks->max_concurrent(), 5);
}

// A browser's download of a file a paused download holds in part is answered with that
// download's id; asked again with "replaces", the paused download continues with the new link.
TEST_F(ControlServerTest, ACaptureMayContinueAPausedDownloadOfTheSameFile) {
    std::filesystem::create_directories(m_dir.file("www"));
    std::filesystem::create_directories(m_dir.file("nginx"));
    const std::string bytes = test::test_pattern(1 << 20);
    test::write_file(m_dir.file("www/file.bin"), bytes);
    test::write_file(m_dir.file("www/small.bin"), "short");
    test::NginxSite nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(m_dir.file("www"), m_dir.file("nginx"), "", error)) << error;
    auto tasks = engine_task_list(m_engine);
    // A first run that learnt the size and was paused before it fetched anything.
    tasks->set_driver([&](const RunContext& task) {
        task.progress.total = bytes.size();
        task.progress.finish(RunEnd::kPaused);
    });
    const int32_t id = engine_add(m_engine, "http://127.0.0.1:1/file.bin", 4, "");
    ASSERT_TRUE(wait_until([&] { return tasks->all_settled(); }, kDeadlineMs));
    tasks->set_driver({});
    const std::string url = nginx.url("/file.bin");
    const std::string ask =
        "{\"url\":\"" + url + "\",\"filename\":\"file.bin\",\"size\":" + std::to_string(bytes.size());

    struct Case {
        std::string path;
        std::string body;
        int status;
        std::string reply;
    } cases[] = {
        {"/capture", ask + "}", 409,
         "{\"ok\":false,\"error\":\"matches a paused download\",\"matches\":" + std::to_string(id) + "}"},
        {"/capture", ask + ",\"replaces\":999}", 404, "{\"ok\":false,\"error\":\"no such download\"}"},
        {"/start", ask + ",\"replaces\":\"1\"}", 400, "{\"ok\":false,\"error\":\"bad id\"}"},
        {"/start", "{\"url\":\"" + nginx.url("/small.bin") + "\",\"replaces\":" + std::to_string(id) + "}",
         409, "{\"ok\":false,\"error\":\"the new link's file is 5 bytes, the download's is 1048576\"}"},
        {"/capture", ask + ",\"replaces\":" + std::to_string(id) + "}", 200,
         "{\"ok\":true,\"id\":" + std::to_string(id) + ",\"replaced\":true}"},
    };
    for (const Case& c : cases) {
        Reply reply = curl("POST", c.path, m_extension, c.body);
        EXPECT_EQ(reply.status, c.status) << c.body;
        EXPECT_EQ(reply.body, c.reply) << c.body;
    }
    ASSERT_TRUE(wait_until([&] { return tasks->all_settled(); }, kDeadlineMs));
    ASSERT_EQ(tasks->snapshot().entries.size(), 1u);
    EXPECT_EQ(tasks->snapshot().entries[0]->state.load(), kDone);
    EXPECT_EQ(tasks->snapshot().entries[0]->task->request.url, url);
    EXPECT_TRUE(test::read_file(m_dir.file("dl/file.bin")) == bytes);
}

// A start request is added the way every task is: the engine's proxy and limit fill in what
// it leaves open, and capture headers go out in the order the request gave them.
TEST_F(ControlServerTest, StartRequestsGetTheEnginesDefaults) {
    engine_task_list(m_engine)->set_driver(
        [](const RunContext& task) { task.progress.finish(RunEnd::kDone); });
    engine_set_options(m_engine, 0, 4096, "socks5h://proxy.test:1080");
    ASSERT_EQ(curl("POST", "/capture", m_extension,
                   "{\"url\":\"http://127.0.0.1:1/a.bin\",\"headers\":{\"X-Z\":\"1\",\"X-A\":\"2\"}}")
                  .status,
              200);
    auto entries = engine_task_list(m_engine)->snapshot().entries;
    ASSERT_EQ(entries.size(), 1u);
    const Task& task = *entries[0]->task;
    EXPECT_EQ(task.request.proxy.host, "proxy.test");
    EXPECT_EQ(task.control.bandwidth_limit, 4096);
    ASSERT_EQ(task.request.headers.size(), 2u);
    EXPECT_EQ(task.request.headers[0].first, "X-Z");
}

TEST_F(ControlServerTest, StartRequestsFollowTheEnginesFolder) {
    std::filesystem::create_directories(m_dir.file("later"));
    engine_task_list(m_engine)->set_driver(
        [](const RunContext& task) { task.progress.finish(RunEnd::kDone); });
    engine_set_download_dir(m_engine, m_dir.file("later"));
    Reply reply = curl("POST", "/start", m_extension, "{\"url\":\"http://127.0.0.1:1/a.bin\"}");
    ASSERT_EQ(reply.status, 200);
    auto entries = engine_task_list(m_engine)->snapshot().entries;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->task->progress.output_path(), m_dir.file("later/a.bin"));
}

TEST_F(ControlServerTest, WebSocketStreamsSnapshotsInEveryLengthForm) {
    auto tasks = engine_task_list(m_engine);
    tasks->set_driver([](const RunContext& task) { task.progress.finish(RunEnd::kDone); });
    // An idle list is 28 bytes: the one-byte length.
    test::ProcessResult idle = ws_client("/ws?token=" + m_key, "chrome-extension://abc", "sizes", 2);
    EXPECT_EQ(idle.output, "28 idle 0\n28 idle 0\n");

    // One task with a long URL: the 16-bit length; a second with a far longer one: the 64-bit.
    for (size_t query : {1000u, 40000u}) {
        std::string body = "{\"url\":\"http://127.0.0.1:1/f.bin?" + std::string(query, 'q') + "\"}";
        ASSERT_EQ(curl("POST", "/start", m_extension, body).status, 200);
        ASSERT_TRUE(wait_until([&] { return tasks->all_settled(); }, kDeadlineMs));
        test::ProcessResult result = ws_client("/ws?token=" + m_token, "https://example.com", "sizes");
        ASSERT_EQ(result.status, 0) << result.output;
        const size_t size = std::stoul(result.output);
        if (query == 1000) {
            EXPECT_GT(size, 126u) << result.output;
            EXPECT_LT(size, 65536u) << result.output;
        } else {
            EXPECT_GT(size, 70000u) << result.output;
        }
        EXPECT_NE(result.output.find(query == 1000 ? " done 1\n" : " done 2\n"), std::string::npos)
            << result.output;
    }
}

// The lines a "watch" client printed so far, one per frame: "<sha256> <first task's status> <tasks>".
std::vector<std::string> watched_frames(const test::BackgroundProcess& client) {
    std::vector<std::string> lines;
    const std::string text = test::read_file(client.log());
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

// Every client of the feed sends the one frame built for the list's revision: two watchers get
// the same bytes, a change reaches both, and keep-alives of a settled list build nothing anew.
TEST_F(ControlServerTest, WebSocketClientsShareOneFramePerRevision) {
    auto tasks = engine_task_list(m_engine);
    tasks->set_driver([](const RunContext& task) { task.progress.finish(RunEnd::kDone); });
    const std::string url =
        "ws://127.0.0.1:" + std::to_string(control_server_port(*m_server)) + "/ws?token=" + m_key;
    test::BackgroundProcess a({"/usr/bin/python3", TWK_WS_CLIENT, url, "chrome-extension://abc", "watch"},
                              m_dir.file("a.log"));
    test::BackgroundProcess b({"/usr/bin/python3", TWK_WS_CLIENT, url, "moz-extension://x", "watch"},
                              m_dir.file("b.log"));
    ASSERT_TRUE(
        wait_until([&] { return !watched_frames(a).empty() && !watched_frames(b).empty(); }, kDeadlineMs));
    EXPECT_EQ(watched_frames(a)[0], watched_frames(b)[0]);
    EXPECT_EQ(control_server_feed_builds(*m_server), 1u);

    ASSERT_EQ(curl("POST", "/start", m_extension, "{\"url\":\"http://127.0.0.1:1/f.bin\"}").status, 200);
    ASSERT_TRUE(wait_until([&] { return tasks->all_settled(); }, kDeadlineMs));
    const auto shows_done = [](const test::BackgroundProcess& client) {
        const std::vector<std::string> lines = watched_frames(client);
        return !lines.empty() && lines.back().ends_with(" done 1");
    };
    ASSERT_TRUE(wait_until([&] { return shows_done(a) && shows_done(b); }, kDeadlineMs))
        << test::read_file(a.log()) << test::read_file(b.log());
    const std::string done = watched_frames(a).back();
    EXPECT_EQ(watched_frames(b).back(), done);

    const uint64_t built = control_server_feed_builds(*m_server);
    const size_t seen_a = watched_frames(a).size();
    const size_t seen_b = watched_frames(b).size();
    ASSERT_TRUE(wait_until(
        [&] { return watched_frames(a).size() >= seen_a + 2 && watched_frames(b).size() >= seen_b + 2; },
        kDeadlineMs));
    for (const test::BackgroundProcess* client : {&a, &b}) {
        const std::vector<std::string> lines = watched_frames(*client);
        for (size_t i = lines.size() - 2; i < lines.size(); ++i)
            EXPECT_EQ(lines[i], done) << test::read_file(client->log());
    }
    EXPECT_EQ(control_server_feed_builds(*m_server), built);
}

// A frame is built again when the revision moves; at the same revision it is kept, unless a
// task runs and the frame is older than asked (its elapsed time moved on).
TEST(FeedFrames, AreBuiltOncePerRevisionAndAgedOnlyWhileATaskRuns) {
    test::TempDir dir;
    test::PlaceholderDriver driver;
    Engine* engine = engine_create(dir.file("dl"), 1);
    engine_task_list(engine)->set_driver(driver.driver());
    FeedFrames feed;

    const FeedFrame empty = feed.frame(*engine, 0);
    EXPECT_EQ(feed.frame(*engine, 0).text, empty.text); // settled: kept at any age
    EXPECT_EQ(feed.builds(), 1u);

    const std::string url = "http://127.0.0.1:1/a.bin";
    ASSERT_GT(engine_add(engine, url, 1, ""), 0);
    ASSERT_TRUE(test::wait_for([&] { return driver.started_count() == 1; }));
    const FeedFrame running = feed.frame(*engine, 60000);
    EXPECT_NE(running.revision, empty.revision);
    EXPECT_NE(running.text->find("\"tasks\":[{"), std::string::npos);
    EXPECT_EQ(feed.frame(*engine, 60000).text, running.text);
    EXPECT_EQ(feed.builds(), 2u);
    const FeedFrame aged = feed.frame(*engine, 0);
    EXPECT_NE(aged.text, running.text);
    EXPECT_EQ(aged.revision, running.revision);
    EXPECT_EQ(feed.builds(), 3u);

    driver.release(url);
    ASSERT_TRUE(test::wait_for([&] { return engine_task_list(engine)->all_settled(); }));
    const FeedFrame done = feed.frame(*engine, 0);
    EXPECT_NE(done.text->find("\"status\":\"done\""), std::string::npos) << *done.text;
    EXPECT_EQ(feed.frame(*engine, 0).text, done.text);
    EXPECT_EQ(feed.builds(), 4u);
    engine_destroy(engine);
}

TEST_F(ControlServerTest, WebSocketNeedsAnAllowedCaller) {
    EXPECT_EQ(ws_client("/ws", "-", "once").output, "refused 403\n");
    EXPECT_EQ(ws_client("/ws", "https://example.com", "once").output, "refused 403\n");
    EXPECT_EQ(ws_client("/ws", "http://127.attacker.example", "once").output, "refused 403\n");
    EXPECT_EQ(ws_client("/ws?token=" + m_token, "-", "once").output, "got one\n");
    // The status page, served by this server, watches; a page on another loopback port does not.
    EXPECT_EQ(ws_client("/ws", "http://localhost:1234", "once").output, "refused 403\n");
    EXPECT_EQ(ws_client("/ws", m_base, "once").output, "got one\n");
}

TEST_F(ControlServerTest, StreamEndsWhenTheClientGoesAndIgnoresClientFrames) {
    test::ProcessResult chatter = ws_client("/ws?token=" + m_key, "moz-extension://x", "chatter");
    EXPECT_EQ(chatter.output, "28\n28\n28\n");
    // The client closed its end: the next send fails and the connection thread ends.
    EXPECT_TRUE(wait_until([&] { return control_server_connections(*m_server) == 0; }, kDeadlineMs));
}

TEST_F(ControlServerTest, AClientsPingAndCloseAreAnswered) {
    EXPECT_EQ(ws_client("/ws?token=" + m_key, "chrome-extension://abc", "close").output,
              "pong\nclosed 1000\n");
    EXPECT_TRUE(wait_until([&] { return control_server_connections(*m_server) == 0; }, kDeadlineMs));
}

TEST_F(ControlServerTest, StopEndsAnOpenStreamWithinASecond) {
    test::BackgroundProcess client(
        {"/usr/bin/python3", TWK_WS_CLIENT,
         "ws://127.0.0.1:" + std::to_string(control_server_port(*m_server)) + "/ws?token=" + m_key,
         "chrome-extension://abc", "hold"},
        m_dir.file("client.log"));
    ASSERT_TRUE(wait_until([&] { return test::read_file(client.log()).find("ready") != std::string::npos; },
                           kDeadlineMs))
        << test::read_file(client.log());
    EXPECT_EQ(control_server_connections(*m_server), 1);
    const auto began = std::chrono::steady_clock::now();
    stop_control_server(m_server);
    m_server = nullptr;
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_EQ(client.wait_exit(kDeadlineMs), 0);
    EXPECT_NE(test::read_file(client.log()).find("closed"), std::string::npos)
        << test::read_file(client.log());
}

// An extension first has the server prove that it holds the key, then proves it holds the key
// itself, with the same nonce; a proof counts once.
TEST_F(ControlServerTest, AnExtensionOriginNeedsAProofOfTheKey) {
    const std::string nonce = "0123456789abcdef0123456789abcdef";
    // The server's answer, checked with openssl rather than our own HMAC.
    const auto hmac = [&](std::string_view label, const std::string& n) {
        test::ProcessResult r =
            run_process({"bash", "-c", "printf %s \"$1\" | openssl dgst -sha256 -hmac \"$2\" -r", "-",
                         std::string(label) + n, m_key});
        return r.output.substr(0, 64);
    };
    Reply answer = curl("GET", "/proof?nonce=" + nonce, {kExtension});
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, hmac("tarnwick-server:", nonce));
    for (const char* bad :
         {"", "0123", "0123456789ABCDEF0123456789ABCDEF", "0123456789abcdef0123456789abcdeg"})
        EXPECT_EQ(curl("GET", std::string("/proof?nonce=") + bad).body, "bad nonce") << bad;

    const std::string body = "{\"url\":\"http://127.0.0.1:1/a.bin\"}";
    const std::string proof = "X-Tarnwick-Proof: " + nonce + "." + hmac("tarnwick-client:", nonce);
    const std::string unasked = "fedcba9876543210fedcba9876543210";
    struct Case {
        std::string what;
        bool asked; // the server answered the nonce just before
        std::vector<std::string> headers;
        std::string target;
        int status;
    } cases[] = {
        {"the Origin alone", true, {kExtension}, "/capture", 403},
        {"a wrong proof",
         true,
         {kExtension, "X-Tarnwick-Proof: " + nonce + "." + std::string(64, '0')},
         "/capture",
         403},
        {"the right proof", true, {kExtension, proof}, "/capture", 200},
        {"the same proof again", false, {kExtension, proof}, "/capture", 403},
        {"a nonce the server never answered",
         false,
         {kExtension, "X-Tarnwick-Proof: " + unasked + "." + hmac("tarnwick-client:", unasked)},
         "/start",
         403},
        {"the server's own answer as proof",
         true,
         {kExtension, "X-Tarnwick-Proof: " + nonce + "." + hmac("tarnwick-server:", nonce)},
         "/start",
         403},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.asked) {
            ASSERT_EQ(curl("GET", "/proof?nonce=" + nonce).status, 200);
        }
        EXPECT_EQ(curl("POST", c.target, c.headers, body).status, c.status);
    }
    EXPECT_EQ(engine_task_list(m_engine)->snapshot().entries.size(), 1u);

    // The WebSocket takes the proof as a query parameter.
    ASSERT_EQ(curl("GET", "/proof?nonce=" + unasked).status, 200);
    EXPECT_EQ(ws_client("/ws?proof=" + unasked + "." + hmac("tarnwick-client:", unasked),
                        "chrome-extension://abc", "once")
                  .output,
              "got one\n");
    EXPECT_EQ(ws_client("/ws?proof=" + unasked + "." + hmac("tarnwick-client:", unasked),
                        "chrome-extension://abc", "once")
                  .output,
              "refused 403\n");
}

// Another account on the machine reaches the port but gets nothing but "/ping", even with the
// bearer token and the key (which it could not read in the first place).
TEST_F(ControlServerTest, AnotherUserGetsNothingButPing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run curl as another user (setpriv --reuid=65534)";
    }
    m_as = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    EXPECT_EQ(curl("GET", "/ping?b=chrome").body, "ok");
    EXPECT_EQ(curl("POST", "/ping").body, "ok");
    const std::string bearer = "Authorization: Bearer " + m_token;
    const std::string key = "Authorization: Bearer " + m_key;
    const std::string body = "{\"url\":\"http://127.0.0.1:1/planted.sh\"}";
    struct Case {
        const char* method;
        std::string target;
        std::vector<std::string> headers;
        const char* type;
        const char* reply;
    } cases[] = {
        {"GET", "/", {}, "text/plain", "forbidden"},
        {"GET",
         "/ws",
         {kExtension, key, "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="},
         "text/plain",
         "forbidden"},
        {"GET",
         "/ws?token=" + m_token,
         {"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="},
         "text/plain",
         "forbidden"},
        {"GET", "/proof?nonce=0123456789abcdef0123456789abcdef", {kExtension}, "text/plain", "forbidden"},
        {"POST", "/start", {bearer}, "application/json", "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"POST", "/capture", {kExtension, key}, "application/json", "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"POST",
         "/capture?token=" + m_token,
         {"Origin: http://127.0.0.1"},
         "application/json",
         "{\"ok\":false,\"error\":\"forbidden\"}"},
        {"POST", "/limits", {bearer}, "text/plain", "forbidden"},
        {"GET", "/nothing", {}, "text/plain", "forbidden"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        Reply reply = curl(c.method, c.target, c.headers, c.method == std::string("POST") ? body : "");
        EXPECT_EQ(reply.status, 403);
        EXPECT_EQ(reply.header("content-type"), c.type);
        EXPECT_EQ(reply.body, c.reply);
    }
    EXPECT_TRUE(engine_task_list(m_engine)->snapshot().entries.empty());
    // The same calls from this user pass.
    m_as.clear();
    EXPECT_EQ(curl("POST", "/start", {bearer}, body).status, 200);
    EXPECT_EQ(curl("GET", "/").status, 200);
}

TEST_F(ControlServerTest, ASecondServerOnATakenPortDoesNotStart) {
    std::string error;
    EXPECT_EQ(start_control_server(m_engine, "127.0.0.1", control_server_port(*m_server), &error), nullptr);
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
    EXPECT_EQ(start_control_server(nullptr, "127.0.0.1", 0, &error), nullptr);
    // The first one still answers.
    EXPECT_EQ(curl("GET", "/ping").body, "ok");
}

TEST(ControlService, TheApplicationsEngineStartsAndStopsItsServer) {
    test::TempDir home;
    const int port = test::free_port();
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.file("run").c_str(), 1);
    ::setenv(kControlPortSwitch, std::to_string(port).c_str(), 1);
    start_engine();
    ASSERT_TRUE(engine_running());
    test::ProcessResult ping = run_process(
        {"curl", "-s", "--max-time", "20", "http://127.0.0.1:" + std::to_string(port) + "/ping?b=edge"});
    EXPECT_EQ(ping.output, "ok");
    EXPECT_GE(application_browser_contact_age("edge"), 0);
    EXPECT_EQ(application_browser_contact_age("chrome"), -1);
    EXPECT_EQ(application_browser_contact_age(""), -1);
    stop_engine();
    EXPECT_FALSE(test::accepts_connections(port));
    EXPECT_EQ(application_browser_contact_age("edge"), -1);
}

TEST(ControlService, ATakenPortLeavesTheEngineRunningWithoutAServer) {
    test::TempDir home;
    test::Listener taken;
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.file("run").c_str(), 1);
    ::setenv(kControlPortSwitch, std::to_string(taken.port()).c_str(), 1);
    start_engine();
    EXPECT_TRUE(engine_running());
    EXPECT_EQ(application_browser_contact_age("chrome"), -1);
    EXPECT_TRUE(start_download("http://127.0.0.1:1/x.bin", 1, 0).ok) << "the engine itself still works";
    stop_engine();
}

} // namespace
} // namespace twk
