// Stream tasks share a host with plain downloads through the host gate: the host's connection
// budget counts their segment requests too, and a Retry-After on a segment holds the whole host,
// for every task, as long as the server asked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "core/host_gate.h"
#include "net/text.h"
#include "tests/media/stream_engine.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

namespace twk {
namespace {

using test::StreamEngine;
using test::wait_until;

constexpr int kSegments = 12;

std::string bytes_of(size_t size, int seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 7) & 0xFF);
    return out;
}

// One host serving an HLS stream ("/index.m3u8", "/segN.ts") and a ranged file ("/file.bin").
// It counts the requests it is answering at once, notes when each arrived, and answers the
// first request for "/seg3.ts" with a 503 asking for `retry_after` seconds when that is set.
class SharedHost {
public:
    explicit SharedHost(int retry_after = 0) : m_retry_after(retry_after) {}

    std::string url(const std::string& path) const { return m_server.url(path); }
    int most_at_once() const { return m_most; }
    struct Arrival {
        std::string path;
        int64_t ms;
    };
    std::vector<Arrival> arrivals() const {
        std::lock_guard lock(m_lock);
        return m_arrivals;
    }
    // When the 503 was sent; 0 before.
    int64_t refused_ms() const { return m_refused_ms; }
    const std::string file = bytes_of(3 * 1024 * 1024 + 5, 1);

private:
    std::string answer(const std::string& request, const std::string& path) {
        if (path == "/index.m3u8") {
            std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n";
            for (int n = 0; n < kSegments; ++n)
                text += "#EXTINF:1.0,\nseg" + std::to_string(n) + ".ts\n";
            return test::http_response("200 OK", "", text + "#EXT-X-ENDLIST\n");
        }
        if (path.starts_with("/seg")) {
            if (path == "/seg3.ts" && m_retry_after > 0 && m_refused_ms == 0) {
                m_refused_ms = monotonic_ms();
                return test::http_response("503 Service Unavailable",
                                           "Retry-After: " + std::to_string(m_retry_after) + "\r\n", "busy");
            }
            return test::http_response("200 OK", "", bytes_of(150'000, std::atoi(path.c_str() + 4)));
        }
        if (path != "/file.bin") return test::http_response("404 Not Found", "", "missing");
        const std::string range = test::request_header(request, "range");
        if (!range.starts_with("bytes="))
            return test::http_response("200 OK", "Accept-Ranges: bytes\r\n", file);
        char* rest = nullptr;
        const uint64_t first = std::strtoull(range.c_str() + 6, &rest, 10);
        uint64_t last = file.size() - 1;
        if (rest && *rest == '-' && rest[1] != '\0')
            last = std::min<uint64_t>(std::strtoull(rest + 1, nullptr, 10), last);
        return test::http_response("206 Partial Content",
                                   "Accept-Ranges: bytes\r\nContent-Range: bytes " + std::to_string(first) +
                                       "-" + std::to_string(last) + "/" + std::to_string(file.size()) +
                                       "\r\n",
                                   file.substr(first, last - first + 1));
    }

    void serve(test::ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const std::string path = test::request_path(request);
            {
                std::lock_guard lock(m_lock);
                m_arrivals.push_back({path, monotonic_ms()});
                m_most = std::max(m_most.load(), ++m_now);
            }
            const std::string reply = answer(request, path);
            // Answers take a moment, so that requests overlap.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            {
                std::lock_guard lock(m_lock);
                --m_now;
            }
            peer.send(reply);
        }
    }

    const int m_retry_after;
    mutable std::mutex m_lock;
    std::vector<Arrival> m_arrivals;
    int m_now = 0;
    std::atomic<int> m_most{0};
    std::atomic<int64_t> m_refused_ms{0};
    test::ScriptServer m_server{[this](test::ScriptPeer& peer) { serve(peer); }};
};

class StreamGate : public ::testing::Test {
protected:
    void TearDown() override { HostGate::shared().set_budget(0); }
    test::TempDir dir;
};

TEST_F(StreamGate, APlainAndAStreamTaskTogetherKeepToTheHostsBudget) {
    HostGate::shared().set_budget(3);
    SharedHost host;
    StreamEngine engine(dir.path());
    const int32_t plain = engine.add(host.url("/file.bin"), 8);
    const int32_t stream = engine.add(host.url("/index.m3u8"), 8);
    ASSERT_TRUE(engine.wait_settled(plain));
    ASSERT_TRUE(engine.wait_settled(stream));
    EXPECT_EQ(engine.entry(plain)->task->progress.status(), "done");
    EXPECT_EQ(engine.entry(stream)->task->progress.status(), "done");
    EXPECT_TRUE(test::read_file(dir.file("file.bin")) == host.file);
    EXPECT_LE(host.most_at_once(), 3);
}

// One connection at a time to the host: whatever request follows the 503 was sent after its
// answer was read, so none may arrive before the time the server asked for.
TEST_F(StreamGate, ARetryAfterOnASegmentHoldsTheHostForEveryTask) {
    HostGate::shared().set_budget(1);
    SharedHost host(2);
    StreamEngine engine(dir.path());
    const int32_t stream = engine.add(host.url("/index.m3u8"), 2);
    ASSERT_TRUE(wait_until([&] { return host.refused_ms() != 0; }, 20'000));
    const int32_t plain = engine.add(host.url("/file.bin"), 4);
    ASSERT_TRUE(engine.wait_settled(stream));
    ASSERT_TRUE(engine.wait_settled(plain));
    EXPECT_EQ(engine.entry(stream)->task->progress.status(), "done");
    EXPECT_EQ(engine.entry(plain)->task->progress.status(), "done");
    const int64_t refused = host.refused_ms();
    bool plain_asked = false;
    for (const auto& arrival : host.arrivals()) {
        if (arrival.ms <= refused) continue;
        EXPECT_GE(arrival.ms - refused, 2000) << arrival.path;
        plain_asked = plain_asked || arrival.path == "/file.bin";
    }
    EXPECT_TRUE(plain_asked);
}

} // namespace
} // namespace twk
