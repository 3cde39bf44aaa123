#include "json/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace twk {

namespace {

// Deeper documents are refused: the reader recurses once per level.
constexpr int kMaxDepth = 512;

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_number_byte(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The simple escapes; 0 for anything else.
char simple_escape(char c) {
    switch (c) {
    case '"': return '"';
    case '/': return '/';
    case '\\': return '\\';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return 0;
    }
}

// The decimal exponent of the first significant digit of a number that std::from_chars read
// (sign already taken off), for telling an overflow from an underflow. Saturates far beyond
// what a double can hold.
int64_t magnitude_exponent(const char* p, const char* end) {
    constexpr int64_t kFar = 1'000'000;
    int64_t position = -1; // of the last integer digit, relative to the first significant digit
    bool seen = false, point = false;
    int64_t leading = 0;
    for (; p != end && ((*p >= '0' && *p <= '9') || *p == '.'); ++p) {
        if (*p == '.') {
            point = true;
        } else if (!seen && *p == '0') {
            if (point) ++leading;
        } else {
            seen = true;
            if (!point && position < kFar) ++position;
        }
    }
    int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = p != end && *p == '-';
        if (p != end && (*p == '-' || *p == '+')) ++p;
        for (; p != end && *p >= '0' && *p <= '9'; ++p)
            exponent = std::min(kFar, exponent * 10 + (*p - '0'));
        if (negative) exponent = -exponent;
    }
    return (position >= 0 ? position : -(leading + 1)) + exponent;
}

// The lenient decimal conversion of a run of number bytes, in every locale: the longest prefix
// that reads as a number counts, the rest is dropped, and a run without one gives 0 ("-", ".",
// "--1"). A leading "+" is taken, as is a value too large (infinity) or too small (0) for a double.
double convert_number(const char* begin, size_t length) {
    const char* p = begin;
    const char* end = begin + length;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || *p == '+' || *p == '-') return 0;
    double value = 0;
    const auto [used, error] = std::from_chars(p, end, value, std::chars_format::general);
    if (error == std::errc::invalid_argument) return 0;
    if (error == std::errc::result_out_of_range) {
        value = magnitude_exponent(p, used) > 0 ? HUGE_VAL : 0.0;
    }
    return negative ? -value : value;
}

bool literal_at(const char* p, const char* end, std::string_view word) {
    return static_cast<size_t>(end - p) >= word.size() && std::memcmp(p, word.data(), word.size()) == 0;
}

// "true", "false" or "null" at p, compared exactly; nothing checks what follows. Returns the
// bytes used, 0 when none of them is there.
template <typename Value> size_t read_literal(const char* p, const char* end, Value& out) {
    if (literal_at(p, end, "true") || literal_at(p, end, "false")) {
        out.kind = JsonKind::Bool;
        out.boolean = *p == 't';
        return out.boolean ? 4 : 5;
    }
    if (literal_at(p, end, "null")) {
        out.kind = JsonKind::Null;
        return 4;
    }
    return 0;
}

// What tells the two value forms apart: how an object keeps its members, and how a "\u" escape
// is read. The tree form reads documents from outside the program strictly (every escape four
// hexadecimal digits, surrogate halves kept apart); the ordered form reads the program's own
// documents leniently (a byte that is no hexadecimal digit is the nibble 0, and a surrogate pair
// makes one code point).
struct TreeForm {
    using Value = JsonValue;
    static constexpr bool kLenientEscapes = false;
    static void start_array(Value& value) { value.kind = JsonKind::Array; }
    static void start_object(Value& value) { value.kind = JsonKind::Object; }
    static void add_member(Value& object, std::string&& key, Value&& value) {
        object.object.insert_or_assign(std::move(key), std::move(value)); // the last duplicate wins
    }
};

struct OrderedForm {
    using Value = OrderedJsonValue;
    static constexpr bool kLenientEscapes = true;
    static void start_array(Value& value) {
        value.kind = JsonKind::Array;
        value.array.clear();
    }
    static void start_object(Value& value) {
        value.kind = JsonKind::Object;
        value.members.clear();
    }
    static void add_member(Value& object, std::string&& key, Value&& value) {
        object.members.push_back({std::move(key), std::move(value)});
    }
};

// The one reader: a value at the current position (no whitespace skipped before it), arrays and
// objects recursing once per level up to kMaxDepth.
template <typename Form> class ValueReader {
public:
    using Value = typename Form::Value;

    ValueReader(std::string_view text, size_t position) : m_text(text), m_pos(position) {}

    size_t position() const { return m_pos; }

    void skip_whitespace() {
        while (m_pos < m_text.size() && is_json_space(m_text[m_pos]))
            ++m_pos;
    }

    bool read_value(Value& out) {
        const size_t n = m_text.size();
        if (m_pos >= n) return false;
        const char c = m_text[m_pos];
        if (c == '[' || c == '{') {
            if (++m_depth > kMaxDepth) {
                --m_depth;
                return false;
            }
            const bool ok = c == '[' ? read_array(out) : read_object(out);
            --m_depth;
            return ok;
        }
        if (c == '"') {
            out.kind = JsonKind::String;
            return read_string(out.string);
        }
        if (c == 't' || c == 'f' || c == 'n') {
            const size_t used = read_literal(m_text.data() + m_pos, m_text.data() + n, out);
            m_pos += used;
            return used != 0;
        }
        const size_t start = m_pos;
        while (m_pos < n && is_number_byte(m_text[m_pos]))
            ++m_pos;
        if (m_pos == start) return false;
        out.kind = JsonKind::Number;
        out.number = convert_number(m_text.data() + start, m_pos - start);
        return true;
    }

private:
    // After the opening bracket: true when the closing one follows (then it is taken).
    bool empty_container(char closing) {
        ++m_pos;
        skip_whitespace();
        if (m_pos < m_text.size() && m_text[m_pos] == closing) {
            ++m_pos;
            return true;
        }
        return false;
    }

    // After an item: true with `closed` when the closing bracket follows, true when a comma
    // does, false for anything else.
    bool item_end(char closing, bool& closed) {
        skip_whitespace();
        if (m_pos >= m_text.size()) return false;
        const char d = m_text[m_pos++];
        closed = d == closing;
        return closed || d == ',';
    }

    bool read_array(Value& out) {
        Form::start_array(out);
        if (empty_container(']')) return true;
        for (bool closed = false; !closed;) {
            skip_whitespace();
            Value value;
            if (!read_value(value)) return false;
            out.array.push_back(std::move(value));
            if (!item_end(']', closed)) return false;
        }
        return true;
    }

    bool read_object(Value& out) {
        Form::start_object(out);
        if (empty_container('}')) return true;
        for (bool closed = false; !closed;) {
            skip_whitespace();
            std::string key;
            if (m_pos >= m_text.size() || m_text[m_pos] != '"' || !read_string(key)) return false;
            skip_whitespace();
            if (m_pos >= m_text.size() || m_text[m_pos] != ':') return false;
            ++m_pos;
            skip_whitespace();
            Value value;
            if (!read_value(value)) return false;
            Form::add_member(out, std::move(key), std::move(value));
            if (!item_end('}', closed)) return false;
        }
        return true;
    }

    // Four hexadecimal digits at `at`; false when one is not (the lenient form reads it as 0).
    bool read_unit(size_t at, uint32_t& unit) const {
        unit = 0;
        for (size_t i = 0; i < 4; ++i) {
            const int h = hex_value(m_text[at + i]);
            if (h < 0 && !Form::kLenientEscapes) return false;
            unit = (unit << 4) | static_cast<uint32_t>(h < 0 ? 0 : h);
        }
        return true;
    }

    // At the opening quote.
    bool read_string(std::string& out) {
        ++m_pos;
        const size_t n = m_text.size();
        while (m_pos < n) {
            const char c = m_text[m_pos++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= n) return false;
            const char e = m_text[m_pos++];
            if (e != 'u') {
                const char mapped = simple_escape(e);
                if (!mapped) return false;
                out += mapped;
                continue;
            }
            uint32_t cp = 0;
            if (n - m_pos < 4 || !read_unit(m_pos, cp)) return false;
            const size_t backslash = m_pos - 2;
            m_pos += 4;
            if (Form::kLenientEscapes && cp >= 0xD800 && cp <= 0xDBFF && n - backslash >= 12 &&
                m_text[backslash + 6] == '\\' && m_text[backslash + 7] == 'u') {
                uint32_t low = 0;
                read_unit(backslash + 8, low);
                // The low half is not range-checked; keep the result a valid code point width.
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                cp &= 0x1FFFFF;
                m_pos = backslash + 12;
            }
            // Otherwise surrogate halves stay separate: each becomes its own three-byte sequence.
            append_utf8(out, cp);
        }
        return false;
    }

    std::string_view m_text;
    size_t m_pos;
    int m_depth = 0;
};

} // namespace

bool parse_json(const char* data, size_t size, JsonValue& out) {
    if (!data) return false;
    ValueReader<TreeForm> reader(std::string_view(data, size), 0);
    reader.skip_whitespace();
    return reader.read_value(out);
}

void OrderedJsonReader::skip_whitespace() {
    while (m_pos < m_text.size() && is_json_space(m_text[m_pos]))
        ++m_pos;
}

bool OrderedJsonReader::read_value(OrderedJsonValue& out) {
    ValueReader<OrderedForm> reader(m_text, m_pos);
    const bool ok = reader.read_value(out);
    m_pos = reader.position();
    return ok;
}

bool parse_ordered_document(std::string_view text, OrderedJsonValue& out) {
    OrderedJsonReader reader(text);
    reader.skip_whitespace();
    if (!reader.read_value(out)) return false;
    reader.skip_whitespace();
    return reader.position() == text.size() && out.kind == JsonKind::Object;
}

const OrderedJsonValue* OrderedJsonValue::member(std::string_view key) const {
    if (kind != JsonKind::Object) return nullptr;
    for (const auto& m : members) {
        if (m.key == key) return &m.value;
    }
    return nullptr;
}

std::string OrderedJsonValue::string_member(std::string_view key, const std::string& fallback) const {
    const OrderedJsonValue* v = member(key);
    return v && v->kind == JsonKind::String ? v->string : fallback;
}

uint64_t OrderedJsonValue::unsigned_member(std::string_view key, uint64_t fallback) const {
    const OrderedJsonValue* v = member(key);
    if (!v || v->kind != JsonKind::Number || std::isnan(v->number) || v->number < 0) return fallback;
    // 2^64: the first value the conversion cannot hold.
    if (v->number >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(v->number);
}

namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when it is ill-formed or cut
// off by the end of the input.
size_t utf8_sequence_length(std::string_view s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = at(i);
    size_t length;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - i < length) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    }
    return length;
}

} // namespace

std::string valid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const size_t length =
            static_cast<unsigned char>(bytes[i]) < 0x80 ? 1 : utf8_sequence_length(bytes, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string json_quote(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            size_t length = utf8_sequence_length(bytes, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(bytes.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (b) {
        case 0x08: out += "\\b"; break;
        case 0x09: out += "\\t"; break;
        case 0x0A: out += "\\n"; break;
        case 0x0C: out += "\\f"; break;
        case 0x0D: out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (b < 0x20) {
                static const char digits[] = "0123456789abcdef";
                out += "\\u00";
                out += digits[b >> 4];
                out += digits[b & 0xF];
            } else {
                out += static_cast<char>(b);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

} // namespace twk
