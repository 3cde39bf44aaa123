// The body of a response from http_exchange: delivered from the bytes that came with the head,
// then straight from the connection, framed by Content-Length, chunked coding or the close of
// the connection. A body that ends early or breaks its framing reads as -1, never as a short
// or altered body.
#pragma once

#include "net/http_message.h"

#include <cstdint>
#include <memory>
#include <string>

namespace twk {

// A direct read returns after about this long with what it has, so callers can check progress.
constexpr int kBodyReadBoundMs = 3000;
// A chunk-size or trailer line longer than this is refused.
constexpr size_t kMaxChunkLine = 65536;
// More non-empty trailer lines than this are refused.
constexpr int kMaxTrailerLines = 64;
// Bytes asked of the connection when the chunked decoder needs more.
constexpr int kChunkReadSize = 16384;

class BodyReader {
public:
    // Takes the response's connection and prefetched bytes.
    explicit BodyReader(HttpResponse& response);

    // Up to `capacity` body bytes; 0 at the end of the body; -1 on an error, a time-out, broken
    // chunk framing or a body that ended before its announced length. After -1 every call fails.
    int read(char* destination, int capacity);

    // True once the body has been read to its end.
    bool finished() const { return m_ended; }
    // The connection's words for a failed read ("TLS record authentication failed"); empty when
    // it has none (a dropped connection, a time-out, broken framing).
    std::string failure_reason() const {
        return m_connection ? m_connection->failure_reason() : std::string();
    }
    // The connection, for a caller that keeps it for the next request after a finished body.
    std::unique_ptr<ByteStream> release_connection() { return std::move(m_connection); }

    // Bytes the chunked decoder holds (consumed ones included until it compacts): stays within
    // about two chunk-line limits and one read however long the body is.
    size_t buffered() const { return m_buffer.size(); }

    // How long one direct read keeps collecting bytes; tests shorten it.
    int read_bound_ms = kBodyReadBoundMs;

private:
    int read_framed(char* destination, int capacity);
    int read_chunked(char* destination, int capacity);
    bool read_line(std::string& line);
    bool fill();
    int fail();

    std::unique_ptr<ByteStream> m_connection;
    std::string m_buffer; // prefetched bytes, then the chunked decoder's input
    size_t m_position = 0;
    bool m_chunked;
    bool m_no_body;
    int64_t m_remaining;           // body bytes still due; -1 when unknown
    int64_t m_chunk_remaining = 0; // bytes left in the current chunk
    bool m_expect_size = true;     // a chunk-size line comes next
    bool m_last_chunk = false;
    bool m_ended = false;
    bool m_failed = false;
};

} // namespace twk
