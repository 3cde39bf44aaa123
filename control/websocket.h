// The WebSocket pieces the status channel needs (RFC 6455): the handshake's accept value and
// the server's outgoing text frames. The channel is one-way: after the upgrade the server only
// sends, one unmasked, unfragmented text frame per snapshot, and never reads.
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

} // namespace twk
