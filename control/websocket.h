// The WebSocket pieces the status channel needs (RFC 6455): the handshake's accept value, the
// server's outgoing frames and the reader of the client's frames. The channel is one-way: after
// the upgrade the server sends one unmasked, unfragmented text frame per snapshot. What the
// client sends is read only to answer a Ping with a Pong and a Close with a Close; data frames
// are dropped.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/text.h" // base64_encode

namespace twk {

inline constexpr std::string_view kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// SHA-1 (FIPS 180-4) of `bytes`. Only the handshake uses it, where it hashes no secret.
std::array<uint8_t, 20> sha1(std::string_view bytes);

// Base64 of the SHA-1 of the client's key followed by the GUID.
std::string websocket_accept(std::string_view key);

// The frame head for a text payload of `length` bytes: 0x81, then the length with the mask bit
// clear in one byte (up to 125), 126 and 16 bits (up to 65535), or 127 and 64 bits, big-endian.
std::string websocket_frame_head(uint64_t length);

// The whole frame: head and payload.
std::string websocket_text_frame(std::string_view payload);

inline constexpr uint8_t kWsClose = 0x8;
inline constexpr uint8_t kWsPing = 0x9;
inline constexpr uint8_t kWsPong = 0xA;
// A control frame the server sends (Close, Pong): final, unmasked, at most 125 bytes of payload
// (a longer one is cut).
std::string websocket_control_frame(uint8_t opcode, std::string_view payload);
// The Close payload for a status code: the code, big-endian.
std::string websocket_close_payload(uint16_t code);
inline constexpr uint16_t kWsProtocolError = 1002;
inline constexpr uint16_t kWsTooBig = 1009;

// The largest client frame read; anything longer ends the channel with "too big".
inline constexpr uint64_t kMaxClientFrame = 65'536;

struct ClientFrame {
    uint8_t opcode = 0;
    std::string payload; // unmasked
};
enum class ClientFrameRead {
    kFrame,    // one frame was taken off the front of the buffer
    kNeedMore, // the buffer holds no whole frame yet
    kBad,      // not a frame a client may send: unmasked, reserved bits or opcode, a control
               // frame that is fragmented or over 125 bytes
    kTooBig,   // longer than kMaxClientFrame
};
// Takes the first client frame off the front of `buffer`.
ClientFrameRead take_client_frame(std::string& buffer, ClientFrame& frame);

} // namespace twk
