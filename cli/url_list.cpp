#include "cli/url_list.h"

#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && (is_blank(text.front()) || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (is_blank(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// A URL line: one URL without blanks or control bytes, of a scheme we speak.
bool read_url_line(std::string_view text, std::string& url, std::string& problem) {
    url = std::string(trim_blanks(text));
    UrlParts parts;
    if (url.find_first_of(" \t") != std::string::npos || has_control_byte(url, true) ||
        !parse_url(url, parts)) {
        // The text itself is not repeated: it may hold a password.
        problem = "not a URL";
        return false;
    }
    return true;
}

} // namespace

UrlList parse_url_list(std::string_view text) {
    UrlList out;
    bool in_refused_entry = false;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() > kMaxUrlListLine) {
            out.problems.push_back({number, "line too long"});
            continue;
        }
        const std::string_view content = trim_blanks(line);
        if (content.empty() || content.front() == '#') continue;

        if (!is_blank(line.front())) {
            UrlListEntry entry;
            entry.line = number;
            std::string problem;
            in_refused_entry = !read_url_line(line, entry.url, problem);
            if (in_refused_entry) {
                out.problems.push_back({number, problem});
            } else {
                out.entries.push_back(std::move(entry));
            }
            continue;
        }
        if (in_refused_entry) continue; // its URL line was reported
        if (out.entries.empty()) {
            out.problems.push_back({number, "option without a URL"});
            continue;
        }
        const size_t equals = content.find('=');
        if (equals == std::string_view::npos || trim_blanks(content.substr(0, equals)).empty()) {
            out.problems.push_back({number, "expected name=value"});
            continue;
        }
        out.entries.back().options.push_back({number, std::string(trim_blanks(content.substr(0, equals))),
                                              std::string(trim_blanks(content.substr(equals + 1)))});
    }
    return out;
}

} // namespace twk
