#include "cli/get_options.h"

#include "core/start_request.h"
#include "net/proxy_spec.h"
#include "net/text.h"
#include "net/url.h"
#include "json/json.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace twk {

namespace {

bool parse_int(const std::string& text, long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

// "Name: Value" with a token name and no control bytes.
bool split_header(const std::string& text, std::pair<std::string, std::string>& out) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = text.substr(0, colon);
    for (char c : name) {
        if (c <= ' ' || c == 0x7F) return false;
    }
    size_t value_start = text.find_first_not_of(" \t", colon + 1);
    std::string value = value_start == std::string::npos ? "" : text.substr(value_start);
    if (has_control_byte(value)) return false;
    out = {name, value};
    return true;
}

} // namespace

bool parse_rate(const std::string& text, int64_t& out) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    std::string suffix(end);
    double scale = 1;
    if (suffix == "K" || suffix == "k") {
        scale = 1024.0;
    } else if (suffix == "M" || suffix == "m") {
        scale = 1024.0 * 1024;
    } else if (suffix == "G" || suffix == "g") {
        scale = 1024.0 * 1024 * 1024;
    } else if (!suffix.empty()) {
        return false;
    }
    double bytes = value * scale;
    if (!std::isfinite(bytes) || bytes < 1 || bytes > 9.0e18) return false;
    out = static_cast<int64_t>(bytes);
    return true;
}

bool parse_get_options(const std::vector<std::string>& args, GetOptions& out, std::string& error) {
    out = GetOptions{};
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            out.urls.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        // Flags without a value.
        if (arg == "-k" || arg == "--insecure") {
            out.insecure = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            out.quiet = true;
            continue;
        }
        if (arg == "--json") {
            out.json = true;
            continue;
        }
        // Options with a value: "--name value", "--name=value" or "-xVALUE".
        std::string name = arg, value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            if (size_t eq = arg.find('='); eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                has_value = true;
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            has_value = true;
        }
        static const char* const valued[] = {"-d",           "--dir",         "-o",       "--output",
                                             "-x",           "--connections", "-j",       "--max-concurrent",
                                             "--limit",      "--proxy",       "-H",       "--header",
                                             "--user-agent", "--referer",     "--cookie", "--type"};
        bool known = false;
        for (const char* v : valued)
            known = known || name == v;
        if (!known) {
            error = "unknown option: " + arg;
            return false;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        long number = 0;
        if (name == "-d" || name == "--dir") {
            out.directory = value;
        } else if (name == "-o" || name == "--output") {
            out.output_name = value;
        } else if (name == "-x" || name == "--connections") {
            if (!parse_int(value, number) || allowed_connections(number) != static_cast<uint64_t>(number)) {
                error = "connections must be one of 1, 2, 4, 8, 12, 16, 24, 32";
                return false;
            }
            out.connections = static_cast<int>(number);
        } else if (name == "-j" || name == "--max-concurrent") {
            if (!parse_int(value, number) || number < 1 || number > 1000) {
                error = "max-concurrent must be a whole number from 1 to 1000";
                return false;
            }
            out.max_concurrent = static_cast<int>(number);
        } else if (name == "--limit") {
            if (!parse_rate(value, out.limit)) {
                error = "bad rate: " + value + " (bytes per second, with optional K, M or G)";
                return false;
            }
        } else if (name == "--proxy") {
            out.proxy = value;
        } else if (name == "-H" || name == "--header") {
            std::pair<std::string, std::string> header;
            if (!split_header(value, header)) {
                error = "bad header: expected 'Name: Value'";
                return false;
            }
            out.headers.push_back(std::move(header));
        } else if (name == "--user-agent") {
            out.user_agent = value;
        } else if (name == "--referer") {
            out.referer = value;
        } else if (name == "--cookie") {
            out.cookie = value;
        } else if (name == "--type") {
            if (value != "hls" && value != "dash") {
                error = "--type takes hls or dash";
                return false;
            }
            out.type = value;
        }
    }
    if (out.urls.empty()) {
        error = "no URL given";
        return false;
    }
    if (!out.output_name.empty() && out.urls.size() > 1) {
        error = "--output works with one URL only";
        return false;
    }
    if (!out.output_name.empty() && out.output_name.back() == '/') {
        error = "--output needs a file name, not a folder: " + out.output_name;
        return false;
    }
    if (!out.proxy.empty() && !supported_proxy(out.proxy)) {
        error = "bad proxy: " + out.proxy + " (http://, socks5:// or socks5h://host:port)";
        return false;
    }
    return true;
}

bool supported_proxy(const std::string& text) {
    ProxySpec spec;
    if (!parse_proxy_url(text, spec)) return false;
    const size_t scheme_end = text.find("://");
    if (scheme_end == std::string::npos) return true; // no scheme: http
    const std::string scheme = to_lower_ascii(trim_spaces(text.substr(0, scheme_end)));
    return scheme == "http" || scheme == "socks5" || scheme == "socks5h";
}

void place_output(std::string& folder, std::string& output_name) {
    const size_t slash = output_name.rfind('/');
    if (slash == std::string::npos) return;
    const std::string part = slash == 0 ? "/" : output_name.substr(0, slash);
    folder = part.front() == '/' ? part : folder + "/" + part;
    output_name.erase(0, slash + 1);
}

StartOptions start_options(const GetOptions& options, const std::string& url) {
    StartOptions o;
    o.url = url;
    o.connections = options.connections;
    o.bandwidth_limit = options.limit;
    o.insecure = options.insecure;
    o.proxy = options.proxy;
    o.filename = options.output_name;
    o.cookies = options.cookie;
    o.referrer = options.referer;
    o.user_agent = options.user_agent;
    o.headers.assign(options.headers.begin(), options.headers.end());
    return o;
}

std::string build_start_request(const GetOptions& options, const std::string& url) {
    std::string doc = "{\"url\":" + json_quote(url);
    doc += ",\"connections\":" + std::to_string(options.connections);
    if (options.limit > 0) doc += ",\"bandwidthLimit\":" + std::to_string(options.limit);
    if (options.insecure) doc += ",\"insecure\":true";
    if (!options.proxy.empty()) doc += ",\"proxy\":" + json_quote(options.proxy);
    if (!options.output_name.empty()) doc += ",\"filename\":" + json_quote(options.output_name);
    if (!options.type.empty()) doc += ",\"type\":" + json_quote(options.type);
    if (!options.cookie.empty()) doc += ",\"cookies\":" + json_quote(options.cookie);
    if (!options.referer.empty()) doc += ",\"referrer\":" + json_quote(options.referer);
    if (!options.user_agent.empty()) doc += ",\"userAgent\":" + json_quote(options.user_agent);
    if (!options.headers.empty()) {
        doc += ",\"headers\":{";
        for (size_t i = 0; i < options.headers.size(); ++i) {
            if (i) doc += ',';
            doc += json_quote(options.headers[i].first) + ":" + json_quote(options.headers[i].second);
        }
        doc += '}';
    }
    doc += '}';
    return doc;
}

} // namespace twk
