// Who is on the other end of a loopback TCP connection. TCP has no SO_PEERCRED, but the kernel
// knows the user that owns every socket: asked through sock_diag for the one connection whose
// local address is our peer and whose remote address is us (for a dual-stack client, the same
// as IPv4-mapped IPv6 addresses). Where sock_diag does not answer, the same line is looked up
// in /proc/net/tcp and /proc/net/tcp6, which list every socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace twk {

// The user id owning the client end of `socket`, an accepted connection on a loopback IPv4
// address; empty when the peer is not on this machine's loopback or is not listed (it left).
std::optional<uint32_t> loopback_peer_uid(int socket);

// The uid of the line in a /proc/net/tcp or tcp6 table whose local address is `local` and
// remote address is `remote` (both as the table writes them, "0100007F:1F90"); empty when no
// line matches. Split out to be tested without sockets.
std::optional<uint32_t> uid_in_socket_table(std::string_view table, std::string_view local,
                                            std::string_view remote);

} // namespace twk
