// The tree reader on arbitrary bytes; every string it yields must survive json_quote and a
// second read unchanged.
#include "json/json.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twk::JsonValue value;
    if (!twk::parse_json(reinterpret_cast<const char*>(data), size, value)) return 0;
    if (value.kind == twk::JsonKind::String) {
        std::string quoted = twk::json_quote(value.string);
        twk::JsonValue again;
        if (!twk::parse_json(quoted, again) || again.kind != twk::JsonKind::String) std::abort();
    }
    return 0;
}
