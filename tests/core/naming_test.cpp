#include "core/naming.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "core/sidecar.h"
#include "core/start_request.h"
#include "core/task_list.h"
#include "tests/core/placeholder_driver.h"
#include "tests/support/temp_dir.h"

namespace twk {
namespace {

using test::wait_for;

TEST(NormalizePath, SeparatorsDotsAndRelativePaths) {
    char cwd[4096];
    ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
    struct Case {
        const char* path;
        std::string expected;
    } cases[] = {
        {"/a/b/c.zip", "/a/b/c.zip"},       {"/a//b/./c.zip", "/a/b/c.zip"},
        {"/a/x/../b\\c.zip", "/a/b/c.zip"}, {"/../a", "/a"},
        {"C:\\dl\\..\\f.zip", "C:/f.zip"},  {"dl/f.zip", std::string(cwd) + "/dl/f.zip"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalize_path(c.path), c.expected) << c.path;
}

TEST(NumberedPath, SplitsAtTheLastDot) {
    EXPECT_EQ(numbered_path("/d/f.zip", 1), "/d/f (1).zip");
    EXPECT_EQ(numbered_path("/d/f.tar.gz", 2), "/d/f.tar (2).gz");
    EXPECT_EQ(numbered_path("/d/.profile", 1), "/d/.profile (1)");
    EXPECT_EQ(numbered_path("/d.x/README", 3), "/d.x/README (3)");
    // A name at the length limit gives up the end of its stem, never half a character.
    std::string stem = "a";
    for (int i = 0; i < 83; ++i)
        stem += "\xE4\xB8\xAD"; // 250 bytes
    EXPECT_EQ(numbered_path("/d/" + stem + ".pdf", 12), "/d/" + stem.substr(0, 1 + 81 * 3) + " (12).pdf");
}

TEST(SanitizeServerName, RefusesUnsafeNamesAndDeviceNames) {
    struct Case {
        const char* name;
        const char* expected; // null: refused
    } cases[] = {
        {"report.pdf", "report.pdf"},
        {"  ..hidden.txt. . ", "hidden.txt"},
        {"con.txt", nullptr},
        {"LPT1.log", nullptr},
        {"Com9", nullptr},
        {"com0.txt", "com0.txt"},
        {"console.txt", "console.txt"},
        {"nul", nullptr},
        {"a:b.txt", nullptr},
        {"a/b.txt", nullptr},
        {"a\\b.txt", nullptr},
        {"a\tb.txt", nullptr},
        {"a\x7f.txt", nullptr},
        {" . ", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        auto name = sanitize_server_name(c.name);
        if (c.expected) {
            EXPECT_EQ(name.value_or("<refused>"), c.expected) << c.name;
        } else {
            EXPECT_FALSE(name) << c.name;
        }
    }
    EXPECT_EQ(sanitize_server_name(std::string(255, 'a')), std::string(255, 'a'));
    EXPECT_EQ(sanitize_server_name(std::string(256, 'a')), std::string(255, 'a')); // shortened
}

// A name is created on disk as it is shown: each byte outside a well-formed sequence becomes
// U+FFFD, as the status documents print it.
TEST(ValidUtf8, IllFormedBytesBecomeReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string given;
        std::string expected;
    } cases[] = {
        {"plain.txt", "plain.txt"},
        {"\xE2\x82\xAC.txt", "\xE2\x82\xAC.txt"},                     // the euro sign stays
        {"\xFF\xFE\xC0\xAF.bin", fffd + fffd + fffd + fffd + ".bin"}, // C0 AF: an overlong "/"
        {"\xED\xA0\x80x", fffd + fffd + fffd + "x"},                  // a surrogate
        {"cut\xE2\x82", "cut" + fffd + fffd},
    };
    for (const Case& c : cases)
        EXPECT_EQ(valid_utf8(c.given), c.expected);
    EXPECT_EQ(sanitize_server_name("\xFF\xFE\xC0\xAF.bin"), fffd + fffd + fffd + fffd + ".bin");
}

TEST(ParseContentDisposition, FilenameAndExtendedFilename) {
    struct Case {
        const char* header;
        const char* expected; // null: nothing
    } cases[] = {
        {"attachment; filename=\"a.txt\"; filename*=UTF-8''%E2%82%AC.txt", "\xE2\x82\xAC.txt"},
        {"attachment; filename=\"a.txt\"; filename*=windows-1252''%80.txt", "a.txt"},
        {"attachment; filename*=iso-8859-1'en'%E9t%E9.txt", "\xC3\xA9t\xC3\xA9.txt"},
        {"attachment; filename*=latin1''caf%E9", "caf\xC3\xA9"},
        {"attachment; filename*=''plain.txt", "plain.txt"},
        {"attachment; filename*=utf8''bad%zz.txt; filename=ok.txt", "ok.txt"},
        {"attachment; filename*=utf-8''con.txt; filename=ok.txt", "ok.txt"},
        {"attachment; filename*=utf-8%E2.txt; filename=ok.txt", "ok.txt"},
        {"attachment; filename=\"q\\\"uo\\te.txt\"", "q\"uote.txt"},
        {"attachment; filename=\"a;b.txt\" ; size=3", "a;b.txt"},
        {"attachment; FileName = spaced.txt ; x=y", "spaced.txt"},
        {"filename=first.txt; filename=second.txt", "first.txt"},
        {"inline; name=x; filename=\"/etc/passwd\"", nullptr},
        {"attachment; filename=\"con.txt\"", nullptr},
        {"attachment", nullptr},
        {"attachment;", nullptr},
        {"attachment; filename", nullptr},
        {"attachment; filename=\"unterminated.txt", "unterminated.txt"},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        auto name = parse_content_disposition(c.header);
        if (c.expected) {
            EXPECT_EQ(name.value_or("<nothing>"), c.expected) << c.header;
        } else {
            EXPECT_FALSE(name) << c.header << " gave " << name.value_or("");
        }
    }
}

TEST(IsRealFileName, ExtensionRules) {
    for (const char* yes : {"report.pdf", "a.b.ZIP", "x.7z", "movie.mkv", "data.abcdefgh"}) {
        EXPECT_TRUE(is_real_file_name(yes)) << yes;
    }
    for (const char* no : {"download.bin", "get.php", "index.HTML", "run.action", "download", ".zip", "a.",
                           "a.abcdefghi", "a.t-z"}) {
        EXPECT_FALSE(is_real_file_name(no)) << no;
    }
}

// Tasks in one list, held live by the placeholder driver.
class ListNaming : public ::testing::Test {
protected:
    void SetUp() override {
        list = TaskList::create(10);
        list->set_driver(driver.driver());
    }
    void TearDown() override {
        driver.release_all();
        list->close();
        EXPECT_TRUE(wait_for([&] { return list->live_threads() == 0; }));
    }
    std::shared_ptr<Task> task_for(const std::string& url, const std::string& filename = "",
                                   const std::string& method = "GET") {
        StartOptions options;
        options.url = url;
        options.filename = filename;
        options.method = method;
        return create_task(options, dir.path());
    }
    int32_t add(const std::shared_ptr<Task>& task) { return list->add(task); }

    test::TempDir dir;
    test::PlaceholderDriver driver;
    std::shared_ptr<TaskList> list;
};

TEST_F(ListNaming, LiveTasksNeverShareAPathAndDoneTasksReleaseIt) {
    auto a = task_for("http://h/f.zip?1");
    auto b = task_for("http://h/f.zip?2");
    auto c = task_for("http://h/f.zip?3");
    add(a);
    add(b);
    add(c);
    EXPECT_EQ(a->progress.name(), "f.zip");
    EXPECT_EQ(b->progress.name(), "f (1).zip");
    EXPECT_EQ(c->progress.output_path(), dir.file("f (2).zip"));
    EXPECT_EQ(c->progress.sidecar_path(), dir.file("f (2).zip.twk"));

    // The same path written differently is the same path.
    auto d = task_for("http://h/x", "f.zip");
    d->progress.set_output_path(dir.path() + "/./sub/../f.zip");
    add(d);
    EXPECT_EQ(d->progress.name(), "f (3).zip");

    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 4; }));
    driver.release("http://h/f.zip?1");
    ASSERT_TRUE(wait_for([&] { return list->snapshot().entries[0]->state == kDone; }));
    auto e = task_for("http://h/f.zip?5");
    add(e);
    EXPECT_EQ(e->progress.name(), "f.zip"); // done tasks hold nothing, and no file was written
}

TEST_F(ListNaming, ExistingFilesAreKeptUnlessTheyAreTheTasksOwnInterruptedRun) {
    test::write_file(dir.file("f.zip"), "finished earlier");
    test::write_file(dir.file("f (1).zip"), "the user's file");
    auto fresh = task_for("http://h/f.zip");
    add(fresh);
    EXPECT_EQ(fresh->progress.name(), "f (2).zip");
    EXPECT_EQ(test::read_file(dir.file("f.zip")), "finished earlier");

    // An interrupted run with a sidecar that loads: the new task continues it.
    test::write_file(dir.file("g.iso"), std::string(100, 'x'));
    ResumeState state;
    state.total = 1000;
    state.segments = {make_segment(0, 100, 1000)};
    test::write_file(dir.file("g.iso.twk"), sidecar_image(state));
    auto resumed = task_for("http://h/g.iso");
    add(resumed);
    EXPECT_EQ(resumed->progress.name(), "g.iso");

    // A sidecar that does not load does not make the file the task's own.
    test::write_file(dir.file("h.iso"), "short");
    test::write_file(dir.file("h.iso.twk"), sidecar_image(state)); // pos 100 beyond 5 bytes
    auto other = task_for("http://h/h.iso");
    add(other);
    EXPECT_EQ(other->progress.name(), "h (1).iso");

    // Only GET tasks resume from a sidecar.
    auto post = task_for("http://h/g.iso", "", "POST");
    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 3; }));
    driver.release("http://h/g.iso"); // frees g.iso among the tasks
    ASSERT_TRUE(wait_for([&] { return list->snapshot().entries[1]->state == kDone; }));
    add(post);
    EXPECT_EQ(post->progress.name(), "g (1).iso");
}

TEST_F(ListNaming, ResumeRechecksThePathAgainstTasksAndFiles) {
    auto first = task_for("http://h/r.bin?1");
    int32_t id = add(first);
    ASSERT_TRUE(wait_for([&] { return driver.started_count() == 1; }));
    list->pause(id);
    ASSERT_TRUE(wait_for([&] { return list->snapshot().entries[0]->state == kPaused; }));

    auto second = task_for("http://h/r.bin?2");
    add(second); // the paused task still holds r.bin
    EXPECT_EQ(second->progress.name(), "r (1).bin");

    list->cancel(2); // a canceled task still holds its path
    test::write_file(dir.file("r.bin"), "appeared while paused");
    list->resume(id);
    EXPECT_EQ(first->progress.name(), "r (2).bin");
    EXPECT_EQ(test::read_file(dir.file("r.bin")), "appeared while paused");
}

TEST_F(ListNaming, SetOutputPathUsesTheListAndReportsTheId) {
    auto a = task_for("http://h/one.bin");
    auto b = task_for("http://h/two.bin");
    add(a);
    int32_t id = add(b);
    auto [path, got] = set_output_path(b->context(), dir.file("one.bin"));
    EXPECT_EQ(path, dir.file("one (1).bin"));
    EXPECT_EQ(got, id);
    EXPECT_EQ(b->progress.name(), "one (1).bin");

    auto loose = task_for("http://h/one.bin");
    EXPECT_EQ(set_output_path(loose->context(), dir.file("one.bin")), std::make_pair(dir.file("one.bin"), 0));
}

// The server file name step against a task whose output file is open.
class ServerName : public ListNaming {
protected:
    std::shared_ptr<Task> started(const std::string& url, const std::string& filename = "") {
        auto task = task_for(url, filename);
        add(task);
        test::write_file(task->progress.output_path(), "");
        task->progress.created_output = true;
        runs[task.get()] = std::make_unique<DriverRun>(task->context(), settings);
        return task;
    }
    // The run of a task `started` made, which the server file name step belongs to.
    DriverRun& run_of(const std::shared_ptr<Task>& task) { return *runs.at(task.get()); }

    DriverSettings settings;
    std::map<const Task*, std::unique_ptr<DriverRun>> runs;
};

TEST_F(ServerName, ContentDispositionRenamesTheOutputAndDropsTheOldSidecar) {
    auto task = started("http://h/download");
    ResumeState state;
    state.total = 10;
    state.segments = {make_segment(0, 0, 10)};
    test::write_file(task->progress.sidecar_path(), sidecar_image(state));
    ServerNaming response;
    response.content_disposition = "attachment; filename=\"report.pdf\"";
    EXPECT_EQ(apply_server_file_name(run_of(task), response), ServerNameResult::kRenamed);
    EXPECT_EQ(task->progress.name(), "report.pdf");
    EXPECT_EQ(task->progress.sidecar_path(), dir.file("report.pdf.twk"));
    EXPECT_TRUE(test::file_exists(dir.file("report.pdf")));
    EXPECT_FALSE(test::file_exists(dir.file("download")));
    EXPECT_FALSE(test::file_exists(dir.file("download.twk")));

    // At most once per run.
    response.content_disposition = "attachment; filename=\"other.pdf\"";
    EXPECT_EQ(apply_server_file_name(run_of(task), response), ServerNameResult::kKept);
}

TEST_F(ServerName, RedirectTargetsCountOnlyWhenTheyAreRealFileNames) {
    auto script = started("http://h/a/download");
    ServerNaming response;
    response.redirected = true;
    response.final_path = "/get.php?id=3";
    EXPECT_EQ(apply_server_file_name(run_of(script), response), ServerNameResult::kKept);
    EXPECT_EQ(script->progress.name(), "download");

    auto file = started("http://h/b/download?x");
    response.final_path = "/files/My%20Report.pdf?sig=1";
    EXPECT_EQ(apply_server_file_name(run_of(file), response), ServerNameResult::kRenamed);
    EXPECT_EQ(file->progress.name(), "My Report.pdf");

    auto named = started("http://h/c/real.zip");
    response.final_path = "/other.pdf";
    EXPECT_EQ(apply_server_file_name(run_of(named), response), ServerNameResult::kKept); // already real
}

TEST_F(ServerName, ExistingFilesAndRequestedNamesAreLeftAlone) {
    test::write_file(dir.file("report.pdf"), "keep me");
    auto task = started("http://h/download");
    ServerNaming response;
    response.content_disposition = "attachment; filename=report.pdf";
    EXPECT_EQ(apply_server_file_name(run_of(task), response), ServerNameResult::kRenamed);
    EXPECT_EQ(task->progress.name(), "report (1).pdf");
    EXPECT_EQ(test::read_file(dir.file("report.pdf")), "keep me");

    auto requested = started("http://h/x", "mine.bin");
    EXPECT_EQ(apply_server_file_name(run_of(requested), response), ServerNameResult::kKept);
    EXPECT_EQ(requested->progress.name(), "mine.bin");

    auto resumed = started("http://h/download2");
    run_of(resumed).resumed = true;
    EXPECT_EQ(apply_server_file_name(run_of(resumed), response), ServerNameResult::kKept);
}

TEST_F(ServerName, AnInterruptedRunUnderTheServerNameIsAdopted) {
    test::write_file(dir.file("big.iso"), std::string(300, 'x'));
    ResumeState state;
    state.total = 1000;
    state.validator = "\"v\"";
    state.segments = {make_segment(0, 300, 1000)};
    test::write_file(dir.file("big.iso.twk"), sidecar_image(state));

    auto task = started("http://h/download");
    ServerNaming response;
    response.content_disposition = "attachment; filename=big.iso";
    response.ranged = true;
    response.size = 999; // another size: not the same run
    EXPECT_EQ(apply_server_file_name(run_of(task), response), ServerNameResult::kRenamed);
    EXPECT_EQ(task->progress.name(), "big (1).iso");

    auto again = started("http://h/download?2");
    response.size = 1000;
    EXPECT_EQ(apply_server_file_name(run_of(again), response), ServerNameResult::kAdoptResume);
    EXPECT_TRUE(run_of(again).restart);
    EXPECT_TRUE(run_of(again).adopt_resume);
    EXPECT_FALSE(again->progress.created_output);
    EXPECT_FALSE(test::file_exists(dir.file("download"))); // the empty file this run created
    EXPECT_EQ(again->progress.output_path(), dir.file("big.iso"));
    auto [path, pending] = run_of(again).take_pending_adopt();
    EXPECT_EQ(path, dir.file("big.iso"));
    EXPECT_EQ(pending.total, 1000u);
    EXPECT_EQ(pending.validator, "\"v\"");
    ASSERT_EQ(pending.segments.size(), 1u);
    EXPECT_EQ(pending.segments[0]->pos, 300u);
}

} // namespace
} // namespace twk
