// The test folders' clean-up: only run folders of processes that are gone are removed; folders
// of running processes, other names, plain files and links (and what they point to) stay.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>

namespace twk::test {
namespace {

// The id of a process that has ended (and been reaped).
pid_t dead_pid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST(TempDir, OnlyFoldersOfEndedRunsAreCleared) {
    TempDir root;
    TempDir outside;
    write_file(outside.file("keep.txt"), "x");
    const std::string dead = "run-" + std::to_string(dead_pid()) + "-AbC123";
    const std::string alive = "run-" + std::to_string(::getppid()) + "-AbC123";
    const std::string dead_file = "run-" + std::to_string(dead_pid()) + "-File12";
    const std::string dead_link = "run-" + std::to_string(dead_pid()) + "-Link12";
    for (const std::string& name : {dead, alive, std::string("run-12x-AbC123"), std::string("other")}) {
        std::filesystem::create_directory(root.file(name));
        write_file(root.file(name + "/f"), "x");
    }
    write_file(root.file(dead_file), "x");
    std::filesystem::create_directory_symlink(outside.path(), root.file(dead_link));

    clear_dead_runs(root.path());

    EXPECT_FALSE(file_exists(root.file(dead)));
    for (const std::string& kept : {alive, std::string("run-12x-AbC123"), std::string("other"), dead_file})
        EXPECT_TRUE(file_exists(root.file(kept))) << kept;
    EXPECT_TRUE(std::filesystem::is_symlink(root.file(dead_link)));
    EXPECT_EQ(read_file(outside.file("keep.txt")), "x");
    // This process's own folders sit in its run folder, named for it.
    EXPECT_EQ(run_folder_pid(std::filesystem::path(run_folder()).filename().string()), ::getpid());
    EXPECT_EQ(TempDir().path().rfind(run_folder() + "/twk-test-", 0), 0u);
}

} // namespace
} // namespace twk::test
