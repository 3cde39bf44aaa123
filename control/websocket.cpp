#include "control/websocket.h"

namespace twk {

namespace {

constexpr uint8_t kFinalText = 0x81;
constexpr uint64_t kOneByteLimit = 125;
constexpr uint64_t kTwoByteLimit = 65535;
constexpr uint8_t kTwoByteMark = 126;
constexpr uint8_t kEightByteMark = 127;

uint32_t rotate_left(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

void sha1_block(std::array<uint32_t, 5>& state, const uint8_t* block) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
               uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i)
        w[i] = rotate_left(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rotate_left(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotate_left(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace

std::array<uint8_t, 20> sha1(std::string_view bytes) {
    std::array<uint32_t, 5> state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    size_t whole = bytes.size() / 64 * 64;
    for (size_t offset = 0; offset < whole; offset += 64)
        sha1_block(state, reinterpret_cast<const uint8_t*>(bytes.data()) + offset);

    // The tail, 0x80, zeros, and the length in bits: one block, or two when the tail is long.
    uint8_t tail[128] = {};
    size_t rest = bytes.size() % 64; // what the whole blocks left
    for (size_t i = 0; i < rest; ++i)
        tail[i] = static_cast<uint8_t>(bytes[whole + i]);
    tail[rest] = 0x80;
    size_t tail_size = rest + 1 + 8 <= 64 ? 64 : 128;
    uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tail_size - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    for (size_t offset = 0; offset < tail_size; offset += 64)
        sha1_block(state, tail + offset);

    std::array<uint8_t, 20> digest{};
    for (int i = 0; i < 20; ++i)
        digest[i] = static_cast<uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
}

std::string websocket_accept(std::string_view key) {
    std::string text(key);
    text += kWebSocketGuid;
    std::array<uint8_t, 20> digest = sha1(text);
    return base64_encode(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string websocket_frame_head(uint64_t length) {
    std::string head(1, static_cast<char>(kFinalText));
    if (length <= kOneByteLimit) {
        head += static_cast<char>(length);
    } else if (length <= kTwoByteLimit) {
        head += static_cast<char>(kTwoByteMark);
        head += static_cast<char>(length >> 8);
        head += static_cast<char>(length & 0xFF);
    } else {
        head += static_cast<char>(kEightByteMark);
        for (int shift = 56; shift >= 0; shift -= 8)
            head += static_cast<char>((length >> shift) & 0xFF);
    }
    return head;
}

std::string websocket_text_frame(std::string_view payload) {
    std::string frame = websocket_frame_head(payload.size());
    frame += payload;
    return frame;
}

std::string websocket_control_frame(uint8_t opcode, std::string_view payload) {
    payload = payload.substr(0, kOneByteLimit);
    std::string frame(1, static_cast<char>(0x80 | opcode));
    frame += static_cast<char>(payload.size());
    frame += payload;
    return frame;
}

std::string websocket_close_payload(uint16_t code) {
    return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

ClientFrameRead take_client_frame(std::string& buffer, ClientFrame& frame) {
    const auto byte = [&buffer](size_t i) { return static_cast<uint8_t>(buffer[i]); };
    if (buffer.size() < 2) return ClientFrameRead::kNeedMore;
    const bool fin = (byte(0) & 0x80) != 0;
    const uint8_t reserved = byte(0) & 0x70;
    const uint8_t opcode = byte(0) & 0x0F;
    const bool masked = (byte(1) & 0x80) != 0;
    const bool control = (opcode & 0x8) != 0;
    const bool known = opcode <= 0x2 || (opcode >= kWsClose && opcode <= kWsPong);
    if (!masked || reserved != 0 || !known) return ClientFrameRead::kBad;
    uint64_t length = byte(1) & 0x7F;
    size_t at = 2;
    if (length == kTwoByteMark || length == kEightByteMark) {
        const size_t bytes = length == kTwoByteMark ? 2 : 8;
        if (buffer.size() < at + bytes) return ClientFrameRead::kNeedMore;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | byte(at + i);
        at += bytes;
    }
    if (control && (!fin || length > kOneByteLimit)) return ClientFrameRead::kBad;
    if (length > kMaxClientFrame) return ClientFrameRead::kTooBig;
    if (buffer.size() < at + 4 + length) return ClientFrameRead::kNeedMore;
    const size_t mask_at = at;
    at += 4;
    frame.opcode = opcode;
    frame.payload.assign(buffer, at, static_cast<size_t>(length));
    for (size_t i = 0; i < frame.payload.size(); ++i)
        frame.payload[i] = static_cast<char>(frame.payload[i] ^ buffer[mask_at + i % 4]);
    buffer.erase(0, at + static_cast<size_t>(length));
    return ClientFrameRead::kFrame;
}

} // namespace twk
