// What the socket layer must do that its users do not show in their tests.
#include "netio.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "silent_peer.h"

namespace {

// IPv6 as IPv4: the loopback address and every address, in brackets or
// not; the peer is named in brackets. Where the system has no IPv6 loopback
// there is nothing to check.
TEST(Netio, ListensAndConnectsOverIPv6) {
    for (const char *address : {"::1", "[::1]", "::"}) {
        SCOPED_TRACE(address);
        std::uint16_t port = 0;
        netio::Socket listener = netio::Listen(address, 0, &port, 1);
        if (listener == netio::kInvalidSocket) GTEST_SKIP() << "no IPv6 here: " << netio::LastError();
        netio::Socket client = netio::Connect("::1", port), server = netio::Accept(listener);
        ASSERT_NE(client, netio::kInvalidSocket) << netio::LastError();
        EXPECT_EQ(netio::PeerName(server).rfind("[::1]:", 0), 0u) << netio::PeerName(server);
        netio::Close(client);
        netio::Close(server);
        netio::Close(listener);
    }
}

TEST(Netio, AShortReceiveReportsWhatArrivedAndAClosedPeerFailsASend) {
    netio::LoopbackPair pair;
    ASSERT_TRUE(netio::MakeLoopbackPair(&pair));
    ASSERT_TRUE(netio::SendAll(pair.client, "abc", 3));
    netio::ShutdownSend(pair.client);
    char got[8];
    std::size_t received = 0;
    EXPECT_FALSE(netio::ReceiveExact(pair.server, got, 8, &received));
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(netio::ReceiveSome(pair.server, got, 8), 0);
    netio::Close(pair.server);
    pair.server = netio::kInvalidSocket;
    // Fails rather than killing the process with a signal.
    std::vector<char> chunk(65536, 'x');
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i)
        failed = !netio::SendAll(pair.client, chunk.data(), chunk.size());
    EXPECT_TRUE(failed);
    netio::ClosePair(&pair);
}

// A server tells a quiet peer from a lost one, and a bad address from success.
TEST(Netio, ATimedOutReceiveAndABadAddressSayWhatHappened) {
    netio::LoopbackPair pair;
    ASSERT_TRUE(netio::MakeLoopbackPair(&pair));
    ASSERT_TRUE(netio::SetReceiveTimeout(pair.server, 50));
    char got[8];
    EXPECT_EQ(netio::ReceiveSome(pair.server, got, sizeof got), -1);
    EXPECT_TRUE(netio::TimedOut());
    EXPECT_NE(netio::PeerName(pair.server).rfind("127.0.0.1:", 0), std::string::npos);
    netio::ClosePair(&pair);
    for (const char *address : {"not-an-ip", "999.1.1.1", "::1::2", "[::1"}) {
        EXPECT_FALSE(netio::IsIPAddress(address));
        EXPECT_EQ(netio::Listen(address, 0), netio::kInvalidSocket);
        const std::string why = netio::LastError();
        EXPECT_FALSE(netio::TimedOut());
        EXPECT_EQ(why.find("(0)"), std::string::npos) << why;
        EXPECT_EQ(netio::Connect(address, 1), netio::kInvalidSocket);
    }
    for (const char *address : {"127.0.0.1", "::1", "[::1]", "::"}) EXPECT_TRUE(netio::IsIPAddress(address));
    EXPECT_GE(netio::MaxBacklog(), 128);
}

// A host by name or address; one that refuses, does not resolve, or whose
// listen queue is full (its connect never completes) fails within the time-out.
TEST(Netio, ConnectByNameReachesAListenerAndFailsWithAReasonOtherwise) {
    kel_test::SilentPeer listening;
    kel_test::FullListener full;
    ASSERT_TRUE(listening.Listening() && full.Listening());
    const std::uint16_t closedPort = kel_test::ClosedPort();
    const struct {
        const char *host;
        std::uint16_t port;
        bool connects;
        const char *why;  // part of the error when it fails
    } kCases[] = {
        {"localhost", listening.Port(), true, ""},
        {"127.0.0.1", listening.Port(), true, ""},
        {"127.0.0.1", closedPort, false, "("},
        {"no-such-host.invalid", listening.Port(), false, "cannot resolve 'no-such-host.invalid'"},
        {"127.0.0.1", full.Port(), false, "("},
    };
    for (const auto &c : kCases) {
        std::string error;
        netio::Socket s = netio::ConnectByName(c.host, c.port, 500, &error);
        EXPECT_EQ(s != netio::kInvalidSocket, c.connects) << c.host << ":" << c.port << " " << error;
        if (!c.connects) {
            EXPECT_NE(error.find(c.why), std::string::npos) << error;
        }
        netio::Close(s);
    }
}

}  // namespace
