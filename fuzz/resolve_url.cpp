// resolve_url on an arbitrary base and reference, split at the first zero byte.
#include "net/url.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t split = all.find('\0');
    std::string_view base = all.substr(0, split);
    std::string_view reference = split == std::string_view::npos ? std::string_view{} : all.substr(split + 1);
    (void)twk::resolve_url(base, reference);
    return 0;
}
