// parse_url on arbitrary text: what it accepts must be internally consistent. Also the shown form
// of any text (redact_url, redact_urls_in: applying them twice changes nothing) and the request
// target (no space or byte above 0x7F gets through).
#include "net/text.h"
#include "net/url.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string shown = twk::redact_url(text);
    if (twk::redact_url(shown) != shown) std::abort();
    const std::string all_shown = twk::redact_urls_in(text);
    if (twk::redact_urls_in(all_shown) != all_shown) std::abort();
    for (unsigned char c : twk::request_target(text)) {
        if (c == ' ' || c >= 0x80) std::abort();
    }
    twk::UrlParts url;
    if (!twk::parse_url(text, url)) return 0;
    if (url.host.empty() || url.path.empty() || url.path[0] != '/') std::abort();
    if (url.port < 1 || url.port > 65535) std::abort();
    if (twk::has_control_byte(url.user, true) || twk::has_control_byte(url.password, true)) std::abort();
    (void)twk::url_authority(url);
    std::string decoded;
    if (!twk::percent_decode(twk::percent_encode(url.user), decoded) || decoded != url.user) std::abort();
    return 0;
}
