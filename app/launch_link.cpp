#include "app/launch_link.h"

#include <cctype>

#include "net/url.h"

namespace twk::app {

namespace {

constexpr std::string_view kTwkScheme = "twk:";
constexpr std::string_view kAddPrefix = "//add?";

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

LaunchLink refused(std::string error) {
    LaunchLink link;
    link.error = std::move(error);
    return link;
}

// The value of `name` in a query ("a=1&url=..."), still encoded; false when absent.
bool query_value(std::string_view query, std::string_view name, std::string_view& value) {
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            value = pair.substr(equals + 1);
            return true;
        }
        if (end == std::string_view::npos) break;
        query.remove_prefix(end + 1);
    }
    return false;
}

// The scheme before "://", lower-cased; empty when there is none.
std::string scheme_of(std::string_view url) {
    const size_t colon = url.find("://");
    if (colon == std::string_view::npos || colon == 0) return {};
    std::string scheme;
    for (char c : url.substr(0, colon)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return scheme;
}

} // namespace

LaunchLink parse_launch_link(std::string_view text) {
    if (text.empty()) return refused("empty link");
    if (text.size() > kMaxLaunchLink) return refused("link too long");
    std::string url;
    if (starts_with_nocase(text, kTwkScheme)) {
        std::string_view rest = text.substr(kTwkScheme.size());
        std::string_view encoded = rest;
        if (starts_with_nocase(rest, kAddPrefix)) {
            std::string_view query = rest.substr(kAddPrefix.size());
            query = query.substr(0, query.find('#'));
            if (!query_value(query, "url", encoded) || encoded.empty())
                return refused("twk: link without a url");
        } else if (rest.find("://") != std::string_view::npos) {
            encoded = {};
            url = std::string(rest);
        }
        if (!encoded.empty() && !percent_decode(encoded, url))
            return refused("twk: link with a bad %-escape");
        if (url.empty()) return refused("twk: link without a url");
    } else {
        url = std::string(text);
    }
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7f) return refused("link with blanks or control characters");
    }
    const std::string scheme = scheme_of(url);
    if (scheme != "http" && scheme != "https" && scheme != "ftp" && scheme != "ftps")
        return refused("only http, https, ftp and ftps links can be downloaded");
    UrlParts parts;
    if (!parse_url(url, parts)) return refused("invalid url");
    LaunchLink link;
    link.ok = true;
    link.url = std::move(url);
    return link;
}

} // namespace twk::app
