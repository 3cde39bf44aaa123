// Finding the user of a loopback connection's other end in the kernel's socket tables.
#include "control/peer_user.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace twk {
namespace {

constexpr const char* kTcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:46A0 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 11 1\n"
    "   1: 0100007F:C350 0100007F:46A0 01 00000000:00000000 00:00000000 00000000 65534        0 22 1\n"
    "   2: 0100007F:46A0 0100007F:C350 01 00000000:00000000 00:00000000 00000000     0        0 33 1\n"
    "   3: 0500007F:C351 0100007F:46A0 01 00000000:00000000 00:00000000 00000000  1000        0 44 1\n"
    "   4: 0100007F:C352 0100007F:46A0 01 00000000:00000000 00:00000000 00000000  12x4        0 55 1\n";

constexpr const char* kTcp6 =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue "
    "tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0000000000000000FFFF00000100007F:C353 0000000000000000FFFF00000100007F:46A0 01 00000000:00000000 "
    "00:00000000 00000000  1001        0 66 1\n";

TEST(PeerUser, TheClientsLineGivesItsUid) {
    struct Case {
        const char* table;
        const char* local;
        const char* remote;
        std::optional<uint32_t> uid;
    } cases[] = {
        {kTcp, "0100007F:C350", "0100007F:46A0", 65534u},
        {kTcp, "0500007F:C351", "0100007F:46A0", 1000u},
        {kTcp, "0100007F:46A0", "0100007F:C350", 0u},           // the server's own end
        {kTcp, "0100007F:C359", "0100007F:46A0", std::nullopt}, // gone
        {kTcp, "0100007F:C352", "0100007F:46A0", std::nullopt}, // no number where the uid goes
        {kTcp, "0100007F:46A0", "00000000:0000", 0u},
        {kTcp6, "0000000000000000FFFF00000100007F:C353", "0000000000000000FFFF00000100007F:46A0", 1001u},
        {"", "0100007F:C350", "0100007F:46A0", std::nullopt},
        {"   1: 0100007F:C350 0100007F:46A0 01", "0100007F:C350", "0100007F:46A0", std::nullopt}, // cut
    };
    for (const Case& c : cases)
        EXPECT_EQ(uid_in_socket_table(c.table, c.local, c.remote), c.uid) << c.local << " " << c.remote;
}

// A real connection on loopback, from an IPv4 client and from a dual-stack IPv6 one: the client
// is this process, so its user is ours. Asked again and again (a busy client leaves many closed
// connections behind), each answer stays the connection's own.
TEST(PeerUser, AConnectionOnLoopbackIsOurs) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 64), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    for (int round = 0; round < 50; ++round) {
        const bool v6 = round % 2 == 1;
        const int client = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(client, 0);
        int connected;
        if (v6) {
            sockaddr_in6 mapped{};
            mapped.sin6_family = AF_INET6;
            mapped.sin6_port = address.sin_port;
            ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr), 1);
            connected = ::connect(client, reinterpret_cast<sockaddr*>(&mapped), sizeof mapped);
        } else {
            connected = ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        ASSERT_EQ(connected, 0) << round;
        const int accepted = ::accept(listener, nullptr, nullptr);
        ASSERT_GE(accepted, 0);
        EXPECT_EQ(loopback_peer_uid(accepted), static_cast<uint32_t>(::geteuid())) << "round " << round;
        ::close(client);
        ::close(accepted);
    }
    ::close(listener);
}

} // namespace
} // namespace twk
