#include "control/request.h"

#include <charconv>
#include <climits>

#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kBearer = "bearer ";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated word of `line` from `pos`.
std::string_view next_word(std::string_view line, size_t& pos) {
    while (pos < line.size() && is_blank(line[pos]))
        ++pos;
    size_t begin = pos;
    while (pos < line.size() && !is_blank(line[pos]))
        ++pos;
    return line.substr(begin, pos - begin);
}

// One decimal number 0-255 without leading zeros; the resolvers that read "0127" as octal would
// otherwise see another address than this check does.
bool is_octet(std::string_view text) {
    if (text.empty() || text.size() > 3) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 255;
}

bool is_ipv4_loopback(std::string_view host) {
    int parts = 0;
    std::string_view first;
    while (true) {
        size_t dot = host.find('.');
        std::string_view part = host.substr(0, dot);
        if (!is_octet(part)) return false;
        if (parts++ == 0) first = part;
        if (dot == std::string_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return parts == 4 && first == "127";
}

ExtensionKind extension_scheme(std::string_view scheme) {
    if (scheme == "chrome-extension") return kChromeExtension;
    if (scheme == "moz-extension") return kMozExtension;
    if (scheme == "safari-web-extension") return kSafariExtension;
    return kNoExtension;
}

} // namespace

const std::string* ControlRequest::header(std::string_view lower_name) const {
    auto it = headers.find(std::string(lower_name));
    return it == headers.end() ? nullptr : &it->second;
}

ControlRequest parse_request_head(std::string_view head) {
    ControlRequest request;
    bool first = true;
    while (!head.empty()) {
        size_t eol = head.find('\n');
        std::string_view line = head.substr(0, eol);
        head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            first = false;
            size_t pos = 0;
            request.method = next_word(line, pos);
            request.target = next_word(line, pos);
            request.version = next_word(line, pos);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        request.headers[to_lower_ascii(trim_spaces(line.substr(0, colon)))] =
            trim_spaces(line.substr(colon + 1));
    }
    return request;
}

size_t request_head_end(std::string_view buffer) {
    size_t at = buffer.find(kHeadEnd);
    return at == std::string_view::npos ? 0 : at + kHeadEnd.size();
}

std::string_view request_path(std::string_view target) { return target.substr(0, target.find('?')); }

std::string query_parameter(std::string_view target, std::string_view name) {
    size_t question = target.find('?');
    if (question == std::string_view::npos) return {};
    std::string_view query = target.substr(question + 1);
    while (true) {
        size_t amp = query.find('&');
        std::string_view piece = query.substr(0, amp);
        size_t eq = piece.find('=');
        if (piece.substr(0, eq) == name)
            return eq == std::string_view::npos ? std::string() : std::string(piece.substr(eq + 1));
        if (amp == std::string_view::npos) return {};
        query.remove_prefix(amp + 1);
    }
}

std::string host_without_port(std::string_view authority) {
    std::string host = to_lower_ascii(authority);
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close != std::string::npos) host.resize(close + 1);
        return host;
    }
    size_t colon = host.find(':');
    if (colon != std::string::npos) host.resize(colon);
    return host;
}

namespace {

// The port of an http authority ("host", "host:port", "[v6]:port"): 80 when it names none, 0
// when it is not a number.
uint32_t http_port(std::string_view authority) {
    const size_t close = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos || (close != std::string_view::npos && colon < close)) return 80;
    const std::string_view digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return 0;
    uint32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    return port;
}

} // namespace

bool is_loopback_name(std::string_view host) {
    return host == "localhost" || host == "[::1]" || is_ipv4_loopback(host);
}

HostCheck check_host(const ControlRequest& request) {
    const std::string* host = request.header("host");
    if (!host)
        return to_lower_ascii(request.version) == "http/1.0" ? HostCheck::kAllowed : HostCheck::kMissingHost;
    return is_loopback_name(host_without_port(*host)) ? HostCheck::kAllowed : HostCheck::kForbidden;
}

std::string presented_token(const ControlRequest& request) {
    const std::string* authorization = request.header("authorization");
    if (authorization && authorization->size() > kBearer.size() &&
        to_lower_ascii(std::string_view(*authorization).substr(0, kBearer.size())) == kBearer)
        return trim_spaces(std::string_view(*authorization).substr(kBearer.size()));
    return query_parameter(request.target, "token");
}

bool presented_proof(const ControlRequest& request, std::string& nonce, std::string& proof) {
    const std::string* header = request.header("x-tarnwick-proof");
    const std::string text = header ? *header : query_parameter(request.target, "proof");
    const size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    nonce = text.substr(0, dot);
    proof = text.substr(dot + 1);
    return true;
}

AccessDecision decide_access(const ControlRequest& request, std::string_view server_token,
                             std::string_view extension_key, bool proven) {
    AccessDecision decision;
    const std::string presented = presented_token(request);
    const bool holds_secret = (!server_token.empty() && tokens_equal(presented, server_token)) ||
                              (!extension_key.empty() && tokens_equal(presented, extension_key));
    const std::string* origin = request.header("origin");
    size_t separator = origin ? origin->find("://") : std::string::npos;
    if (separator != std::string::npos) {
        std::string scheme = to_lower_ascii(std::string_view(*origin).substr(0, separator));
        decision.extension = extension_scheme(scheme);
        if (decision.extension != kNoExtension) {
            // Any local process can send an extension's Origin: the extension shows the key.
            decision.allowed = proven || holds_secret;
            return decision;
        }
        if (scheme == "http" || scheme == "https") {
            std::string_view authority = std::string_view(*origin).substr(separator + 3);
            authority = authority.substr(0, authority.find('/'));
            // Only pages this server served: a page on another loopback port may belong to
            // another account, and any site can send the browser there.
            const std::string* host = request.header("host");
            if (scheme == "http" && host && is_loopback_name(host_without_port(authority)) &&
                http_port(authority) != 0 && http_port(authority) == http_port(*host)) {
                decision.allowed = true;
                return decision;
            }
        }
    }
    decision.allowed = holds_secret;
    return decision;
}

bool tokens_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool valid_browser_tag(std::string_view tag) {
    if (tag.empty() || tag.size() > kMaxBrowserTag) return false;
    for (char c : tag) {
        if (c < 'a' || c > 'z') return false;
    }
    return true;
}

std::string control_bind_address(std::string_view requested) {
    return is_ipv4_loopback(requested) ? std::string(requested) : std::string("127.0.0.1");
}

int64_t lenient_content_length(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) return negative ? INT64_MIN : INT64_MAX;
    return negative ? -value : value;
}

} // namespace twk
