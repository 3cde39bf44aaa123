// Big-endian integers in MP4 boxes: reading them from bytes and appending them to a box image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

inline const uint8_t* bytes_at(std::string_view data, size_t offset) {
    return reinterpret_cast<const uint8_t*>(data.data()) + offset;
}

inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint64_t be64(const uint8_t* p) { return (uint64_t{be32(p)} << 32) | be32(p + 4); }

inline void put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

inline void put32(std::string& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v >> 16));
    put16(out, static_cast<uint16_t>(v));
}

inline void put64(std::string& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v >> 32));
    put32(out, static_cast<uint32_t>(v));
}

} // namespace twk
