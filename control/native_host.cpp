#include "control/native_host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control/extension_key.h"
#include "net/file_io.h"
#include "json/json.h"

namespace twk {

namespace {

constexpr size_t kReadSize = 4096;

} // namespace

NativeRead take_native_message(std::string& buffer, std::string& message) {
    uint32_t length = 0;
    if (buffer.size() < sizeof length) return NativeRead::kNeedMore;
    std::memcpy(&length, buffer.data(), sizeof length);
    if (length > kMaxNativeMessage) return NativeRead::kTooBig;
    if (buffer.size() - sizeof length < length) return NativeRead::kNeedMore;
    message.assign(buffer, sizeof length, length);
    buffer.erase(0, sizeof length + length);
    return NativeRead::kMessage;
}

std::string frame_native_message(std::string_view message) {
    const uint32_t length = static_cast<uint32_t>(message.size());
    std::string framed(reinterpret_cast<const char*>(&length), sizeof length);
    framed += message;
    return framed;
}

std::string native_host_reply(std::string_view request) {
    JsonValue message;
    if (!parse_json(request, message) || message.kind != JsonKind::Object) return "{\"error\":\"bad json\"}";
    auto type = message.object.find("type");
    if (type == message.object.end() || type->second.kind != JsonKind::String || type->second.string != "key")
        return "{\"error\":\"unknown request\"}";
    std::string key;
    std::string error;
    if (!load_extension_key(key, error)) return "{\"error\":" + json_quote(error) + "}";
    return "{\"key\":" + json_quote(key) + "}";
}

int run_native_host(int input, int output) {
    std::string buffer;
    std::string message;
    char chunk[kReadSize];
    for (;;) {
        switch (take_native_message(buffer, message)) {
        case NativeRead::kTooBig: return 1;
        case NativeRead::kMessage:
            if (!write_all(output, frame_native_message(native_host_reply(message)))) return 1;
            continue;
        case NativeRead::kNeedMore: break;
        }
        const ssize_t n = ::read(input, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 && buffer.empty() ? 0 : 1;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

} // namespace twk
