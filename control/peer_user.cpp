#include "control/peer_user.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (auto uid = uid_in_socket_table(read_table("/proc/net/tcp"), v4(peer), v4(self))) return uid;
    return uid_in_socket_table(read_table("/proc/net/tcp6"), v4_mapped(peer), v4_mapped(self));
}

} // namespace twk
