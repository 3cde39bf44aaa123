// The Content-Disposition parser on any header value: whatever name it yields is non-empty, at
// most 255 bytes, free of separators and control bytes, without a leading dot and without
// trailing blanks or dots.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/naming.h"

namespace {

bool safe_name(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '.') return false;
    if (name.back() == ' ' || name.back() == '.') return false;
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        if (b < 32 || b == 127 || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view value(reinterpret_cast<const char*>(data), size);
    auto name = twk::parse_content_disposition(value);
    if (!name) return 0;
    if (!safe_name(*name)) __builtin_trap();
    twk::is_real_file_name(*name);
    return 0;
}
