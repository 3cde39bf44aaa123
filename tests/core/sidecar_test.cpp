#include "core/sidecar.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace twk {
namespace {

struct Rec {
    uint64_t start, pos, end;
};

std::string u64(uint64_t v) {
    std::string out;
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

std::string records(std::initializer_list<Rec> list) {
    std::string out;
    for (const Rec& r : list)
        out += u64(r.start) + u64(r.pos) + u64(r.end);
    return out;
}

std::string with_magic(std::string_view validator, const std::string& body) {
    std::string out = "TWK1";
    out += static_cast<char>(validator.size() & 0xFF);
    out += static_cast<char>(validator.size() >> 8);
    out += validator;
    return out + body;
}

std::string describe(const ResumeState& state) {
    std::string out = "total=" + std::to_string(state.total) + " v=" + state.validator;
    for (const auto& s : state.segments) {
        out += " " + std::to_string(s->start) + "/" + std::to_string(s->pos.load()) + "/" +
               std::to_string(s->end.load());
    }
    return out;
}

class SidecarFiles : public ::testing::Test {
protected:
    void SetUp() override {
        task.progress.set_output_path(dir.file("f.bin"));
        test::write_file(task.progress.output_path(), std::string(3000, 'x'));
        task.progress.supports_range = true;
        task.progress.total = 4000;
        task.progress.segments = {make_segment(0, 1000, 1000), make_segment(1000, 1500, 2500),
                                  make_segment(2500, 2600, 4000)};
    }
    test::TempDir dir;
    Task task;
    std::string validator = "\"etag-1\"";
};

TEST_F(SidecarFiles, SavedStateLoadsBackWithNewSegments) {
    ASSERT_TRUE(save_sidecar(task.context(), validator));
    EXPECT_FALSE(test::file_exists(task.progress.sidecar_path() + ".tmp"));
    auto loaded = load_sidecar(task.progress.sidecar_path(), task.progress.output_path());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(describe(*loaded), "total=4000 v=\"etag-1\" 0/1000/1000 1000/1500/2500 2500/2600/4000");
    for (const auto& s : loaded->segments) {
        EXPECT_FALSE(s->active);
        EXPECT_EQ(s->retry_budget, 3);
        EXPECT_NE(s->id, task.progress.segments[0]->id);
    }
    EXPECT_EQ(test::read_file(task.progress.sidecar_path()),
              with_magic("\"etag-1\"", records({{0, 1000, 1000}, {1000, 1500, 2500}, {2500, 2600, 4000}})));
}

TEST_F(SidecarFiles, PosIsWrittenAsMostTheEndAndAnEmptyValidatorAsLengthZero) {
    validator.clear();
    task.progress.segments = {make_segment(0, 5000, 4000)};
    ASSERT_TRUE(save_sidecar(task.context(), validator));
    EXPECT_EQ(test::read_file(task.progress.sidecar_path()), with_magic("", records({{0, 4000, 4000}})));
}

TEST_F(SidecarFiles, NothingIsSavedWithoutRangesOrSize) {
    task.progress.supports_range = false;
    EXPECT_FALSE(save_sidecar(task.context(), validator));
    task.progress.supports_range = true;
    task.progress.total = 0;
    EXPECT_FALSE(save_sidecar(task.context(), validator));
    EXPECT_FALSE(test::file_exists(task.progress.sidecar_path()));
}

TEST_F(SidecarFiles, AFailedSaveLeavesNoTemporaryFile) {
    // The rename cannot replace the sidecar: a non-empty folder sits in its place.
    std::filesystem::create_directories(task.progress.sidecar_path() + "/keep");
    EXPECT_FALSE(save_sidecar(task.context(), validator));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

// A file under the sidecar's name that is no sidecar of ours (a user's own "f.bin.twk") is
// neither written over nor deleted; one of ours is both.
TEST_F(SidecarFiles, AFileThatIsNoSidecarOfOursIsNeverWrittenOverNorDeleted) {
    test::write_file(task.progress.sidecar_path(), "the user's own notes");
    EXPECT_FALSE(is_own_sidecar(task.progress.sidecar_path()));
    EXPECT_FALSE(save_sidecar(task.context(), validator));
    EXPECT_EQ(errno, EEXIST);
    remove_sidecar(task.progress.sidecar_path());
    EXPECT_EQ(test::read_file(task.progress.sidecar_path()), "the user's own notes");

    std::filesystem::remove(task.progress.sidecar_path());
    ASSERT_TRUE(save_sidecar(task.context(), validator));
    EXPECT_TRUE(is_own_sidecar(task.progress.sidecar_path()));
    task.progress.segments[0]->pos = 500;
    EXPECT_TRUE(save_sidecar(task.context(), validator)); // its own, replaced
    remove_sidecar(task.progress.sidecar_path());
    EXPECT_FALSE(test::file_exists(task.progress.sidecar_path()));
}

// A save killed mid-write leaves "<sidecar>.tmp-XXXXXX"; the next run clears that, and only that.
TEST_F(SidecarFiles, OnlyTemporariesASaveOfOursLeftAreCleared) {
    const std::string sidecar = task.progress.sidecar_path();
    struct Case {
        std::string suffix;
        std::string bytes;
        mode_t mode;
        bool cleared;
    };
    const Case cases[] = {
        {".tmp-a1B2c3", "TWK1\x04", 0600, true}, // cut short mid-write
        {".tmp-Zz9988", "", 0600, true},         // killed before the first byte
        {".tmp", "TWK1", 0600, false},           // a name no save of ours uses
        {".tmp-a1B2c", "TWK1", 0600, false},     // five letters: not mkstemp's
        {".tmp-qwerty", "notes", 0600, false},   // not a sidecar's bytes
        {".tmp-asdfgh", "TWK1", 0644, false},    // not our private mode
        {".old-zxcvbn", "TWK1", 0600, false},
    };
    for (const Case& c : cases) {
        test::write_file(sidecar + c.suffix, c.bytes);
        ::chmod((sidecar + c.suffix).c_str(), c.mode);
    }
    std::filesystem::create_symlink(sidecar + ".tmp-a1B2c3", sidecar + ".tmp-linkto");
    remove_stale_sidecar_temporaries(sidecar);
    for (const Case& c : cases)
        EXPECT_EQ(test::file_exists(sidecar + c.suffix), !c.cleared) << c.suffix;
    EXPECT_TRUE(std::filesystem::is_symlink(sidecar + ".tmp-linkto"));
}

TEST_F(SidecarFiles, LoadNeedsTheOutputFileAndASmallEnoughSidecar) {
    ASSERT_TRUE(save_sidecar(task.context(), validator));
    EXPECT_FALSE(load_sidecar(task.progress.sidecar_path(), dir.file("missing.bin")));
    EXPECT_FALSE(load_sidecar(dir.file("missing.twk"), task.progress.output_path()));
    test::write_file(task.progress.sidecar_path(), std::string(kMaxSidecarSize + 1, '\0'));
    EXPECT_FALSE(load_sidecar(task.progress.sidecar_path(), task.progress.output_path()));
}

TEST(ParseSidecar, AcceptsBareRecordsAndUnsortedRecords) {
    auto bare = parse_sidecar(records({{0, 100, 1000}}), 1000);
    ASSERT_TRUE(bare);
    EXPECT_EQ(describe(*bare), "total=1000 v= 0/100/1000");

    auto unsorted = parse_sidecar(with_magic("W/\"x\"", records({{500, 600, 1000}, {0, 0, 500}})), 600);
    ASSERT_TRUE(unsorted);
    EXPECT_EQ(describe(*unsorted), "total=1000 v=W/\"x\" 0/0/500 500/600/1000");

    // pos beyond end is read as end.
    auto capped = parse_sidecar(records({{0, 900, 800}}), 800);
    ASSERT_TRUE(capped);
    EXPECT_EQ(describe(*capped), "total=800 v= 0/800/800");
}

// n one-byte records covering [0, n).
std::string chain(uint64_t n) {
    std::string out;
    for (uint64_t i = 0; i < n; ++i)
        out += u64(i) + u64(i) + u64(i + 1);
    return out;
}

TEST(ParseSidecar, TakesUpTo65536Records) {
    auto loaded = parse_sidecar(chain(65536), 65536);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->segments.size(), 65536u);
    EXPECT_EQ(loaded->total, 65536u);
}

TEST(ParseSidecar, RejectsEveryInconsistentImage) {
    struct Case {
        const char* what;
        std::string image;
        uint64_t output_size;
    } cases[] = {
        {"gap", records({{0, 1000, 1000}, {2000, 2000, 3000}}), 5000000},
        {"overlap", records({{0, 10, 1000}, {900, 900, 3000}}), 5000000},
        {"first not at 0", records({{10, 10, 1000}}), 5000000},
        {"pos beyond the file", records({{0, 5000000, 8000000}}), 4000000},
        {"pos before start", records({{0, 0, 1000}, {1000, 999, 2000}}), 5000000},
        {"total 0", records({{0, 0, 0}}), 5000000},
        {"no records", with_magic("v", ""), 5000000},
        {"empty file", "", 5000000},
        {"record area not a multiple of 24", records({{0, 0, 1000}}) + "x", 5000000},
        {"short validator", with_magic("etag", "").substr(0, 8), 5000000},
        {"validator longer than the file", std::string("TWK1\xff\xff", 6) + records({{0, 0, 10}}), 5000000},
        {"too many records", chain(65537), 5000000},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(parse_sidecar(c.image, c.output_size)) << c.what;
}

TEST(ParseSidecar, ALongValidatorIsCutOnSave) {
    ResumeState state;
    state.validator = std::string(70000, 'v');
    state.total = 10;
    state.segments = {make_segment(0, 0, 10)};
    std::string image = sidecar_image(state);
    EXPECT_EQ(image.size(), 6 + kMaxValidatorLength + 24);
    auto loaded = parse_sidecar(image, 0);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->validator.size(), kMaxValidatorLength);
}

} // namespace
} // namespace twk
