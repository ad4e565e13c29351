// The socket layer under the fake server and kelsrv.
#include "netio.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

class NetioPair : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(netio::MakeLoopbackPair(&pair_)); }
  void TearDown() override { netio::ClosePair(&pair_); }
  netio::LoopbackPair pair_;
};

TEST_F(NetioPair, CarriesBytesBothWays) {
  const char hello[] = "hello";
  ASSERT_TRUE(netio::SendAll(pair_.client, hello, 5));
  ASSERT_TRUE(netio::SendAll(pair_.server, "ok", 2));
  char got[5];
  ASSERT_TRUE(netio::ReceiveExact(pair_.server, got, 5));
  EXPECT_EQ(std::string(got, 5), "hello");
  ASSERT_TRUE(netio::ReceiveExact(pair_.client, got, 2));
  EXPECT_EQ(std::string(got, 2), "ok");
  EXPECT_EQ(netio::PeerName(pair_.server).rfind("127.0.0.1:", 0), 0u);
}

TEST_F(NetioPair, ShutdownSendEndsOneDirectionOnly) {
  ASSERT_TRUE(netio::SendAll(pair_.client, "abc", 3));
  netio::ShutdownSend(pair_.client);
  char got[8];
  std::size_t received = 0;
  EXPECT_FALSE(netio::ReceiveExact(pair_.server, got, 8, &received));
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(netio::ReceiveSome(pair_.server, got, 8), 0);
  ASSERT_TRUE(netio::SendAll(pair_.server, "back", 4));
  EXPECT_EQ(netio::ReceiveSome(pair_.client, got, 8), 4);
}

TEST_F(NetioPair, SendingToAClosedPeerFailsInsteadOfKillingTheProcess) {
  netio::Close(pair_.server);
  pair_.server = netio::kInvalidSocket;
  std::vector<char> chunk(65536, 'x');
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i)
    failed = !netio::SendAll(pair_.client, chunk.data(), chunk.size());
  EXPECT_TRUE(failed);
}

TEST(Netio, ListenOnPortZeroReportsTheChosenPort) {
  std::uint16_t port = 0;
  netio::Socket listener = netio::Listen("127.0.0.1", 0, &port);
  ASSERT_NE(listener, netio::kInvalidSocket);
  EXPECT_NE(port, 0);
  netio::Socket client = netio::Connect("127.0.0.1", port);
  EXPECT_NE(client, netio::kInvalidSocket);
  netio::Socket accepted = netio::Accept(listener);
  EXPECT_NE(accepted, netio::kInvalidSocket);
  std::uint16_t again = 0;
  EXPECT_EQ(netio::Listen("127.0.0.1", port, &again), netio::kInvalidSocket) << "port is taken";
  netio::Close(accepted);
  netio::Close(client);
  netio::Close(listener);
  EXPECT_EQ(netio::Connect("127.0.0.1", port), netio::kInvalidSocket) << "nobody listens any more";
}

TEST(Netio, BadAddressesAreRefused) {
  EXPECT_EQ(netio::Listen("not-an-ip", 0), netio::kInvalidSocket);
  EXPECT_EQ(netio::Connect("256.1.1.1", 1), netio::kInvalidSocket);
}

} // namespace
