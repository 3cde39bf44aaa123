// The task journal: its file format and atomic writing, what a damaged file leads to, and an
// engine that keeps its list across a restart while nginx serves the downloads.
#include "core/journal_keeper.h"
#include "core/task_journal.h"

#include <gtest/gtest.h>

#include <chrono>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/engine_api.h"
#include "core/status_document.h"
#include "core/task_list.h"
#include "tests/core/driver_fixture.h"
#include "tests/core/placeholder_driver.h"
#include "tests/support/nginx_site.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "json/json.h"

namespace twk {
namespace {

using test::file_exists;
using test::read_file;
using test::TempDir;
using test::wait_until;
using test::write_file;

constexpr int64_t kDeadlineMs = 60'000;

// Every member away from its default, and the texts JSON must escape.
JournalEntry full_entry() {
    JournalEntry e;
    e.id = 7;
    e.request.url = "https://example.com/a/b.zip?x=1&y=\"2\"";
    e.filename = "b \"quoted\" \xC3\xA9.zip";
    e.output_path = "/home/u/Downloads/b \"quoted\" \xC3\xA9.zip";
    e.request.connections = 16;
    e.request.method = "POST";
    e.request.headers = {{"Authorization", "Bearer abc\\def"},
                         {"X-Twice", "1"},
                         {"X-Twice", "2"},
                         {"Cookie", "sid=42; lang=en"},
                         {"Referer", "https://example.com/page"}};
    e.request.post_data = "a=1&b=\t2";
    e.request.user_agent = "Mozilla/5.0";
    e.request.insecure = true;
    e.request.proxy.kind = kProxySocks5Remote;
    e.request.proxy.host = "::1";
    e.request.proxy.port = 1080;
    e.request.proxy.user = "al:ice";
    e.request.proxy.password = "p@ss";
    e.bandwidth_limit = 1'048'576;
    e.request.stream_type = "hls";
    e.request.auto_named = true;
    e.request.checksum = "sha-256=" + std::string(64, 'a');
    e.request.live_from_start = true;
    e.request.skip_bad_segments = true;
    e.request.added_ms = 1'765'400'000'123;
    e.request.live_outage_limit = 900;
    e.live = {true, 41, 82'000, 2, 14'000, 0xFEDCBA9876543210};
    e.state = kError;
    e.status = "error: HTTP 404";
    e.total = kMaxJournalNumber;
    e.done = 123456789;
    e.supports_range = true;
    return e;
}

JournalEntry plain_entry(int32_t id, int32_t state, const std::string& output_path) {
    JournalEntry e;
    e.id = id;
    e.request.url = "http://127.0.0.1:9/f" + std::to_string(id) + ".bin";
    e.output_path = output_path;
    e.filename = output_path.substr(output_path.find_last_of('/') + 1);
    e.state = state;
    e.status = std::string(journal_state_name(state));
    if (state == kError) e.status = "error: connect failed: 127.0.0.1";
    e.total = 1000;
    e.done = state == kDone ? 1000 : 400;
    e.supports_range = true;
    e.request.added_ms = 1'700'000'000'000 + id;
    return e;
}

std::string describe(const JournalEntry& e) { return journal_document({e}); }

mode_t file_mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(TaskJournal, EveryMemberSurvivesTheRoundTripThroughTheFile) {
    TempDir dir;
    const std::string path = dir.file("state/tarnwick/tasks.json");
    std::vector<JournalEntry> entries = {full_entry(), plain_entry(8, kPaused, "/tmp/x.bin")};
    std::string error;
    ASSERT_TRUE(write_journal(path, entries, error)) << error;

    JournalLoad load = load_journal(path);
    EXPECT_FALSE(load.set_aside) << load.problem;
    ASSERT_EQ(load.entries.size(), 2u);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(describe(load.entries[i]), describe(entries[i]));
    const JournalEntry& back = load.entries[0];
    EXPECT_EQ(back.request.headers, entries[0].request.headers); // order and repeated names kept
    EXPECT_EQ(back.request.proxy.password, "p@ss");
    EXPECT_EQ(back.total, kMaxJournalNumber);
    EXPECT_FALSE(file_exists(path + ".tmp"));
}

// The URL is stored whole (the task needs it back); the human-readable status shows its password
// as ***.
TEST(TaskJournal, TheStatusShowsNoPasswordButTheUrlIsKeptWhole) {
    TaskRequest request;
    request.url = "ftp://ann:s3cret@h/f.iso";
    Task task(request);
    task.progress.set_failure("error: http 404 for ftp://ann:s3cret@h/f.iso", FailureCategory::kHttpStatus);
    const JournalEntry entry = journal_entry(3, kError, task);
    EXPECT_EQ(entry.request.url, "ftp://ann:s3cret@h/f.iso");
    EXPECT_EQ(entry.status, "error: http 404 for ftp://ann:***@h/f.iso");
}

TEST(TaskJournal, TheFileIsPrivateEvenWhenAnEarlierOneWasNot) {
    TempDir dir;
    const std::string path = dir.file("tasks.json");
    // A journal and a left-over temporary file that others could read.
    for (const std::string& stale : {path, path + ".tmp"}) {
        write_file(stale, "{}");
        ::chmod(stale.c_str(), 0644);
    }
    std::string error;
    ASSERT_TRUE(write_journal(path, {full_entry()}, error)) << error;
    EXPECT_EQ(file_mode(path), 0600u);

    const std::string fresh = dir.file("new/state/tasks.json");
    ASSERT_TRUE(write_journal(fresh, {}, error)) << error;
    EXPECT_EQ(file_mode(fresh), 0600u);
    EXPECT_EQ(file_mode(dir.file("new/state")), 0700u);
}

// What a damaged file leads to: the entries that load, and whether the file is set aside.
struct DamageCase {
    const char* what;
    std::string text;
    std::vector<int32_t> loaded;
};

std::string with_entry_change(const std::string& from, const std::string& to) {
    std::string text =
        journal_document({plain_entry(1, kDone, "/tmp/one.bin"), plain_entry(2, kPaused, "/tmp/two.bin"),
                          plain_entry(3, kError, "/tmp/three.bin")});
    size_t at = text.find("\"id\":2,");
    at = text.find(from, at);
    if (at == std::string::npos) return "no such member: " + from;
    return text.replace(at, from.size(), to);
}

TEST(TaskJournal, AFileOfAnotherShapeIsSetAsideAndABadEntryOnlyCostsItself) {
    const std::string good =
        journal_document({plain_entry(1, kDone, "/tmp/one.bin"), plain_entry(2, kPaused, "/tmp/two.bin"),
                          plain_entry(3, kError, "/tmp/three.bin")});
    const std::vector<DamageCase> cases = {
        {"cut in the middle", good.substr(0, good.size() / 2), {}},
        {"garbage", std::string("\x89PNG\r\n\x1a\n\0\0garbage", 18), {}},
        {"empty", "", {}},
        {"a list, not an object", "[" + good + "]", {}},
        {"another version", "{\"version\":2,\"tasks\":[]}", {}},
        {"tasks not a list", "{\"version\":1,\"tasks\":{}}", {}},
        {"trailing text", good + "x", {}},
        {"an entry without its URL", with_entry_change("\"url\":", "\"uri\":"), {1, 3}},
        {"an unknown state", with_entry_change("\"state\":\"paused\"", "\"state\":\"sleeping\""), {1, 3}},
        {"a line break in a header",
         with_entry_change("\"headers\":[]", "\"headers\":[[\"X\",\"a\\r\\nHost: evil\"]]"),
         {1, 3}},
        {"a duplicate id", with_entry_change("\"id\":2,", "\"id\":1,"), {1, 3}},
        {"a connection count we never make",
         with_entry_change("\"connections\":8", "\"connections\":6"),
         {1, 3}},
        {"a negative total", with_entry_change("\"total\":1000", "\"total\":-1"), {1, 3}},
        {"a fractional done", with_entry_change("\"done\":400", "\"done\":4.5"), {1, 3}},
        {"a path with no file name",
         with_entry_change("\"outputPath\":\"/tmp/two.bin\"", "\"outputPath\":\"/tmp/\""),
         {1, 3}},
        {"a number where text belongs", with_entry_change("\"status\":\"paused\"", "\"status\":4"), {1, 3}},
        {"a live recording whose digest is no digest",
         with_entry_change("\"supportsRange\":true}",
                           "\"supportsRange\":true,\"live\":{\"next\":3,\"recordedMs\":0,\"gaps\":0,"
                           "\"gapMs\":0,\"init\":\"xyz\"}}"),
         {1, 3}},
        {"a live recording before its first segment",
         with_entry_change("\"supportsRange\":true}",
                           "\"supportsRange\":true,\"live\":{\"next\":-2,\"recordedMs\":0,\"gaps\":0,"
                           "\"gapMs\":0,\"init\":\"0000000000000000\"}}"),
         {1, 3}},
    };
    for (const DamageCase& c : cases) {
        TempDir dir;
        const std::string path = dir.file("tasks.json");
        write_file(path, c.text);
        JournalLoad load = load_journal(path);
        std::vector<int32_t> ids;
        for (const JournalEntry& e : load.entries)
            ids.push_back(e.id);
        EXPECT_EQ(ids, c.loaded) << c.what;
        EXPECT_TRUE(load.set_aside) << c.what;
        EXPECT_FALSE(load.problem.empty()) << c.what;
        EXPECT_FALSE(file_exists(path)) << c.what;
        EXPECT_EQ(read_file(path + ".bad"), c.text) << c.what;
    }
}

TEST(TaskJournal, AMissingFileIsAnEmptyListAndNothingIsSetAside) {
    TempDir dir;
    JournalLoad load = load_journal(dir.file("tasks.json"));
    EXPECT_TRUE(load.entries.empty());
    EXPECT_FALSE(load.set_aside);
    EXPECT_FALSE(file_exists(dir.file("tasks.json.bad")));
}

// The writer is stopped by the kernel part-way through the new document: what it leaves behind
// must still be the previous journal, whole.
TEST(TaskJournal, AWriterKilledMidWriteLeavesThePreviousJournalReadable) {
    TempDir dir;
    const std::string path = dir.file("tasks.json");
    std::string error;
    ASSERT_TRUE(write_journal(path, {plain_entry(1, kPaused, "/tmp/one.bin")}, error)) << error;

    std::vector<JournalEntry> many;
    for (int32_t id = 1; id <= 200; ++id)
        many.push_back(plain_entry(id, kPaused, "/tmp/f" + std::to_string(id) + ".bin"));
    ASSERT_GT(journal_document(many).size(), 16'384u);

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Any file grown past 4 KiB kills the writer with SIGXFSZ in the middle of its write.
        rlimit size{4096, 4096};
        rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        ::setrlimit(RLIMIT_FSIZE, &size);
        ::signal(SIGXFSZ, SIG_DFL);
        std::string child_error;
        write_journal(path, many, child_error);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was not stopped mid-write";
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);

    JournalLoad load = load_journal(path);
    EXPECT_FALSE(load.set_aside) << load.problem;
    ASSERT_EQ(load.entries.size(), 1u);
    EXPECT_EQ(load.entries[0].output_path, "/tmp/one.bin");
}

// --- the engine with a journal ---

struct Row {
    int64_t id = 0;
    std::string name, status;
    uint64_t total = 0, done = 0;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
    return out << r.id << " " << r.name << " " << r.status << " " << r.done << "/" << r.total;
}

std::vector<Row> rows(Engine* engine) {
    char* text = engine_list_document(engine);
    OrderedJsonValue root;
    bool ok = parse_ordered_document(text ? text : "", root);
    engine_release_text(text);
    std::vector<Row> out;
    const OrderedJsonValue* tasks = ok ? root.member("tasks") : nullptr;
    if (!tasks) return out;
    for (const OrderedJsonValue& t : tasks->array) {
        out.push_back(Row{static_cast<int64_t>(t.unsigned_member("id", 0)), t.string_member("name", ""),
                          t.string_member("status", ""), t.unsigned_member("total", 0),
                          t.unsigned_member("done", 0)});
    }
    return out;
}

std::shared_ptr<TaskEntry> entry_of(Engine* engine, int32_t id) {
    for (const auto& e : engine_task_list(engine)->snapshot().entries) {
        if (e->id == id) return e;
    }
    return nullptr;
}

// Waits until the task's thread has ended; its status then.
std::string settle(Engine* engine, int32_t id) {
    auto e = entry_of(engine, id);
    if (!e) return "no such task";
    bool ended = wait_until([&] { return e->state != kQueued && e->state != kRunning && !e->thread_live; },
                            kDeadlineMs);
    return ended ? e->task->progress.status() : "still running: " + e->task->progress.status();
}

TEST(TaskJournalEngine, RestoredTasksComeBackByTheRules) {
    TempDir dir;
    const std::string journal = dir.file("state/tasks.json");
    write_file(dir.file("kept.bin"), std::string(1000, 'k'));
    // A hand-edited entry gets the cleaning a new request gets: no Range of its own.
    JournalEntry edited = plain_entry(6, kPaused, dir.file("paused.bin"));
    edited.request.headers = {{"Range", "bytes=0-1"}, {"X-Keep", "1"}, {"User-Agent", "Edited"}};
    std::string error;
    ASSERT_TRUE(write_journal(
        journal,
        {plain_entry(3, kDone, dir.file("kept.bin")), plain_entry(9, kDone, dir.file("gone.bin")),
         plain_entry(4, kRunning, dir.file("running.bin")), plain_entry(5, kQueued, dir.file("queued.bin")),
         edited, plain_entry(7, kError, dir.file("failed.bin")),
         plain_entry(8, kCanceled, dir.file("canceled.bin"))},
        error))
        << error;

    Engine* engine = engine_create(dir.path(), 3);
    ASSERT_TRUE(engine_set_journal(engine, journal));
    EXPECT_FALSE(engine_set_journal(engine, journal)); // one journal per engine
    const std::vector<Row> expected = {
        {3, "kept.bin", "done", 1000, 1000},
        {9, "gone.bin", "error: file missing", 1000, 0},
        {4, "running.bin", "paused", 1000, 400},
        {5, "queued.bin", "paused", 1000, 400},
        {6, "paused.bin", "paused", 1000, 400},
        {7, "failed.bin", "error: connect failed: 127.0.0.1", 1000, 400},
        {8, "canceled.bin", "canceled", 1000, 0},
    };
    EXPECT_EQ(rows(engine), expected);
    EXPECT_EQ(entry_of(engine, 6)->task->request.headers, (HeaderList{{"X-Keep", "1"}}));
    // Nothing restored runs on its own.
    EXPECT_TRUE(engine_task_list(engine)->all_settled());
    EXPECT_EQ(engine_task_list(engine)->live_threads(), 0);

    // When each was added comes back too, and reaches the list.
    EXPECT_EQ(entry_of(engine, 7)->task->request.added_ms, 1'700'000'000'007);
    EXPECT_EQ(snapshot_task(6, kPaused, *entry_of(engine, 6)->task).added_ms, 1'700'000'000'006);

    // Ids go on after the highest one loaded; a new task is stamped with the time it was added.
    const int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    EXPECT_EQ(engine_add(engine, "http://127.0.0.1:9/new.bin", 1, ""), 10);
    EXPECT_GE(entry_of(engine, 10)->task->request.added_ms, before);
    EXPECT_LE(entry_of(engine, 10)->task->request.added_ms, before + 60'000);
    engine_pause(engine, 10);
    ASSERT_NE(settle(engine, 10), "no such task");

    // Cancelling is the app's delete: the task leaves the journal. Canceled ones stay out too.
    engine_cancel(engine, 6);
    auto ids_in_journal = [&] {
        std::vector<int32_t> ids;
        for (const JournalEntry& e : parse_journal(read_file(journal)).entries)
            ids.push_back(e.id);
        return ids;
    };
    const std::vector<int32_t> kept = {3, 9, 4, 5, 7, 10};
    EXPECT_TRUE(wait_until([&] { return ids_in_journal() == kept; }, kDeadlineMs)) << read_file(journal);
    engine_destroy(engine);
    EXPECT_EQ(ids_in_journal(), kept);
    EXPECT_EQ(file_mode(journal), 0600u);
}

// The keeper reads again only the tasks that changed: every change to a task that is not running
// still reaches the file (a state at once, a new path, progress by the stop at the latest).
TEST(TaskJournalKeeper, ChangesToSettledTasksReachTheFile) {
    TempDir dir;
    const std::string journal = dir.file("state/tasks.json");
    test::PlaceholderDriver driver;
    std::shared_ptr<TaskList> list = TaskList::create(1);
    list->set_driver(driver.driver());
    std::string error;
    std::unique_ptr<JournalKeeper> keeper = JournalKeeper::open(list, journal, error);
    ASSERT_TRUE(keeper) << error;
    std::vector<std::shared_ptr<Task>> tasks;
    for (const char* url : {"http://h/run.bin", "http://h/b.bin", "http://h/c.bin"}) {
        StartOptions options;
        options.url = url;
        tasks.push_back(create_task(options, dir.path()));
        list->add(tasks.back());
    }
    list->pause(2);
    list->pause(3);
    // The entry of `id` in the file, once `holds` says it is as wanted: at once, not on a look the
    // keeper makes every so often whatever changed.
    const auto written = [&](int32_t id, const std::function<bool(const JournalEntry&)>& holds) {
        return wait_until(
            [&] {
                for (const JournalEntry& e : load_journal(journal).entries)
                    if (e.id == id) return holds(e);
                return false;
            },
            10'000);
    };
    EXPECT_TRUE(written(3, [](const JournalEntry& e) { return e.state == kPaused; }));

    tasks[2]->progress.set_output_path(dir.file("renamed.bin"));
    EXPECT_TRUE(written(3, [&](const JournalEntry& e) { return e.output_path == dir.file("renamed.bin"); }));
    driver.release("http://h/run.bin");
    EXPECT_TRUE(written(1, [](const JournalEntry& e) { return e.state == kDone; }));

    {
        std::lock_guard lock(tasks[1]->progress.segment_lock);
        tasks[1]->progress.segments = {make_segment(0, 300, kUnknownEnd)};
    }
    tasks[1]->progress.note_progress();
    keeper->stop();
    JournalLoad load = load_journal(journal);
    ASSERT_EQ(load.entries.size(), 3u);
    EXPECT_EQ(load.entries[1].done, 300u);
    EXPECT_EQ(load.entries[2].output_path, dir.file("renamed.bin"));
    driver.release_all();
    list->close();
}

// Ids are never given twice, across restarts too: deleting the newest tasks does not hand their
// ids to the next ones. A journal from before the file kept the next id still loads.
TEST(TaskJournalKeeper, DeletedIdsDoNotComeBackAfterARestart) {
    TempDir dir;
    const std::string journal = dir.file("state/tasks.json");
    const auto session = [&](const std::function<void(TaskList&)>& work) {
        test::PlaceholderDriver driver;
        std::shared_ptr<TaskList> list = TaskList::create(1);
        list->set_driver(driver.driver());
        std::string error;
        std::unique_ptr<JournalKeeper> keeper = JournalKeeper::open(list, journal, error);
        ASSERT_TRUE(keeper) << error;
        work(*list);
        keeper->stop();
        driver.release_all();
        list->close();
    };
    const auto add = [&](TaskList& list, const std::string& url) {
        StartOptions options;
        options.url = url;
        const int32_t id = list.add(create_task(options, dir.path()));
        list.pause(id);
        return id;
    };

    session([&](TaskList& list) {
        for (const char* url : {"http://h/a.bin", "http://h/b.bin", "http://h/c.bin"})
            add(list, url);
        list.remove(3);
        list.remove(2);
    });
    EXPECT_EQ(load_journal(journal).next_id, 4);
    session([&](TaskList& list) { EXPECT_EQ(add(list, "http://h/d.bin"), 4); });

    std::string error;
    ASSERT_TRUE(write_journal(journal, {plain_entry(7, kPaused, dir.file("old.bin"))}, error)) << error;
    EXPECT_EQ(read_file(journal).find("nextId"), std::string::npos);
    session([&](TaskList& list) { EXPECT_EQ(add(list, "http://h/e.bin"), 8); });
    EXPECT_EQ(load_journal(journal).next_id, 9);
}

TEST(TaskJournalEngine, AGarbageJournalIsSetAsideAndTheEngineStartsEmpty) {
    TempDir dir;
    const std::string journal = dir.file("tasks.json");
    write_file(journal, "{\"version\":1,\"tasks\":[{\"id\":1,\"url\":");
    Engine* engine = engine_create(dir.path(), 3);
    ASSERT_TRUE(engine_set_journal(engine, journal));
    EXPECT_TRUE(rows(engine).empty());
    EXPECT_TRUE(file_exists(journal + ".bad"));
    // A second engine on the same journal (twk serve beside the app) keeps no list of its own
    // rather than writing over this one's.
    Engine* other = engine_create(dir.path(), 3);
    EXPECT_FALSE(engine_set_journal(other, journal));
    engine_destroy(other);
    EXPECT_EQ(engine_add(engine, "http://127.0.0.1:9/first.bin", 1, ""), 1);
    engine_pause(engine, 1);
    engine_destroy(engine);
    JournalParse written = parse_journal(read_file(journal));
    EXPECT_TRUE(written.parsed);
    EXPECT_EQ(written.entries.size(), 1u);
}

// The scenario of a user who closes the app with a finished, a half-done and a failed download.
class JournalRestart : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"www/slow", "nginx", "dl"})
            std::filesystem::create_directories(dir.file(folder));
        test::write_random_file(dir.file("www/done.bin"), 300'000, 1);
        test::write_random_file(dir.file("www/slow/paused.bin"), kSlowSize, 2);
        std::string error;
        // Four connections of 128 KiB/s: a pause lands well before the end.
        ASSERT_TRUE(
            site.start(dir.file("www"), dir.file("nginx"), "location /slow/ { limit_rate 128k; }", error))
            << error;
    }
    int32_t add(Engine* engine, const std::string& path, const std::string& members) {
        return engine_add_json(engine, "{\"url\":\"" + site.url(path) + "\"," + members + "}");
    }

    static constexpr uint64_t kSlowSize = 2'500'000;
    TempDir dir;
    test::NginxSite site;
};

TEST_F(JournalRestart, TheListComesBackAndThePausedDownloadFetchesOnlyWhatIsMissing) {
    const std::string journal = dir.file("state/tarnwick/tasks.json");
    Engine* first = engine_create(dir.file("dl"), 3);
    ASSERT_TRUE(engine_set_journal(first, journal));
    const int32_t done = add(first, "/done.bin", "\"connections\":4");
    ASSERT_EQ(settle(first, done), "done");
    const int32_t paused =
        add(first, "/slow/paused.bin",
            "\"connections\":4,\"cookies\":\"sid=secret\",\"referrer\":\"http://127.0.0.1/page\","
            "\"headers\":{\"X-One\":\"1\",\"Authorization\":\"Bearer t0k3n\"}");
    ASSERT_GT(paused, 0);
    ASSERT_TRUE(wait_until([&] { return entry_of(first, paused)->task->progress.bytes_done() > 400'000; },
                           kDeadlineMs));
    engine_pause(first, paused);
    ASSERT_EQ(settle(first, paused), "paused");
    const int32_t failed = add(first, "/missing.bin", "\"connections\":2");
    ASSERT_TRUE(settle(first, failed).starts_with("error")) << settle(first, failed);
    const std::vector<Row> before = rows(first);
    const HeaderList headers = entry_of(first, paused)->task->request.headers;
    const uint64_t kept = entry_of(first, paused)->task->progress.bytes_done();
    ASSERT_LT(kept, kSlowSize);
    engine_destroy(first);
    EXPECT_EQ(file_mode(journal), 0600u);
    EXPECT_NE(read_file(journal).find("sid=secret"), std::string::npos);

    Engine* second = engine_create(dir.file("dl"), 3);
    ASSERT_TRUE(engine_set_journal(second, journal));
    EXPECT_EQ(rows(second), before);
    EXPECT_EQ(entry_of(second, paused)->task->request.headers, headers);

    const int64_t since = test::wall_clock_ms();
    engine_resume(second, paused);
    EXPECT_EQ(settle(second, paused), "done");
    std::string why;
    EXPECT_TRUE(test::same_file(dir.file("www/slow/paused.bin"), dir.file("dl/paused.bin"), why)) << why;
    // nginx logs a request when it ends; give the last ones a moment to be written.
    const uint64_t missing = kSlowSize - kept;
    uint64_t fetched = 0;
    wait_until([&] { return (fetched = site.body_bytes_since(since)) >= missing; }, 5'000);
    EXPECT_GE(fetched, missing);
    // Connections closed at a split may have carried a little beyond their new end.
    EXPECT_LE(fetched, missing + kSlowSize / 8) << "kept " << kept;
    EXPECT_EQ(add(second, "/done.bin", "\"connections\":1,\"filename\":\"again.bin\""), failed + 1);
    engine_destroy(second);
}

} // namespace
} // namespace twk

namespace twk {
namespace {

// Removing is the app's Delete: gone from the list and the journal in every state, a done file
// kept, a partial one deleted; put_back brings a removal back under its old id.
TEST_F(JournalRestart, RemovedTasksStayGoneAndPutBackUndoesARemoval) {
    const std::string journal = dir.file("state/tarnwick/tasks.json");
    Engine* first = engine_create(dir.file("dl"), 3);
    ASSERT_TRUE(engine_set_journal(first, journal));
    const int32_t done = add(first, "/done.bin", "\"connections\":2");
    ASSERT_EQ(settle(first, done), "done");
    const int32_t running = add(first, "/slow/paused.bin", "\"connections\":2");
    ASSERT_TRUE(
        wait_until([&] { return entry_of(first, running)->task->progress.bytes_done() > 0; }, kDeadlineMs));
    const std::string partial = entry_of(first, running)->task->progress.output_path();
    const int32_t failed = add(first, "/missing.bin", "\"connections\":1");
    ASSERT_TRUE(settle(first, failed).starts_with("error"));

    TaskList::Removed gone_done = first->remove(done);
    ASSERT_TRUE(gone_done.entry);
    EXPECT_EQ(gone_done.state, kDone);
    TaskList::Removed gone_running = first->remove(running);
    EXPECT_EQ(gone_running.state, kRunning);
    EXPECT_FALSE(first->remove(999).entry);
    EXPECT_TRUE(test::file_exists(dir.file("dl/done.bin"))) << "a done task's file stays";
    EXPECT_TRUE(wait_until([&] { return !test::file_exists(partial); }, kDeadlineMs));
    EXPECT_EQ(first->snapshot().tasks.size(), 1u);

    // Undo: the done task comes back as it was, the stopped one paused, once its run ended.
    ASSERT_TRUE(first->put_back(gone_done));
    EXPECT_FALSE(first->put_back(gone_done)) << "its id is taken again";
    ASSERT_TRUE(wait_until([&] { return first->put_back(gone_running); }, kDeadlineMs));
    EXPECT_EQ(settle(first, done), "done");
    EXPECT_EQ(settle(first, running), "paused");
    first->remove(done);
    first->remove(failed);
    engine_destroy(first);

    Engine* second = engine_create(dir.file("dl"), 3);
    ASSERT_TRUE(engine_set_journal(second, journal));
    const std::vector<TaskSnapshot> left = second->snapshot().tasks;
    ASSERT_EQ(left.size(), 1u) << read_file(journal);
    EXPECT_EQ(left[0].id, running);
    engine_destroy(second);
}

} // namespace
} // namespace twk
