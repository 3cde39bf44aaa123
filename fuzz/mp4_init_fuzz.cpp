// The layout a live recording compares initialisation segments by, on any bytes: never a crash,
// and an init always fits itself exactly when its layout can be read.
//
// Input: a 16-bit big-endian length, the first init, then the second.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "media/mp4_init.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t first = std::min<size_t>((size_t{data[0]} << 8) | data[1], size - 2);
    const std::string_view a(reinterpret_cast<const char*>(data) + 2, first);
    const std::string_view b(reinterpret_cast<const char*>(data) + 2 + first, size - 2 - first);
    if (twk::init_fits(a, a) == twk::fragment_layout(a).empty()) __builtin_trap();
    if (twk::init_fits(a, b) != twk::init_fits(b, a)) __builtin_trap();
    return 0;
}
