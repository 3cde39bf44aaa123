// The reader of a client's WebSocket frames on arbitrary bytes: every frame it takes shrinks the
// buffer by at least its head, a frame's payload is never longer than the cap (125 bytes for a
// control frame), and a buffer that needs more is left as it was.
#include "control/websocket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace twk;
    std::string buffer(reinterpret_cast<const char*>(data), size);
    ClientFrame frame;
    for (;;) {
        const std::string before = buffer;
        const ClientFrameRead read = take_client_frame(buffer, frame);
        if (read != ClientFrameRead::kFrame) {
            if (buffer != before) std::abort();
            break;
        }
        if (buffer.size() + 6 + frame.payload.size() > before.size()) std::abort();
        if (frame.payload.size() > kMaxClientFrame) std::abort();
        if ((frame.opcode & 0x8) != 0 && frame.payload.size() > 125) std::abort();
    }
    return 0;
}
