// parse_launch_link on any text: an accepted link is a URL that parses, of one of the four
// schemes, no longer than the text allows, without blanks or control characters; a refused one
// says why.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/launch_link.h"
#include "net/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const twk::app::LaunchLink link = twk::app::parse_launch_link(text);
    if (!link.ok) {
        if (link.error.empty() || !link.url.empty()) __builtin_trap();
        return 0;
    }
    twk::UrlParts parts;
    if (!twk::parse_url(link.url, parts) || link.url.size() > twk::app::kMaxLaunchLink) __builtin_trap();
    if (parts.scheme != "http" && parts.scheme != "https" && parts.scheme != "ftp" && parts.scheme != "ftps")
        __builtin_trap();
    for (unsigned char c : link.url)
        if (c <= 0x20 || c == 0x7f) __builtin_trap();
    return 0;
}
