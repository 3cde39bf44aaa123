#include "cli/serve_options.h"

#include <charconv>

#include "cli/get_options.h" // parse_rate

namespace twk {

namespace {

bool parse_count(const std::string& text, int& out) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > kServeMostAtOnce)
        return false;
    out = value;
    return true;
}

} // namespace

bool parse_serve_options(const std::vector<std::string>& args, ServeOptions& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool has_value = i + 1 < args.size();
        if (arg == "-d" || arg == "--dir") {
            if (!has_value || args[i + 1].empty()) {
                error = arg + " needs a folder";
                return false;
            }
            out.directory = args[++i];
        } else if (arg == "-j" || arg == "--max-concurrent") {
            if (!has_value || !parse_count(args[i + 1], out.max_concurrent)) {
                error = arg + " needs a number from 1 to " + std::to_string(kServeMostAtOnce);
                return false;
            }
            ++i;
        } else if (arg == "--speed-limit") {
            // "0" turns the limit off, as the control API's "speedLimit" does.
            if (has_value && args[i + 1] == "0") {
                out.speed_limit = 0;
            } else if (!has_value || !parse_rate(args[i + 1], out.speed_limit)) {
                error = arg + " needs bytes per second, with optional K, M or G (0: no limit)";
                return false;
            }
            ++i;
        } else {
            error = "unknown option of serve: " + arg;
            return false;
        }
    }
    return true;
}

} // namespace twk
