#include "core/status_document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/start_request.h"
#include "tests/core/placeholder_driver.h"
#include "tests/support/comma_locale.h"

namespace twk {
namespace {

using test::wait_for;

std::shared_ptr<Segment> segment(uint64_t id, uint64_t start, uint64_t pos, uint64_t end, bool active) {
    auto s = make_segment(start, pos, end);
    s->id = id;
    s->active = active;
    return s;
}

class StatusDocument : public ::testing::Test {
protected:
    void SetUp() override {
        list = TaskList::create(1);
        list->set_driver(driver.driver());
    }
    void TearDown() override {
        driver.release_all();
        list->close();
        EXPECT_TRUE(wait_for([&] { return list->live_threads() == 0; }));
    }
    test::TempDir dir;
    test::PlaceholderDriver driver;
    std::shared_ptr<TaskList> list;
};

TEST_F(StatusDocument, ListDocumentByteForByte) {
    StartOptions options;
    options.url = "http://h/a.bin";
    auto running = create_task(options, "/dl");
    running->progress.total = 1000;
    running->progress.supports_range = true;
    running->progress.segments = {segment(7, 0, 600, 600, false), segment(8, 600, 1700, kUnknownEnd, true)};
    options.url = "http://h/q";
    options.filename = "say \"hi\".bin";
    options.connections = 4;
    auto queued = create_task(options, "/dl");
    queued->progress.segments[0]->id = 9;

    EXPECT_EQ(task_list_document(*list), "{\"status\":\"idle\",\"tasks\":[]}");
    list->add(running);
    list->add(queued);
    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 1; }));

    const std::string running_segments =
        "[{\"id\":7,\"start\":0,\"pos\":600,\"end\":600,\"active\":false},"
        "{\"id\":8,\"start\":600,\"pos\":1700,\"end\":1000,\"active\":true}]";
    const std::string queued_entry =
        "{\"id\":2,\"name\":\"say \\\"hi\\\".bin\",\"filename\":\"say "
        "\\\"hi\\\".bin\",\"url\":\"http://h/q\","
        "\"status\":\"queued\",\"total\":0,\"done\":0,\"connections\":4,\"supportsRange\":false,"
        "\"segments\":[{\"id\":9,\"start\":0,\"pos\":0,\"end\":18446744073709551615,\"active\":false}]}";
    auto expected = [&](const std::string& status, const std::string& list_status) {
        return "{\"status\":\"" + status +
               "\",\"filename\":\"a.bin\",\"url\":\"http://h/a.bin\",\"total\":1000,\"done\":1000,"
               "\"connections\":8,\"supportsRange\":true,\"elapsed\":1.23,\"segments\":" +
               running_segments + ",\"tasks\":[{\"id\":1,\"name\":\"a.bin\",\"filename\":\"a.bin\",\"url\":" +
               "\"http://h/a.bin\",\"status\":\"" + list_status +
               "\",\"total\":1000,\"done\":1000,\"connections\":8,\"supportsRange\":true,\"segments\":" +
               running_segments + "}," + queued_entry + "]}";
    };
    int64_t now = running->progress.start_ns + 1234000000;
    EXPECT_EQ(task_list_document(*list, now), expected("downloading", "downloading"));

    driver.release("http://h/a.bin", "error: incomplete");
    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 2; }));
    list->pause(2);
    ASSERT_TRUE(wait_for([&] { return list->all_settled() && list->live_threads() == 0; }));
    // The top-level status stays with the task most recently started: task 2, now paused.
    std::string document = task_list_document(*list, now);
    EXPECT_TRUE(document.starts_with("{\"status\":\"paused\",\"filename\":\"say \\\"hi\\\".bin\""))
        << document;
    EXPECT_NE(document.find("\"url\":\"http://h/a.bin\",\"status\":\"error: incomplete\""),
              std::string::npos);
}

// A cache that reuses what it built for unchanged tasks gives, after every kind of change to a
// task that is not running, the document and the records a fresh reading gives.
TEST_F(StatusDocument, TheCachedListMatchesAFreshReadingAfterEveryChange) {
    std::vector<std::shared_ptr<Task>> tasks;
    for (const char* url : {"http://h/run.bin", "http://h/b.bin", "http://h/c.bin", "http://h/d.bin"}) {
        StartOptions options;
        options.url = url;
        tasks.push_back(create_task(options, dir.path()));
        list->add(tasks.back());
    }
    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 1; }));
    Task& b = *tasks[1];
    Task& c = *tasks[2];
    ListSnapshotCache cache;
    const int64_t now = tasks[0]->progress.start_ns + 1000000000;
    const struct Step {
        const char* what;
        std::function<void()> change;
        std::function<bool()> settled = [] { return true; };
    } steps[] = {
        {"nothing", [] {}},
        {"paused", [&] { list->pause(2); }},
        {"renamed", [&] { c.progress.set_output_path(dir.path() + "/renamed.bin"); }},
        {"progress",
         [&] {
             {
                 std::lock_guard lock(b.progress.segment_lock);
                 b.progress.segments = {segment(1, 0, 300, 1000, false)};
             }
             b.progress.note_progress();
         }},
        {"size", [&] { b.progress.total = 1000; }},
        {"canceled", [&] { list->cancel(4); }},
        {"done", [&] { driver.release("http://h/run.bin"); },
         [&] { return driver.started_count() == 2 && c.progress.status() == "downloading"; }},
    };
    for (const Step& step : steps) {
        step.change();
        ASSERT_TRUE(wait_for(step.settled)) << step.what;
        EXPECT_EQ(cache.document(*list, now), task_list_document(*list, now)) << "after " << step.what;
        EXPECT_EQ(to_json(cache.snapshot(*list, now)), task_list_document(*list, now))
            << "after " << step.what;
    }
    EXPECT_NE(cache.document(*list, now).find("renamed.bin"), std::string::npos);
}

// Every front end shows what the document says: a URL's password never gets there.
TEST_F(StatusDocument, PasswordsInUrlsShowAsStars) {
    StartOptions options;
    options.url = "https://ann:s3cret@h/a.bin";
    auto task = create_task(options, "/dl");
    task->progress.set_failure("error: redirected to http://bob:s3cret@g/", FailureCategory::kProtocol);
    list->add(task);
    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 1; }));
    const std::string document = task_list_document(*list);
    EXPECT_EQ(document.find("s3cret"), std::string::npos) << document;
    EXPECT_NE(document.find("\"url\":\"https://ann:***@h/a.bin\""), std::string::npos) << document;
    EXPECT_EQ(task->request.url, "https://ann:s3cret@h/a.bin");
}

TEST(DisplayFormat, Sizes) {
    struct Case {
        double bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1536, "1.50 KB"},
        {15360, "15.0 KB"},
        {153600, "150 KB"},
        {1048576, "1.00 MB"},
        {1099511627776.0 * 2048, "2048 TB"},
        {-1, "\xE2\x80\x94"},
        {std::nan(""), "\xE2\x80\x94"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_size(c.bytes), c.text) << c.bytes;
}

TEST(DisplayFormat, Speeds) {
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(format_speed(1536), Pair("1.5", "KB/s"));
    EXPECT_EQ(format_speed(100), Pair("100", "B/s"));
    EXPECT_EQ(format_speed(-5), Pair("0", "B/s"));
    EXPECT_EQ(format_speed(3.5 * 1024 * 1024 * 1024), Pair("3.5", "GB/s"));
    EXPECT_EQ(format_speed(2048.0 * 1024 * 1024 * 1024), Pair("2048.0", "GB/s"));
}

TEST(DisplayFormat, Durations) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {59.4, "59s"},
        {59.6, "1m 0s"},
        {0, "0s"},
        {3599, "59m 59s"},
        {3600, "1h 0m"},
        {86399, "23h 59m"},
        {86400, "1d 0h"},
        {2591999, "29d 23h"},
        {2592000, "1mo 0d"},
        {31103999, "11mo 29d"},
        {31104000, "1y 0mo"},
        {3110399999.0, "99y 11mo"},
        {3110400000.0, "\xE2\x80\x94"},
        {-1, "\xE2\x80\x94"},
        {std::numeric_limits<double>::infinity(), "\xE2\x80\x94"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_duration(c.seconds), c.text) << c.seconds;
}

// The desktop app takes its locale from the environment: under a decimal comma the documents
// must stay JSON and the formatters must print the same texts.
TEST(StatusNumbers, SameTextsUnderACommaDecimalLocale) {
    test::CommaLocale locale;
    if (!locale.active()) GTEST_SKIP() << locale.why_not();
    StartOptions options;
    options.url = "http://h/a.bin";
    auto task = create_task(options, "/dl");
    std::string fragment = task_status_fragment(*task, task->progress.start_ns + 61'250'000'000);
    EXPECT_NE(fragment.find(",\"elapsed\":61.25,\"segments\":"), std::string::npos) << fragment;
    EXPECT_EQ(format_size(1536), "1.50 KB");
    EXPECT_EQ(format_size(15360), "15.0 KB");
    EXPECT_EQ(format_speed(1536), std::make_pair(std::string("1.5"), std::string("KB/s")));
    EXPECT_EQ(format_duration(3600), "1h 0m");
}

} // namespace
} // namespace twk
