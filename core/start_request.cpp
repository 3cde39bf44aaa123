#include "core/start_request.h"

#include "net/checksum.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/naming.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

constexpr std::string_view kFallbackName = "download.bin";

// Headers the engine sets itself (connection handling, framing, ranges, cache validators).
constexpr std::string_view kDroppedHeaders[] = {
    "host",          "connection",        "content-length", "accept-encoding",
    "range",         "proxy-connection",  "keep-alive",     "transfer-encoding",
    "if-none-match", "if-modified-since", "if-match",       "if-unmodified-since",
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

const JsonValue* member(const JsonValue& object, const char* key) {
    if (object.kind != JsonKind::Object) return nullptr;
    auto it = object.object.find(key);
    return it == object.object.end() ? nullptr : &it->second;
}

std::string read_text(const JsonValue& object, const char* key, std::string fallback = {}) {
    const JsonValue* v = member(object, key);
    return v && v->kind == JsonKind::String ? v->string : fallback;
}

// A JSON number truncated toward zero, saturated at the ends of the 64-bit range.
std::optional<int64_t> truncate_number(double number) {
    if (std::isnan(number)) return std::nullopt;
    if (number >= 9223372036854775807.0) return INT64_MAX;
    if (number <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(number);
}

// A JSON number, or a string whose leading part is a base-10 signed 64-bit number.
int64_t read_integer(const JsonValue& object, const char* key, int64_t fallback) {
    const JsonValue* v = member(object, key);
    if (!v) return fallback;
    if (v->kind == JsonKind::Number) return truncate_number(v->number).value_or(fallback);
    if (v->kind != JsonKind::String) return fallback;
    const char* begin = v->string.c_str();
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return fallback;
    return value;
}

bool read_flag(const JsonValue& object, const char* key) {
    const JsonValue* v = member(object, key);
    if (!v) return false;
    if (v->kind == JsonKind::Bool) return v->boolean;
    if (v->kind == JsonKind::Number) return v->number != 0;
    if (v->kind != JsonKind::String) return false;
    std::string text = lower(v->string);
    return text == "true" || text == "1" || text == "yes";
}

std::string read_method(const JsonValue& object) {
    std::string method = lower(read_text(object, "method"));
    if (method == "post") return "POST";
    if (method == "head") return "HEAD";
    return "GET";
}

HeaderList read_headers(const JsonValue& object) {
    HeaderList headers;
    const JsonValue* v = member(object, "headers");
    if (!v || v->kind != JsonKind::Object) return headers;
    for (const auto& [name, value] : v->object) {
        if (value.kind == JsonKind::String) headers.emplace_back(name, value.string);
    }
    return headers;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The name derived from a URL: after the last "/" or "\" of the URL cut at "?" or "#", its
// percent-escapes decoded as a browser decodes them ("my%20file.pdf" is "my file.pdf"; a "%"
// without two hexadecimal digits stays). A separator it decodes to becomes "_".
std::string name_from_url(std::string_view url) {
    url = url.substr(0, url.find_first_of("?#"));
    size_t slash = url.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? url : url.substr(slash + 1);
    std::string decoded;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && hex_digit(name[i + 1]) >= 0 &&
            hex_digit(name[i + 2]) >= 0) {
            const char c = static_cast<char>(hex_digit(name[i + 1]) * 16 + hex_digit(name[i + 2]));
            decoded += c == '/' || c == '\\' ? '_' : c;
            i += 2;
        } else {
            decoded += name[i];
        }
    }
    if (decoded.empty() || decoded == "." || decoded == "..") return std::string(kFallbackName);
    return decoded;
}

// Only the last path component survives, without control bytes, separators, leading dots
// (unless the user chose the name) or trailing blanks and dots, fitted (`fit_file_name`).
std::string clean_name(std::string_view name, bool keep_leading_dots) {
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) name = name.substr(slash + 1);
    std::string out;
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '/' || c == '\\') continue;
        out += c;
    }
    // A name is created on disk as it is shown: ill-formed UTF-8 becomes U+FFFD first.
    out = valid_utf8(out);
    if (!keep_leading_dots || out.find_first_not_of('.') == std::string::npos)
        out.erase(0, out.find_first_not_of('.'));
    while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    out = fit_file_name(out);
    return out.empty() ? std::string(kFallbackName) : out;
}

// A header name that would break the request's header block is no header at all.
bool usable_header_name(std::string_view name) {
    return !name.empty() && name.find_first_of(": \t") == std::string_view::npos;
}

bool is_dropped_header(const std::string& lower_name) {
    for (std::string_view dropped : kDroppedHeaders) {
        if (lower_name == dropped) return true;
    }
    return false;
}

// The request headers a task keeps, with the user agent they may carry and the Cookie and
// Referer headers made from the "cookies" and "referrer" members.
void apply_headers(TaskRequest& request, const StartOptions& options) {
    bool have_cookie = false;
    bool have_referer = false;
    std::string header_agent;
    for (const auto& [name, value] : options.headers) {
        std::string key = lower(name);
        if (is_dropped_header(key) || has_control_byte(name) || has_control_byte(value)) continue;
        if (!usable_header_name(name)) continue;
        if (key == "user-agent") {
            header_agent = value;
            continue;
        }
        have_cookie = have_cookie || key == "cookie";
        have_referer = have_referer || key == "referer" || key == "referrer";
        request.headers.emplace_back(name, value);
    }
    if (!options.user_agent.empty() && !has_control_byte(options.user_agent)) {
        request.user_agent = options.user_agent;
    } else if (options.user_agent.empty() && !header_agent.empty()) {
        request.user_agent = header_agent;
    }
    if (!options.cookies.empty() && !has_control_byte(options.cookies) && !have_cookie) {
        request.headers.emplace_back("Cookie", options.cookies);
    }
    if (!options.referrer.empty() && !has_control_byte(options.referrer) && !have_referer) {
        request.headers.emplace_back("Referer", options.referrer);
    }
}

bool ends_with_lower(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && lower(text.substr(text.size() - suffix.size())) == suffix;
}

} // namespace

bool engine_sets_header(std::string_view name) { return is_dropped_header(lower(name)); }

uint64_t allowed_connections(int64_t requested) {
    for (uint64_t allowed : kAllowedConnections) {
        if (requested >= 0 && static_cast<uint64_t>(requested) == allowed) return allowed;
    }
    return kDefaultConnections;
}

int64_t allowed_live_outage_limit(int64_t seconds) {
    return seconds >= 1 && seconds <= kMaxLiveOutageLimit ? seconds : 0;
}

StartOptions read_start_options(const JsonValue& request, bool capture) {
    StartOptions o;
    o.url = trim_spaces(read_text(request, "url"));
    o.connections = read_integer(request, "connections", static_cast<int64_t>(kDefaultConnections));
    o.bandwidth_limit = read_integer(request, "bandwidthLimit", 0);
    o.insecure = read_flag(request, "insecure");
    o.proxy = trim_spaces(read_text(request, "proxy"));
    o.checksum = trim_spaces(read_text(request, "checksum"));
    o.live_outage_limit = allowed_live_outage_limit(read_integer(request, "liveOutageLimit", 0));
    if (!capture) return o;
    o.filename = read_text(request, "filename");
    o.cookies = read_text(request, "cookies");
    o.referrer = read_text(request, "referrer");
    o.user_agent = read_text(request, "userAgent");
    o.method = read_method(request);
    o.post_data = read_text(request, "postData");
    o.type = lower(read_text(request, "type"));
    const JsonValue* limit = member(request, "maxConcurrent");
    if (limit && limit->kind == JsonKind::Number) o.max_concurrent = truncate_number(limit->number);
    o.headers = read_headers(request);
    o.live_from_start = read_flag(request, "liveFromStart");
    o.skip_bad_segments = read_flag(request, "skipBadSegments");
    return o;
}

TaskRequest clean_request(const StartOptions& options) {
    TaskRequest request;
    request.url = options.url;
    request.auto_named = options.filename.empty();
    request.connections = allowed_connections(options.connections);
    request.method = options.method;
    request.post_data = options.post_data;
    request.insecure = options.insecure;
    apply_headers(request, options);
    ProxySpec proxy;
    if (!options.proxy.empty() && parse_proxy_url(options.proxy, proxy)) request.proxy = proxy;
    request.stream_type = stream_type_for(options.url, options.type);
    request.live_from_start = options.live_from_start;
    request.skip_bad_segments = options.skip_bad_segments;
    request.live_outage_limit = allowed_live_outage_limit(options.live_outage_limit);
    Checksum checksum;
    if (parse_checksum(options.checksum, checksum)) request.checksum = checksum.text();
    return request;
}

std::string output_path_for(const StartOptions& options, std::string_view download_dir) {
    std::string name = clean_name(options.filename.empty() ? name_from_url(options.url) : options.filename,
                                  options.user_named && !options.filename.empty());
    std::string dir(download_dir);
    std::string path = dir + "/" + name;
    if (!path.starts_with(dir + "/") || path.find("/../") != std::string::npos ||
        name.find('/') != std::string::npos) {
        path = dir + "/" + std::string(kFallbackName);
    }
    return path;
}

std::shared_ptr<Task> create_task(TaskRequest request, std::string_view output_path,
                                  int64_t bandwidth_limit) {
    auto task = std::make_shared<Task>(std::move(request));
    task->progress.set_output_path(output_path);
    // A negative limit would make the limiter pay back time it never took; only a positive
    // rate limits anything.
    if (bandwidth_limit > 0) task->control.bandwidth_limit = bandwidth_limit;
    // Until a driver runs, the task is one segment of unknown size.
    task->progress.segments.push_back(make_segment(0, 0, kUnknownEnd));
    task->progress.set_status(TaskPhase::kNone);
    return task;
}

std::shared_ptr<Task> create_task(const StartOptions& options, std::string_view download_dir) {
    return create_task(clean_request(options), output_path_for(options, download_dir),
                       options.bandwidth_limit);
}

std::string stream_type_for(std::string_view url, std::string_view type_hint) {
    if (type_hint == "hls" || type_hint == "m3u8") return "hls";
    if (type_hint == "dash" || type_hint == "mpd") return "dash";
    url = url.substr(0, url.find_first_of("?#"));
    if (ends_with_lower(url, ".m3u8")) return "hls";
    if (ends_with_lower(url, ".mpd")) return "dash";
    return {};
}

std::optional<HeaderList> ordered_headers(std::string_view json) {
    OrderedJsonValue root;
    if (!parse_ordered_document(json, root)) return std::nullopt;
    const OrderedJsonValue* headers = root.member("headers");
    if (!headers || headers->kind != JsonKind::Object) return std::nullopt;
    HeaderList out;
    for (const OrderedJsonMember& member : headers->members) {
        if (member.value.kind == JsonKind::String) out.emplace_back(member.key, member.value.string);
    }
    return out;
}

std::optional<StartOptions> parse_start_request(std::string_view json, bool capture) {
    JsonValue request;
    if (!parse_json(json, request) || request.kind != JsonKind::Object) return std::nullopt;
    StartOptions options = read_start_options(request, capture);
    if (capture) {
        if (std::optional<HeaderList> headers = ordered_headers(json)) options.headers = std::move(*headers);
    }
    return options;
}

std::string start_request_json(const StartOptions& o) {
    std::string doc = "{\"url\":" + json_quote(o.url);
    doc += ",\"connections\":" + std::to_string(o.connections);
    if (o.bandwidth_limit > 0) doc += ",\"bandwidthLimit\":" + std::to_string(o.bandwidth_limit);
    if (o.insecure) doc += ",\"insecure\":true";
    if (!o.proxy.empty()) doc += ",\"proxy\":" + json_quote(o.proxy);
    if (!o.filename.empty()) doc += ",\"filename\":" + json_quote(o.filename);
    if (!o.type.empty()) doc += ",\"type\":" + json_quote(o.type);
    if (!o.checksum.empty()) doc += ",\"checksum\":" + json_quote(o.checksum);
    if (o.live_outage_limit > 0) doc += ",\"liveOutageLimit\":" + std::to_string(o.live_outage_limit);
    if (!o.cookies.empty()) doc += ",\"cookies\":" + json_quote(o.cookies);
    if (!o.referrer.empty()) doc += ",\"referrer\":" + json_quote(o.referrer);
    if (!o.user_agent.empty()) doc += ",\"userAgent\":" + json_quote(o.user_agent);
    if (o.method != "GET") doc += ",\"method\":" + json_quote(o.method);
    if (!o.post_data.empty()) doc += ",\"postData\":" + json_quote(o.post_data);
    if (o.max_concurrent) doc += ",\"maxConcurrent\":" + std::to_string(*o.max_concurrent);
    if (o.live_from_start) doc += ",\"liveFromStart\":true";
    if (o.skip_bad_segments) doc += ",\"skipBadSegments\":true";
    if (!o.headers.empty()) {
        doc += ",\"headers\":{";
        for (size_t i = 0; i < o.headers.size(); ++i) {
            if (i) doc += ',';
            doc += json_quote(o.headers[i].first) + ":" + json_quote(o.headers[i].second);
        }
        doc += '}';
    }
    doc += '}';
    return doc;
}

std::shared_ptr<Task> map_start_request(const JsonValue& request, std::string_view download_dir, bool capture,
                                        int64_t* max_concurrent, const HeaderList* headers_in_order) {
    StartOptions options = read_start_options(request, capture);
    if (capture && headers_in_order) options.headers = *headers_in_order;
    if (options.url.empty()) return nullptr;
    auto task = create_task(options, download_dir);
    if (capture && max_concurrent && options.max_concurrent.value_or(0) > 0) {
        *max_concurrent = *options.max_concurrent;
    }
    return task;
}

} // namespace twk
