#include "net/socket.h"

#include "net/text.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

namespace twk {
namespace {

using test::Listener;

// An address list built by hand, walked by connect_first in the given order.
class AddressList {
public:
    void add_ipv4(int port) {
        auto* a = new sockaddr_in{};
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        push(AF_INET, reinterpret_cast<sockaddr*>(a), sizeof *a);
    }
    const addrinfo* head() const { return m_entries.empty() ? nullptr : m_entries.front(); }
    ~AddressList() {
        for (addrinfo* e : m_entries) {
            delete reinterpret_cast<sockaddr_in*>(e->ai_addr);
            delete e;
        }
    }

private:
    void push(int family, sockaddr* address, socklen_t length) {
        auto* e = new addrinfo{};
        e->ai_family = family;
        e->ai_socktype = SOCK_STREAM;
        e->ai_protocol = IPPROTO_TCP;
        e->ai_addr = address;
        e->ai_addrlen = length;
        if (!m_entries.empty()) m_entries.back()->ai_next = e;
        m_entries.push_back(e);
    }
    std::vector<addrinfo*> m_entries;
};

TEST(TcpConnect, ConnectsByNameAndByLiteral) {
    Listener server;
    for (const char* host : {"127.0.0.1", "localhost"}) {
        Socket s = tcp_connect(host, server.port(), 5000, 5000);
        ASSERT_NE(s, kInvalidSocket) << host;
        close_socket(s);
    }
    EXPECT_EQ(tcp_connect("no-such-host.invalid", 80, 1000, 1000), kInvalidSocket);
}

TEST(TcpConnect, RefusedAddressMovesOnAtOnce) {
    Listener server;
    AddressList list;
    list.add_ipv4(test::closed_port());
    list.add_ipv4(server.port());
    const int64_t start = monotonic_ms();
    Socket s = connect_first(list.head(), 60000, 5000);
    ASSERT_NE(s, kInvalidSocket);
    close_socket(s);
    // A refusal answers at once; only a wait for the connect time-out would come near a minute.
    EXPECT_LT(monotonic_ms() - start, 30000);
}

TEST(TcpConnect, UnansweredAddressTimesOutThenTheNextConnects) {
    // A listener whose queue is full drops new SYNs, as an unreachable address would.
    Listener blackhole(0);
    std::vector<Socket> fillers;
    for (int i = 0; i < 4; ++i)
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    for (Socket f : fillers) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(blackhole.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    Listener server;
    AddressList list;
    list.add_ipv4(blackhole.port());
    list.add_ipv4(server.port());
    const int64_t start = monotonic_ms();
    Socket s = connect_first(list.head(), 300, 5000);
    ASSERT_NE(s, kInvalidSocket);
    EXPECT_GE(monotonic_ms() - start, 290);
    // The connection is to the second listener.
    int accepted = server.accept();
    EXPECT_GE(accepted, 0);
    ::close(accepted);
    close_socket(s);
    for (Socket f : fillers)
        ::close(f);

    AddressList nothing;
    nothing.add_ipv4(test::closed_port());
    EXPECT_EQ(connect_first(nothing.head(), 1000, 1000), kInvalidSocket);
}

// A cancel ends a connect that hangs and a read that waits on a silent peer at once, long
// before their time-outs, and later connects fail until the canceller is reset.
TEST(SocketCanceller, EndsBlockedConnectsAndReadsAtOnce) {
    Listener blackhole(0);
    std::vector<Socket> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(blackhole.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    SocketCanceller canceller;
    TransportError why;
    std::thread connecting([&] {
        EXPECT_EQ(tcp_connect("127.0.0.1", blackhole.port(), 60'000, 60'000, &why, &canceller),
                  kInvalidSocket);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let it reach the connect
    const int64_t start = monotonic_ms();
    canceller.cancel();
    connecting.join();
    EXPECT_LT(monotonic_ms() - start, 5'000);
    EXPECT_EQ(why.reason, "interrupted");
    EXPECT_EQ(tcp_connect("127.0.0.1", blackhole.port(), 1'000, 1'000, &why, &canceller), kInvalidSocket);
    for (Socket f : fillers)
        ::close(f);

    canceller.reset();
    Listener silent;
    Socket s = tcp_connect("127.0.0.1", silent.port(), 5'000, 60'000, nullptr, &canceller);
    ASSERT_NE(s, kInvalidSocket);
    PlainStream stream(s, &canceller);
    int got = 0;
    std::thread reading([&] {
        char byte;
        got = stream.read(&byte, 1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    canceller.cancel();
    reading.join();
    EXPECT_EQ(got, -1); // never taken for the end of the stream
}

TEST(PlainStream, SilentPeerTimesOutAndCloseIsIdempotent) {
    Listener server;
    PlainStream stream(tcp_connect("127.0.0.1", server.port(), 5000, 200));
    ASSERT_NE(stream.socket(), kInvalidSocket);
    int peer = server.accept();
    char buffer[16];
    EXPECT_EQ(stream.read(buffer, sizeof buffer), -1);
    stream.close();
    stream.close();
    EXPECT_EQ(stream.socket(), kInvalidSocket);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), -1);
    EXPECT_FALSE(stream.send_all("x", 1));
    ::close(peer);
}

TEST(PlainStream, SendsEverythingAndSeesTheOrderlyEnd) {
    Listener server;
    PlainStream stream(tcp_connect("127.0.0.1", server.port(), 5000, 5000));
    int peer = server.accept();
    ASSERT_GE(peer, 0);
    // More than a socket buffer holds, so send_all has to loop.
    std::string payload(4 << 20, 'p');
    std::thread writer([&] { EXPECT_TRUE(stream.send_all(payload.data(), payload.size())); });
    std::string got(payload.size(), '\0');
    EXPECT_TRUE(recv_exact(peer, got.data(), got.size()));
    writer.join();
    EXPECT_EQ(got, payload);

    ASSERT_TRUE(send_raw_all(peer, "hello", 5));
    ::close(peer);
    char buffer[8];
    EXPECT_FALSE(recv_exact(stream.socket(), buffer, 6)); // the peer ended after five bytes
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);
    EXPECT_FALSE(stream.send_all("x", 1) && stream.send_all(payload.data(), payload.size()));
}

TEST(PlainStream, ReleaseHandsTheSocketOver) {
    Listener server;
    PlainStream stream(tcp_connect("127.0.0.1", server.port(), 5000, 5000));
    Socket s = stream.release();
    EXPECT_NE(s, kInvalidSocket);
    EXPECT_EQ(stream.socket(), kInvalidSocket);
    close_socket(s);
}

} // namespace
} // namespace twk
