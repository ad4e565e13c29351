// The fake server is what the wire tests measure the library against, so
// its own encoding and recording must be right.
#include "fake_server.h"

#include <memory>

#include <gtest/gtest.h>

namespace kel_test {
namespace {

// A client end connected to the fake server.
class Client {
public:
  explicit Client(std::uint16_t port) : socket_(netio::Connect("127.0.0.1", port)) {}
  ~Client() { netio::Close(socket_); }
  bool Send(const Bytes &bytes) { return netio::SendAll(socket_, bytes.data(), bytes.size()); }
  void CloseSending() { netio::ShutdownSend(socket_); }
  // Everything until the server closes.
  Bytes ReadAll() {
    Bytes all;
    std::uint8_t chunk[512];
    long n;
    while ((n = netio::ReceiveSome(socket_, chunk, sizeof chunk)) > 0)
      all.insert(all.end(), chunk, chunk + n);
    return all;
  }
  netio::Socket socket_;
};

TEST(FakeServerFrames, IdentifyRequestEncodesToNineBytes) {
  EXPECT_EQ(EncodeFrame(Frame(KEL_CMD_IDENTIFY, 88)), (Bytes{0x80, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x58}));
}

TEST(FakeServerFrames, WordsFollowInFixedOrderWithTheirBits) {
  KelCommand cmd = Frame(0x01020304, 0x44, 0x22);
  cmd.dwParm1 = 0x11;
  cmd.dwParm3 = 0x33;
  EXPECT_EQ(EncodeFrame(cmd), (Bytes{1, 2, 3, 4, 0x0F, 0, 0, 0, 0x11, 0, 0, 0, 0x22, 0, 0, 0, 0x33, 0, 0, 0, 0x44}));
  KelCommand only3 = Frame(0x40000001);
  only3.dwParm3 = 0xA0B0C0D0;
  EXPECT_EQ(EncodeFrame(only3), (Bytes{0x40, 0, 0, 1, 0x04, 0xA0, 0xB0, 0xC0, 0xD0}));
}

TEST(FakeServerFrames, CallerFlagBitsTravelAndDataFollows) {
  KelCommand cmd = Frame(7, 2);
  cmd.bFlags = KEL_FLAG_NOSKIP | 0x80;
  EXPECT_EQ(EncodeFrame(cmd, {0xAA, 0xBB}), (Bytes{0, 0, 0, 7, 0x98, 0, 0, 0, 2, 0xAA, 0xBB}));
}

TEST(FakeServerFrames, LoopbackIPIsNetworkOrder) {
  std::uint32_t ip = LoopbackIP();
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(&ip);
  EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{127, 0, 0, 1}));
}

TEST(FakeServerScript, RecordsEachReceiveStepAndAnswers) {
  FakeServer server;
  server.Receive(3).ReceiveFrame().SendFrame(Frame(KEL_RSP_DISCONNECT)).Receive(2);
  ASSERT_TRUE(server.Start());
  Client client(server.Port());
  // A frame with flag 0x0A carries two words: 13 bytes.
  ASSERT_TRUE(client.Send({1, 2, 3, 0x40, 0, 0, 2, 0x0A, 0, 0, 0, 5, 0, 0, 0, 1}));
  std::uint8_t reply[5];
  ASSERT_TRUE(netio::ReceiveExact(client.socket_, reply, sizeof reply));
  EXPECT_EQ(Bytes(reply, reply + 5), (Bytes{0x40, 0, 0, 3, 0}));
  ASSERT_TRUE(client.Send({9, 9}));
  ASSERT_TRUE(server.Wait()) << server.Failure();
  ASSERT_EQ(server.ReceivedSteps().size(), 3u);
  EXPECT_EQ(server.ReceivedStep(0), (Bytes{1, 2, 3}));
  EXPECT_EQ(server.ReceivedStep(1), (Bytes{0x40, 0, 0, 2, 0x0A, 0, 0, 0, 5, 0, 0, 0, 1}));
  EXPECT_EQ(server.ReceivedStep(2), (Bytes{9, 9}));
  EXPECT_EQ(server.Received().size(), 18u);
}

TEST(FakeServerScript, PeerClosingEarlyFailsTheStepAndKeepsWhatArrived) {
  FakeServer server;
  server.Receive(5).Send({1});
  ASSERT_TRUE(server.Start());
  Client client(server.Port());
  ASSERT_TRUE(client.Send({7, 8, 9}));
  client.CloseSending();
  EXPECT_FALSE(server.Wait());
  EXPECT_NE(server.Failure().find("3 of 5"), std::string::npos) << server.Failure();
  EXPECT_EQ(server.ReceivedStep(0), (Bytes{7, 8, 9}));
  EXPECT_TRUE(client.ReadAll().empty()) << "steps after a failure must not run";
}

TEST(FakeServerScript, CloseAfterSendingCutsTheStreamAtTheMark) {
  FakeServer server;
  server.CloseAfterSending(6).Send({1, 2, 3, 4}).Send({5, 6, 7, 8}).Send({9});
  ASSERT_TRUE(server.Start());
  Client client(server.Port());
  EXPECT_EQ(client.ReadAll(), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(server.Wait()) << server.Failure();
}

TEST(FakeServerScript, CloseEndsTheScript) {
  FakeServer server;
  server.Send({1}).Close().Send({2});
  ASSERT_TRUE(server.Start());
  Client client(server.Port());
  EXPECT_EQ(client.ReadAll(), (Bytes{1}));
  EXPECT_TRUE(server.Wait()) << server.Failure();
}

TEST(FakeServerScript, ReceiveUntilClosedTakesEverythingLeft) {
  FakeServer server;
  server.Receive(1).ReceiveUntilClosed();
  ASSERT_TRUE(server.Start());
  {
    Client client(server.Port());
    Bytes big(5000, 0x5A);
    big[0] = 1;
    ASSERT_TRUE(client.Send(big));
  }
  ASSERT_TRUE(server.Wait()) << server.Failure();
  EXPECT_EQ(server.ReceivedStep(0), (Bytes{1}));
  EXPECT_EQ(server.ReceivedStep(1), Bytes(4999, 0x5A));
}

TEST(FakeServerScript, DestroyingWithoutAClientOrMidScriptReturns) {
  {
    FakeServer idle;
    idle.Receive(1);
    ASSERT_TRUE(idle.Start());
  }
  std::unique_ptr<Client> client;
  {
    FakeServer waiting;
    waiting.Receive(100);
    ASSERT_TRUE(waiting.Start());
    client = std::make_unique<Client>(waiting.Port());
    ASSERT_TRUE(client->Send({1}));
    // Destroyed with the client still connected: it must cut the blocked
    // receive rather than wait for 99 more bytes.
  }
  EXPECT_TRUE(client->ReadAll().empty());
}

} // namespace
} // namespace kel_test
