#include "net/redirect_policy.h"

#include <algorithm>
#include <array>

namespace twk {

namespace {

constexpr std::array<std::string_view, 11> kSafeHeaders = {
    "user-agent", "accept",   "accept-encoding", "accept-language",   "accept-charset",      "range",
    "if-range",   "if-match", "if-none-match",   "if-modified-since", "if-unmodified-since",
};

} // namespace

bool is_redirect_status(int32_t status) { return status >= 301 && status <= 308 && status != 304; }

bool same_origin(const UrlParts& a, const UrlParts& b) {
    return a.scheme == b.scheme && equals_ignoring_case(a.host, b.host) && a.port == b.port;
}

bool is_cross_origin_safe_header(std::string_view name) {
    return std::any_of(kSafeHeaders.begin(), kSafeHeaders.end(),
                       [&](std::string_view safe) { return equals_ignoring_case(name, safe); });
}

std::string browser_referer(std::string_view referer, std::string_view target) {
    UrlParts from;
    UrlParts to;
    if (!parse_url(referer, from) || (from.scheme != "http" && from.scheme != "https")) return {};
    if (!parse_url(target, to)) return {};
    if (from.scheme == "https" && to.scheme != "https") return {};
    std::string out = from.scheme + "://" + url_authority(from);
    return same_origin(from, to) ? out + from.path : out + "/";
}

std::string redirect_target(int32_t status, const std::string& current_url, const HeaderMap& headers) {
    if (!is_redirect_status(status)) return {};
    std::string_view location(headers.get("location"));
    location = location.substr(0, location.find('#'));
    if (location.empty()) return {};
    return resolve_url(current_url, location);
}

bool apply_redirect(int32_t status, const UrlParts& from, const std::string& to, std::string& method,
                    std::string& body, HeaderList& headers, std::string& error) {
    UrlParts next;
    if (!parse_url(to, next) || !same_origin(from, next)) {
        if ((status == 307 || status == 308) && method != "GET" && method != "HEAD") {
            error =
                "cross-origin " + std::to_string(status) + " redirect blocked for non-safe method " + method;
            return false;
        }
        for (auto& [name, value] : headers) {
            if (equals_ignoring_case(name, "referer")) value = browser_referer(value, to);
        }
        std::erase_if(headers, [](const auto& header) {
            return !is_cross_origin_safe_header(header.first) &&
                   !(equals_ignoring_case(header.first, "referer") && !header.second.empty());
        });
    }
    if (status == 303 || ((status == 301 || status == 302) && method == "POST")) {
        method = "GET";
        body.clear();
    }
    return true;
}

} // namespace twk
