// Finding the user of a loopback connection's other end in the kernel's socket tables.
#include "control/peer_user.h"

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

} // namespace
} // namespace twk
