#include "media/stream_plan.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <stdexcept>

namespace twk {

namespace {

std::string_view skip_spaces(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    return text.substr(i);
}

// Digits after an optional sign, saturating at `limit`; `negative` tells whether a "-" came first.
uint64_t leading_digits(std::string_view text, bool& negative, uint64_t limit) {
    text = skip_spaces(text);
    negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return limit;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

int64_t lenient_int64(std::string_view text) {
    bool negative = false;
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t magnitude = leading_digits(text, negative, kMax + 1);
    if (!negative)
        return magnitude > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(magnitude);
    return magnitude > kMax ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
}

int32_t lenient_int32(std::string_view text) {
    const int64_t value = lenient_int64(text);
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

uint64_t lenient_uint64(std::string_view text) {
    bool negative = false;
    const uint64_t value = leading_digits(text, negative, std::numeric_limits<uint64_t>::max());
    return negative ? 0 - value : value;
}

double lenient_double(std::string_view text) {
    text = skip_spaces(text);
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') return 0; // "+-1" is no number
    }
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    return error == std::errc() ? value : 0;
}

namespace {

// Distinct folder prefixes a list keeps; the URLs of further folders are stored whole.
constexpr size_t kMaxPrefixes = 64;

} // namespace

uint32_t SegmentList::prefix_of(std::string_view folder) {
    if (m_prefixes.empty()) m_prefixes.emplace_back(); // 0: no prefix, the whole URL is the tail
    for (size_t i = m_prefixes.size(); i-- > 1;) {
        if (m_prefixes[i] == folder) return static_cast<uint32_t>(i);
    }
    if (m_prefixes.size() >= kMaxPrefixes) return 0;
    m_prefixes.emplace_back(folder);
    return static_cast<uint32_t>(m_prefixes.size() - 1);
}

void SegmentList::push_back(const MediaSegment& segment) {
    const std::string_view uri = segment.uri;
    const size_t slash = uri.rfind('/');
    const uint32_t prefix = slash == std::string_view::npos ? 0 : prefix_of(uri.substr(0, slash + 1));
    const std::string_view tail = uri.substr(prefix == 0 ? 0 : slash + 1);
    Record record{segment.range_offset,
                  segment.range_length,
                  segment.estimate,
                  segment.duration,
                  m_text.size(),
                  static_cast<uint32_t>(std::min<size_t>(tail.size(), UINT32_MAX)),
                  prefix,
                  kNone,
                  kNone};
    m_text.append(tail.substr(0, record.tail_length));
    if (segment.encrypted) {
        // Segments under one key come in runs: the key URL is kept once per run.
        if (m_keys.empty() || m_keys.back() != segment.key_uri) m_keys.push_back(segment.key_uri);
        record.key = static_cast<uint32_t>(m_keys.size() - 1);
        record.iv = static_cast<uint32_t>(m_ivs.size());
        m_ivs.push_back(segment.iv);
    }
    m_records.push_back(record);
}

std::string SegmentList::uri(size_t i) const {
    const Record& r = m_records[i];
    std::string out = m_prefixes.empty() ? std::string() : m_prefixes[r.prefix];
    out.append(m_text, r.tail_start, r.tail_length);
    return out;
}

MediaSegment SegmentList::operator[](size_t i) const {
    const Record& r = m_records[i];
    MediaSegment segment;
    segment.uri = uri(i);
    segment.range_offset = r.range_offset;
    segment.range_length = r.range_length;
    segment.duration = r.duration;
    segment.estimate = r.estimate;
    if (r.key != kNone) {
        segment.encrypted = true;
        segment.key_uri = m_keys[r.key];
        segment.iv = m_ivs[r.iv];
    }
    return segment;
}

MediaSegment SegmentList::at(size_t i) const {
    if (i >= size()) throw std::out_of_range("SegmentList::at");
    return (*this)[i];
}

void SegmentList::set_range(size_t i, int64_t offset, int64_t length) {
    m_records[i].range_offset = offset;
    m_records[i].range_length = length;
}

} // namespace twk
