// The watcher of `twk get` on an engine whose task threads run a scripted driver: what it prints
// and the status it ends with, without a network.
#include "cli/get_command.h"

#include "cli/task_progress.h"
#include "core/engine.h"
#include "core/task_list.h"
#include "tests/support/temp_dir.h"
#include "json/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

namespace twk {
namespace {

// Each run reports "downloading" for a moment, then ends "done", or with the error its URL
// names after "#" ("http://h/x#error: http 404").
void scripted_run(const RunContext& task) {
    task.progress.set_status(TaskPhase::kDownloading);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t hash = task.request.url.find('#');
    if (hash == std::string::npos)
        task.progress.finish(RunEnd::kDone);
    else
        task.progress.set_failure(task.request.url.substr(hash + 1), FailureCategory::kHttpStatus);
}

class GetCommand : public ::testing::Test {
protected:
    void SetUp() override {
        EngineOptions options;
        options.download_dir = dir.path();
        options.max_concurrent = 3;
        engine = Engine::create(options);
        engine->task_list()->set_driver(scripted_run);
    }
    void TearDown() override { engine.reset(); }

    // Runs the watcher; its standard output and error land in `out` and `err`.
    int run(std::vector<std::string> args) {
        GetOptions options;
        std::string error;
        EXPECT_TRUE(parse_get_options(args, options, error)) << error;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = get_with_engine(*engine, dir.path(), options);
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return status;
    }

    test::TempDir dir;
    std::unique_ptr<Engine> engine;
    std::string out, err;
};

TEST_F(GetCommand, AllDoneExitsZeroWithAChangeLineAndAClosingLinePerTask) {
    EXPECT_EQ(run({"http://h/a.bin", "http://h/b.bin"}), kExitDone);
    EXPECT_NE(out.find("[1] a.bin: downloading\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[2] b.bin: done\n"), std::string::npos) << out;
    EXPECT_NE(out.find("done  " + dir.file("a.bin") + "  0 B\ndone  " + dir.file("b.bin") + "  0 B\n"),
              std::string::npos)
        << out;
}

TEST_F(GetCommand, AnErrorExitsOneAndNamesTheUrl) {
    EXPECT_EQ(run({"-q", "http://h/a.bin", "http://h/c.bin#error: http 404"}), kExitFailed);
    EXPECT_EQ(out, "done  " + dir.file("a.bin") + "  0 B\nerror: http 404  http://h/c.bin#error: http 404\n");
}

// A URL's password is shown as *** in every line and error, and in the document.
TEST_F(GetCommand, PasswordsInUrlsAreNeverShown) {
    EXPECT_EQ(run({"http://ann:s3cret@h/c.bin#error: http 404", "http://ann:s3cret@"}), kExitFailed);
    EXPECT_EQ((out + err).find("s3cret"), std::string::npos) << out << err;
    EXPECT_NE(out.find("error: http 404  http://ann:***@h/c.bin#error: http 404\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("error: invalid URL  http://ann:***@\n"), std::string::npos) << out;
    run({"--json", "http://ann:s3cret@h/d.bin"});
    EXPECT_EQ((out + err).find("s3cret"), std::string::npos) << out << err;
    EXPECT_NE(out.find("\"url\":\"http://ann:***@h/d.bin\""), std::string::npos) << out;
}

TEST_F(GetCommand, JsonLeavesTheDocumentAloneOnStandardOutput) {
    EXPECT_EQ(run({"--json", "http://h/a.bin"}), kExitDone);
    JsonValue document;
    ASSERT_TRUE(parse_json(out.substr(0, out.find_last_not_of('\n') + 1), document)) << out;
    const JsonValue& tasks = document.object["tasks"];
    ASSERT_EQ(tasks.array.size(), 1u) << out;
    EXPECT_EQ(tasks.array[0].object.at("status").string, "done");
    EXPECT_NE(err.find("done  " + dir.file("a.bin")), std::string::npos) << err;
}

// A URL list: each entry with its own name, folder and headers; a bad line is named by its
// number and skipped, the rest run, and the run ends with status 1 for the skipped lines.
TEST_F(GetCommand, AUrlListRunsItsGoodEntriesAndNamesItsBadLines) {
    const std::string list = dir.file("list.txt");
    test::write_file(list, "http://h/one.bin\n"
                           "  out=first.bin\n"
                           "  header=X-Token: abc\n"
                           "  dir=" +
                               dir.file("sub") +
                               "\n"
                               "# skipped\n"
                               "http://h/two.bin\n"
                               "  out=../outside.bin\n"
                               "http://h/three.bin\n"
                               "  colour=blue\n"
                               "nonsense\n"
                               "http://h/four.bin\n"
                               "  out=deeper/four.bin\n");
    EXPECT_EQ(run({"-q", "-i", list, "http://h/zero.bin"}), kExitFailed);
    EXPECT_NE(
        err.find("twk: " + list + ":7: out leaves the download folder: ../outside.bin (line skipped)\n"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find(list + ":9: unknown option: colour (line skipped)"), std::string::npos) << err;
    EXPECT_NE(err.find(list + ":10: not a URL (line skipped)"), std::string::npos) << err;
    std::map<std::string, std::shared_ptr<Task>> tasks;
    for (const auto& entry : engine->task_list()->snapshot().entries)
        tasks[entry->task->request.url] = entry->task;
    ASSERT_EQ(tasks.size(), 3u) << err; // zero, one, four
    EXPECT_EQ(tasks["http://h/zero.bin"]->progress.output_path(), dir.file("zero.bin"));
    EXPECT_EQ(tasks["http://h/one.bin"]->progress.output_path(), dir.file("sub/first.bin"));
    EXPECT_EQ(tasks["http://h/four.bin"]->progress.output_path(), dir.file("deeper/four.bin"));
    const auto has_token = [](const std::shared_ptr<Task>& task) {
        const HeaderList& headers = task->request.headers;
        return std::find(headers.begin(), headers.end(), HeaderList::value_type("X-Token", "abc")) !=
               headers.end();
    };
    EXPECT_TRUE(has_token(tasks["http://h/one.bin"]));
    EXPECT_FALSE(has_token(tasks["http://h/zero.bin"])); // an entry's header is its own
}

} // namespace
} // namespace twk
