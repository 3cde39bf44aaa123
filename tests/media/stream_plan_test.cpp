// The compact segment list gives back every segment exactly as it was put in, whatever its URL
// and key look like.
#include "media/stream_plan.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace twk {
namespace {

MediaSegment segment(std::string uri, int n, std::string key = "") {
    MediaSegment s;
    s.uri = std::move(uri);
    s.duration = 0.5 * n;
    s.range_offset = n % 3 == 0 ? -1 : n * 100;
    s.range_length = n % 3 == 0 ? -1 : 100;
    s.estimate = n;
    if (!key.empty()) {
        s.encrypted = true;
        s.key_uri = std::move(key);
        s.iv[15] = static_cast<uint8_t>(n);
        s.iv[0] = static_cast<uint8_t>(n >> 8);
    }
    return s;
}

void expect_same(const MediaSegment& got, const MediaSegment& want) {
    EXPECT_EQ(got.uri, want.uri);
    EXPECT_EQ(got.range_offset, want.range_offset) << want.uri;
    EXPECT_EQ(got.range_length, want.range_length) << want.uri;
    EXPECT_DOUBLE_EQ(got.duration, want.duration) << want.uri;
    EXPECT_EQ(got.encrypted, want.encrypted) << want.uri;
    EXPECT_EQ(got.key_uri, want.key_uri) << want.uri;
    EXPECT_EQ(got.iv, want.iv) << want.uri;
    EXPECT_EQ(got.estimate, want.estimate) << want.uri;
}

TEST(SegmentList, GivesBackEverySegmentAsPutIn) {
    std::vector<MediaSegment> given;
    // One folder, alternating folders, a folder per segment (more than the list shares), URLs
    // without a slash or ending in one, and keys that change, return and stop.
    for (int n = 0; n < 40; ++n)
        given.push_back(segment("http://cdn.test/live/s" + std::to_string(n) + ".ts", n));
    for (int n = 0; n < 40; ++n)
        given.push_back(
            segment("https://" + std::string(n % 2 ? "a" : "b") + ".test/x/" + std::to_string(n), n,
                    n < 20 ? "https://k.test/key1" : "https://k.test/key" + std::to_string(n % 3)));
    for (int n = 0; n < 200; ++n)
        given.push_back(segment("http://cdn.test/d" + std::to_string(n) + "/seg.ts", n));
    for (const char* odd : {"", "noslash", "http://cdn.test/dir/", "/", "data:x"})
        given.push_back(segment(odd, 7, "k"));
    SegmentList list;
    for (const MediaSegment& s : given)
        list.push_back(s);
    ASSERT_EQ(list.size(), given.size());
    size_t i = 0;
    for (const MediaSegment& s : list) {
        expect_same(s, given[i]);
        EXPECT_EQ(list.uri(i), given[i].uri);
        ++i;
    }
    list.set_range(3, 5, 6);
    list.set_estimate(3, 99);
    EXPECT_EQ(list[3].range_offset, 5);
    EXPECT_EQ(list[3].range_length, 6);
    EXPECT_EQ(list.estimate(3), 99);
    EXPECT_THROW(list.at(list.size()), std::out_of_range);
}

} // namespace
} // namespace twk
