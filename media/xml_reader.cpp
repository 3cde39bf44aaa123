#include "media/xml_reader.h"

#include <algorithm>
#include <cctype>

#include "media/stream_plan.h"

namespace twk {

namespace {

// Reading stops after this many elements: far beyond any manifest (a track holds at most
// 200,000 segments), and it keeps a hostile document from exhausting memory or the index type.
constexpr size_t kMaxXmlNodes = 4000000;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string strip_prefix(std::string_view name) {
    const size_t colon = name.find(':');
    return std::string(colon == std::string_view::npos ? name : name.substr(colon + 1));
}

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// "#NNN" or "#xHH" (the text between "&" and ";") as a character; false when it names none.
bool character_reference(std::string_view body, uint32_t& code) {
    if (body.size() < 2 || body[0] != '#') return false;
    const bool hex = body[1] == 'x' || body[1] == 'X';
    std::string_view digits = body.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    code = 0;
    for (char c : digits) {
        int value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            return false;
        code = code * (hex ? 16 : 10) + static_cast<uint32_t>(value);
    }
    return code != 0 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
}

// The attributes of a start tag, from the text after its name.
void read_attributes(std::string_view s, std::map<std::string, std::string>& attributes) {
    size_t p = 0;
    const size_t n = s.size();
    while (true) {
        while (p < n && (is_space(s[p]) || s[p] == '/'))
            ++p;
        if (p >= n || s[p] == '=') return;
        const size_t name_start = p;
        while (p < n && s[p] != '=' && s[p] != '/' && !is_space(s[p]))
            ++p;
        if (p >= n) return; // a name running to the end of the tag is dropped
        std::string name = strip_prefix(s.substr(name_start, p - name_start));
        while (p < n && is_space(s[p]))
            ++p;
        if (p >= n || s[p] != '=') {
            attributes[std::move(name)] = std::string();
            continue;
        }
        ++p;
        while (p < n && is_space(s[p]))
            ++p;
        if (p >= n) return; // "=" with nothing after it
        std::string_view value;
        if (s[p] == '"' || s[p] == '\'') {
            const size_t close = s.find(s[p], p + 1);
            const size_t end = close == std::string_view::npos ? n : close;
            value = s.substr(p + 1, end - p - 1);
            p = close == std::string_view::npos ? n : close + 1;
        } else {
            const size_t start = p;
            while (p < n && s[p] != '/' && !is_space(s[p]))
                ++p;
            value = s.substr(start, p - start);
        }
        attributes[std::move(name)] = decode_xml_entities(value);
    }
}

} // namespace

std::string decode_xml_entities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) break;
        out.append(text.substr(i, amp - i));
        i = amp + 1;
        // The longest reference is "&#x10FFFF;" or "&#1114111;": look no further than that.
        const size_t semicolon = text.substr(i, 12).find(';');
        if (semicolon == std::string_view::npos) {
            out += '&';
            continue;
        }
        const std::string_view body = text.substr(i, semicolon);
        uint32_t code = 0;
        if (body == "amp")
            out += '&';
        else if (body == "lt")
            out += '<';
        else if (body == "gt")
            out += '>';
        else if (body == "quot")
            out += '"';
        else if (body == "apos")
            out += '\'';
        else if (character_reference(body, code))
            append_utf8(out, code);
        else {
            out += '&';
            continue;
        }
        i += semicolon + 1;
    }
    out.append(text.substr(std::min(i, text.size())));
    return out;
}

XmlDocument parse_xml(std::string_view text) {
    XmlDocument doc;
    int32_t current = -1;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        if (text[i] != '<') {
            const size_t end = std::min(text.find('<', i), n);
            if (current >= 0) doc.nodes[current].text += decode_xml_entities(text.substr(i, end - i));
            i = end;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            const size_t end = text.find("-->", i + 4);
            i = end == std::string_view::npos ? n : end + 3;
        } else if (rest.starts_with("<![CDATA[")) {
            const size_t start = i + 9;
            const size_t end = text.find("]]>", start);
            if (current >= 0) doc.nodes[current].text += text.substr(start, std::min(end, n) - start);
            i = end == std::string_view::npos ? n : end + 3;
        } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
            const size_t end = text.find('>', i + 2);
            i = end == std::string_view::npos ? n : end + 1;
        } else {
            const size_t end = text.find('>', i + 1);
            if (end == std::string_view::npos) break;
            const std::string_view tag = text.substr(i + 1, end - i - 1);
            i = end + 1;
            if (tag.starts_with("/")) {
                if (current >= 0) current = doc.nodes[current].parent;
                continue;
            }
            if (doc.nodes.size() >= kMaxXmlNodes) break;
            const bool self_closing = tag.ends_with("/");
            size_t name_end = 0;
            while (name_end < tag.size() && tag[name_end] != '/' && !is_space(tag[name_end]))
                ++name_end;
            XmlNode node;
            node.name = strip_prefix(tag.substr(0, name_end));
            node.parent = current;
            read_attributes(tag.substr(name_end), node.attributes);
            const auto index = static_cast<int32_t>(doc.nodes.size());
            doc.nodes.push_back(std::move(node));
            if (current >= 0)
                doc.nodes[current].children.push_back(index);
            else
                doc.root = index;
            if (!self_closing) current = index;
        }
    }
    return doc;
}

int32_t XmlDocument::first_child(int32_t node, std::string_view name) const {
    if (node < 0 || static_cast<size_t>(node) >= nodes.size()) return -1;
    for (int32_t child : nodes[node].children) {
        if (nodes[child].name == name) return child;
    }
    return -1;
}

std::string XmlDocument::attribute(int32_t node, const std::string& name, std::string_view fallback) const {
    if (node < 0 || static_cast<size_t>(node) >= nodes.size()) return std::string(fallback);
    auto it = nodes[node].attributes.find(name);
    return it == nodes[node].attributes.end() ? std::string(fallback) : it->second;
}

int64_t XmlDocument::attribute_int(int32_t node, const std::string& name, int64_t fallback) const {
    if (!has_attribute(node, name)) return fallback;
    return lenient_int64(nodes[node].attributes.at(name));
}

bool XmlDocument::has_attribute(int32_t node, const std::string& name) const {
    return node >= 0 && static_cast<size_t>(node) < nodes.size() && nodes[node].attributes.count(name) > 0;
}

} // namespace twk
