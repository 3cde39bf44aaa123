// SHA-1, Base64, the handshake's accept value, the frame heads and the client frame reader.
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

// A client frame as RFC 6455 has clients send it: the payload masked with `mask`.
std::string client_frame(uint8_t first, std::string_view payload, bool masked = true,
                         std::string_view mask = "\x37\xfa\x21\x3d") {
    std::string frame(1, static_cast<char>(first));
    const char bit = masked ? static_cast<char>(0x80) : 0;
    if (payload.size() <= 125) {
        frame += static_cast<char>(bit | static_cast<char>(payload.size()));
    } else if (payload.size() <= 65535) {
        frame += static_cast<char>(bit | 126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xFF);
    } else {
        frame += static_cast<char>(bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((static_cast<uint64_t>(payload.size()) >> shift) & 0xFF);
    }
    if (!masked) return frame + std::string(payload);
    frame += mask;
    for (size_t i = 0; i < payload.size(); ++i)
        frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return frame;
}

TEST(WebSocket, ClientFramesAreUnmaskedAndRefusedWhenNoClientMaySendThem) {
    // RFC 6455's worked example: a masked "Hello".
    std::string buffer("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11);
    buffer += client_frame(0x89, "ping?"); // and a ping right behind it
    ClientFrame frame;
    ASSERT_EQ(take_client_frame(buffer, frame), ClientFrameRead::kFrame);
    EXPECT_EQ(frame.opcode, 0x1);
    EXPECT_EQ(frame.payload, "Hello");
    ASSERT_EQ(take_client_frame(buffer, frame), ClientFrameRead::kFrame);
    EXPECT_EQ(frame.opcode, kWsPing);
    EXPECT_EQ(frame.payload, "ping?");
    EXPECT_TRUE(buffer.empty());

    struct Case {
        const char* name;
        std::string bytes;
        ClientFrameRead expected;
    } cases[] = {
        {"empty", "", ClientFrameRead::kNeedMore},
        {"half a head", "\x88", ClientFrameRead::kNeedMore},
        {"16-bit length not there yet", "\x82\xfe\x01", ClientFrameRead::kNeedMore},
        {"payload not there yet", client_frame(0x82, std::string(300, 'b')).substr(0, 200),
         ClientFrameRead::kNeedMore},
        {"64-bit length", client_frame(0x82, std::string(65536, 'b')), ClientFrameRead::kFrame},
        {"over the cap", client_frame(0x82, std::string(65537, 'b')).substr(0, 20), ClientFrameRead::kTooBig},
        {"huge 64-bit length", std::string("\x82\xff\xff\xff\xff\xff\xff\xff\xff\xff", 10),
         ClientFrameRead::kTooBig},
        {"unmasked", client_frame(0x81, "x", false), ClientFrameRead::kBad},
        {"reserved bit", client_frame(0xC1, "x"), ClientFrameRead::kBad},
        {"reserved opcode", client_frame(0x83, "x"), ClientFrameRead::kBad},
        {"fragmented close", client_frame(0x08, ""), ClientFrameRead::kBad},
        {"long ping", client_frame(0x89, std::string(126, 'p')), ClientFrameRead::kBad},
        {"continuation", client_frame(0x80, "x"), ClientFrameRead::kFrame},
    };
    for (Case& c : cases) {
        EXPECT_EQ(take_client_frame(c.bytes, frame), c.expected) << c.name;
    }
}

TEST(WebSocket, ServerControlFrames) {
    EXPECT_EQ(websocket_control_frame(kWsClose, websocket_close_payload(1002)),
              std::string("\x88\x02\x03\xea", 4));
    EXPECT_EQ(websocket_control_frame(kWsPong, "abc"), std::string("\x8a\x03"
                                                                   "abc",
                                                                   5));
    EXPECT_EQ(websocket_control_frame(kWsPong, std::string(200, 'x')).size(), 127u);
}

} // namespace
} // namespace twk
