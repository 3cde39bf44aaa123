// The response head: reading it off a connection, parsing and merging its headers, and judging
// the framing of a final response. Strict on purpose: a response the body reader could misread
// (conflicting lengths, codings it does not decode, a 206 for another range) is refused here.
#pragma once

#include "net/http_message.h"

#include <string>
#include <string_view>

namespace twk {

// A head larger than this without its terminating empty line is refused.
constexpr size_t kMaxResponseHead = 1048576;
// Bytes asked of the connection per read while the head is incomplete.
constexpr int kHeadReadSize = 8192;

struct ResponseHead {
    int32_t status = 0;
    HeaderMap headers;
    bool conflicting_length = false; // two Content-Length headers with different values
};

// Reads until the bytes hold "\r\n\r\n". `head` gets everything through the terminator and
// `prefetched` what followed it. False on a closed or failed connection, past the cap, or when
// the whole head has not arrived within `timeout_ms` (0: each read has the connection's own
// time-out, however long the head takes). With a time-out, the stream's reads are bounded by
// `timeout_ms` again afterwards.
bool read_response_head(ByteStream& stream, std::string& head, std::string& prefetched,
                        uint32_t timeout_ms = 0);

// Status line and headers. Lines end at "\n" (one "\r" before it is dropped); the first empty
// line ends the head. Repeated names merge: Set-Cookie joins with "\n", Transfer-Encoding and
// Content-Encoding with ", ", Content-Length flags a conflict when the values differ, any other
// name keeps the last value.
ResponseHead parse_response_head(std::string_view head);

// Sets chunked, content_length, until_close, no_body, range_start and range_total from the
// final response's status and headers. `method` is the method of the final hop; `request_headers`
// are the caller's own (the Range they asked for). False with one exact message in `error`;
// `kind` then says whether asking again could help (a coding we do not decode: never).
bool apply_response_framing(std::string_view method, const HeaderList& request_headers,
                            HttpResponse& response, std::string& error, FailureKind* kind = nullptr);

// A 206's Content-Range against the requested Range; sets range_start and range_total.
bool validate_partial_content(const HeaderList& request_headers, HttpResponse& response);

} // namespace twk
