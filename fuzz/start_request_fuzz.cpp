// map_start_request on any JSON text, in both modes. Whatever task comes out must stay inside the
// download folder under a name of at most 255 bytes of UTF-8 that is no sidecar's, and carry
// only headers and a user agent free of control bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/naming.h"
#include "core/start_request.h"
#include "net/text.h"
#include "json/json.h"

namespace {

constexpr std::string_view kFolder = "/fuzz-dl";

void check(const twk::Task& task) {
    std::string name = task.progress.name();
    std::string path = task.progress.output_path();
    bool ok = !name.empty() && name.find_first_of("/\\") == std::string::npos &&
              !twk::has_control_byte(name) && name.front() != '.' && name.size() <= twk::kMaxNameBytes &&
              !name.ends_with(".twk") && twk::valid_utf8(name) == name &&
              path == std::string(kFolder) + "/" + name && task.progress.sidecar_path() == path + ".twk" &&
              twk::allowed_connections(task.request.connections) == task.request.connections &&
              !twk::has_control_byte(task.request.user_agent) && task.control.bandwidth_limit >= 0;
    for (const auto& [header, value] : task.request.headers) {
        ok = ok && !header.empty() && !twk::has_control_byte(header) && !twk::has_control_byte(value);
    }
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twk::JsonValue request;
    if (!twk::parse_json(reinterpret_cast<const char*>(data), size, request)) return 0;
    for (bool capture : {false, true}) {
        int64_t limit = 0;
        auto task = twk::map_start_request(request, kFolder, capture, &limit);
        if (task) check(*task);
        if (limit < 0 || (!capture && limit != 0)) __builtin_trap();
    }
    return 0;
}
