#include "media/mp4_remux.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "media/mp4_boxes.h"
#include "media/mp4_moov.h"
#include "tests/media/mp4_fixture.h"
#include "tests/support/temp_dir.h"

namespace twk {
namespace {

using test::box;
using test::make_fragment;
using test::make_init;
using test::read_file;
using test::TempDir;
using test::u32;
using test::write_file;

const uint8_t* at(const std::string& s, size_t offset) {
    return reinterpret_cast<const uint8_t*>(s.data()) + offset;
}

// The payload of the box at `path` inside `data`, "" when absent.
std::string payload(const std::string& data, std::initializer_list<std::string_view> path) {
    auto found = find_path(data, 0, data.size(), path);
    return found ? data.substr(found->payload, found->end - found->payload) : std::string();
}

bool has_box(const std::string& data, std::initializer_list<std::string_view> path) {
    return find_path(data, 0, data.size(), path).has_value();
}

// The i-th trak of a moov (0 or 1) as its own box bytes.
std::string trak(const std::string& moov, int index) {
    auto first = find_box(moov, 8, moov.size(), "trak");
    if (!first) return "";
    if (index == 1) first = find_box(moov, first->end, moov.size(), "trak");
    return first ? moov.substr(first->start, first->end - first->start) : "";
}

test::InitOptions audio_options() {
    test::InitOptions options;
    options.handler = "soun";
    options.timescale = 48000;
    options.width = 0;
    options.height = 0;
    options.sample_entry = box("mp4a", std::string(28, '\x02'));
    return options;
}

// Two video parts of 3 and 2 samples (duration 1001 at 90 kHz, all sync) and one audio part of
// 4 samples, with init files. The first video sample is large enough to be copied by the kernel,
// the others go through the copy buffer.
struct Tracks {
    TempDir dir;
    std::string video_init = dir.file("v_init.mp4");
    std::string audio_init = dir.file("a_init.mp4");
    std::vector<std::string> video_parts = {dir.file("v_000000.part"), dir.file("v_000001.part")};
    std::vector<std::string> audio_parts = {dir.file("a_000000.part")};
    std::string output = dir.file("out.mp4");
    // The sample bytes in the order the mdat must hold them.
    std::string video_data, audio_data;

    Tracks() {
        write_file(video_init, make_init({}));
        write_file(audio_init, make_init(audio_options()));
        write_file(video_parts[0], make_fragment({70000, 30, 31}, 1001, 'a'));
        write_file(video_parts[1], make_fragment({40, 41}, 1001, 'k'));
        write_file(audio_parts[0], make_fragment({9, 8, 7, 6}, 1024, 'A'));
        video_data = std::string(70000, 'a') + std::string(30, 'b') + std::string(31, 'c') +
                     std::string(40, 'k') + std::string(41, 'l');
        audio_data = std::string(9, 'A') + std::string(8, 'B') + std::string(7, 'C') + std::string(6, 'D');
    }

    bool remux(std::string& error, RemuxReading reading = RemuxReading::streamed) {
        return remux_tracks(output, video_init, video_parts, audio_init, audio_parts, error, reading);
    }
};

TEST(Mp4Remux, FtypThenOneMdatThenMoov) {
    Tracks t;
    std::string error;
    ASSERT_TRUE(t.remux(error)) << error;
    const std::string out = read_file(t.output);

    EXPECT_EQ(out.substr(0, kFtypSize), box("ftyp", "isom" + u32(512) + "isomiso2mp41avc1"));
    EXPECT_EQ(be32(at(out, 32)), 1u);
    EXPECT_EQ(out.substr(36, 4), "mdat");
    const uint64_t mdat_size = be64(at(out, 40));
    EXPECT_EQ(mdat_size, 16 + t.video_data.size() + t.audio_data.size());
    EXPECT_EQ(out.substr(48, mdat_size - 16), t.video_data + t.audio_data);

    auto moov = find_box(out, 32 + mdat_size, out.size(), "moov");
    ASSERT_TRUE(moov);
    EXPECT_EQ(moov->start, 32 + mdat_size);
    EXPECT_EQ(moov->end, out.size());
}

TEST(Mp4Remux, SampleTablesPointIntoTheMdat) {
    Tracks t;
    std::string error;
    ASSERT_TRUE(t.remux(error)) << error;
    const std::string out = read_file(t.output);
    auto moov_box = find_box(out, 0, out.size(), "moov");
    ASSERT_TRUE(moov_box);
    const std::string moov = out.substr(moov_box->start);

    const std::string mvhd = payload(moov, {"moov", "mvhd"});
    ASSERT_EQ(mvhd.size(), 100u);
    EXPECT_EQ(be32(at(mvhd, 12)), kMovieTimescale);
    // The longer track: video lasts 5 × 1001 / 90000 s (55 ms), audio 4 × 1024 / 48000 s (85 ms).
    EXPECT_EQ(be32(at(mvhd, 16)), 85u);
    EXPECT_EQ(be32(at(mvhd, 96)), 3u); // next track id

    const std::string video = trak(moov, 0), audio = trak(moov, 1);
    EXPECT_EQ(payload(video, {"trak", "mdia", "hdlr"}).substr(8, 4), "vide");
    EXPECT_EQ(payload(audio, {"trak", "mdia", "hdlr"}).substr(8, 4), "soun");
    const std::string tkhd = payload(video, {"trak", "tkhd"});
    EXPECT_EQ(be32(at(tkhd, 12)), 1u); // track id
    EXPECT_EQ(be32(at(tkhd, 76)), 320u << 16);
    EXPECT_EQ(be32(at(tkhd, 80)), 240u << 16);
    EXPECT_EQ(be32(at(payload(audio, {"trak", "tkhd"}), 12)), 2u);
    EXPECT_EQ(payload(video, {"trak", "mdia", "minf", "stbl", "stsd"}),
              u32(0) + u32(1) + test::InitOptions{}.sample_entry);

    // Constant durations: one stts run. All sync and no composition offsets: no stss, no ctts.
    EXPECT_EQ(payload(video, {"trak", "mdia", "minf", "stbl", "stts"}), u32(0) + u32(1) + u32(5) + u32(1001));
    EXPECT_FALSE(has_box(video, {"trak", "mdia", "minf", "stbl", "stss"}));
    EXPECT_FALSE(has_box(video, {"trak", "mdia", "minf", "stbl", "ctts"}));
    EXPECT_EQ(payload(video, {"trak", "mdia", "minf", "stbl", "stsc"}),
              u32(0) + u32(1) + u32(1) + u32(5) + u32(1));
    EXPECT_EQ(payload(video, {"trak", "mdia", "minf", "stbl", "stsz"}),
              u32(0) + u32(0) + u32(5) + u32(70000) + u32(30) + u32(31) + u32(40) + u32(41));
    EXPECT_EQ(payload(video, {"trak", "mdia", "minf", "stbl", "stco"}), u32(0) + u32(1) + u32(48));
    EXPECT_EQ(payload(audio, {"trak", "mdia", "minf", "stbl", "stco"}),
              u32(0) + u32(1) + u32(48 + static_cast<uint32_t>(t.video_data.size())));
    EXPECT_EQ(payload(audio, {"trak", "mdia", "minf", "stbl", "stts"}), u32(0) + u32(1) + u32(4) + u32(1024));
}

TEST(Mp4Remux, StreamedAndWholeFileReadingWriteTheSameBytes) {
    Tracks t;
    // A part without its own init: the description comes from the moov at its start.
    write_file(t.video_parts[0], make_init({}) + read_file(t.video_parts[0]));
    for (bool with_init : {true, false}) {
        SCOPED_TRACE(with_init);
        if (!with_init) t.video_init.clear();
        std::string error;
        ASSERT_TRUE(t.remux(error, RemuxReading::whole_files)) << error;
        const std::string whole = read_file(t.output);
        for (RemuxReading reading : {RemuxReading::streamed, RemuxReading::streamed_buffered}) {
            ASSERT_TRUE(t.remux(error, reading)) << error;
            EXPECT_EQ(read_file(t.output), whole);
        }
        EXPECT_NE(whole.find(t.video_data + t.audio_data), std::string::npos);
    }
}

TEST(Mp4Remux, AudioWithoutSamplesLeavesOnlyTheVideoTrack) {
    Tracks t;
    write_file(t.audio_parts[0], box("styp", "msdh"));
    std::string error;
    ASSERT_TRUE(t.remux(error)) << error;
    const std::string out = read_file(t.output);
    const std::string mvhd = payload(out, {"moov", "mvhd"});
    ASSERT_EQ(mvhd.size(), 100u);
    EXPECT_EQ(be32(at(mvhd, 96)), 2u);
    const std::string moov = payload(out, {"moov"});
    EXPECT_EQ(moov.find("soun"), std::string::npos);
    EXPECT_EQ(out.substr(48, t.video_data.size()), t.video_data);
    EXPECT_EQ(be64(at(out, 40)), 16 + t.video_data.size());
}

TEST(Mp4Remux, ErrorsNameTheirCause) {
    struct Case {
        const char* name;
        std::function<void(Tracks&)> spoil;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"missing video part", [](Tracks& t) { t.video_parts[1] = t.dir.file("gone.part"); },
         "read part failed: " + std::string("/gone.part")},
        {"missing audio part", [](Tracks& t) { t.audio_parts[0] = t.dir.path(); }, "read part failed: "},
        {"bad video init", [](Tracks& t) { write_file(t.video_init, box("moov", "")); },
         "parse video init failed"},
        {"missing video init", [](Tracks& t) { t.video_init = t.dir.file("none.mp4"); },
         "parse video init failed"},
        {"no video at all", [](Tracks& t) { t.video_init.clear(), t.video_parts.clear(); }, "no video data"},
        {"first part without moov", [](Tracks& t) { t.video_init.clear(); }, "parse video moov failed"},
        {"bad audio init", [](Tracks& t) { write_file(t.audio_init, "junk"); }, "parse audio init failed"},
        {"audio part without moov", [](Tracks& t) { t.audio_init.clear(); }, "parse audio moov failed"},
        {"video parts without fragments",
         [](Tracks& t) {
             write_file(t.video_parts[0], "");
             write_file(t.video_parts[1], box("mdat", "xx"));
         },
         "no video samples parsed"},
        {"output folder missing", [](Tracks& t) { t.output = t.dir.file("no/such/out.mp4"); },
         "cannot open output"},
    };
    for (const Case& c : cases) {
        for (RemuxReading reading :
             {RemuxReading::streamed, RemuxReading::streamed_buffered, RemuxReading::whole_files}) {
            SCOPED_TRACE(c.name);
            Tracks t;
            c.spoil(t);
            std::string error;
            EXPECT_FALSE(t.remux(error, reading));
            if (c.message.starts_with("read part failed: ")) {
                EXPECT_TRUE(error.starts_with("read part failed: " + t.dir.path())) << error;
                EXPECT_TRUE(error.ends_with(c.message.substr(18))) << error;
            } else {
                EXPECT_EQ(error, c.message);
            }
            EXPECT_FALSE(test::file_exists(t.output));
        }
    }
}

void expect_write_failure(rlim_t file_size_limit) {
    Tracks t;
    write_file(t.output, "old");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        bool ok = t.remux(error);
        _exit(!ok && error == "write failed (disk full?)" && !test::file_exists(t.output) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(test::file_exists(t.output));
}

// A file size limit makes the writes fail in a child process, as a full disk would: within the
// copy buffer's writes (40 bytes) and within a kernel copy (40000 bytes).
TEST(Mp4Remux, FailedWriteDeletesTheOutput) {
    for (rlim_t size : {40, 40000}) {
        SCOPED_TRACE(size);
        expect_write_failure(size);
    }
}

// The tables for cases that need many samples or a huge file, built without the file.
TEST(Mp4Moov, TablesForMixedSyncOffsetsAndFarData) {
    TrackInfo video;
    video.ok = true;
    video.timescale = 30000;
    video.handler = {'v', 'i', 'd', 'e'};
    video.sample_entry = box("avc1", "x");
    std::vector<Sample> samples(5);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i].size = 10;
        samples[i].duration = i < 3 ? 1001 : 2002;
        samples[i].sync = i % 3 == 0;
        samples[i].composition_offset = i == 2 ? -1001 : 2002;
    }
    TrackInfo audio = video;
    audio.handler = {'s', 'o', 'u', 'n'};
    std::vector<Sample> audio_samples(2, Sample{0, 0, 4, 1024, 0, true});
    const uint64_t far = (uint64_t{5} << 30) + 48; // audio after 5 GiB of video
    MovieTrack v{&video, &samples, 48}, a{&audio, &audio_samples, far};
    const std::string moov = moov_box(v, &a);
    const std::string vt = trak(moov, 0), at_ = trak(moov, 1);

    EXPECT_EQ(payload(vt, {"trak", "mdia", "minf", "stbl", "stts"}),
              u32(0) + u32(2) + u32(3) + u32(1001) + u32(2) + u32(2002));
    EXPECT_EQ(payload(vt, {"trak", "mdia", "minf", "stbl", "stss"}), u32(0) + u32(2) + u32(1) + u32(4));
    EXPECT_EQ(payload(vt, {"trak", "mdia", "minf", "stbl", "ctts"}),
              u32(1u << 24) + u32(3) + u32(2) + u32(2002) + u32(1) + u32(static_cast<uint32_t>(-1001)) +
                  u32(2) + u32(2002));
    EXPECT_EQ(payload(vt, {"trak", "mdia", "minf", "stbl", "stco"}), u32(0) + u32(1) + u32(48));
    EXPECT_FALSE(has_box(at_, {"trak", "mdia", "minf", "stbl", "stco"}));
    EXPECT_EQ(payload(at_, {"trak", "mdia", "minf", "stbl", "co64"}), u32(0) + u32(1) + test::u64(far));
    // tkhd duration in the movie timescale: 7007 / 30000 s, truncated.
    EXPECT_EQ(be32(at(payload(vt, {"trak", "tkhd"}), 20)), 233u);
}

TEST(Mp4Moov, LongTracksKeepTheirWholeMediaDuration) {
    TrackInfo info;
    info.ok = true;
    info.timescale = 90000;
    info.handler = {'v', 'i', 'd', 'e'};
    info.sample_entry = box("avc1", "x");
    // 14 hours at 90 kHz do not fit the 32-bit duration.
    std::vector<Sample> samples(2, Sample{0, 0, 1, 2'268'000'000u, 0, true});
    const std::string mdhd =
        payload(write_trak(info, samples, 1, 48, kMovieTimescale), {"trak", "mdia", "mdhd"});
    ASSERT_EQ(mdhd.size(), 36u);
    EXPECT_EQ(mdhd[0], 1); // version 1
    EXPECT_EQ(be32(at(mdhd, 20)), 90000u);
    EXPECT_EQ(be64(at(mdhd, 24)), 4'536'000'000u);
}

} // namespace
} // namespace twk
