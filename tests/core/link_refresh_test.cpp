// A download whose signed link expired continues with a new link from its sidecar, fetching only
// the bytes it lacks; a new link for another file (size, ETag) is refused and changes nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "core/journal_keeper.h"
#include "core/link_refresh.h"
#include "core/sidecar.h"
#include "tests/core/driver_fixture.h"
#include "tests/support/script_server.h"
#include "json/json.h"

namespace twk {
namespace {

using test::DriverFixture;
using test::ScriptPeer;
using test::ScriptServer;

// Serves one file at "/f.bin?token=T". The token "old" is good for `quota` body bytes: the answer
// that crosses it stops there and closes, and every later request with it gets 403 (as a signed
// link does once its time is up); other tokens never expire. Counts the body bytes each token
// was served, the 0-0 probe aside.
struct ExpiringLinks {
    std::shared_ptr<const std::string> body;
    std::string etag = "\"v1\"";
    uint64_t quota = UINT64_MAX;
    std::mutex lock;
    std::map<std::string, uint64_t> served; // token -> body bytes sent
    std::map<std::string, int> forbidden;   // token -> 403 answers
    std::vector<std::string> requests;      // every request head
    std::unique_ptr<ScriptServer> server;

    ExpiringLinks(std::shared_ptr<const std::string> file, uint64_t token_quota)
        : body(file), quota(token_quota) {
        server = std::make_unique<ScriptServer>([this](ScriptPeer& peer) { serve(peer); });
    }
    std::string url(const std::string& token) const { return server->url("/f.bin?token=" + token); }
    uint64_t served_to(const std::string& token) {
        std::lock_guard guard(lock);
        return served[token];
    }
    int forbidden_to(const std::string& token) {
        std::lock_guard guard(lock);
        return forbidden[token];
    }
    std::vector<std::string> heads() {
        std::lock_guard guard(lock);
        return requests;
    }

    void serve(ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const std::string path = test::request_path(request);
            const std::string token = path.substr(path.find("token=") + 6);
            uint64_t first = 0, last = body->size() - 1;
            const std::string range = test::request_header(request, "range");
            const bool ranged = range.starts_with("bytes=");
            if (ranged) {
                char* rest = nullptr;
                first = std::strtoull(range.c_str() + 6, &rest, 10);
                if (rest && *rest == '-' && rest[1] != '\0')
                    last = std::min<uint64_t>(std::strtoull(rest + 1, nullptr, 10), last);
            }
            const bool probe = range == "bytes=0-0";
            uint64_t allowed;
            {
                std::lock_guard guard(lock);
                requests.push_back(request);
                const uint64_t used = served[token];
                const uint64_t limit = token == "old" ? quota : UINT64_MAX;
                if (used >= limit) {
                    ++forbidden[token];
                    allowed = 0;
                } else {
                    allowed = std::min(last - first + 1, limit - used);
                    if (!probe) served[token] += allowed;
                }
            }
            if (allowed == 0) {
                peer.send(test::http_response("403 Forbidden", "", "expired"));
                continue;
            }
            std::string head = "Accept-Ranges: bytes\r\nETag: " + etag + "\r\n";
            if (ranged)
                head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                        std::to_string(body->size()) + "\r\n";
            const std::string whole = test::http_response(ranged ? "206 Partial Content" : "200 OK", head,
                                                          body->substr(first, last - first + 1));
            if (allowed == last - first + 1) {
                peer.send(whole);
                continue;
            }
            peer.send(whole.substr(0, whole.size() - (last - first + 1) + allowed));
            peer.close();
            return;
        }
    }
};

class LinkRefresh : public DriverFixture {
protected:
    void SetUp() override {
        DriverFixture::SetUp();
        settings.stall_window_ms = 60'000;
    }
    // The list's journal document for its tasks as they are now.
    std::string journal_text() const { return journal_document(journal_entries(*list)); }
    std::string status_of(int32_t id) const {
        return entry(id) ? entry(id)->task->progress.status() : "gone";
    }

    std::shared_ptr<const std::string> body =
        std::make_shared<const std::string>(test::random_bytes(3 * 1024 * 1024 + 77, 11));
};

// The old link dies a third of the way in while the task runs; the new one, on the same server
// or another, fetches exactly the missing bytes, and the old link's cookie goes only to its own
// origin.
TEST_F(LinkRefresh, AnExpiredLinkContinuesFromItsSidecarWithTheNewOne) {
    for (const bool same_origin : {true, false}) {
        SCOPED_TRACE(same_origin ? "same origin" : "another origin");
        const uint64_t quota = body->size() / 3;
        ExpiringLinks old_site(body, quota);
        ExpiringLinks other_site(body, UINT64_MAX);
        ExpiringLinks& new_site = same_origin ? old_site : other_site;
        const std::string name = same_origin ? "same.bin" : "other.bin";
        const int32_t id = add(old_site.url("old"), "\"connections\":1,\"filename\":\"" + name +
                                                        "\",\"cookies\":\"session=secret\"");
        ASSERT_GT(id, 0);
        // The task runs on, retrying a link that now answers 403.
        ASSERT_TRUE(test::wait_until([&] { return old_site.forbidden_to("old") > 0; }, 30'000));
        EXPECT_EQ(entry(id)->state, kRunning);

        StartOptions fresh;
        fresh.url = new_site.url("new");
        const RefreshResult result = engine->refresh_link(id, fresh);
        ASSERT_TRUE(result.ok()) << result.message;
        EXPECT_EQ(settle(id), "done");
        EXPECT_TRUE(test::read_file(dir.file(name)) == *body);
        EXPECT_EQ(old_site.served_to("old"), quota);
        EXPECT_EQ(new_site.served_to("new"), body->size() - quota);
        EXPECT_EQ(task(id)->request.url, fresh.url);
        EXPECT_NE(journal_text().find(json_quote(fresh.url)), std::string::npos);
        for (const std::string& head : new_site.heads()) {
            if (head.find("token=new") == std::string::npos) continue;
            EXPECT_EQ(test::request_header(head, "cookie"), same_origin ? "session=secret" : "") << head;
        }
    }
}

// Refusals name the reason and leave the task, its file, its sidecar and its journal entry as
// they were.
TEST_F(LinkRefresh, ANewLinkToAnotherFileChangesNothing) {
    const uint64_t quota = body->size() / 2;
    ExpiringLinks old_site(body, quota);
    const int32_t id = add(old_site.url("old"), "\"connections\":1,\"filename\":\"kept.bin\"");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(test::wait_until([&] { return old_site.forbidden_to("old") > 0; }, 30'000));
    engine->pause(id);
    ASSERT_EQ(settle(id), "paused");

    auto shorter = std::make_shared<const std::string>(body->substr(0, body->size() - 1));
    ExpiringLinks short_site(shorter, UINT64_MAX);
    ExpiringLinks retagged_site(body, UINT64_MAX);
    retagged_site.etag = "\"v2\"";
    ExpiringLinks gone_site(body, 0);
    gone_site.etag = "\"v3\"";
    struct Case {
        ExpiringLinks* site;
        RefreshError error;
        std::string message;
    } cases[] = {
        {&short_site, RefreshError::kSizeDiffers,
         "the new link's file is " + std::to_string(shorter->size()) + " bytes, the download's is " +
             std::to_string(body->size())},
        {&retagged_site, RefreshError::kEtagDiffers,
         "the new link's file has ETag \"v2\", the download's is \"v1\""},
        {&gone_site, RefreshError::kNewLinkFailed, "the new link failed: http 403"},
    };
    const std::string file = test::read_file(dir.file("kept.bin"));
    const std::string sidecar = test::read_file(dir.file("kept.bin.twk"));
    const std::string journal = journal_text();
    const std::shared_ptr<TaskEntry> before = entry(id);
    for (const Case& c : cases) {
        StartOptions fresh;
        fresh.url = c.site->url(c.site == &gone_site ? "old" : "new");
        const RefreshResult result = engine->refresh_link(id, fresh);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(c.site->served_to("new"), 0u);
        EXPECT_EQ(entry(id), before);
        EXPECT_EQ(status_of(id), "paused");
        EXPECT_TRUE(test::read_file(dir.file("kept.bin")) == file);
        EXPECT_TRUE(test::read_file(dir.file("kept.bin.twk")) == sidecar);
        EXPECT_EQ(journal_text(), journal);
    }
}

TEST_F(LinkRefresh, OnlyASettledFileDownloadTakesANewLink) {
    ExpiringLinks site(body, UINT64_MAX);
    const int32_t done = add(site.url("a"), "\"filename\":\"done.bin\"");
    ASSERT_EQ(settle(done), "done");
    const int32_t stream = add(site.url("b"), "\"filename\":\"s.ts\",\"type\":\"hls\"");
    settle(stream);
    struct Case {
        int32_t id;
        std::string url;
        RefreshError error;
    } cases[] = {
        {done, site.url("c"), RefreshError::kFinished},
        {stream, site.url("c"), RefreshError::kStream},
        {999, site.url("c"), RefreshError::kNoSuchTask},
        {done, "not a url", RefreshError::kInvalidUrl},
        {done, site.server->url("/live.m3u8"), RefreshError::kStreamLink},
    };
    for (const Case& c : cases) {
        StartOptions fresh;
        fresh.url = c.url;
        EXPECT_EQ(engine->refresh_link(c.id, fresh).error, c.error) << c.id << " " << c.url;
    }
}

TEST(LinkRefreshJudge, SizeAndStrongValidatorsDecide) {
    struct Case {
        LinkFacts facts;
        uint64_t size;
        std::string validator;
        bool resuming;
        RefreshError error;
    } cases[] = {
        {{true, 100, "\"a\"", ""}, 100, "\"a\"", true, RefreshError::kNone},
        {{true, 100, "", "Tue, 01 Dec 2026 10:00:00 GMT"}, 100, "\"a\"", true, RefreshError::kNone},
        {{true, 100, "W/\"b\"", ""}, 100, "\"a\"", true, RefreshError::kNone},
        {{true, 100, "\"b\"", ""}, 100, "W/\"a\"", true, RefreshError::kNone},
        {{true, 100, "\"b\"", ""}, 100, "\"a\"", true, RefreshError::kEtagDiffers},
        {{true, 100, "", "Tue, 01 Dec 2026 10:00:00 GMT"},
         100,
         "Mon, 30 Nov 2026 10:00:00 GMT",
         true,
         RefreshError::kModifiedDiffers},
        {{true, 100, "\"b\"", ""}, 100, "Mon, 30 Nov 2026 10:00:00 GMT", true, RefreshError::kNone},
        {{true, 101, "", ""}, 100, "", true, RefreshError::kSizeDiffers},
        {{true, 0, "", ""}, 100, "", true, RefreshError::kSizeUnknown},
        {{false, 100, "", ""}, 100, "", true, RefreshError::kNotResumable},
        // Nothing fetched yet: any answer with the right size will do.
        {{false, 100, "", ""}, 100, "", false, RefreshError::kNone},
        {{false, 0, "", ""}, 0, "", false, RefreshError::kNone},
    };
    int n = 0;
    for (const Case& c : cases)
        EXPECT_EQ(judge_new_link(c.facts, c.size, c.validator, c.resuming).error, c.error) << n++;
}

} // namespace
} // namespace twk
