// What the socket layer must do that its users do not show in their tests.
#include "netio.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

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
    EXPECT_EQ(netio::Listen("not-an-ip", 0), netio::kInvalidSocket);
    EXPECT_EQ(netio::Connect("256.1.1.1", 1), netio::kInvalidSocket);
}

}  // namespace
