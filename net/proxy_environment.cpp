#include "net/proxy_environment.h"

#include "net/file_io.h"
#include "net/text.h"
#include "net/url.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace twk {

namespace {

// What curl assumes for a proxy URL without a port.
constexpr const char* kDefaultProxyPort = "1080";

struct Address {
    int family = 0; // AF_INET or AF_INET6; 0 when the text is no address
    std::array<uint8_t, 16> bytes{};
    int bits() const { return family == AF_INET ? 32 : 128; }
};

Address parse_address(std::string_view text) {
    Address out;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    const std::string copy(text.substr(0, text.find('%'))); // a zone does not take part
    if (inet_pton(AF_INET, copy.c_str(), out.bytes.data()) == 1) {
        out.family = AF_INET;
    } else if (inet_pton(AF_INET6, copy.c_str(), out.bytes.data()) == 1) {
        out.family = AF_INET6;
    }
    return out;
}

// `host` within the address or CIDR range `entry` ("10.0.0.0/8"); false when `entry` is no
// address of the host's family.
bool address_matches(const Address& host, std::string_view entry) {
    int prefix = host.bits();
    if (const size_t slash = entry.find('/'); slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (ec != std::errc{} || end != digits.data() + digits.size() || prefix < 0 || prefix > host.bits())
            return false;
        entry = entry.substr(0, slash);
    }
    const Address range = parse_address(entry);
    if (range.family != host.family) return false;
    const int whole = prefix / 8;
    if (std::memcmp(range.bytes.data(), host.bytes.data(), static_cast<size_t>(whole)) != 0) return false;
    const int rest = prefix % 8;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (range.bytes[static_cast<size_t>(whole)] & mask) ==
           (host.bytes[static_cast<size_t>(whole)] & mask);
}

std::string to_upper_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string_view without_trailing_dot(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return name;
}

bool name_matches(std::string_view host, std::string_view entry) {
    if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
    entry = without_trailing_dot(entry);
    if (entry.empty() || entry.size() > host.size()) return false;
    const std::string tail = to_lower_ascii(host.substr(host.size() - entry.size()));
    if (tail != to_lower_ascii(entry)) return false;
    return host.size() == entry.size() || host[host.size() - entry.size() - 1] == '.';
}

// The first of `names` that is set.
std::pair<std::string, std::string> first_set(const EnvironmentLookup& lookup,
                                              std::initializer_list<std::string> names) {
    for (const std::string& name : names) {
        std::string value = trim_spaces(lookup(name.c_str()));
        if (!value.empty()) return {name, value};
    }
    return {};
}

// A proxy URL as curl takes it: an authority without a port gets 1080.
bool parse_environment_proxy(const std::string& text, ProxySpec& out) {
    if (parse_proxy_url(text, out)) return true;
    const size_t scheme_end = text.find("://");
    const size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    const size_t end = std::min(text.find('/', start), text.size());
    const std::string_view authority = std::string_view(text).substr(start, end - start);
    const std::string_view host_part =
        authority.substr(authority.rfind('@') == std::string_view::npos ? 0 : authority.rfind('@') + 1);
    const bool has_port = host_part.starts_with('[') ? host_part.find("]:") != std::string_view::npos
                                                     : host_part.find(':') != std::string_view::npos;
    if (has_port || host_part.empty()) return false;
    return parse_proxy_url(text.substr(0, end) + ":" + kDefaultProxyPort + text.substr(end), out);
}

} // namespace

bool no_proxy_matches(std::string_view no_proxy, std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    host = without_trailing_dot(host);
    if (host.empty()) return false;
    const Address address = parse_address(host);
    size_t at = 0;
    while (at < no_proxy.size()) {
        const size_t end = std::min(no_proxy.find_first_of(", \t", at), no_proxy.size());
        const std::string_view entry = no_proxy.substr(at, end - at);
        at = end + 1;
        if (entry.empty()) continue;
        if (entry == "*") return true;
        if (address.family != 0 ? address_matches(address, entry) : name_matches(host, entry)) return true;
    }
    return false;
}

EnvironmentProxy environment_proxy(std::string_view url, const EnvironmentLookup& given) {
    const EnvironmentLookup lookup = given ? given : [](const char* name) { return env_value(name); };
    EnvironmentProxy out;
    UrlParts parts;
    if (!parse_url(url, parts)) return out;
    if (no_proxy_matches(first_set(lookup, {"no_proxy", "NO_PROXY"}).second, parts.host)) return out;

    const std::string lower = parts.scheme + "_proxy";
    std::pair<std::string, std::string> found = parts.scheme == "http"
                                                    ? first_set(lookup, {lower})
                                                    : first_set(lookup, {lower, to_upper_ascii(lower)});
    if (found.second.empty()) found = first_set(lookup, {"all_proxy", "ALL_PROXY"});
    if (found.second.empty()) return out;
    out.variable = found.first;
    out.usable = parse_environment_proxy(found.second, out.proxy) && out.proxy.configured();
    if (!out.usable) out.proxy = ProxySpec{};
    return out;
}

} // namespace twk
