#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/support/comma_locale.h"

namespace twk {
namespace {

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

bool tree_ok(std::string_view text) {
    JsonValue v;
    return parse_json(text, v);
}

bool ordered_ok(std::string_view text) {
    OrderedJsonValue v;
    OrderedJsonReader reader(text);
    reader.skip_whitespace();
    return reader.read_value(v);
}

TEST(JsonReaders, AcceptAndRefuseTheSameStructures) {
    struct Case {
        const char* text;
        bool tree;
        bool ordered;
    } cases[] = {
        {"[]", true, true},
        {"{}", true, true},
        {" { \"a\" : [1, 2.5, -3e2, true, false, null, \"s\"] } ", true, true},
        {"[1,]", false, false},
        {"{\"a\":1,}", false, false},
        {"[1 2]", false, false},
        {"{\"a\" 1}", false, false},
        {"{a:1}", false, false},
        {"\"open", false, false},
        {"\"bad \\x escape\"", false, false},
        {"\"cut \\", false, false},
        {"\"\\u12\"", false, false},
        {"tru", false, false},
        {"nul", false, false},
        {"", false, false},
        {"[", false, false},
        {"{\"a\":", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tree_ok(c.text), c.tree) << c.text;
        EXPECT_EQ(ordered_ok(c.text), c.ordered) << c.text;
    }
}

TEST(JsonReaders, NestingStopsAt512Levels) {
    EXPECT_TRUE(tree_ok(nested(512)));
    EXPECT_FALSE(tree_ok(nested(513)));
    EXPECT_TRUE(ordered_ok(nested(512)));
    EXPECT_FALSE(ordered_ok(nested(513)));
    // A hostile document is refused, not a stack overflow.
    EXPECT_FALSE(ordered_ok(std::string(1 << 20, '[')));
    EXPECT_FALSE(tree_ok(std::string(1 << 20, '{')));
    // Depth is counted per open container, not per container ever opened.
    std::string wide = "[" + nested(511) + "," + nested(511) + "]";
    EXPECT_TRUE(tree_ok(wide));
}

TEST(JsonTreeReader, LastDuplicateWinsAndKeysAreSorted) {
    JsonValue v;
    ASSERT_TRUE(parse_json(R"({"b":true,"a":1,"a":2})", v));
    ASSERT_EQ(v.kind, JsonKind::Object);
    ASSERT_EQ(v.object.size(), 2u);
    EXPECT_EQ(v.object.begin()->first, "a");
    EXPECT_EQ(v.object.at("a").number, 2);
    EXPECT_TRUE(v.object.at("b").boolean);
}

TEST(JsonOrderedReader, KeepsDuplicatesInOrderAndFindsTheFirst) {
    OrderedJsonValue v;
    ASSERT_TRUE(parse_ordered_document(R"({"a":1,"b":"x","a":2})", v));
    ASSERT_EQ(v.members.size(), 3u);
    EXPECT_EQ(v.members[2].key, "a");
    EXPECT_EQ(v.member("a")->number, 1);
    EXPECT_EQ(v.member("zz"), nullptr);
    EXPECT_EQ(v.string_member("b", "d"), "x");
    EXPECT_EQ(v.string_member("a", "d"), "d");
}

TEST(JsonOrderedReader, UnsignedMember) {
    OrderedJsonValue v;
    ASSERT_TRUE(parse_ordered_document(
        R"({"n":42.9,"neg":-1,"s":"5","big":9223372036854775808,"huge":1e30,"zero":0})", v));
    EXPECT_EQ(v.unsigned_member("n", 7), 42u);
    EXPECT_EQ(v.unsigned_member("neg", 7), 7u);
    EXPECT_EQ(v.unsigned_member("s", 7), 7u);
    EXPECT_EQ(v.unsigned_member("missing", 7), 7u);
    EXPECT_EQ(v.unsigned_member("big", 7), 9223372036854775808ull);
    EXPECT_EQ(v.unsigned_member("huge", 7), UINT64_MAX);
    EXPECT_EQ(v.unsigned_member("zero", 7), 0u);
}

TEST(JsonOrderedReader, WholeDocumentConvention) {
    OrderedJsonValue v;
    EXPECT_TRUE(parse_ordered_document(" \r\n\t{\"a\":1} \n", v));
    EXPECT_FALSE(parse_ordered_document("{\"a\":1} x", v));
    EXPECT_FALSE(parse_ordered_document("[1]", v));
    EXPECT_FALSE(parse_ordered_document("{\"a\":1}\f", v)); // form feed is not whitespace
    // The tree reader ignores what follows the root.
    JsonValue t;
    EXPECT_TRUE(parse_json("{\"a\":1} trailing", t));
}

TEST(JsonStrings, EscapesAndSurrogatesPerReader) {
    struct Case {
        const char* text;
        bool tree_ok;
        std::string tree;
        bool ordered_ok;
        std::string ordered;
    } cases[] = {
        {R"("\ud83d\ude00")", true, "\xED\xA0\xBD\xED\xB8\x80", true, "\xF0\x9F\x98\x80"},
        {R"("\u00zz")", false, "", true, std::string(1, '\0')},
        {R"("\u0000x")", true, std::string("\0x", 2), true, std::string("\0x", 2)},
        {R"("\u00e9\u4e2d")", true, "\xC3\xA9\xE4\xB8\xAD", true, "\xC3\xA9\xE4\xB8\xAD"},
        {R"("\"\\\/\b\f\n\r\t")", true, "\"\\/\b\f\n\r\t", true, "\"\\/\b\f\n\r\t"},
        {"\"raw\x01\xff\"", true, "raw\x01\xff", true, "raw\x01\xff"},
        {R"("\ud83d")", true, "\xED\xA0\xBD", true, "\xED\xA0\xBD"},
    };
    for (const auto& c : cases) {
        JsonValue t;
        EXPECT_EQ(parse_json(c.text, t), c.tree_ok) << c.text;
        if (c.tree_ok) {
            EXPECT_EQ(t.string, c.tree) << c.text;
        }
        OrderedJsonValue o;
        OrderedJsonReader reader(c.text);
        EXPECT_EQ(reader.read_value(o), c.ordered_ok) << c.text;
        if (c.ordered_ok) {
            EXPECT_EQ(o.string, c.ordered) << c.text;
        }
    }
}

TEST(JsonNumbers, LenientConversion) {
    struct Case {
        const char* text;
        double tree;    // NaN: refused
        double ordered; // NaN: refused
    } cases[] = {
        {"1.2.3", 1.2, 1.2},
        {"-", 0, 0},
        {".", 0, 0},
        {"--1", 0, 0},
        {"1e3", 1000, 1000},
        {"-0.5", -0.5, -0.5},
        {"+7", 7, 7},
        {"x", NAN, NAN},
        // The longest prefix that reads as a number, and the ends of the double's range.
        {"+-1", 0, 0},
        {"-+1", 0, 0},
        {"1e", 1, 1},
        {"2e+", 2, 2},
        {".5", 0.5, 0.5},
        {"5.", 5, 5},
        {"1E+2", 100, 100},
        {"1-2", 1, 1},
        {"e5", 0, 0},
        {"1e999", HUGE_VAL, HUGE_VAL},
        {"-1e999", -HUGE_VAL, -HUGE_VAL},
        {"0.000001e309", 1e303, 1e303},
        {"1000e-326", 1e-323, 1e-323},
        {"1e-999", 0, 0},
        {"123456789e-400", 0, 0},
        {"99999e305", HUGE_VAL, HUGE_VAL},
    };
    for (const auto& c : cases) {
        JsonValue t;
        bool tree_ok = parse_json(c.text, t);
        EXPECT_EQ(tree_ok, !std::isnan(c.tree)) << c.text;
        if (tree_ok) {
            EXPECT_EQ(t.number, c.tree) << c.text;
        }
        OrderedJsonValue o;
        OrderedJsonReader reader(c.text);
        bool ordered_ok = reader.read_value(o);
        EXPECT_EQ(ordered_ok, !std::isnan(c.ordered)) << c.text;
        if (ordered_ok) {
            EXPECT_EQ(o.number, c.ordered) << c.text;
        }
    }
    // Nothing checks what follows a literal: at the top level the rest is left to the caller.
    JsonValue t;
    EXPECT_TRUE(parse_json("truex", t));
    EXPECT_FALSE(parse_json("[truex]", t));
}

// A desktop app takes its locale from the environment; a decimal comma there must not change
// how numbers read.
TEST(JsonNumbers, ReadTheSameUnderACommaDecimalLocale) {
    test::CommaLocale locale;
    if (!locale.active()) GTEST_SKIP() << locale.why_not();
    JsonValue t;
    ASSERT_TRUE(parse_json("{\"elapsed\":1.25,\"e\":-2.5e-1,\"c\":[3,5]}", t));
    EXPECT_EQ(t.object["elapsed"].number, 1.25);
    EXPECT_EQ(t.object["e"].number, -0.25);
    EXPECT_EQ(t.object["c"].array.at(0).number, 3); // "3,5" is two numbers, never 3.5
    ASSERT_TRUE(parse_json("1.2.3", t));
    EXPECT_EQ(t.number, 1.2);
    OrderedJsonValue o;
    ASSERT_TRUE(parse_ordered_document("{\"elapsed\":12.75,\"done\":1.5e3}", o));
    EXPECT_EQ(o.member("elapsed")->number, 12.75);
    EXPECT_EQ(o.unsigned_member("done", 0), 1500u);
}

TEST(JsonQuote, EscapesAndRepairsUtf8) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"", "\"\""},
        {std::string("a\x01\"\xC3\xA9\xFF"), "\"a\\u0001\\\"\xC3\xA9\xEF\xBF\xBD\""},
        {"\b\t\n\f\r\\/\x7f", "\"\\b\\t\\n\\f\\r\\\\/\x7f\""},
        {std::string("\0\x0b\x1f", 3), "\"\\u0000\\u000b\\u001f\""},
        {"\xE0\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""}, // a surrogate in UTF-8
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE4\xB8", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""}, // cut off by the end
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json_quote(c.in), c.out);
}

TEST(JsonQuote, RoundTripsThroughBothReaders) {
    std::string bytes;
    for (int b = 0; b < 0x80; ++b)
        bytes += static_cast<char>(b);
    bytes += "\xE4\xB8\xAD\xF0\x9F\x98\x80";
    std::string doc = "{\"k\":" + json_quote(bytes) + "}";
    JsonValue t;
    ASSERT_TRUE(parse_json(doc, t));
    EXPECT_EQ(t.object.at("k").string, bytes);
    OrderedJsonValue o;
    ASSERT_TRUE(parse_ordered_document(doc, o));
    EXPECT_EQ(o.string_member("k", ""), bytes);
}

} // namespace
} // namespace twk
