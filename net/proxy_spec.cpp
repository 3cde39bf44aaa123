#include "net/proxy_spec.h"

#include "net/text.h"
#include "net/url.h"

#include <cctype>

namespace twk {

namespace {

int32_t proxy_kind(std::string_view scheme) {
    if (scheme == "http") return kProxyHttp;
    if (scheme == "https") return kProxyHttps;
    if (scheme == "socks5") return kProxySocks5;
    if (scheme == "socks5h" || scheme == "socks") return kProxySocks5Remote;
    return kProxyNone;
}

} // namespace

bool parse_proxy_url(std::string_view text, ProxySpec& out) {
    out = ProxySpec{};
    const std::string trimmed = trim_spaces(text);
    if (trimmed.empty()) return true;

    std::string scheme = "http";
    std::string_view rest(trimmed);
    if (size_t sep = rest.find("://"); sep != std::string_view::npos) {
        scheme = to_lower_ascii(rest.substr(0, sep));
        rest.remove_prefix(sep + 3);
    }
    const int32_t kind = proxy_kind(scheme);
    if (kind == kProxyNone) return false;

    if (size_t at = rest.find('@'); at != std::string_view::npos) {
        std::string_view userinfo = rest.substr(0, at);
        size_t colon = userinfo.find(':');
        out.user = std::string(userinfo.substr(0, colon));
        if (colon != std::string_view::npos) out.password = std::string(userinfo.substr(colon + 1));
        rest.remove_prefix(at + 1);
    }
    rest = rest.substr(0, rest.find('/'));

    std::string_view host, port;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) return false;
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (!parse_port(port, out.port) || host.empty()) return false;
    out.host = std::string(host);
    out.kind = kind;
    return true;
}

} // namespace twk
