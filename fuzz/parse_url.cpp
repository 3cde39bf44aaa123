// parse_url on arbitrary text: what it accepts must be internally consistent.
#include "net/text.h"
#include "net/url.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
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
