// What the control server's routes answer with: one whole HTTP reply, and the pace of the
// snapshot stream.
#pragma once

#include <string_view>

namespace twk {

// The snapshot stream sends a changed list at most this often.
inline constexpr int kSnapshotIntervalMs = 200;
// An unchanged list is sent again after this long: the stream's keep-alive.
inline constexpr int kSnapshotIdleMs = 1000;

// The routes' reply: status line (reason "Forbidden" for 403, "Not Found" for 404, "Bad Request"
// for 400, "OK" otherwise), Content-Type, Content-Length, "Connection: close", then the body in
// a second send. `extra_headers` (each line ending in CRLF) go after Content-Type. False when a
// send failed.
bool write_reply(int socket, int status, std::string_view content_type, std::string_view body,
                 std::string_view extra_headers = {});

} // namespace twk
