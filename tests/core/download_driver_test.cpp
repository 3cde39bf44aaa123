// The download driver against a scriptable loopback server that produces the faults no real
// server does: cut bodies, throttling bursts, unknown totals, wrong ranges, silence.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/naming.h"
#include "core/segment_worker.h"
#include "core/sidecar.h"
#include "net/checksum.h"
#include "tests/core/driver_fixture.h"
#include "tests/support/script_server.h"

namespace twk {
namespace {

using test::DriverFixture;
using test::ScriptPeer;
using test::ScriptServer;

// How the server answers one request.
enum class Reply {
    kServe,           // 206 for a Range request (200 without one), the exact bytes
    kCut,             // the head and part of the body, then the connection closes
    kUnavailable,     // 503
    kTooMany,         // 429
    kWrongStart,      // a 206 whose Content-Range starts one byte late
    kUnknownTotal,    // a 206 with Content-Range total "*"
    kWholeAdvertised, // 200 with the whole body and "Accept-Ranges: bytes"
    kWholeUntilClose, // 200, no length: the body ends when the connection closes
    kPartThenSilence, // the head and a part of the body, then nothing more
    kSilence,         // no answer at all
    kTrickle,         // the head, then 100 bytes every 50 ms for a second
};

// Decides the reply to request number n (counted over all connections).
using Script = std::function<Reply(int n, const std::string& request)>;

struct Range {
    uint64_t first = 0;
    uint64_t last = 0;
    bool ranged = false;
};

Range parse_range(const std::string& request, uint64_t size) {
    Range r{0, size - 1, false};
    std::string value = test::request_header(request, "range");
    if (!value.starts_with("bytes=")) return r;
    r.ranged = true;
    char* rest = nullptr;
    r.first = std::strtoull(value.c_str() + 6, &rest, 10);
    if (rest && *rest == '-' && rest[1] != '\0')
        r.last = std::min<uint64_t>(std::strtoull(rest + 1, nullptr, 10), size - 1);
    return r;
}

std::string content_range(uint64_t first, uint64_t last, const std::string& total) {
    return "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + total +
           "\r\n";
}

void wait_for_close(ScriptPeer& peer) {
    std::string ignored;
    while (peer.read_request(ignored)) {
    }
}

// Serves `body` with byte ranges, replying to each request as `script` says. `headers` (lines
// ending in CRLF) go into every served reply.
std::unique_ptr<ScriptServer> range_server(std::shared_ptr<const std::string> body, Script script,
                                           std::string headers = "") {
    auto counter = std::make_shared<std::atomic<int>>(0);
    return std::make_unique<ScriptServer>([body, script, counter, headers](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const Reply reply = script(counter->fetch_add(1), request);
            const Range r = parse_range(request, body->size());
            const std::string total = std::to_string(body->size());
            const std::string slice = body->substr(r.first, r.last - r.first + 1);
            const std::string ranged_head = r.ranged ? content_range(r.first, r.last, total) : "";
            const std::string status = r.ranged ? "206 Partial Content" : "200 OK";
            switch (reply) {
            case Reply::kServe:
                peer.send(
                    test::http_response(status, "Accept-Ranges: bytes\r\n" + headers + ranged_head, slice));
                break;
            case Reply::kTrickle: {
                std::string whole = test::http_response(status, ranged_head, slice);
                peer.send(whole.substr(0, whole.size() - slice.size()));
                for (size_t at = 0; at < 2000 && at < slice.size(); at += 100) {
                    peer.send(slice.substr(at, 100));
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                return;
            }
            case Reply::kCut:
            case Reply::kPartThenSilence: {
                std::string whole = test::http_response(status, ranged_head, slice);
                peer.send(whole.substr(0, whole.size() - slice.size() + slice.size() / 3));
                if (reply == Reply::kCut) return;
                wait_for_close(peer);
                return;
            }
            case Reply::kUnavailable:
                peer.send(test::http_response("503 Service Unavailable", "", "busy"));
                break;
            case Reply::kTooMany:
                peer.send(test::http_response("429 Too Many Requests", "", "slow down"));
                break;
            case Reply::kWrongStart:
                peer.send(
                    test::http_response(status, content_range(r.first + 1, r.last, total), slice.substr(1)));
                break;
            case Reply::kUnknownTotal:
                peer.send(test::http_response(status, content_range(r.first, r.last, "*"), slice));
                break;
            case Reply::kWholeAdvertised:
                peer.send(test::http_response("200 OK", "Accept-Ranges: bytes\r\n", *body));
                break;
            case Reply::kWholeUntilClose:
                peer.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + *body);
                return;
            case Reply::kSilence: wait_for_close(peer); return;
            }
        }
    });
}

class ScriptedDownload : public DriverFixture {
protected:
    void SetUp() override {
        DriverFixture::SetUp();
        settings.io_timeout_ms = 2'000;
        settings.connect_timeout_ms = 2'000;
    }
    std::shared_ptr<const std::string> make_body(size_t size, uint64_t seed) {
        body = std::make_shared<const std::string>(test::random_bytes(size, seed));
        return body;
    }
    std::string output(const std::string& name) const { return test::read_file(dir.file(name)); }
    int count_requests(const ScriptServer& server, const std::string& range_prefix) const {
        int n = 0;
        for (const auto& request : server.requests())
            n += test::request_header(request, "range").starts_with(range_prefix);
        return n;
    }

    std::shared_ptr<const std::string> body;
};

TEST_F(ScriptedDownload, ConnectionsCutMidBodyAtRandomStillGiveTheExactBytes) {
    auto server = range_server(make_body((3u << 20) + 101, 1), [](int n, const std::string&) {
        static std::mutex lock;
        static uint32_t x = 12345;
        std::lock_guard guard(lock);
        x = x * 1103515245 + 12345;
        return n < 40 && (x >> 16) % 10 < 4 ? Reply::kCut : Reply::kServe;
    });
    // Beside the output: a user's file that happens to end in ".twk.tmp", and what a save of ours
    // killed mid-write left. The run clears only the latter.
    test::write_file(dir.file("cut.bin.twk.tmp"), "the user's");
    test::write_file(dir.file("cut.bin.twk.tmp-Ab12Cd"), "TWK1");
    ::chmod(dir.file("cut.bin.twk.tmp-Ab12Cd").c_str(), 0600);
    int32_t id = add(server->url("/cut.bin"), "\"connections\":8");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("cut.bin") == *body);
    EXPECT_EQ(output("cut.bin.twk.tmp"), "the user's");
    EXPECT_FALSE(test::file_exists(dir.file("cut.bin.twk.tmp-Ab12Cd")));
}

TEST_F(ScriptedDownload, ThrottlingBurstsHalveTheTargetAndTheDownloadStillCompletes) {
    auto server = range_server(make_body(6u << 20, 2), [](int n, const std::string&) {
        if (n >= 1 && n <= 6) return Reply::kUnavailable;
        if (n >= 7 && n <= 12) return Reply::kTooMany;
        return Reply::kServe;
    });
    // Held to 128 KiB/s, so that the probe cannot fetch half the file (24 s) before the workers
    // were refused and the controller took a window, however slow the machine; once the halving
    // was seen the limit goes and the download completes.
    int32_t id = add(server->url("/busy.bin"), "\"connections\":8,\"bandwidthLimit\":131072");
    ASSERT_GT(id, 0);
    std::shared_ptr<TaskEntry> e = entry(id);
    uint64_t highest = 0;
    bool halved = false;
    test::wait_until(
        [&] {
            const uint64_t target = e->task->progress.active_target;
            highest = std::max(highest, target);
            // Only while half the file remains: near the end the connection cap lowers it too.
            const bool early = e->task->progress.bytes_done() < body->size() / 2;
            halved = halved ||
                     (early && highest >= 2 && target <= highest / 2 && e->task->progress.throttle_hits > 0);
            return halved || (e->state != kQueued && e->state != kRunning);
        },
        60'000);
    e->task->control.bandwidth_limit = 0;
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("busy.bin") == *body);
    EXPECT_GE(task(id)->progress.throttle_hits, 12u);
    EXPECT_TRUE(halved) << "highest target " << highest;
}

TEST_F(ScriptedDownload, A206WithUnknownTotalIsRefused) {
    auto server =
        range_server(make_body(700'000, 3), [](int, const std::string&) { return Reply::kUnknownTotal; });
    int32_t id = add(server->url("/star.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: server did not report total size (206 with unknown Content-Range total)");
}

TEST_F(ScriptedDownload, A200AdvertisingRangesIsAskedTwiceMoreThenTakenWhole) {
    auto server =
        range_server(make_body(800'000, 4), [](int, const std::string&) { return Reply::kWholeAdvertised; });
    int32_t id = add(server->url("/whole.bin"), "\"connections\":8");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("whole.bin") == *body);
    EXPECT_EQ(server->requests().size(), 3u);
    EXPECT_EQ(count_requests(*server, "bytes=0-"), 3);
    EXPECT_FALSE(task(id)->progress.supports_range); // taken as one whole stream
}

TEST_F(ScriptedDownload, A200WithoutLengthEndsAtTheEndOfTheBody) {
    auto server =
        range_server(make_body(300'000, 5), [](int, const std::string&) { return Reply::kWholeUntilClose; });
    int32_t id = add(server->url("/stream.bin"), "\"connections\":8");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("stream.bin") == *body);
    EXPECT_EQ(task(id)->progress.total, body->size());
}

TEST_F(ScriptedDownload, AServerThatStopsAnsweringEndsTheTaskAsStalled) {
    settings.io_timeout_ms = 300;
    settings.stall_window_ms = 1'500;
    auto server = range_server(make_body(2u << 20, 6), [](int n, const std::string&) {
        return n == 0 ? Reply::kPartThenSilence : Reply::kSilence;
    });
    int32_t id = add(server->url("/silent.bin"), "\"connections\":8");
    ASSERT_GT(id, 0);
    // The Part's words, then the last cause.
    EXPECT_EQ(settle(id), "error: stalled (no progress): no response headers");
    EXPECT_TRUE(test::file_exists(dir.file("silent.bin.twk"))); // ready to resume
}

TEST_F(ScriptedDownload, ANonGetRequestThatFailsOnceIsNotRetried) {
    auto server = range_server(make_body(1000, 7), [](int n, const std::string&) {
        return n == 0 ? Reply::kUnavailable : Reply::kServe;
    });
    int32_t id = add(server->url("/post.bin"), "\"method\":\"POST\",\"postData\":\"a=1\"");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: request failed (non-GET, not retried): http 503");
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_TRUE(server->requests()[0].starts_with("POST /post.bin"));
    EXPECT_EQ(test::request_header(server->requests()[0], "range"), "");
}

TEST_F(ScriptedDownload, A206WithTheWrongStartIsAskedAgain) {
    std::atomic<bool> sent_wrong{false};
    auto server = range_server(make_body(3u << 20, 8), [&](int, const std::string& request) {
        std::string range = test::request_header(request, "range");
        if (range != "bytes=0-" && !sent_wrong.exchange(true)) return Reply::kWrongStart;
        return Reply::kServe;
    });
    int32_t id = add(server->url("/late.bin"), "\"connections\":8,\"bandwidthLimit\":3145728");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(sent_wrong);
    EXPECT_TRUE(output("late.bin") == *body);
}

TEST_F(ScriptedDownload, AFinishedFileLargerThanTotalIsCutToTotal) {
    auto server = range_server(make_body(600'000, 9), [](int, const std::string&) { return Reply::kServe; });
    // An interrupted run left a longer file (its tail is garbage) and a sidecar with half done.
    std::string on_disk = body->substr(0, 300'000) + std::string(400'000, 'x');
    test::write_file(dir.file("long.bin"), on_disk);
    ResumeState state;
    state.total = body->size();
    state.segments = {make_segment(0, 300'000, 300'000), make_segment(300'000, 300'000, body->size())};
    test::write_file(dir.file("long.bin.twk"), sidecar_image(state));

    int32_t id = add(server->url("/long.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("long.bin") == *body);
    EXPECT_FALSE(test::file_exists(dir.file("long.bin.twk")));
    EXPECT_EQ(count_requests(*server, "bytes=0-"), 0); // only the missing half was fetched
}

TEST_F(ScriptedDownload, ADribblingConnectionIsAbandonedForAFreshOne) {
    settings.dribble_window_ms = 300;
    settings.body_read_bound_ms = 50;
    auto server = range_server(make_body(700'000, 10), [](int n, const std::string&) {
        return n == 0 ? Reply::kTrickle : Reply::kServe;
    });
    int32_t id = add(server->url("/slow.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("slow.bin") == *body);
    ASSERT_GE(server->requests().size(), 2u);
    EXPECT_EQ(count_requests(*server, "bytes=0-"), 1);
}

// The server names the file, and an interrupted run of that name is already in the folder: the
// task moves there and fetches only what that run is missing.
TEST_F(ScriptedDownload, AnInterruptedRunUnderTheServersNameIsContinued) {
    auto server = range_server(
        make_body(900'000, 11), [](int, const std::string&) { return Reply::kServe; },
        "Content-Disposition: attachment; filename=\"real.bin\"\r\n");
    test::write_file(dir.file("real.bin"), body->substr(0, 400'000) + std::string(500'000, '\0'));
    ResumeState state;
    state.total = body->size();
    state.segments = {make_segment(0, 400'000, body->size())};
    test::write_file(dir.file("real.bin.twk"), sidecar_image(state));

    int32_t id = add(server->url("/get?id=5"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_EQ(task(id)->progress.name(), "real.bin");
    EXPECT_TRUE(output("real.bin") == *body);
    EXPECT_FALSE(test::file_exists(dir.file("real.bin.twk")));
    EXPECT_EQ(count_requests(*server, "bytes=0-"), 1); // the probe only
    EXPECT_EQ(count_requests(*server, "bytes=400000-"), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1); // no leftovers
}

// Every answer carries a new ETag and a mismatching If-Range gets the whole file: each pass
// finds its validator stale. The run gives up after a few fresh starts instead of looping.
TEST_F(ScriptedDownload, AValidatorThatChangesWithEveryAnswerEndsTheRun) {
    make_body(3u << 20, 12);
    auto counter = std::make_shared<std::atomic<int>>(0);
    ScriptServer server([this, counter](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const std::string etag = "ETag: \"v" + std::to_string(counter->fetch_add(1)) + "\"\r\n";
            const Range r = parse_range(request, body->size());
            if (!test::request_header(request, "if-range").empty()) {
                peer.send(test::http_response("200 OK", "Accept-Ranges: bytes\r\n" + etag, *body));
                continue;
            }
            peer.send(test::http_response("206 Partial Content",
                                          etag + content_range(r.first, r.last, std::to_string(body->size())),
                                          body->substr(r.first, r.last - r.first + 1)));
        }
    });
    int32_t id = add(server.url("/unstable.bin"), "\"connections\":8,\"bandwidthLimit\":3145728");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: remote file changed since last run");
}

// After a redirect every further request goes straight to where it led, and the file takes the
// name the final URL gives it.
TEST_F(ScriptedDownload, TheFinalUrlOfARedirectIsUsedForTheRestOfTheDownload) {
    make_body(3u << 20, 13);
    ScriptServer server([this](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            if (test::request_path(request) == "/start") {
                peer.send(test::http_response("302 Found", "Location: /files/real.iso\r\n", ""));
                continue;
            }
            const Range r = parse_range(request, body->size());
            peer.send(test::http_response("206 Partial Content",
                                          content_range(r.first, r.last, std::to_string(body->size())),
                                          body->substr(r.first, r.last - r.first + 1)));
        }
    });
    int32_t id = add(server.url("/start"), "\"connections\":8,\"bandwidthLimit\":3145728");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_EQ(task(id)->progress.effective_url(), server.url("/files/real.iso"));
    EXPECT_EQ(task(id)->progress.name(), "real.iso");
    EXPECT_TRUE(output("real.iso") == *body);
    int redirected = 0;
    for (const auto& request : server.requests())
        redirected += test::request_path(request) == "/start";
    EXPECT_EQ(redirected, 1);
    EXPECT_GT(server.requests().size(), 3u);
}

// --- failing fast, and leaving a resumable file or nothing ---

// Answers every request with `reply` (a whole response).
std::unique_ptr<ScriptServer> fixed_server(std::string reply) {
    return std::make_unique<ScriptServer>([reply](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request))
            peer.send(reply);
    });
}

size_t files_in(const std::string& folder) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

// What no retry can mend ends the task after its first request, with the server's or the
// transport's own words, and leaves no file behind. The stall window is long, so a retried
// failure could not end in time.
TEST_F(ScriptedDownload, AFailureNoRetryCanMendEndsAtOnceWithItsReason) {
    settings.stall_window_ms = 60'000;
    struct Case {
        std::string reply;
        std::string status;
    } cases[] = {
        {test::http_response("404 Not Found", "", "no"), "error: http 404"},
        {test::http_response("403 Forbidden", "", "no"), "error: http 403"},
        {test::http_response("416 Range Not Satisfiable", "", ""), "error: http 416"},
        {test::http_response("501 Not Implemented", "", ""), "error: http 501"},
        {test::http_response("200 OK", "Content-Encoding: gzip\r\n", "zz"),
         "error: unsupported Content-Encoding: gzip"},
        {test::http_response("302 Found", "Location: /loop\r\n", ""), "error: too many redirects"},
        {test::http_response("302 Found", "Location: file:///etc/passwd\r\n", ""),
         "error: bad url: file:///etc/passwd"},
    };
    for (const Case& c : cases) {
        auto server = fixed_server(c.reply);
        int32_t id = add(server->url("/loop"), "\"filename\":\"f.bin\"");
        ASSERT_GT(id, 0);
        EXPECT_EQ(settle(id, 10'000), c.status);
        const bool redirect = c.reply.starts_with("HTTP/1.1 302");
        EXPECT_EQ(server->requests().size(),
                  redirect && c.status.find("many") != std::string::npos ? 11u : 1u)
            << c.status;
        EXPECT_EQ(files_in(dir.path()), 0u) << c.status;
    }
}

TEST_F(ScriptedDownload, AHostThatDoesNotResolveEndsAtOnce) {
    settings.stall_window_ms = 60'000;
    int32_t id = add("http://no-such-host.invalid/f.bin");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id, 10'000), "error: connect failed: no-such-host.invalid (name does not resolve)");
    EXPECT_EQ(files_in(dir.path()), 0u);
}

// Beside its text, a failed task says what the failure was about.
TEST_F(ScriptedDownload, AFailedTaskCarriesTheCategoryOfItsFailure) {
    settings.stall_window_ms = 300;
    auto refusing = fixed_server(test::http_response("404 Not Found", "", "no"));
    auto gzip = fixed_server(test::http_response("200 OK", "Content-Encoding: gzip\r\n", "zz"));
    // Bytes that are no TLS record, and the connection closed.
    ScriptServer plain([](ScriptPeer& peer) { peer.send(std::string(64, 'x')); });
    auto proxy = fixed_server(test::http_response("403 Forbidden", "", "no tunnels"));
    struct Case {
        std::string url;
        std::string members;
        FailureCategory category;
    } cases[] = {
        {refusing->url("/a.bin"), "", FailureCategory::kHttpStatus},
        {gzip->url("/b.bin"), "", FailureCategory::kProtocol},
        {"http://no-such-host.invalid/c.bin", "", FailureCategory::kConnect},
        {"https://127.0.0.1:" + std::to_string(plain.port()) + "/d.bin", "", FailureCategory::kTls},
        {"https://example.test/e.bin", "\"proxy\":\"http://127.0.0.1:" + std::to_string(proxy->port()) + "\"",
         FailureCategory::kProxy},
    };
    for (const Case& c : cases) {
        const int32_t id = add(c.url, c.members);
        ASSERT_GT(id, 0) << c.url;
        EXPECT_TRUE(settle(id, 10'000).starts_with("error")) << c.url;
        EXPECT_EQ(engine_task_failure(engine, id), c.category)
            << c.url << ": " << task(id)->progress.status();
    }
    // A local file that cannot be written is an I/O failure.
    test::write_file(dir.file("sub"), "a file where a folder should be");
    engine_set_download_dir(engine, dir.file("sub"));
    const int32_t id = add(refusing->url("/f.bin"));
    EXPECT_TRUE(settle(id).starts_with("error: cannot open output file"));
    EXPECT_EQ(engine_task_failure(engine, id), FailureCategory::kIo);
    EXPECT_EQ(engine_task_failure(engine, 9999), FailureCategory::kNone);
}

// A 5xx or a refused connection keeps the retries; the final status names the last cause.
TEST_F(ScriptedDownload, RetriedFailuresNameTheirLastCauseWhenTheyEnd) {
    settings.stall_window_ms = 300;
    auto unavailable = fixed_server(test::http_response("503 Service Unavailable", "", "busy"));
    int32_t id = add(unavailable->url("/busy.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: stalled (no progress): http 503");
    EXPECT_GE(unavailable->requests().size(), 3u);

    const int port = unavailable->port();
    unavailable.reset(); // nothing listens there now
    id = add("http://127.0.0.1:" + std::to_string(port) + "/refused.bin");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: stalled (no progress): connect failed: 127.0.0.1 (connection refused)");
    EXPECT_EQ(files_in(dir.path()), 0u);
}

// A server without ranges cuts the body: the retry starts at byte 0 again and the copy is
// exact; cut every time, the task ends after exactly three requests and leaves nothing (not a
// preallocated file of zeros).
TEST_F(ScriptedDownload, ASingleStreamCutMidBodyStartsAgainAndGivesUpAfterThreeRequests) {
    make_body(400'000, 21);
    for (const bool always : {false, true}) {
        auto served = std::make_shared<std::atomic<int>>(0);
        ScriptServer server([this, always, served](ScriptPeer& peer) {
            std::string request;
            while (peer.read_request(request)) {
                const std::string whole = test::http_response("200 OK", "", *body);
                if (always || served->fetch_add(1) == 0) {
                    peer.send(whole.substr(0, whole.size() - body->size() / 2));
                    return;
                }
                peer.send(whole);
            }
        });
        int32_t id = add(server.url(always ? "/cut.bin" : "/once.bin"));
        ASSERT_GT(id, 0);
        if (!always) {
            EXPECT_EQ(settle(id), "done");
            EXPECT_TRUE(output("once.bin") == *body);
            EXPECT_EQ(server.requests().size(), 2u);
            continue;
        }
        EXPECT_EQ(settle(id), "error: retries exhausted: connection lost mid-body");
        EXPECT_EQ(server.requests().size(), 3u);
        EXPECT_FALSE(test::file_exists(dir.file("cut.bin")));
    }
}

// A sidecar without a validator, resumed against a file whose size changed: the 206s report
// another total, and the run starts over instead of mixing old and new bytes (or failing on
// every rerun).
TEST_F(ScriptedDownload, AResumedRunWhoseRemoteTotalChangedStartsOver) {
    auto server =
        range_server(make_body(1'200'000, 22), [](int, const std::string&) { return Reply::kServe; });
    const std::string old_bytes = test::random_bytes(1'000'000, 23);
    test::write_file(dir.file("grown.bin"), old_bytes.substr(0, 400'000) + std::string(600'000, '\0'));
    ResumeState state;
    state.total = 1'000'000;
    state.segments = {make_segment(0, 400'000, 1'000'000)};
    test::write_file(dir.file("grown.bin.twk"), sidecar_image(state));

    int32_t id = add(server->url("/grown.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("grown.bin") == *body);
    EXPECT_FALSE(test::file_exists(dir.file("grown.bin.twk")));
}

// A server that ignores If-Range and answers 206 with another validator serves another file:
// the run starts over instead of splicing it into the old one.
TEST_F(ScriptedDownload, A206WithAnotherValidatorOnResumeStartsOver) {
    make_body(1'000'000, 24);
    ScriptServer server([this](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const Range r = parse_range(request, body->size());
            peer.send(test::http_response("206 Partial Content",
                                          "ETag: \"new\"\r\n" +
                                              content_range(r.first, r.last, std::to_string(body->size())),
                                          body->substr(r.first, r.last - r.first + 1)));
        }
    });
    const std::string old_bytes = test::random_bytes(1'000'000, 25);
    test::write_file(dir.file("same.bin"), old_bytes.substr(0, 600'000) + std::string(400'000, '\0'));
    ResumeState state;
    state.total = 1'000'000;
    state.validator = "\"old\"";
    state.segments = {make_segment(0, 600'000, 1'000'000)};
    test::write_file(dir.file("same.bin.twk"), sidecar_image(state));

    int32_t id = add(server.url("/same.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("same.bin") == *body);
}

// The sidecar is on disk before the space is taken, so that a run killed at any moment after
// the first answer leaves a file the next run continues.
TEST_F(ScriptedDownload, TheSidecarIsWrittenBeforeTheFileIsPreallocated) {
    auto server = range_server(make_body(3u << 20, 26),
                               [](int, const std::string&) { return Reply::kPartThenSilence; });
    int32_t id = add(server->url("/early.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    std::error_code absent;
    ASSERT_TRUE(test::wait_until(
        [&] { return std::filesystem::file_size(dir.file("early.bin"), absent) == body->size(); }, 10'000));
    EXPECT_TRUE(test::file_exists(dir.file("early.bin.twk")));
    engine_cancel(engine, id);
}

// A finished download is the user's file: fetching the same URL again writes "name (1).ext"
// beside it, and a rerun that fails at once leaves it as it was.
TEST_F(ScriptedDownload, ARerunNeverWritesIntoAFinishedFile) {
    auto first = range_server(make_body(300'000, 37), [](int, const std::string&) { return Reply::kServe; });
    const std::string url = first->url("/kept.bin");
    int32_t id = add(url);
    ASSERT_GT(id, 0);
    ASSERT_EQ(settle(id), "done");
    const std::string finished = *body;
    ASSERT_TRUE(output("kept.bin") == finished);

    // The same URL again.
    id = add(url);
    ASSERT_GT(id, 0);
    EXPECT_EQ(task(id)->progress.name(), "kept (1).bin");
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("kept (1).bin") == finished);
    EXPECT_TRUE(output("kept.bin") == finished);

    // A rerun that fails before its first byte leaves nothing of its own and the file alone.
    std::filesystem::remove(dir.file("kept (1).bin"));
    auto gone = fixed_server(test::http_response("404 Not Found", "", "gone"));
    id = add(gone->url("/kept.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: http 404");
    EXPECT_TRUE(output("kept.bin") == finished);
    EXPECT_EQ(files_in(dir.path()), 1u);
}

// Deleting the output, or its folder, while it is written: bytes written into a file nobody can
// reach are not "done".
TEST_F(ScriptedDownload, AnOutputRemovedDuringTheDownloadIsNotDone) {
    make_body(200'000, 39);
    for (const bool whole_folder : {false, true}) {
        auto release = std::make_shared<std::atomic<bool>>(false);
        ScriptServer server([this, release](ScriptPeer& peer) {
            std::string request;
            if (!peer.read_request(request)) return;
            const std::string whole = test::http_response("200 OK", "", *body);
            const size_t first = whole.size() - body->size() + 1000;
            peer.send(whole.substr(0, first));
            test::wait_until([&] { return release->load(); }, 10'000);
            peer.send(whole.substr(first));
            wait_for_close(peer);
        });
        const std::string folder = dir.file(whole_folder ? "gone" : "kept");
        engine_set_download_dir(engine, folder);
        int32_t id = add(server.url("/mid.bin"));
        ASSERT_GT(id, 0);
        ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 0; }, 10'000));
        if (whole_folder) {
            std::filesystem::remove_all(folder);
        } else {
            std::filesystem::remove(folder + "/mid.bin");
        }
        *release = true;
        EXPECT_EQ(settle(id), "error: output file was removed during the download") << whole_folder;
        EXPECT_FALSE(test::file_exists(folder + "/mid.bin"));
    }
}

// A name ending in the sidecar suffix is saved with "_twk" instead; a user's own ".twk" file is
// neither written over nor deleted: the download beside it takes the next name.
TEST_F(ScriptedDownload, SidecarNamesNeverMeetOtherFiles) {
    auto server = range_server(
        make_body(700'000, 40), [](int, const std::string&) { return Reply::kServe; },
        "Content-Disposition: attachment; filename=\"x.bin.twk\"\r\n");
    int32_t id = add(server->url("/x.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_EQ(task(id)->progress.name(), "x.bin_twk");
    EXPECT_TRUE(output("x.bin_twk") == *body);
    EXPECT_EQ(files_in(dir.path()), 1u);

    auto plain = range_server(body, [](int, const std::string&) { return Reply::kServe; });
    test::write_file(dir.file("mid.bin.twk"), "the user's own notes");
    id = add(plain->url("/mid.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(task(id)->progress.name(), "mid (1).bin");
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("mid (1).bin") == *body);
    EXPECT_EQ(output("mid.bin.twk"), "the user's own notes");
}

// A server that honours the probe's range but answers later ones with the whole file (under the
// same ETag, or none): the run continues as a single stream from the start.
TEST_F(ScriptedDownload, AServerThatStopsHonouringRangesIsFetchedAsOneStream) {
    make_body(3u << 20, 41);
    for (const std::string etag : {"", "ETag: \"same\"\r\n"}) {
        ScriptServer server([this, etag](ScriptPeer& peer) {
            std::string request;
            while (peer.read_request(request)) {
                const Range r = parse_range(request, body->size());
                if (r.ranged && r.first == 0) {
                    peer.send(
                        test::http_response("206 Partial Content",
                                            "Accept-Ranges: bytes\r\n" + etag +
                                                content_range(r.first, r.last, std::to_string(body->size())),
                                            body->substr(r.first, r.last - r.first + 1)));
                } else {
                    peer.send(test::http_response("200 OK", "Accept-Ranges: bytes\r\n" + etag, *body));
                }
            }
        });
        int32_t id = add(server.url("/switch.bin"), "\"connections\":4");
        ASSERT_GT(id, 0);
        EXPECT_EQ(settle(id), "done") << etag;
        EXPECT_TRUE(output("switch.bin") == *body) << etag;
        EXPECT_EQ(files_in(dir.path()), 1u) << etag;
        std::filesystem::remove(dir.file("switch.bin"));
    }
}

// A 416 on resume (the file shrank under the recorded state) starts over; an empty file, which
// answers its probe with 416, is done, empty.
TEST_F(ScriptedDownload, A416StartsOverOrFinishesAnEmptyFile) {
    make_body(500'000, 42);
    ScriptServer server([this](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const std::string total = test::request_path(request) == "/empty.bin" ? "0" : "500000";
            const Range r = parse_range(request, body->size());
            if (total == "0" || (r.ranged && r.first >= body->size())) {
                peer.send(test::http_response("416 Range Not Satisfiable",
                                              "Content-Range: bytes */" + total + "\r\n", ""));
                continue;
            }
            peer.send(test::http_response(r.ranged ? "206 Partial Content" : "200 OK",
                                          "Accept-Ranges: bytes\r\n" +
                                              (r.ranged ? content_range(r.first, r.last, total) : ""),
                                          body->substr(r.first, r.last - r.first + 1)));
        }
    });
    test::write_file(dir.file("shrunk.bin"), test::random_bytes(600'000, 43) + std::string(400'000, '\0'));
    ResumeState state;
    state.total = 1'000'000;
    state.segments = {make_segment(0, 600'000, 1'000'000)};
    test::write_file(dir.file("shrunk.bin.twk"), sidecar_image(state));
    int32_t id = add(server.url("/shrunk.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("shrunk.bin") == *body);
    EXPECT_FALSE(test::file_exists(dir.file("shrunk.bin.twk")));

    id = add(server.url("/empty.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(test::file_exists(dir.file("empty.bin")));
    EXPECT_TRUE(output("empty.bin").empty());
}

// A download that cannot be resumed leaves nothing when paused, also where an earlier run had
// left an empty file and the server fell silent after its headers (the file was preallocated).
TEST_F(ScriptedDownload, APausedSingleStreamLeavesNothingWhereAnEmptyFileWas) {
    make_body(3u << 20, 44);
    test::write_file(dir.file("silent.bin"), "");
    ScriptServer server([this](ScriptPeer& peer) {
        std::string request;
        if (!peer.read_request(request)) return;
        const std::string whole = test::http_response("200 OK", "", *body);
        peer.send(whole.substr(0, whole.size() - body->size()));
        wait_for_close(peer);
    });
    int32_t id = add(server.url("/silent.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(task(id)->progress.name(), "silent.bin");
    std::error_code absent;
    ASSERT_TRUE(test::wait_until(
        [&] { return std::filesystem::file_size(dir.file("silent.bin"), absent) == body->size(); }, 10'000));
    engine_pause(engine, id);
    EXPECT_EQ(settle(id), "paused");
    EXPECT_EQ(files_in(dir.path()), 0u);
}

// Another writer of the same output (another `twk get`) holds its lock: a task for the same URL
// takes the next free name, whether it finds the lock when it is added or only when its run
// opens the file.
TEST_F(ScriptedDownload, AnOutputLockedByAnotherWriterIsLeftToIt) {
    auto server = range_server(make_body(300'000, 45), [](int, const std::string&) { return Reply::kServe; });
    test::write_file(dir.file("shared.bin"), "");
    const int other = ::open(dir.file("shared.bin").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    int32_t id = add(server->url("/shared.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(task(id)->progress.name(), "shared (1).bin");
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("shared (1).bin") == *body);
    EXPECT_TRUE(output("shared.bin").empty());

    int late = -1;
    list->set_driver([this, &late](const RunContext& task) {
        if (task.progress.name() == "raced.bin") {
            late = ::open(task.progress.output_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            ::flock(late, LOCK_EX);
        }
        run_download(task, settings);
    });
    id = add(server->url("/raced.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_EQ(task(id)->progress.name(), "raced (1).bin");
    EXPECT_TRUE(output("raced (1).bin") == *body);
    EXPECT_TRUE(output("raced.bin").empty());
    ::close(late);
    ::close(other);
}

// A server that names the file as it is already on disk (a finished f.zip): the task keeps the
// " (1)" name it got instead of moving on to " (2)".
TEST_F(ScriptedDownload, TheServersNameDoesNotSkipANumber) {
    auto server = range_server(
        make_body(100'000, 27), [](int, const std::string&) { return Reply::kServe; },
        "Content-Disposition: attachment; filename=\"f.zip\"\r\n");
    test::write_file(dir.file("f.zip"), "finished earlier");
    int32_t id = add(server->url("/f.zip"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_EQ(task(id)->progress.name(), "f (1).zip");
    EXPECT_TRUE(output("f (1).zip") == *body);
    EXPECT_EQ(files_in(dir.path()), 2u);
}

// A Content-Disposition name in ill-formed UTF-8 is created on disk as it is shown.
TEST_F(ScriptedDownload, AServerNameInBadUtf8IsCreatedAsShown) {
    auto server = range_server(
        make_body(10'000, 28), [](int, const std::string&) { return Reply::kServe; },
        "Content-Disposition: attachment; filename=\"\xFF\xFE\xC0\xAF.bin\"\r\n");
    int32_t id = add(server->url("/get?id=1"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    const std::string shown = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.bin";
    EXPECT_EQ(task(id)->progress.name(), shown);
    EXPECT_TRUE(output(shown) == *body);
}

TEST_F(ScriptedDownload, AnOutputThatCannotBeOpenedNamesThePathAndTheReason) {
    test::write_file(dir.file("sub"), "a file where a folder should be");
    engine_set_download_dir(engine, dir.file("sub"));
    auto server = range_server(make_body(1000, 29), [](int, const std::string&) { return Reply::kServe; });
    int32_t id = add(server->url("/x.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: cannot open output file: " + dir.file("sub") + "/x.bin (not a directory)");
}

// A worker thread that cannot start ends the task with an error (not the process); when
// others run already, the download goes on with those.
TEST_F(ScriptedDownload, AWorkerThreadThatCannotStartEndsTheTaskNotTheProcess) {
    auto server =
        range_server(make_body(3u << 20, 30), [](int, const std::string&) { return Reply::kServe; });
    settings.before_worker_start = [](uint64_t) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    int32_t id = add(server->url("/none.bin"));
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "error: cannot start worker thread");

    settings.before_worker_start = [](uint64_t index) {
        if (index >= 1)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    id = add(server->url("/one.bin"), "\"connections\":8");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("one.bin") == *body);
}

// A write that fails says why, in the system's words, and a task that got nothing leaves
// nothing (the file size limit stands in for a full disk).
TEST_F(ScriptedDownload, AFailedWriteNamesTheSystemsReasonAndLeavesNothing) {
    auto server =
        range_server(make_body(3u << 20, 34), [](int, const std::string&) { return Reply::kServe; });
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int32_t id = add(server->url("/big.bin"));
    const std::string status = id > 0 ? settle(id) : "not added";
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(status, "error: write failed: file too large");
    EXPECT_EQ(files_in(dir.path()), 0u);
}

// A single stream cannot continue where it stopped: paused, it keeps no partial file (nor one
// preallocated to its full size), and shows no bytes it would not keep.
TEST_F(ScriptedDownload, APausedSingleStreamKeepsNoFileItCannotContinue) {
    make_body(3u << 20, 35);
    ScriptServer server([this](ScriptPeer& peer) {
        std::string request;
        if (!peer.read_request(request)) return;
        const std::string whole = test::http_response("200 OK", "", *body);
        peer.send(whole.substr(0, whole.size() - body->size() / 2));
        wait_for_close(peer);
    });
    int32_t id = add(server.url("/stream.bin"));
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 0; }, 10'000));
    engine_pause(engine, id);
    EXPECT_EQ(settle(id), "paused");
    EXPECT_EQ(task(id)->progress.bytes_done(), 0u);
    EXPECT_EQ(files_in(dir.path()), 0u);
}

// "paused" promises that the download continues: when its resume state cannot be saved (a
// full disk; here a folder in the way of the sidecar's temporary file), it says so and why.
TEST_F(ScriptedDownload, APauseThatCannotSaveItsResumeStateSaysSo) {
    auto server = range_server(make_body(3u << 20, 36),
                               [](int, const std::string&) { return Reply::kPartThenSilence; });
    int32_t id = add(server->url("/x.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 0; }, 10'000));
    // Mid-run the sidecar's name is taken by a folder, which is not ours to write over.
    std::filesystem::remove(dir.file("x.bin.twk"));
    std::filesystem::create_directory(dir.file("x.bin.twk"));
    engine_pause(engine, id);
    EXPECT_EQ(settle(id), "error: interrupted and not resumable: cannot save resume state: file exists");
    EXPECT_FALSE(test::file_exists(dir.file("x.bin")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("x.bin.twk")));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

// Pause and cancel end a run whose server went silent at once, not after the 30 s time-out.
TEST_F(ScriptedDownload, PauseAndCancelInterruptAReadBlockedOnASilentServer) {
    settings.io_timeout_ms = 30'000;
    auto server = range_server(make_body(3u << 20, 31),
                               [](int, const std::string&) { return Reply::kPartThenSilence; });
    for (const bool pause : {true, false}) {
        const size_t before = server->requests().size();
        int32_t id = add(server->url(pause ? "/p.bin" : "/c.bin"), "\"connections\":1");
        ASSERT_GT(id, 0);
        ASSERT_TRUE(test::wait_until([&] { return task(id)->progress.bytes_done() > 0; }, 10'000));
        pause ? engine_pause(engine, id) : engine_cancel(engine, id);
        EXPECT_TRUE(test::wait_until([&] { return !entry(id)->thread_live; }, 3'000));
        EXPECT_EQ(settle(id, 1), pause ? "paused" : "canceled");
        EXPECT_EQ(server->requests().size(), before + 1);
    }
    EXPECT_TRUE(test::file_exists(dir.file("p.bin.twk")));
    EXPECT_FALSE(test::file_exists(dir.file("c.bin")));
}

// No request goes out on a connection before the previous body on it was read to its end: a
// body abandoned half-way (here by the dribble guard) takes its connection with it.
TEST_F(ScriptedDownload, NoRequestGoesOutOnAConnectionWhoseBodyWasNotReadToTheEnd) {
    settings.dribble_window_ms = 300;
    settings.body_read_bound_ms = 50;
    make_body(700'000, 32);
    auto early_requests = std::make_shared<std::atomic<int>>(0);
    auto counter = std::make_shared<std::atomic<int>>(0);
    ScriptServer server([this, early_requests, counter](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const Range r = parse_range(request, body->size());
            const std::string slice = body->substr(r.first, r.last - r.first + 1);
            const std::string head = test::http_response(
                "206 Partial Content", content_range(r.first, r.last, std::to_string(body->size())), slice);
            if (counter->fetch_add(1) != 0) {
                peer.send(head);
                continue;
            }
            // The first answer trickles: the client gives it up half-way.
            peer.send(head.substr(0, head.size() - slice.size()));
            for (size_t at = 0; at < slice.size(); at += 100) {
                if (peer.input_waiting()) ++*early_requests;
                peer.send(slice.substr(at, 100));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (at > 4'000) return;
            }
        }
    });
    int32_t id = add(server.url("/kept.bin"), "\"connections\":1");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("kept.bin") == *body);
    EXPECT_EQ(*early_requests, 0);
}

// Each request asks for the part a later split leaves it, so no byte is fetched twice.
TEST_F(ScriptedDownload, ASplitNeverThrowsAwayBytesInFlight) {
    auto server =
        range_server(make_body(6u << 20, 33), [](int, const std::string&) { return Reply::kServe; });
    int32_t id = add(server->url("/whole.bin"), "\"connections\":8,\"bandwidthLimit\":4194304");
    ASSERT_GT(id, 0);
    EXPECT_EQ(settle(id), "done");
    EXPECT_TRUE(output("whole.bin") == *body);
    uint64_t asked = 0;
    for (const auto& request : server->requests()) {
        const Range r = parse_range(request, body->size());
        asked += r.last - r.first + 1;
    }
    EXPECT_EQ(asked, body->size());
}

// A run of `task` that has probed the server as `probe`.
struct ProbedRun {
    explicit ProbedRun(Task& task, ProbeState probe = kRanged) : run(task.context(), settings) {
        run.probe_state = probe;
    }
    DriverSettings settings;
    DriverRun run;
};

TEST(SegmentSplit, NeverCutsBelowTheRangeInFlight) {
    Task task;
    ProbedRun probed(task);
    task.progress.total = 10'000'000;
    task.progress.segments = {make_segment(0, 0, 4'000'000)};
    task.progress.segments[0]->active = true;
    task.progress.segments[0]->asked_end = 3'000'000;
    auto upper = split_largest_segment(probed.run);
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(task.progress.segments[0]->end, 3'000'000u);
    EXPECT_EQ(upper->start, 3'000'000u);
    task.progress.segments = {make_segment(0, 0, 4'000'000)};
    task.progress.segments[0]->active = true;
    task.progress.segments[0]->asked_end = 4'000'000; // everything is on its way
    EXPECT_EQ(split_largest_segment(probed.run), nullptr);
}

TEST(SegmentSplit, HalvesTheLargestRemainingRangeAboveHalfAMebibyte) {
    struct Case {
        uint64_t remaining;
        bool splits;
    };
    for (Case c : {Case{600'000, true}, Case{524'289, true}, Case{524'288, false}, Case{1000, false}}) {
        Task task;
        ProbedRun probed(task);
        task.progress.total = 10'000'000;
        task.progress.segments = {make_segment(0, 100, 100 + c.remaining)};
        task.progress.segments[0]->active = true;
        auto upper = split_largest_segment(probed.run);
        ASSERT_EQ(upper != nullptr, c.splits) << c.remaining;
        if (!upper) continue;
        EXPECT_EQ(task.progress.segments[0]->end, 100 + c.remaining / 2);
        EXPECT_EQ(upper->start, 100 + c.remaining / 2);
        EXPECT_EQ(upper->end, 100 + c.remaining);
        EXPECT_TRUE(upper->active);
    }
}

TEST(SegmentSplit, NeverGrowsTheListPast25001Segments) {
    Task task;
    ProbedRun probed(task);
    task.progress.total = 1ull << 40;
    for (int i = 0; i < 24'999; ++i)
        task.progress.segments.push_back(make_segment(0, 0, 0)); // finished
    task.progress.segments.push_back(make_segment(0, 0, 1ull << 30));
    ASSERT_NE(split_largest_segment(probed.run), nullptr);
    EXPECT_EQ(task.progress.segments.size(), 25'001u);
    EXPECT_EQ(split_largest_segment(probed.run), nullptr);

    Task single;
    ProbedRun whole(single, kSingleStream);
    single.progress.segments = {make_segment(0, 0, 1ull << 30)};
    EXPECT_EQ(split_largest_segment(whole.run), nullptr);
}

// A run whose file is hashed as it downloads hands its file out in order. Each step claims once
// from the segments as the steps before left them.
TEST(OrderedClaim, TakesTheLowestFreeOffsetAPieceAtATime) {
    constexpr uint64_t kMiB = 1'048'576;
    Task task;
    ProbedRun probed(task);
    probed.run.digest.expect(Checksum{"sha-256", std::string(64, '0')});
    task.progress.total = 64 * kMiB; // pieces of 4 MiB
    ASSERT_TRUE(takes_file_in_order(probed.run));
    ASSERT_EQ(ordered_piece(probed.run), 4 * kMiB);
    auto& segments = task.progress.segments;
    // The first response's segment, its first MiB in flight: the next piece starts above it.
    segments = {make_segment(0, 0, 64 * kMiB)};
    segments[0]->active = true;
    segments[0]->asked_end = kMiB;

    struct Step {
        uint64_t start, end;
    };
    for (const Step want : {Step{kMiB, 5 * kMiB}, Step{5 * kMiB, 9 * kMiB}, Step{9 * kMiB, 13 * kMiB}}) {
        auto taken = claim_in_file_order(probed.run);
        ASSERT_NE(taken, nullptr);
        EXPECT_EQ(taken->pos, want.start);
        EXPECT_EQ(taken->end, want.end);
        EXPECT_TRUE(taken->active);
    }
    EXPECT_EQ(segments[0]->end, kMiB);
    // A piece given back half-done (a failed request) comes before everything above it.
    segments[2]->active = false;
    segments[2]->pos = 6 * kMiB;
    auto again = claim_in_file_order(probed.run);
    ASSERT_EQ(again, segments[2]);
    EXPECT_EQ(again->end, 9 * kMiB);
    // Near the end, with 8 workers, pieces shrink to the free bytes over 16 (256 KiB at least).
    task.progress.active_target = 8;
    segments.back()->pos = 60 * kMiB;
    auto shrunk = claim_in_file_order(probed.run);
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(shrunk->end - shrunk->pos, 256 * 1024u);
    // Everything else taken and in flight whole: nothing to claim.
    for (auto& segment : segments) {
        segment->active = true;
        segment->asked_end = segment->end.load();
    }
    EXPECT_EQ(claim_in_file_order(probed.run), nullptr);
    // Without a checksum the run keeps to halving the largest range.
    Task plain;
    ProbedRun unchecked(plain);
    plain.progress.total = 64 * kMiB;
    EXPECT_FALSE(takes_file_in_order(unchecked.run));
}

TEST(ConnectionCap, OneMoreConnectionPerRemaining544KiB) {
    TaskRequest request;
    request.connections = 32;
    Task task(request);
    ProbedRun probed(task, kNotProbed);
    const DriverRun& run = probed.run;
    task.progress.segments = {make_segment(0, 0, kUnknownEnd)};
    EXPECT_EQ(connection_cap(run), 1u); // not probed
    probed.run.probe_state = kRanged;
    task.progress.total = 3 * kBytesPerConnection;
    task.progress.segments = {make_segment(0, 0, 3 * kBytesPerConnection)};
    EXPECT_EQ(connection_cap(run), 4u);
    task.progress.segments.push_back(make_segment(0, 10, 20));
    EXPECT_EQ(connection_cap(run), 5u);
    task.progress.segments = {make_segment(0, 0, 100 * kBytesPerConnection)};
    EXPECT_EQ(connection_cap(run), 32u);
    task.progress.segments = {make_segment(0, 5, 5)};
    EXPECT_EQ(connection_cap(run), 1u);
}

} // namespace
} // namespace twk
