// parse_url_list on any text: every entry holds a URL that parses, line numbers grow and stay
// within the text's lines, option names are never empty, and nothing holds a line break.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli/url_list.h"
#include "net/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const twk::UrlList list = twk::parse_url_list(text);
    int lines = 1;
    for (char c : text)
        lines += c == '\n' ? 1 : 0;
    int last = 0;
    for (const twk::UrlListEntry& entry : list.entries) {
        twk::UrlParts parts;
        bool ok = entry.line > last && entry.line <= lines && twk::parse_url(entry.url, parts) &&
                  entry.url.find('\n') == std::string::npos;
        last = entry.line;
        for (const twk::UrlListOption& option : entry.options) {
            ok = ok && option.line > last && option.line <= lines && !option.name.empty() &&
                 option.name.find_first_of("=\n") == std::string::npos &&
                 option.value.find('\n') == std::string::npos;
            last = option.line;
        }
        if (!ok) __builtin_trap();
    }
    for (const twk::UrlListProblem& problem : list.problems)
        if (problem.line < 1 || problem.line > lines || problem.message.empty()) __builtin_trap();
    return 0;
}
