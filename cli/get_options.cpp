#include "cli/get_options.h"

#include "core/naming.h"
#include "core/start_request.h"
#include "net/checksum.h"
#include "net/proxy_spec.h"
#include "net/text.h"
#include "net/url.h"

#include <cctype>
#include <cerrno>
#include <charconv>
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

// The steps of a relative path without "" and "."; ".." takes the step before it. False when a
// ".." would climb above where the path starts.
bool relative_steps(const std::string& path, std::vector<std::string>& steps) {
    steps.clear();
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        const std::string step = path.substr(at, slash - at);
        at = slash + 1;
        if (step.empty() || step == ".") continue;
        if (step == "..") {
            if (steps.empty()) return false;
            steps.pop_back();
            continue;
        }
        steps.push_back(step);
    }
    return true;
}

// The name part of -o must name a file: not empty, ".", "..", nor end in "/".
bool names_a_file(const std::string& output) {
    const size_t slash = output.rfind('/');
    const std::string last = slash == std::string::npos ? output : output.substr(slash + 1);
    return !last.empty() && last != "." && last != "..";
}

// Every -H Cookie and --cookie become one cookie list, "a=1; b=2", in the order given.
void join_cookies(GetOptions& out) {
    std::string joined;
    std::vector<std::pair<std::string, std::string>> others;
    for (const auto& header : out.request.headers) {
        if (to_lower_ascii(header.first) != "cookie") {
            others.push_back(header);
        } else if (!header.second.empty()) {
            joined += (joined.empty() ? "" : "; ") + header.second;
        }
    }
    if (others.size() == out.request.headers.size()) return; // no Cookie header
    if (!out.request.cookies.empty()) joined += (joined.empty() ? "" : "; ") + out.request.cookies;
    out.request.cookies = joined;
    out.request.headers = std::move(others);
}

} // namespace

bool parse_rate(const std::string& text, int64_t& out) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
    // Read the same under every locale: "1.5M" is a megabyte and a half, never 1 with garbage.
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc()) return false;
    const std::string suffix(end, text.data() + text.size());
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
            out.request.insecure = true;
            continue;
        }
        if (arg == "--no-proxy") {
            out.request.proxy.clear();
            out.environment_proxy = false;
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
        if (arg == "--live-from-start") {
            out.request.live_from_start = true;
            continue;
        }
        if (arg == "--skip-bad-segments") {
            out.request.skip_bad_segments = true;
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
        static const char* const valued[] = {"-i",
                                             "--checksum",
                                             "--input-file",
                                             "-d",
                                             "--dir",
                                             "-o",
                                             "--output",
                                             "--max-per-host",
                                             "-x",
                                             "--connections",
                                             "--live-outage-limit",
                                             "-j",
                                             "--max-concurrent",
                                             "--limit",
                                             "--proxy",
                                             "-H",
                                             "--header",
                                             "--user-agent",
                                             "--referer",
                                             "--cookie",
                                             "--type"};
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
        if (name == "-i" || name == "--input-file") {
            if (!out.input.empty()) {
                error = "-i works once";
                return false;
            }
            out.input = value;
        } else if (name == "-d" || name == "--dir") {
            out.directory = value;
        } else if (name == "-o" || name == "--output") {
            out.request.filename = value;
        } else if (name == "-x" || name == "--connections") {
            if (!parse_int(value, number) || allowed_connections(number) != static_cast<uint64_t>(number)) {
                error = "connections must be one of 1, 2, 4, 8, 12, 16, 24, 32";
                return false;
            }
            out.request.connections = static_cast<int64_t>(number);
        } else if (name == "-j" || name == "--max-concurrent") {
            if (!parse_int(value, number) || number < 1 || number > 1000) {
                error = "max-concurrent must be a whole number from 1 to 1000";
                return false;
            }
            out.max_concurrent = static_cast<int>(number);
        } else if (name == "--checksum") {
            Checksum checksum;
            if (!parse_checksum(value, checksum)) {
                error = "bad checksum: " + value + " (sha-256=HEX, sha-512=HEX, sha-1=HEX or md5=HEX)";
                return false;
            }
            out.request.checksum = checksum.text();
        } else if (name == "--max-per-host") {
            if (!parse_int(value, number) || number < 1 || number > 1000) {
                error = "max-per-host must be a whole number from 1 to 1000";
                return false;
            }
            out.max_per_host = static_cast<int>(number);
        } else if (name == "--live-outage-limit") {
            if (!parse_int(value, number) || number < 1 || number > kMaxLiveOutageLimit) {
                error = "live-outage-limit must be a whole number of seconds from 1 to " +
                        std::to_string(kMaxLiveOutageLimit);
                return false;
            }
            out.request.live_outage_limit = number;
        } else if (name == "--limit") {
            if (!parse_rate(value, out.request.bandwidth_limit)) {
                error = "bad rate: " + value + " (bytes per second, with optional K, M or G)";
                return false;
            }
        } else if (name == "--proxy") {
            // "--proxy ''" means no proxy at all, as in curl: not even the environment's.
            out.request.proxy = value;
            out.environment_proxy = !trim_spaces(value).empty();
        } else if (name == "-H" || name == "--header") {
            std::pair<std::string, std::string> header;
            if (!split_header(value, header)) {
                error = "bad header: expected 'Name: Value'";
                return false;
            }
            if (engine_sets_header(header.first)) {
                out.notes.push_back(name + " " + header.first + ": ignored, twk sets this header itself");
                continue;
            }
            out.request.headers.push_back(std::move(header));
        } else if (name == "--user-agent") {
            out.request.user_agent = value;
        } else if (name == "--referer") {
            out.request.referrer = value;
        } else if (name == "--cookie") {
            out.request.cookies = value;
        } else if (name == "--type") {
            if (value != "hls" && value != "dash") {
                error = "--type takes hls or dash";
                return false;
            }
            out.request.type = value;
        }
    }
    if (out.urls.empty() && out.input.empty()) {
        error = "no URL given";
        return false;
    }
    if (!out.request.checksum.empty() && (out.urls.size() > 1 || !out.input.empty())) {
        error = "--checksum works with one URL only (a list gives each URL its own checksum= line)";
        return false;
    }
    if (!out.request.filename.empty() && (out.urls.size() > 1 || !out.input.empty())) {
        error = "--output works with one URL only";
        return false;
    }
    if (!out.request.filename.empty() && !names_a_file(out.request.filename)) {
        error = "--output needs a file name, not a folder: " + out.request.filename;
        return false;
    }
    std::vector<std::string> steps;
    if (!out.request.filename.empty() && out.request.filename.front() != '/' &&
        !relative_steps(out.request.filename, steps)) {
        error = "--output leaves the download folder: " + out.request.filename +
                " (use an absolute path to save elsewhere)";
        return false;
    }
    join_cookies(out);
    if (!out.request.proxy.empty() && !supported_proxy(out.request.proxy)) {
        error = "bad proxy: " + out.request.proxy + " (http://, socks5:// or socks5h://host:port)";
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
    if (output_name.find('/') == std::string::npos) return;
    const bool absolute = output_name.front() == '/';
    std::vector<std::string> steps;
    if (absolute) {
        // "/a/../b.bin" is "/b.bin"; above the root there is only the root.
        const std::string normal = normalize_path(output_name);
        relative_steps(normal.substr(1), steps);
    } else if (!relative_steps(output_name, steps)) {
        return;
    }
    if (steps.empty()) return;
    std::string place = absolute ? "" : folder;
    for (size_t i = 0; i + 1 < steps.size(); ++i)
        place += "/" + steps[i];
    folder = place.empty() ? "/" : place;
    output_name = steps.back();
}

bool list_entry_options(const GetOptions& options, const std::string& folder, const UrlListEntry& entry,
                        StartOptions& out, std::vector<UrlListProblem>& problems) {
    out = start_options(options, entry.url);
    const size_t problems_before = problems.size();
    std::string directory = folder;
    std::string output;
    for (const UrlListOption& option : entry.options) {
        const auto refuse = [&](const std::string& message) { problems.push_back({option.line, message}); };
        if (option.name == "out") {
            std::vector<std::string> steps;
            if (!names_a_file(option.value)) {
                refuse("out needs a file name, not a folder: " + option.value);
            } else if (option.value.front() != '/' && !relative_steps(option.value, steps)) {
                refuse("out leaves the download folder: " + option.value);
            } else {
                output = option.value;
            }
        } else if (option.name == "dir") {
            if (option.value.empty()) {
                refuse("dir needs a folder");
            } else {
                directory = option.value;
            }
        } else if (option.name == "header") {
            std::pair<std::string, std::string> header;
            if (!split_header(option.value, header)) {
                refuse("bad header: expected 'Name: Value'");
            } else if (engine_sets_header(header.first)) {
                refuse("header " + header.first + ": twk sets this header itself");
            } else if (to_lower_ascii(header.first) == "cookie") {
                out.cookies += (out.cookies.empty() ? "" : "; ") + header.second;
            } else {
                out.headers.push_back(std::move(header));
            }
        } else if (option.name == "checksum") {
            Checksum checksum;
            if (!parse_checksum(option.value, checksum)) {
                refuse("bad checksum: expected sha-256=HEX, sha-512=HEX, sha-1=HEX or md5=HEX");
            } else {
                out.checksum = checksum.text();
            }
        } else {
            refuse("unknown option: " + option.name);
        }
    }
    if (problems.size() != problems_before) return false;
    if (!output.empty()) {
        place_output(directory, output);
        out.filename = output;
        out.user_named = true;
    }
    if (directory != folder) out.directory = directory;
    return true;
}

StartOptions start_options(const GetOptions& options, const std::string& url) {
    StartOptions o = options.request;
    o.url = url;
    o.user_named = !o.filename.empty();
    return o;
}

std::string build_start_request(const GetOptions& options, const std::string& url) {
    return start_request_json(start_options(options, url));
}

} // namespace twk
