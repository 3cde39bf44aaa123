// The ordered reader and its lookups on arbitrary bytes, plus json_quote on the raw input:
// the quoted text must always read back as one string.
#include "json/json.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    twk::OrderedJsonValue value;
    if (twk::parse_ordered_document(text, value)) {
        (void)value.string_member("url", "");
        (void)value.unsigned_member("size", 0);
    }
    std::string quoted = twk::json_quote(text);
    twk::OrderedJsonValue again;
    twk::OrderedJsonReader reader(quoted);
    if (!reader.read_value(again) || again.kind != twk::JsonKind::String || reader.position() != quoted.size())
        std::abort();
    return 0;
}
