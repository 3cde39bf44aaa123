// JSON codec: one reader feeding two value forms, and the one string writer.
//
// The tree reader (`parse_json`) builds a `JsonValue` whose objects are key-sorted maps with
// unique keys (the last duplicate wins) and refuses nesting deeper than 512 levels. It reads
// request bodies and option documents from outside the program.
//
// The ordered reader (`OrderedJsonReader`) builds an `OrderedJsonValue` whose objects keep their
// members in document order, duplicates included. It has the same 512-level nesting limit, so
// that a hostile document from the network cannot exhaust the stack. It reads documents the program produced
// itself or fetched from its own endpoint; callers accept a document only when nothing but
// whitespace follows it (see `parse_ordered_document`).
//
// Strings hold bytes: neither reader validates UTF-8. Documents are written by hand from fixed
// fragments, with `json_quote` for every string value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace twk {

enum class JsonKind : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;
};

// Reads one value from [data, data + size) into `out`. Text after the value is not examined.
// On failure `out` may be partly filled and must be discarded.
bool parse_json(const char* data, size_t size, JsonValue& out);
inline bool parse_json(std::string_view text, JsonValue& out) {
    return parse_json(text.data(), text.size(), out);
}

struct OrderedJsonMember;

struct OrderedJsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<OrderedJsonValue> array;
    std::vector<OrderedJsonMember> members; // in document order, duplicates kept

    // The first member with exactly this key, when this is an object.
    const OrderedJsonValue* member(std::string_view key) const;
    std::string string_member(std::string_view key, const std::string& fallback) const;
    // A non-negative number truncated to 64 bits; `fallback` for anything else. Numbers of 2^64
    // and above saturate to UINT64_MAX.
    uint64_t unsigned_member(std::string_view key, uint64_t fallback) const;
};

struct OrderedJsonMember {
    std::string key;
    OrderedJsonValue value;
};

class OrderedJsonReader {
public:
    OrderedJsonReader(std::string_view text, size_t position = 0) : m_text(text), m_pos(position) {}

    void skip_whitespace();
    bool read_value(OrderedJsonValue& out);
    size_t position() const { return m_pos; }

private:
    std::string_view m_text;
    size_t m_pos;
};

// The whole-document convention: whitespace, one value, whitespace, end of text, and the root
// must be an object.
bool parse_ordered_document(std::string_view text, OrderedJsonValue& out);

// The JSON string literal, quotes included, for any byte string. Ill-formed UTF-8 becomes
// U+FFFD, one per offending byte.
std::string json_quote(std::string_view bytes);

// `bytes` with every byte of ill-formed UTF-8 replaced by U+FFFD, as json_quote shows them; text
// that is shown and also used (a file name) goes through this first, so both agree.
std::string valid_utf8(std::string_view bytes);

} // namespace twk
