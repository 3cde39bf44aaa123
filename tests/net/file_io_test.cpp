// The private atomic write every secret-holding file of the program goes through.
#include "net/file_io.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace twk {
namespace {

using test::read_file;
using test::TempDir;

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// No temporary file is left beside `path`.
void expect_no_leftovers(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

class PrivateFile : public ::testing::Test {
protected:
    void SetUp() override { m_umask = ::umask(022); }
    void TearDown() override { ::umask(m_umask); }
    TempDir dir;

private:
    mode_t m_umask = 0;
};

TEST_F(PrivateFile, NewFilesAndFoldersAreTheUsersAlone) {
    const std::string path = dir.file("a/b/settings.json");
    std::string error;
    ASSERT_TRUE(write_private_file(path, "{\"proxy\":\"pw\"}", &error)) << error;
    EXPECT_EQ(read_file(path), "{\"proxy\":\"pw\"}");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(dir.file("a")), 0700u);
    EXPECT_EQ(mode_of(dir.file("a/b")), 0700u);
    expect_no_leftovers(dir.file("a/b"));
}

TEST_F(PrivateFile, AnOlderWideFileAndTheProgramsFolderAreMadePrivate) {
    const std::string folder = dir.file("tarnwick");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string path = folder + "/tasks.json";
    test::write_file(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_TRUE(write_private_file(path, "new"));
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(folder), 0700u);
}

TEST_F(PrivateFile, AUsersFolderKeepsItsMode) {
    const std::string folder = dir.file("Downloads");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(write_private_file(folder + "/f.bin.twk", "state", nullptr, FolderOwner::kUser));
    EXPECT_EQ(mode_of(folder + "/f.bin.twk"), 0600u);
    EXPECT_EQ(mode_of(folder), 0755u);
}

TEST_F(PrivateFile, ALinkAtThePathIsReplacedNotWrittenThrough) {
    const std::string target = dir.file("elsewhere");
    test::write_file(target, "theirs");
    const std::string path = dir.file("settings.json");
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    ASSERT_TRUE(write_private_file(path, "ours"));
    EXPECT_EQ(read_file(target), "theirs");
    EXPECT_EQ(read_file(path), "ours");
    EXPECT_EQ(mode_of(path), 0600u); // a file now, not the link
}

TEST_F(PrivateFile, AFailureSaysWhatFailedAndLeavesNothing) {
    test::write_file(dir.file("plain"), "x");
    const std::string in_dir = dir.file("folder");
    ASSERT_EQ(::mkdir(in_dir.c_str(), 0700), 0);
    struct Case {
        std::string path;
        const char* error;
    } cases[] = {
        {dir.file("plain/inside"), "cannot create the folder: File exists"},
        {in_dir, "cannot replace the file: Is a directory"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(write_private_file(c.path, "x", &error)) << c.path;
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(read_file(dir.file("plain")), "x");
    expect_no_leftovers(dir.path());
}

} // namespace
} // namespace twk
