// SHA-1, Base64, the handshake's accept value and the frame heads.
#include "control/websocket.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

std::string hex(const std::array<uint8_t, 20>& digest) {
    std::string out;
    for (uint8_t b : digest) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

TEST(Sha1, KnownDigests) {
    // FIPS 180-4 examples, plus lengths around the padding boundary (55, 56, 64 bytes).
    EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(sha1(std::string(55, 'a'))), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(hex(sha1(std::string(64, 'a'))), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(hex(sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Base64, PaddingForms) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64_encode(std::string("\xfb\xff\x00", 3)), "+/8A");
}

TEST(WebSocket, AcceptValueOfTheWorkedExample) {
    EXPECT_EQ(websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocket, FrameHeadsOfTheThreeLengthForms) {
    EXPECT_EQ(websocket_frame_head(0), std::string("\x81\x00", 2));
    EXPECT_EQ(websocket_frame_head(125), std::string("\x81\x7d", 2));
    EXPECT_EQ(websocket_frame_head(126), std::string("\x81\x7e\x00\x7e", 4));
    EXPECT_EQ(websocket_frame_head(65535), std::string("\x81\x7e\xff\xff", 4));
    EXPECT_EQ(websocket_frame_head(65536), std::string("\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10));
    EXPECT_EQ(websocket_frame_head(70000), std::string("\x81\x7f\x00\x00\x00\x00\x00\x01\x11\x70", 10));
    std::string frame = websocket_text_frame(std::string(126, 'x'));
    EXPECT_EQ(frame.size(), 130u);
    EXPECT_EQ(frame.substr(4), std::string(126, 'x'));
}

} // namespace
} // namespace twk
