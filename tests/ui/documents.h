// Task list documents in the engine's own format, for the desktop app's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"

namespace twk::ui::test {

inline std::string segment(uint64_t id, uint64_t start, uint64_t pos, uint64_t end, bool active) {
    return "{\"id\":" + std::to_string(id) + ",\"start\":" + std::to_string(start) +
           ",\"pos\":" + std::to_string(pos) + ",\"end\":" + std::to_string(end) +
           ",\"active\":" + (active ? "true" : "false") + "}";
}

inline std::string entry(int32_t id, const std::string& status, uint64_t total, uint64_t done,
                         const std::vector<std::string>& segments = {}, int connections = 8,
                         const std::string& name = "file.bin",
                         const std::string& url = "http://127.0.0.1/f") {
    std::string segs;
    for (const auto& s : segments)
        segs += (segs.empty() ? "" : ",") + s;
    std::string quoted = json_quote(name);
    return "{\"id\":" + std::to_string(id) + ",\"name\":" + quoted + ",\"filename\":" + quoted +
           ",\"url\":" + json_quote(url) + ",\"status\":" + json_quote(status) +
           ",\"total\":" + std::to_string(total) + ",\"done\":" + std::to_string(done) +
           ",\"connections\":" + std::to_string(connections) + ",\"supportsRange\":true,\"segments\":[" +
           segs + "]}";
}

inline std::string list_document(const std::vector<std::string>& entries) {
    std::string tasks;
    for (const auto& e : entries)
        tasks += (tasks.empty() ? "" : ",") + e;
    return "{\"status\":\"idle\",\"tasks\":[" + tasks + "]}";
}

} // namespace twk::ui::test
