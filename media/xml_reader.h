// A small, tolerant XML reader for DASH manifests. It never fails: a tag without ">" ends the
// reading, unclosed elements stay open and stray closing tags move up one level. Namespace
// prefixes are dropped from element and attribute names, so "mpd:MPD" reads as "MPD".
//
// The five predefined entities and numeric character references are decoded in attribute
// values and character data (signed CDN URLs carry "&amp;" in their queries); any other "&" is
// kept as written. CDATA content is taken raw. There is no DTD, no validation and no recursion:
// the elements live in one flat list and refer to each other by index.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace twk {

struct XmlNode {
    std::string name;                              // namespace prefix removed
    std::map<std::string, std::string> attributes; // names without prefix; last repeat wins
    std::string text;                              // character data and CDATA directly inside
    std::vector<int32_t> children;                 // indices, in document order
    int32_t parent = -1;                           // -1 for a top-level element
};

struct XmlDocument {
    std::vector<XmlNode> nodes;
    int32_t root = -1; // the last top-level element read; -1 when there is none

    // The first direct child of `node` named `name`, or -1.
    int32_t first_child(int32_t node, std::string_view name) const;
    // The attribute's value, or `fallback` when it is missing.
    std::string attribute(int32_t node, const std::string& name, std::string_view fallback = {}) const;
    // The attribute read as an integer (0 when it does not parse), or `fallback` when missing.
    int64_t attribute_int(int32_t node, const std::string& name, int64_t fallback) const;
    bool has_attribute(int32_t node, const std::string& name) const;
};

XmlDocument parse_xml(std::string_view text);

// "&amp;" "&lt;" "&gt;" "&quot;" "&apos;", "&#NNN;" and "&#xHH;" decoded (a reference to no valid
// character is kept as written, as is any other "&").
std::string decode_xml_entities(std::string_view text);

} // namespace twk
