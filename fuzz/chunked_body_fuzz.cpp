// The chunked body decoder on arbitrary bytes: the first input byte chooses how the bytes are cut
// into reads and how large the caller's buffer is; the decoder must never deliver more bytes than
// it was given, never loop without progress, and keep its buffer bounded.
#include "net/body_reader.h"

#include "tests/support/memory_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace twk;
    if (size < 2) return 0;
    const size_t piece = data[0] % 32 + 1;
    const int capacity = data[1] % 128 + 1;
    const std::string wire(reinterpret_cast<const char*>(data + 2), size - 2);
    const size_t prefetch = wire.size() / 3;

    HttpResponse response;
    response.chunked = true;
    response.prefetched = wire.substr(0, prefetch);
    response.connection =
        std::make_unique<test::MemoryStream>(wire.substr(prefetch), piece, data[0] & 0x80 ? -1 : 0);
    BodyReader reader(response);

    std::vector<char> buffer(static_cast<size_t>(capacity));
    size_t delivered = 0;
    for (;;) {
        const int n = reader.read(buffer.data(), capacity);
        if (n > capacity) std::abort();
        if (n <= 0) {
            if (n == 0 && !reader.finished()) std::abort();
            if (reader.read(buffer.data(), capacity) != n) std::abort(); // the end and failures stick
            break;
        }
        delivered += static_cast<size_t>(n);
        if (delivered > wire.size()) std::abort();
    }
    return 0;
}
