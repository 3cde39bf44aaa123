#include "media/mp4_boxes.h"

#include <gtest/gtest.h>

#include "tests/media/mp4_fixture.h"

namespace twk {
namespace {

using test::box;
using test::make_init;
using test::make_moof;
using test::make_tfhd;
using test::make_trun;
using test::TfhdOptions;
using test::TrunEntry;
using test::TrunOptions;
using test::u32;
using test::u64;

struct FindCase {
    const char* name;
    std::string data;
    std::optional<BoxSpan> want; // the "moov"
};

TEST(Mp4FindBox, SizeRules) {
    const std::string skip = box("free", "abcd"); // 12 bytes
    const std::vector<FindCase> cases = {
        {"after another box", skip + box("moov", "xy"), BoxSpan{12, 20, 22}},
        {"64-bit size", skip + u32(1) + "moov" + u64(20) + "xyzw", BoxSpan{12, 28, 32}},
        {"size 0 runs to the end", skip + u32(0) + "moov" + "xyz", BoxSpan{12, 20, 23}},
        {"size below its header", u32(7) + "free" + box("moov", ""), std::nullopt},
        {"size beyond the range", u32(100) + "free" + box("moov", ""), std::nullopt},
        {"64-bit size without room for it", skip + u32(1) + "moov" + "1234", std::nullopt},
        {"64-bit size below 16", skip + u32(1) + "moov" + u64(12), std::nullopt},
        {"fewer than 8 bytes left", skip + "moov", std::nullopt},
        {"absent", skip + box("mdat", "zz"), std::nullopt},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = find_box(c.data, 0, c.data.size(), "moov");
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (!got) continue;
        EXPECT_EQ(got->start, c.want->start);
        EXPECT_EQ(got->payload, c.want->payload);
        EXPECT_EQ(got->end, c.want->end);
    }
}

TEST(Mp4FindBox, PathDescendsAndStaysInsideItsParent) {
    std::string data = box("moov", box("trak", box("mdia", "x"))) + box("mdia", "outside");
    auto mdia = find_path(data, 0, data.size(), {"moov", "trak", "mdia"});
    ASSERT_TRUE(mdia);
    EXPECT_EQ(data.substr(mdia->payload, mdia->end - mdia->payload), "x");
    EXPECT_FALSE(find_path(data, 0, data.size(), {"moov", "mdia"}));
}

TEST(Mp4TrackInfo, ReadsTheFirstTrackOfAnInit) {
    test::InitOptions options;
    options.timescale = 48000;
    options.handler = "soun";
    options.width = 1920;
    options.height = 1080;
    options.sample_entry = box("mp4a", std::string(28, '\x07'));
    options.trex_duration = 1024;
    options.trex_size = 9;
    options.trex_flags = 0x10000;
    TrackInfo info;
    ASSERT_TRUE(read_track_info(make_init(options), info));
    EXPECT_TRUE(info.ok);
    EXPECT_EQ(info.timescale, 48000u);
    EXPECT_FALSE(info.is_video());
    EXPECT_EQ(std::string(info.handler.data(), 4), "soun");
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 1080);
    EXPECT_EQ(info.sample_entry, options.sample_entry);
    EXPECT_EQ(info.default_duration, 1024u);
    EXPECT_EQ(info.default_size, 9u);
    EXPECT_EQ(info.default_flags, 0x10000u);
}

TEST(Mp4TrackInfo, ZeroTimescaleBecomesOne) {
    test::InitOptions options;
    options.timescale = 0;
    TrackInfo info;
    ASSERT_TRUE(read_track_info(make_init(options), info));
    EXPECT_EQ(info.timescale, 1u);
}

TEST(Mp4TrackInfo, RefusesInitsWithoutAUsableSampleEntry) {
    const std::string init = make_init({});
    std::string long_entry = init;
    // The sample entry's size field claims more than its stsd holds.
    size_t entry = long_entry.find("avc1") - 4;
    long_entry.replace(entry, 4, u32(5000));
    std::string short_entry = init;
    short_entry.replace(entry, 4, u32(7));
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"no moov", box("ftyp", "isom")},
        {"moov without trak", box("moov", box("mvhd", ""))},
        {"trak without stsd", box("moov", box("trak", box("tkhd", std::string(84, '\0'))))},
        {"entry larger than stsd", long_entry},
        {"entry below 8 bytes", short_entry},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        TrackInfo info;
        EXPECT_FALSE(read_track_info(data, info));
        EXPECT_FALSE(info.ok);
    }
}

struct Want {
    int64_t offset;
    uint32_t size;
    uint32_t duration;
    bool sync;
    int32_t composition = 0;
};

struct FragmentCase {
    const char* name;
    std::string part;
    std::vector<Want> want;
};

TrackInfo track_defaults(uint32_t duration, uint32_t size, uint32_t flags) {
    TrackInfo info;
    info.ok = true;
    info.default_duration = duration;
    info.default_size = size;
    info.default_flags = flags;
    return info;
}

// A part of `size` bytes that begins with `bytes`.
std::string padded(std::string bytes, size_t size) {
    EXPECT_LE(bytes.size(), size) << "the boxes do not fit the part";
    bytes.resize(size, '\0');
    return bytes;
}

TrunOptions sizes_run(std::vector<uint32_t> sizes, std::optional<int32_t> data_offset) {
    TrunOptions run;
    run.fields = 0x200;
    run.data_offset = data_offset;
    for (uint32_t s : sizes)
        run.entries.push_back(TrunEntry{std::nullopt, s, std::nullopt, std::nullopt});
    return run;
}

// Track defaults for every case: duration 512, size 7, non-sync; the fallback duration is 3000.
TEST(Mp4Fragments, TrackFragmentAndRunFields) {
    const std::string free40 = box("free", std::string(32, '\0'));
    TrunOptions full;
    full.fields = 0x100 | 0x200 | 0x400 | 0x800;
    full.data_offset = 0;
    full.entries = {TrunEntry{10, 4, 0, -1000}, TrunEntry{0, 6, 0x10000, 2000}};
    TrunOptions first_flags = sizes_run({3, 3, 3}, 0);
    first_flags.first_flags = 0x2000000;
    TrunOptions counted = sizes_run({2, 2}, 0);
    counted.count = 100;
    // Without per-sample fields the count is bounded by the part's size over the default size.
    TrunOptions no_fields;
    no_fields.count = 1000;
    no_fields.data_offset = 0;
    TrunOptions two_by_default;
    two_by_default.count = 2;
    // tfhd flags claim duration, size and flags but only the track id follows.
    std::string short_tfhd = test::full_box("tfhd", 0, 0x8 | 0x10 | 0x20, u32(1));

    const std::vector<FragmentCase> cases = {
        {"run without data offset starts at the moof's first byte",
         padded(make_moof(make_tfhd({}), {make_trun(sizes_run({10, 20}, std::nullopt))}), 400),
         {{0, 10, 512, false}, {10, 20, 512, false}}},
        {"base offset from tfhd, wherever the moof is",
         padded(free40 + make_moof(make_tfhd({.base_offset = 100}), {make_trun(sizes_run({4}, 8))}), 200),
         {{108, 4, 512, false}}},
        {"default base is the moof",
         padded(free40 + make_moof(make_tfhd({.base_is_moof = true}), {make_trun(sizes_run({4}, 5))}), 200),
         {{45, 4, 512, false}}},
        {"a sample starting before the part is dropped but advances the position",
         padded(make_moof(make_tfhd({}), {make_trun(sizes_run({30, 5}, -20))}), 300),
         {{10, 5, 512, false}}},
        {"a sample running past the part's end is dropped",
         padded(make_moof(make_tfhd({}), {make_trun(sizes_run({5, 1000, 5}, 200))}), 300),
         {{200, 5, 512, false}}},
        {"every per-sample field; 0 duration takes the fallback",
         padded(make_moof(make_tfhd({}), {make_trun(full)}), 300),
         {{0, 4, 10, true, -1000}, {4, 6, 3000, false, 2000}}},
        {"tfhd defaults, with a 0 duration falling back to trex and flags 0 meaning sync",
         padded(make_moof(make_tfhd({.duration = 0, .size = 50, .flags = 0}), {make_trun(no_fields)}), 100),
         {{0, 50, 512, true}, {50, 50, 512, true}}},
        {"first sample flags apply to the first sample only",
         padded(make_moof(make_tfhd({}), {make_trun(first_flags)}), 100),
         {{0, 3, 512, true}, {3, 3, 512, false}, {6, 3, 512, false}}},
        {"count limited to the entries the box holds",
         padded(make_moof(make_tfhd({}), {make_trun(counted)}), 100),
         {{0, 2, 512, false}, {2, 2, 512, false}}},
        {"tfhd too short for its flags: trex defaults and the moof as base",
         padded(free40 + make_moof(short_tfhd, {make_trun(sizes_run({4}, 1))}), 200),
         {{41, 4, 512, false}}},
        {"missing tfhd: trex defaults",
         padded(box("moof", box("traf", make_trun(two_by_default))), 100),
         {{0, 7, 512, false}, {7, 7, 512, false}}},
        {"a run without offset continues after the one before it",
         padded(make_moof(make_tfhd({}),
                          {make_trun(sizes_run({4, 4}, 50)), make_trun(sizes_run({4}, std::nullopt)),
                           make_trun(sizes_run({4}, 70))}),
                200),
         {{50, 4, 512, false}, {54, 4, 512, false}, {58, 4, 512, false}, {70, 4, 512, false}}},
    };
    for (const FragmentCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Sample> samples;
        read_fragments(c.part, track_defaults(512, 7, 0x10000), 3000, 5, samples);
        ASSERT_EQ(samples.size(), c.want.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(samples[i].part, 5u);
            EXPECT_EQ(samples[i].offset, c.want[i].offset);
            EXPECT_EQ(samples[i].size, c.want[i].size);
            EXPECT_EQ(samples[i].duration, c.want[i].duration);
            EXPECT_EQ(samples[i].sync, c.want[i].sync);
            EXPECT_EQ(samples[i].composition_offset, c.want[i].composition);
        }
    }
}

TEST(Mp4Fragments, NoSamplesWithoutAnySize) {
    TrunOptions no_fields;
    no_fields.count = 1000000;
    std::vector<Sample> samples;
    read_fragments(padded(make_moof(make_tfhd({}), {make_trun(no_fields)}), 100), track_defaults(1, 0, 0), 1,
                   0, samples);
    EXPECT_TRUE(samples.empty());
}

TEST(Mp4Fragments, LaterTrackFragmentsContinueAfterTheEarlierOnesData) {
    // Two trafs without base offsets: the second counts from where the first one's data ended.
    std::string traf1 = make_tfhd({}) + make_trun(sizes_run({5, 5}, 100));
    std::string traf2 = make_tfhd({}) + make_trun(sizes_run({3}, 2));
    std::string part = padded(box("moof", box("traf", traf1) + box("traf", traf2)), 200);
    std::vector<Sample> samples;
    read_fragments(part, track_defaults(1, 1, 0), 1, 0, samples);
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[2].offset, 112);
}

TEST(Mp4Fragments, MalformedBoxesAreSkippedNotFatal) {
    std::string good = make_moof(make_tfhd({}), {make_trun(sizes_run({4}, 0))});
    std::vector<std::string> parts = {
        u32(3) + "moof",                                                  // size below the header
        good + u32(1000) + "moof",                                        // a moof running past the end
        box("moof", box("traf", u32(9) + "trun" + "x")),                  // a trun too short for its header
        box("moof", box("traf", test::full_box("trun", 0, 0x1, u32(1)))), // offset flag, no offset
    };
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        std::vector<Sample> samples;
        read_fragments(parts[i], track_defaults(1, 1, 0), 1, 0, samples);
        EXPECT_EQ(samples.size(), i == 1 ? 1u : 0u);
    }
}

} // namespace
} // namespace twk
