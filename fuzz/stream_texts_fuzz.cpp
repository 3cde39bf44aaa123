// The small texts the stream driver reads: a Retry-After value and the join record of a work
// folder. The first byte chooses which.
#include "media/segment_fetcher.h"
#include "media/stream_join.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        (void)twk::retry_after_ms(text, 784111777);
    } else {
        size_t count = 0;
        uint64_t bytes = 0;
        (void)twk::parse_join_record(text, count, bytes);
    }
    return 0;
}
