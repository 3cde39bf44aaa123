// The options of `twk serve` (cli/serve_command.h), read apart from the server so that they can
// be tested without one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace twk {

inline constexpr int kServeMostAtOnce = 1000; // what -j takes at most

struct ServeOptions {
    std::string directory;   // empty: the engine's default download folder
    int max_concurrent = 3;  // downloads running at once
    int64_t speed_limit = 0; // bytes per second for all downloads together; 0: none
};

// Reads the arguments that follow "serve". False with a one-line reason for bad usage.
bool parse_serve_options(const std::vector<std::string>& args, ServeOptions& out, std::string& error);

} // namespace twk
