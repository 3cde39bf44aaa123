// The native messaging host's reader on arbitrary bytes: every message taken is whole and within
// the limit, framing it again gives back the bytes it came from, and a reply is always JSON.
#include "control/native_host.h"
#include "json/json.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace twk;
    std::string buffer(reinterpret_cast<const char*>(data), size);
    std::string message;
    size_t taken = 0;
    for (;;) {
        const std::string before = buffer;
        const NativeRead read = take_native_message(buffer, message);
        if (read != NativeRead::kMessage) {
            if (buffer != before) std::abort(); // nothing is taken unless a message is whole
            break;
        }
        if (message.size() > kMaxNativeMessage) std::abort();
        if (frame_native_message(message) + buffer != before) std::abort();
        taken += 4 + message.size();
        // The key request touches the user's files; every other reply is made from the bytes.
        if (message.find("key") == std::string::npos) {
            JsonValue reply;
            if (!parse_json(native_host_reply(message), reply) || reply.kind != JsonKind::Object)
                std::abort();
        }
    }
    if (taken + buffer.size() != size) std::abort();
    return 0;
}
