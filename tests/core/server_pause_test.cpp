// A server that asks for a pause with Retry-After (429 or 503): no task sends it a request
// before the time, the row says "waiting N s (server asked)", and the download then completes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "core/host_gate.h"
#include "tests/core/driver_fixture.h"
#include "tests/support/script_server.h"

namespace twk {
namespace {

using test::DriverFixture;
using test::ScriptPeer;
using test::ScriptServer;

constexpr size_t kBodySize = 300'000;

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "Sun, 06 Nov 1994 08:49:37 GMT" for `seconds` since 1970.
std::string http_date(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

// Answers the first request with `status` and a Retry-After made by `retry_after` (given the
// wall time it answers at), then serves the body whole to everyone. Records when each request
// arrived and when the pause was to end.
class PausingServer {
public:
    PausingServer(std::string status,
                  std::function<std::pair<std::string, int64_t>(int64_t now_ms)> retry_after)
        : m_body(test::random_bytes(kBodySize, 7)), m_server([this, status, retry_after](ScriptPeer& peer) {
              std::string request;
              while (peer.read_request(request)) {
                  const int64_t now = wall_ms();
                  bool pause = false;
                  std::string value;
                  {
                      std::lock_guard lock(m_lock);
                      m_arrivals.push_back(now);
                      if (!m_paused) {
                          m_paused = true;
                          pause = true;
                          auto [text, until] = retry_after(now);
                          value = text;
                          m_pause_end_ms = until;
                      }
                  }
                  if (pause) {
                      peer.send(test::http_response(status, "Retry-After: " + value + "\r\n", "later"));
                      continue;
                  }
                  peer.send(test::http_response("200 OK", "", m_body));
              }
          }) {}

    std::string url(const std::string& path) const { return m_server.url(path); }
    const std::string& body() const { return m_body; }
    // Requests that arrived after the pause was asked for, and how many came before its end.
    std::pair<size_t, size_t> after_pause() const {
        std::lock_guard lock(m_lock);
        size_t early = 0;
        for (size_t i = 1; i < m_arrivals.size(); ++i)
            early += m_arrivals[i] < m_pause_end_ms ? 1 : 0;
        return {m_arrivals.empty() ? 0 : m_arrivals.size() - 1, early};
    }

private:
    mutable std::mutex m_lock;
    std::vector<int64_t> m_arrivals;
    bool m_paused = false;
    int64_t m_pause_end_ms = 0;
    std::string m_body;
    ScriptServer m_server;
};

class ServerPause : public DriverFixture {};

TEST_F(ServerPause, NoTaskAsksTheHostBeforeTheTimeTheServerGave) {
    struct Case {
        const char* status;
        std::function<std::pair<std::string, int64_t>(int64_t)> retry_after;
    };
    const Case cases[] = {
        {"429 Too Many Requests", [](int64_t now) { return std::make_pair(std::string("2"), now + 2'000); }},
        // A date names a whole second: the pause ends at its start.
        {"503 Service Unavailable",
         [](int64_t now) {
             const int64_t at = now / 1000 + 3;
             return std::make_pair(http_date(at), at * 1000);
         }},
    };
    for (const Case& c : cases) {
        PausingServer server(c.status, c.retry_after);
        const int32_t first = add(server.url("/a.bin"));
        // The row says why the task waits.
        std::string seen;
        ASSERT_TRUE(test::wait_until(
            [&] {
                seen = task(first)->progress.status();
                return seen.starts_with("waiting ");
            },
            10'000))
            << seen;
        EXPECT_TRUE(seen.ends_with(" s (server asked)")) << seen;
        // A task added meanwhile for the same host waits too.
        const int32_t second = add(server.url("/b.bin"));
        EXPECT_EQ(settle(first), "done") << c.status;
        EXPECT_EQ(settle(second), "done") << c.status;
        const auto [asked, early] = server.after_pause();
        EXPECT_GE(asked, 2u) << c.status;
        EXPECT_EQ(early, 0u) << c.status;
        EXPECT_TRUE(test::read_file(dir.file("a.bin")) == server.body());
        EXPECT_TRUE(test::read_file(dir.file("b.bin")) == server.body());
    }
}

// Serves byte ranges of `body` slowly (16 KiB every 5 ms), so that several tasks overlap.
std::unique_ptr<ScriptServer> slow_range_server(std::shared_ptr<const std::string> body) {
    return std::make_unique<ScriptServer>([body](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            uint64_t first = 0, last = body->size() - 1;
            const std::string range = test::request_header(request, "range");
            if (range.starts_with("bytes=")) {
                char* rest = nullptr;
                first = std::strtoull(range.c_str() + 6, &rest, 10);
                if (rest && *rest == '-' && rest[1] != '\0')
                    last = std::min<uint64_t>(std::strtoull(rest + 1, nullptr, 10), last);
            }
            const std::string slice = body->substr(first, last - first + 1);
            const std::string head = "Accept-Ranges: bytes\r\nContent-Range: bytes " + std::to_string(first) +
                                     "-" + std::to_string(last) + "/" + std::to_string(body->size()) + "\r\n";
            const std::string whole = test::http_response("206 Partial Content", head, slice);
            const size_t head_size = whole.size() - slice.size();
            peer.send(whole.substr(0, head_size));
            for (size_t at = 0; at < slice.size(); at += 16384) {
                peer.send(slice.substr(at, 16384));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    });
}

// Three tasks of 8 connections on one host with a budget of 4: never more than 4 connections
// at once, and the tasks added later run beside the first instead of after it.
TEST_F(ServerPause, ThePerHostBudgetIsSharedAndNoTaskWaitsForAnotherToEnd) {
    HostGate::shared().set_budget(4);
    auto body = std::make_shared<const std::string>(test::random_bytes(3 << 20, 11));
    auto server = slow_range_server(body);
    const std::string host = gate_host(server->url("/"));
    // The first task takes the whole budget before the others come.
    std::vector<int32_t> ids = {add(server->url("/a.bin"), "\"connections\":8")};
    ASSERT_TRUE(test::wait_until([&] { return HostGate::shared().held(host) == 4; }, 30'000));
    for (const char* name : {"/b.bin", "/c.bin"})
        ids.push_back(add(server->url(name), "\"connections\":8"));
    uint32_t most = 0;
    bool overlapped = false;
    ASSERT_TRUE(test::wait_until(
        [&] {
            most = std::max(most, HostGate::shared().held(host));
            bool all_moving = true, any_done = false;
            for (int32_t id : ids) {
                all_moving = all_moving && task(id)->progress.bytes_done() > 0;
                any_done = any_done || task(id)->progress.status() == "done";
            }
            overlapped = overlapped || (all_moving && !any_done);
            return any_done;
        },
        60'000));
    for (int32_t id : ids)
        EXPECT_EQ(settle(id), "done");
    EXPECT_LE(most, 4u);
    EXPECT_GE(most, 3u); // the budget was used
    EXPECT_TRUE(overlapped) << "a later task waited for an earlier one to end";
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        EXPECT_TRUE(test::read_file(dir.file(name)) == *body) << name;
    HostGate::shared().set_budget(0);
}

} // namespace
} // namespace twk
