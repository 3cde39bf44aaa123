#include "net/url.h"

#include "net/text.h"

#include <algorithm>
#include <cctype>

namespace twk {

namespace {

bool is_unreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_ipv6_literal(std::string_view address) {
    if (address.empty() || address.find(':') == std::string_view::npos) return false;
    for (char c : address) {
        if (hex_digit(c) < 0 && c != '.' && c != ':') return false;
    }
    return true;
}

// "[" host "]" [":" port]: fills host and port or fails.
bool parse_bracketed_host(std::string_view authority, UrlParts& out) {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view host = authority.substr(1, close - 1);
    size_t percent = host.find('%');
    if (!is_ipv6_literal(host.substr(0, percent))) return false;
    if (percent != std::string_view::npos) {
        std::string_view zone = host.substr(percent + 1);
        if (zone.empty()) return false;
        for (char c : zone) {
            if (!is_unreserved(static_cast<unsigned char>(c))) return false;
        }
    }
    out.host = std::string(host);
    std::string_view after = authority.substr(close + 1);
    if (after.empty()) return true;
    return after[0] == ':' && parse_port(after.substr(1), out.port);
}

} // namespace

int32_t default_port(std::string_view scheme) {
    if (scheme == "https") return 443;
    if (scheme == "http") return 80;
    if (scheme == "ftp" || scheme == "ftps") return 21;
    return 0;
}

std::string trim_spaces(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return std::string(text.substr(begin, end - begin));
}

bool parse_port(std::string_view text, int32_t& port) {
    if (text.empty()) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > 65535) return false;
    }
    if (value < 1) return false;
    port = static_cast<int32_t>(value);
    return true;
}

bool percent_decode(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (text.size() - i < 3) return false;
        int hi = hex_digit(text[i + 1]), lo = hex_digit(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string percent_encode(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (is_unreserved(c) && c < 0x80) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
    return out;
}

bool parse_url(std::string_view text, UrlParts& out) {
    out = UrlParts{};
    std::string input = trim_spaces(text);
    size_t sep = input.find("://");
    if (sep == std::string::npos) return false;
    out.scheme = to_lower_ascii(std::string_view(input).substr(0, sep));
    out.port = default_port(out.scheme);
    if (out.port == 0) return false;
    out.tls = out.scheme == "https";

    std::string_view rest(input);
    rest.remove_prefix(sep + 3);
    rest = rest.substr(0, rest.find('#'));
    size_t path_start = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, path_start);
    if (path_start == std::string_view::npos) {
        out.path = "/";
    } else {
        out.path = std::string(rest.substr(path_start));
        if (out.path.empty() || out.path[0] != '/') out.path.insert(0, "/");
    }

    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        size_t colon = userinfo.find(':');
        std::string_view user = userinfo.substr(0, colon);
        std::string_view password =
            colon == std::string_view::npos ? std::string_view{} : userinfo.substr(colon + 1);
        if (!percent_decode(user, out.user) || !percent_decode(password, out.password)) return false;
        if (has_control_byte(out.user, true) || has_control_byte(out.password, true)) return false;
    }

    if (!authority.empty() && authority[0] == '[') {
        if (!parse_bracketed_host(authority, out)) return false;
    } else {
        size_t colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos && !parse_port(authority.substr(colon + 1), out.port))
            return false;
    }
    return !out.host.empty();
}

std::string url_authority(const UrlParts& url) {
    std::string out;
    if (url.host.find(':') != std::string::npos && (url.host.empty() || url.host[0] != '[')) {
        out = "[" + url.host + "]";
    } else {
        out = url.host;
    }
    if (url.port != default_port(url.scheme)) out += ":" + std::to_string(url.port);
    return out;
}

UrlResolver::UrlResolver(std::string_view base) {
    UrlParts b;
    m_parsed = parse_url(base, b);
    if (!m_parsed) return;
    m_scheme = b.scheme;
    m_origin = b.scheme + "://";
    if (!b.user.empty()) m_origin += percent_encode(b.user) + ":" + percent_encode(b.password) + "@";
    m_origin += url_authority(b);
    std::string_view dir(b.path);
    dir = dir.substr(0, dir.find_first_of("?#"));
    const size_t slash = dir.rfind('/');
    m_folder = slash == std::string_view::npos ? std::string("/") : std::string(dir.substr(0, slash + 1));
}

std::string UrlResolver::resolve(std::string_view reference) const {
    std::string ref = trim_spaces(reference);
    if (ref.empty() || !m_parsed) return ref;
    size_t scheme_sep = ref.find("://");
    if (scheme_sep != std::string::npos && scheme_sep < ref.find_first_of("/?#")) return ref;
    if (ref.rfind("//", 0) == 0) return m_scheme + ":" + ref;
    if (ref[0] == '/') return m_origin + ref;
    std::string out;
    out.reserve(m_origin.size() + m_folder.size() + ref.size());
    return out.append(m_origin).append(m_folder).append(ref);
}

std::string resolve_url(std::string_view base, std::string_view reference) {
    return UrlResolver(base).resolve(reference);
}

std::string basic_credentials(std::string_view user, std::string_view password) {
    std::string in;
    in.reserve(user.size() + 1 + password.size());
    in.append(user).append(":").append(password);
    return base64_encode(in);
}

std::string request_target(std::string_view path_and_query) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path_and_query.size());
    bool in_query = false;
    for (char c : path_and_query) {
        const auto byte = static_cast<unsigned char>(c);
        in_query = in_query || c == '?';
        const std::string_view unsafe = in_query ? " \"<>'" : " \"<>`{}";
        if (byte >= 0x80 || unsafe.find(c) != std::string_view::npos) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string redact_url(std::string_view url) {
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos) return std::string(url);
    const size_t start = scheme_end + 3;
    const size_t end = std::min(url.size(), url.find_first_of("/?#", start));
    const std::string_view authority = url.substr(start, end - start);
    const size_t at = authority.rfind('@');
    if (at == std::string_view::npos) return std::string(url);
    const size_t colon = authority.find(':');
    if (colon == std::string_view::npos || colon > at) return std::string(url);
    std::string out(url.substr(0, start + colon + 1));
    out += "***";
    out += url.substr(start + at);
    return out;
}

std::string redact_urls_in(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const size_t word_end = std::min(text.size(), text.find_first_of(" \t\r\n", at));
        const std::string_view word = text.substr(at, word_end - at);
        out += word.find("://") == std::string_view::npos ? std::string(word) : redact_url(word);
        if (word_end < text.size()) out += text[word_end];
        at = word_end + 1;
    }
    return out;
}

} // namespace twk
