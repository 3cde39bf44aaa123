#include "net/http_head.h"

#include "net/url.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace twk {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

const std::string& HeaderMap::get(std::string_view name) const {
    static const std::string empty;
    const std::string* value = find(name);
    return value ? *value : empty;
}

std::string* HeaderMap::find(std::string_view name) {
    for (auto& [key, value] : entries) {
        if (equals_ignoring_case(key, name)) return &value;
    }
    return nullptr;
}

const std::string* HeaderMap::find(std::string_view name) const {
    return const_cast<HeaderMap*>(this)->find(name);
}

void HeaderMap::set(std::string_view name, std::string_view value) {
    if (std::string* existing = find(name)) {
        existing->assign(value);
    } else {
        entries.emplace_back(std::string(name), std::string(value));
    }
}

bool read_response_head(ByteStream& stream, std::string& head, std::string& prefetched, uint32_t timeout_ms) {
    std::string buffer;
    size_t searched = 0; // the terminator cannot start before this offset
    const int64_t deadline = monotonic_ms() + static_cast<int64_t>(timeout_ms);
    // Each read gets only what is left of the whole head's time; afterwards the connection's
    // own time-out applies again to the body.
    struct Restore {
        ByteStream& stream;
        uint32_t timeout_ms;
        ~Restore() {
            if (timeout_ms) stream.set_read_timeout(timeout_ms);
        }
    } restore{stream, timeout_ms};
    for (;;) {
        size_t end = buffer.find("\r\n\r\n", searched);
        if (end != std::string::npos) {
            head = buffer.substr(0, end + 4);
            prefetched = buffer.substr(end + 4);
            return true;
        }
        if (buffer.size() > kMaxResponseHead) return false;
        searched = buffer.size() < 3 ? 0 : buffer.size() - 3;
        if (timeout_ms) {
            const int64_t left = deadline - monotonic_ms();
            if (left <= 0) return false;
            stream.set_read_timeout(static_cast<uint32_t>(left));
        }
        const size_t old_size = buffer.size();
        buffer.resize(old_size + kHeadReadSize);
        int n = stream.read(buffer.data() + old_size, kHeadReadSize);
        if (n <= 0) return false;
        buffer.resize(old_size + static_cast<size_t>(n));
    }
}

namespace {

int32_t parse_status_line(std::string_view line) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) return 0;
    std::string_view code = line.substr(first + 1);
    code = code.substr(0, code.find(' '));
    if (code.size() != 3) return 0;
    for (char c : code) {
        if (c < '0' || c > '9') return 0;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

// Where each name (lower-cased) sits in the header list: a head of up to 1 MiB can hold a
// few hundred thousand header lines, and looking each one up by walking the list would take hours.
using NameIndex = std::unordered_map<std::string, size_t>;

void merge_header(ResponseHead& out, NameIndex& index, std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string name = trim_spaces(line.substr(0, colon));
    const std::string value = trim_spaces(line.substr(colon + 1));
    const auto [slot, inserted] = index.try_emplace(to_lower_ascii(name), out.headers.entries.size());
    std::string* existing = inserted ? nullptr : &out.headers.entries[slot->second].second;
    if (!existing) {
        out.headers.entries.emplace_back(name, value);
    } else if (equals_ignoring_case(name, "set-cookie")) {
        *existing += "\n" + value;
    } else if (equals_ignoring_case(name, "transfer-encoding") ||
               equals_ignoring_case(name, "content-encoding")) {
        *existing += ", " + value;
    } else if (equals_ignoring_case(name, "content-length")) {
        if (*existing != value) out.conflicting_length = true;
    } else {
        *existing = value;
    }
}

// All decimal digits, at most the largest signed 64-bit value; -1 otherwise.
int64_t parse_decimal(std::string_view text) {
    if (text.empty()) return -1;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return -1;
        value = value * 10 + digit;
    }
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return -1;
    return static_cast<int64_t>(value);
}

const std::string* find_request_header(const HeaderList& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (equals_ignoring_case(key, name)) return &value;
    }
    return nullptr;
}

bool content_encoding_is_identity(std::string_view value) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        const std::string piece = to_lower_ascii(trim_spaces(value.substr(0, comma)));
        if (!piece.empty() && piece != "identity") return false;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return true;
}

} // namespace

ResponseHead parse_response_head(std::string_view head) {
    ResponseHead out;
    NameIndex index;
    bool first = true;
    while (!head.empty()) {
        const size_t newline = head.find('\n');
        std::string_view line = head.substr(0, newline);
        head.remove_prefix(newline == std::string_view::npos ? head.size() : newline + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            out.status = parse_status_line(line);
            first = false;
            continue;
        }
        if (line.empty()) break;
        merge_header(out, index, line);
    }
    return out;
}

bool validate_partial_content(const HeaderList& request_headers, HttpResponse& response) {
    const std::string* range = find_request_header(request_headers, "range");
    if (!range) return false;
    std::string_view wanted(*range);
    if (size_t equals = wanted.find('='); equals != std::string_view::npos) wanted.remove_prefix(equals + 1);
    const size_t dash = wanted.find('-');
    const int64_t want_first = parse_decimal(trim_spaces(wanted.substr(0, dash)));
    const int64_t want_last =
        dash == std::string_view::npos ? -1 : parse_decimal(trim_spaces(wanted.substr(dash + 1)));

    std::string_view content_range(response.headers.get("content-range"));
    const size_t space = content_range.find(' ');
    if (space == std::string_view::npos) return false;
    const size_t hyphen = content_range.find('-', space + 1);
    if (hyphen == std::string_view::npos) return false;
    const size_t slash = content_range.find('/', hyphen + 1);
    if (slash == std::string_view::npos) return false;
    if (!equals_ignoring_case(content_range.substr(0, space), "bytes")) return false;
    const int64_t first = parse_decimal(content_range.substr(space + 1, hyphen - space - 1));
    const int64_t last = parse_decimal(content_range.substr(hyphen + 1, slash - hyphen - 1));
    const std::string_view total_text = content_range.substr(slash + 1);
    if (first < 0 || last < first) return false;
    int64_t total = -1;
    if (total_text != "*") {
        total = parse_decimal(total_text);
        if (total <= last) return false;
    }
    if (response.content_length >= 0 && response.content_length != last - first + 1) return false;
    if (want_first >= 0 && first != want_first) return false;
    if (want_last >= 0 && want_last < last) return false;
    response.range_start = first;
    response.range_total = total;
    return true;
}

bool apply_response_framing(std::string_view method, const HeaderList& request_headers,
                            HttpResponse& response, std::string& error, FailureKind* kind) {
    // Codings we do not decode stay so on every retry; broken lengths and ranges may not.
    if (kind) *kind = FailureKind::kRetryable;
    const std::string coding = to_lower_ascii(response.headers.get("transfer-encoding"));
    const std::string& length = response.headers.get("content-length");
    if (!coding.empty()) {
        if (coding != "chunked") {
            error = "unsupported Transfer-Encoding: " + coding;
            if (kind) *kind = FailureKind::kPermanent;
            return false;
        }
        response.chunked = true;
    } else if (!length.empty()) {
        response.content_length = parse_decimal(length);
        if (response.content_length < 0) {
            error = "malformed Content-Length";
            return false;
        }
    } else {
        response.until_close = true;
    }
    response.no_body = method == "HEAD" || response.status == 204 || response.status == 304;
    if (response.status == 206) {
        if (!find_request_header(request_headers, "range")) {
            error = "unsolicited 206 (no Range requested)";
            return false;
        }
        if (!validate_partial_content(request_headers, response)) {
            error = "invalid 206 Content-Range";
            return false;
        }
    }
    const std::string& encoding = response.headers.get("content-encoding");
    if (!content_encoding_is_identity(encoding)) {
        error = "unsupported Content-Encoding: " + encoding;
        if (kind) *kind = FailureKind::kPermanent;
        return false;
    }
    return true;
}

} // namespace twk
