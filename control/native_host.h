// `twk native-host`: the native messaging host through which our browser extension gets the
// extension key (control/extension_key.h). Chromium-based browsers and Firefox start it as the
// browser's user, from the host manifest "app.tarnwick.key" (scripts/native_host.sh writes them),
// with the caller's origin or manifest path as arguments, which it ignores.
//
// Each message, in and out, is a 32-bit length in the machine's byte order followed by that many
// bytes of UTF-8 JSON. The request {"type":"key"} is answered with {"key":"<64 hex digits>"}, the
// key made first if the program never ran; a key that cannot be had with {"error":"<reason>"};
// any other object with {"error":"unknown request"}, anything else with {"error":"bad json"}.
// The host answers until its input ends (status 0); a message over kMaxNativeMessage bytes or a
// cut one ends it with status 1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

// Browsers send at most 4 GiB; nothing we are asked needs more than a few bytes.
inline constexpr uint32_t kMaxNativeMessage = 65536;

enum class NativeRead { kNeedMore, kMessage, kTooBig };

// Takes the first whole message off the front of `buffer` into `message`.
NativeRead take_native_message(std::string& buffer, std::string& message);

// `message` with its length in front.
std::string frame_native_message(std::string_view message);

// The reply to one request.
std::string native_host_reply(std::string_view request);

// Reads requests from `input` and writes the replies to `output` until the input ends.
int run_native_host(int input, int output);

} // namespace twk
