#include "net/body_reader.h"

#include "net/text.h"
#include "net/url.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace twk {

namespace {

// A complete, non-empty hexadecimal number that fits a signed 64-bit value; -1 otherwise.
int64_t parse_chunk_size(std::string_view text) {
    if (text.empty()) return -1;
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return -1;
        }
        if (value > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) >> 4)) return -1;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    return static_cast<int64_t>(value);
}

} // namespace

BodyReader::BodyReader(HttpResponse& response)
    : m_connection(std::move(response.connection)), m_buffer(std::move(response.prefetched)),
      m_chunked(response.chunked), m_no_body(response.no_body), m_remaining(response.content_length) {
    response.prefetched.clear();
}

int BodyReader::fail() {
    m_failed = true;
    return -1;
}

int BodyReader::read(char* destination, int capacity) {
    if (m_failed || capacity < 0) return -1;
    if (m_ended || capacity == 0 || m_no_body) return 0;
    return m_chunked ? read_chunked(destination, capacity) : read_framed(destination, capacity);
}

int BodyReader::read_framed(char* destination, int capacity) {
    if (m_remaining == 0) {
        m_ended = true;
        return 0;
    }
    size_t want = static_cast<size_t>(capacity);
    if (m_remaining > 0) want = static_cast<size_t>(std::min<int64_t>(m_remaining, capacity));
    if (m_position < m_buffer.size()) {
        const size_t n = std::min(want, m_buffer.size() - m_position);
        std::memcpy(destination, m_buffer.data() + m_position, n);
        m_position += n;
        if (m_remaining > 0) m_remaining -= static_cast<int64_t>(n);
        return static_cast<int>(n);
    }
    if (!m_connection) return fail();

    const int64_t started = monotonic_ms();
    size_t got = 0;
    bool closed = false;
    while (got < want) {
        const int n = m_connection->read(destination + got, static_cast<int>(want - got));
        if (n == 0) {
            closed = true;
            break;
        }
        if (n < 0) break;
        got += static_cast<size_t>(n);
        if (m_remaining > 0) m_remaining -= n;
        if (monotonic_ms() - started > read_bound_ms) break;
    }
    if (closed) {
        m_ended = true;
        if (m_remaining > 0) return fail(); // truncated body
    }
    if (got > 0) return static_cast<int>(got);
    if (closed) return 0;
    return fail();
}

bool BodyReader::fill() {
    if (!m_connection) return false;
    if (m_position > kMaxChunkLine) {
        m_buffer.erase(0, m_position);
        m_position = 0;
    }
    const size_t old_size = m_buffer.size();
    m_buffer.resize(old_size + kChunkReadSize);
    const int n = m_connection->read(m_buffer.data() + old_size, kChunkReadSize);
    m_buffer.resize(old_size + static_cast<size_t>(std::max(n, 0)));
    return n > 0;
}

bool BodyReader::read_line(std::string& line) {
    size_t scanned = 0; // bytes past the read position already known to hold no "\r\n"
    for (;;) {
        const size_t end = m_buffer.find("\r\n", m_position + (scanned > 0 ? scanned - 1 : 0));
        if (end != std::string::npos && end - m_position <= kMaxChunkLine) {
            line.assign(m_buffer, m_position, end - m_position);
            m_position = end + 2;
            return true;
        }
        scanned = m_buffer.size() - m_position;
        if (scanned >= kMaxChunkLine || !fill()) return false;
    }
}

int BodyReader::read_chunked(char* destination, int capacity) {
    for (;;) {
        if (m_expect_size) {
            std::string line;
            if (!read_line(line)) return fail();
            const int64_t size = parse_chunk_size(trim_spaces(line.substr(0, line.find(';'))));
            if (size < 0) return fail();
            m_expect_size = false;
            m_chunk_remaining = size;
            if (size == 0) {
                m_last_chunk = true;
                for (int trailers = 0;; ++trailers) {
                    if (trailers > kMaxTrailerLines || !read_line(line)) return fail();
                    if (line.empty()) break;
                }
                m_ended = true;
                return 0;
            }
        }
        if (m_chunk_remaining == 0) {
            std::string line;
            if (!read_line(line) || !line.empty()) return fail();
            m_expect_size = true;
            continue;
        }
        if (m_position >= m_buffer.size() && !fill()) return fail();
        const size_t n = std::min({static_cast<size_t>(capacity), m_buffer.size() - m_position,
                                   static_cast<size_t>(m_chunk_remaining)});
        std::memcpy(destination, m_buffer.data() + m_position, n);
        m_position += n;
        m_chunk_remaining -= static_cast<int64_t>(n);
        return static_cast<int>(n);
    }
}

} // namespace twk
