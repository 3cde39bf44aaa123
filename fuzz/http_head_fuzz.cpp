// The response-head reader, parser and framing checks on arbitrary bytes, delivered through a
// ByteStream in pieces whose size the first input byte chooses; a chunked body that follows is
// decoded as well.
#include "net/body_reader.h"
#include "net/http_head.h"

#include "tests/support/memory_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace twk;
    if (size < 1) return 0;
    const size_t piece = data[0] % 64 + 1;
    const bool with_range = data[0] & 0x40;
    const bool head_method = data[0] & 0x80;
    auto stream = std::make_unique<test::MemoryStream>(
        std::string(reinterpret_cast<const char*>(data + 1), size - 1), piece);

    std::string head, prefetched;
    if (!read_response_head(*stream, head, prefetched)) return 0;
    if (head.size() + prefetched.size() > size - 1) std::abort();
    ResponseHead parsed = parse_response_head(head);
    if (parsed.status < 0 || parsed.status > 999) std::abort();

    HttpResponse response;
    response.status = parsed.status;
    response.headers = std::move(parsed.headers);
    response.prefetched = std::move(prefetched);
    response.connection = std::move(stream);
    HeaderList request_headers;
    if (with_range) request_headers.emplace_back("Range", "bytes=100-199");
    std::string error;
    if (!apply_response_framing(head_method ? "HEAD" : "GET", request_headers, response, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (response.status == 206 && (response.range_start != 100 || response.content_length > 100))
        std::abort();

    const size_t available = size - 1 - head.size();
    BodyReader reader(response);
    char buffer[4096];
    size_t delivered = 0;
    for (int n; (n = reader.read(buffer, sizeof buffer)) > 0;)
        delivered += static_cast<size_t>(n);
    if (delivered > available) std::abort();
    return 0;
}
