#include "control/peer_user.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/file_io.h"

namespace twk {

namespace {

// The fields of a table line: "sl local rem st queues tr:when retrnsmt uid ...".
constexpr int kLocalField = 1;
constexpr int kRemoteField = 2;
constexpr int kUidField = 7;

// The address as the kernel prints it: each 32-bit word of the address in the machine's order
// as 8 hex digits, then the port as 4.
std::string table_address(const unsigned char* bytes, size_t size, uint16_t port) {
    std::string text;
    char word[9];
    for (size_t at = 0; at + 4 <= size; at += 4) {
        uint32_t value;
        std::memcpy(&value, bytes + at, 4);
        std::snprintf(word, sizeof word, "%08X", value);
        text += word;
    }
    char tail[6];
    std::snprintf(tail, sizeof tail, ":%04X", port);
    return text + tail;
}

std::string read_table(const char* path) {
    std::string text;
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return text;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::string v4_mapped(const sockaddr_in& address) {
    unsigned char bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    std::memcpy(bytes + 12, &address.sin_addr.s_addr, 4);
    return table_address(bytes, sizeof bytes, ntohs(address.sin_port));
}

std::string v4(const sockaddr_in& address) {
    return table_address(reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr), 4,
                         ntohs(address.sin_port));
}

// Asks the kernel for the one socket whose local address is `local` and remote address `remote`
// (sock_diag, the interface `ss` uses): a lookup by address, where reading the tables costs a
// line per socket on the machine, and a busy client leaves thousands behind in TIME_WAIT.
// `family` is AF_INET, or AF_INET6 with IPv4-mapped addresses. Empty when the kernel does not
// answer or knows no such connection.
std::optional<uint32_t> uid_from_sock_diag(int family, const unsigned char* local,
                                           const unsigned char* remote, size_t size, uint16_t local_port,
                                           uint16_t remote_port) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) return std::nullopt;
    timeval wait{1, 0}; // the kernel answers at once; this only bounds a misbehaving one
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct {
        nlmsghdr head;
        inet_diag_req_v2 request;
    } message{};
    message.head.nlmsg_len = sizeof message;
    message.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.head.nlmsg_flags = NLM_F_REQUEST;
    message.head.nlmsg_seq = 1;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(local_port);
    message.request.id.idiag_dport = htons(remote_port);
    std::memcpy(message.request.id.idiag_src, local, size);
    std::memcpy(message.request.id.idiag_dst, remote, size);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof message))
        return std::nullopt;
    alignas(nlmsghdr) char answer[8192];
    const ssize_t n = ::recv(fd.get(), answer, sizeof answer, 0);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg)))) return std::nullopt;
    const auto* head = reinterpret_cast<const nlmsghdr*>(answer);
    if (head->nlmsg_type != SOCK_DIAG_BY_FAMILY || head->nlmsg_len > static_cast<uint32_t>(n) ||
        head->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    inet_diag_msg found;
    std::memcpy(&found, NLMSG_DATA(head), sizeof found);
    // Only the connection asked about: never a listener that happens to hold the client's port.
    if (found.idiag_state == TCP_LISTEN || found.id.idiag_sport != htons(local_port) ||
        found.id.idiag_dport != htons(remote_port) || std::memcmp(found.id.idiag_src, local, size) != 0 ||
        std::memcmp(found.id.idiag_dst, remote, size) != 0)
        return std::nullopt;
    return found.idiag_uid;
}

std::array<unsigned char, 16> mapped_bytes(const sockaddr_in& address) {
    std::array<unsigned char, 16> bytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    std::memcpy(bytes.data() + 12, &address.sin_addr.s_addr, 4);
    return bytes;
}

} // namespace

std::optional<uint32_t> uid_in_socket_table(std::string_view table, std::string_view local,
                                            std::string_view remote) {
    while (!table.empty()) {
        const size_t eol = table.find('\n');
        std::string_view line = table.substr(0, eol);
        table.remove_prefix(eol == std::string_view::npos ? table.size() : eol + 1);
        std::string_view fields[kUidField + 1];
        int count = 0;
        size_t pos = 0;
        while (count <= kUidField) {
            while (pos < line.size() && line[pos] == ' ')
                ++pos;
            if (pos == line.size()) break;
            const size_t begin = pos;
            while (pos < line.size() && line[pos] != ' ')
                ++pos;
            fields[count++] = line.substr(begin, pos - begin);
        }
        if (count <= kUidField || fields[kLocalField] != local || fields[kRemoteField] != remote) continue;
        uint32_t uid = 0;
        const std::string_view digits = fields[kUidField];
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), uid);
        if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
        return uid;
    }
    return std::nullopt;
}

std::optional<uint32_t> loopback_peer_uid(int socket) {
    sockaddr_in peer{};
    sockaddr_in self{};
    socklen_t peer_length = sizeof peer;
    socklen_t self_length = sizeof self;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&self), &self_length) != 0 ||
        peer.sin_family != AF_INET || self.sin_family != AF_INET)
        return std::nullopt;
    if ((ntohl(peer.sin_addr.s_addr) >> 24) != 127) return std::nullopt;
    const auto* peer_bytes = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
    const auto* self_bytes = reinterpret_cast<const unsigned char*>(&self.sin_addr.s_addr);
    const uint16_t peer_port = ntohs(peer.sin_port);
    const uint16_t self_port = ntohs(self.sin_port);
    if (auto uid = uid_from_sock_diag(AF_INET, peer_bytes, self_bytes, 4, peer_port, self_port)) return uid;
    const auto peer_mapped = mapped_bytes(peer);
    const auto self_mapped = mapped_bytes(self);
    if (auto uid =
            uid_from_sock_diag(AF_INET6, peer_mapped.data(), self_mapped.data(), 16, peer_port, self_port))
        return uid;
    // A kernel without sock_diag: the tables.
    if (auto uid = uid_in_socket_table(read_table("/proc/net/tcp"), v4(peer), v4(self))) return uid;
    return uid_in_socket_table(read_table("/proc/net/tcp6"), v4_mapped(peer), v4_mapped(self));
}

} // namespace twk
