// A ByteStream over bytes in memory: the parsers and the body reader meet scripted input
// without a socket (tests and fuzz targets).
#pragma once

#include "net/socket.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace twk::test {

class MemoryStream final : public ByteStream {
public:
    // `max_read` caps every read (to cut input at awkward places); `at_end` is what a read
    // returns once every byte was delivered: 0 for an orderly close, -1 for a failure.
    explicit MemoryStream(std::string data, size_t max_read = SIZE_MAX, int at_end = 0)
        : m_data(std::move(data)), m_max_read(max_read == 0 ? 1 : max_read), m_at_end(at_end) {}

    int read(char* buffer, int capacity) override {
        if (capacity <= 0) return capacity == 0 ? 0 : -1;
        if (m_position >= m_data.size()) return m_at_end;
        const size_t n = std::min({static_cast<size_t>(capacity), m_max_read, m_data.size() - m_position});
        std::memcpy(buffer, m_data.data() + m_position, n);
        m_position += n;
        return static_cast<int>(n);
    }
    bool send_all(const char* data, size_t length) override {
        sent.append(data, length);
        return true;
    }
    void close() override {}

    std::string sent;

private:
    std::string m_data;
    size_t m_position = 0;
    size_t m_max_read;
    int m_at_end;
};

} // namespace twk::test
