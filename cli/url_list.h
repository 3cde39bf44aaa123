// URL lists for `twk get -i FILE`: one URL a line, each optionally followed by indented
// "name=value" lines that apply to that URL alone, and "#" comments:
//
//     # nightly images
//     https://example.com/a.iso
//       out=a-nightly.iso
//       dir=/srv/images
//       header=Authorization: Bearer abc
//       checksum=sha-256=9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
//     https://example.com/b.iso
//
// A line is a URL line when it starts with a character other than a blank; an option line when
// it starts with a blank (space or tab). Blank lines and lines whose first non-blank character
// is "#" are skipped. Line ends may be "\n" or "\r\n". This reader knows the shape only: which
// names exist and what their values mean is for its caller. A line it cannot place is reported
// with its number (from 1) and skipped; an option line after a refused URL line goes with it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace twk {

// The longest line read; a longer one is reported and skipped.
constexpr size_t kMaxUrlListLine = 65536;

struct UrlListOption {
    int line = 0;
    std::string name;  // as written, trimmed
    std::string value; // everything after the first "=", its leading and trailing blanks removed
};

struct UrlListEntry {
    int line = 0;
    std::string url; // trimmed
    std::vector<UrlListOption> options;
};

struct UrlListProblem {
    int line = 0;
    std::string message; // "not a URL", "option without a URL", "expected name=value", …
};

struct UrlList {
    std::vector<UrlListEntry> entries;
    std::vector<UrlListProblem> problems;
};

UrlList parse_url_list(std::string_view text);

} // namespace twk
