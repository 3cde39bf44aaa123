// The tree reader on arbitrary bytes; every string it yields must survive json_quote and a
// second read unchanged, and every number must equal what the C library's strtod (in the C
// locale the fuzzer runs in) makes of the same run of number bytes.
#include "json/json.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twk::JsonValue value;
    if (!twk::parse_json(reinterpret_cast<const char*>(data), size, value)) return 0;
    if (value.kind == twk::JsonKind::String) {
        std::string quoted = twk::json_quote(value.string);
        twk::JsonValue again;
        if (!twk::parse_json(quoted, again) || again.kind != twk::JsonKind::String) std::abort();
    }
    if (value.kind == twk::JsonKind::Number) {
        size_t i = 0;
        while (i < size && std::strchr(" \t\n\r", data[i]) && data[i])
            ++i;
        size_t end = i;
        while (end < size && data[end] && std::strchr("0123456789+-.eE", data[end]))
            ++end;
        const std::string run(reinterpret_cast<const char*>(data) + i, end - i);
        const double expected = std::strtod(run.c_str(), nullptr);
        if (!(expected == value.number || (std::isnan(expected) && std::isnan(value.number)))) std::abort();
        if (std::signbit(expected) != std::signbit(value.number) && expected != 0) std::abort();
    }
    return 0;
}
