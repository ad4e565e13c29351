// kelsrv's engine in-process, spoken to over real loopback sockets.
#include "server.h"

#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "protocol.h"
#include "raw_client.h"

namespace kelsrv_test {
namespace {

using kelsrv::Misbehaviour;

Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class KelsrvServer : public ::testing::Test {
protected:
  kelsrv::Options BaseOptions() {
    kelsrv::Options options;
    options.port = 0;
    options.serverId = 0x53ABCDEFu;
    options.serverVersion = 0x01020304u;
    options.description = "unit test server";
    options.logonData = 0x5A;
    std::string error;
    for (const char *entry : {"alice:secret", "bob:pw:second", "carol:pw::0x00040001", "eightchr:12345678"}) {
      kelsrv::User user;
      EXPECT_TRUE(kelsrv::ParseUserSpec(entry, &user, &error)) << error;
      options.users.push_back(user);
    }
    options.log = [this](const std::string &line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.push_back(line);
    };
    return options;
  }

  void StartServer(const kelsrv::Options &options) {
    std::string error;
    ASSERT_TRUE(server_.Start(options, &error)) << error;
    ASSERT_NE(server_.Port(), 0);
  }

  void StartServer(Misbehaviour mode = Misbehaviour::None, std::uint32_t closeAfter = 0) {
    kelsrv::Options options = BaseOptions();
    options.misbehaviour = mode;
    options.closeAfterBytes = closeAfter;
    StartServer(options);
  }

  std::unique_ptr<RawClient> Connect() {
    auto client = std::make_unique<RawClient>(server_.Port());
    EXPECT_TRUE(client->Connected());
    return client;
  }

  // A client that has identified and logged on as alice.
  std::unique_ptr<RawClient> LoggedOn() {
    auto client = Connect();
    client->Identify();
    EXPECT_EQ(client->Logon("alice", "secret"), ReplyBytes(KEL_RSP_LOGON, 0, 1));
    return client;
  }

  std::vector<std::string> Log() {
    server_.Stop(); // every session has ended and logged
    return log_;
  }

  // The log outlives the server: sessions still log while it stops.
  std::mutex logMutex_;
  std::vector<std::string> log_;
  kelsrv::Server server_;
};

Bytes ExpectedIdentBlock(std::uint8_t marker) {
  Bytes block{marker, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03, 0x04};
  const std::string text = "unit test server";
  block.insert(block.end(), text.begin(), text.end());
  block.resize(88, 0);
  return block;
}

TEST_F(KelsrvServer, IdentifyReplyIsFrameThenServerBlock) {
  StartServer();
  auto client = Connect();
  ASSERT_TRUE(client->Send(Request(KEL_CMD_IDENTIFY, ClientIdentBlock())));
  EXPECT_EQ(client->Read(9 + 88),
            Concat({0x40, 0, 0, 1, 0x08, 0, 0, 0, 88}, ExpectedIdentBlock(0x53)));
}

TEST_F(KelsrvServer, DescriptionOfEightyBytesFillsTheBlockWithoutNul) {
  kelsrv::Options options = BaseOptions();
  options.description = std::string(80, 'd');
  StartServer(options);
  Bytes block;
  Connect()->Identify(&block);
  ASSERT_EQ(block.size(), 88u);
  EXPECT_EQ(Bytes(block.begin() + 8, block.end()), Bytes(80, 'd'));
}

TEST_F(KelsrvServer, AcceptedLogonRepliesWithTheOptionByte) {
  StartServer();
  for (auto credentials : {std::vector<std::string>{"alice", "secret", ""},
                           std::vector<std::string>{"bob", "pw", "second"},
                           std::vector<std::string>{"eightchr", "12345678", ""}}) {
    auto client = Connect();
    client->Identify();
    Bytes data;
    EXPECT_EQ(client->Logon(credentials[0], credentials[1], credentials[2], &data),
              ReplyBytes(KEL_RSP_LOGON, 0, 1))
        << credentials[0];
    EXPECT_EQ(data, Bytes{0x5A});
  }
}

TEST_F(KelsrvServer, RefusedLogonRepliesWithTheReturnCodeOnly) {
  StartServer();
  struct Case {
    const char *user, *password, *password2;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"dave", "secret", "", kelsrv::kRcUnknownUser},   {"alice", "secreT", "", kelsrv::kRcWrongPassword},
      {"alice", "", "", kelsrv::kRcWrongPassword},      {"bob", "pw", "", kelsrv::kRcWrongPassword2},
      {"bob", "pw", "secone", kelsrv::kRcWrongPassword2}, {"alice", "secret", "x", kelsrv::kRcWrongPassword2},
      {"", "secret", "", kelsrv::kRcEmptyUser},         {"carol", "pw", "", 0x00040001u},
  };
  for (const Case &c : cases) {
    auto client = Connect();
    client->Identify();
    EXPECT_EQ(client->Logon(c.user, c.password, c.password2), ReplyBytes(KEL_RSP_LOGON, c.code))
        << c.user << "/" << c.password << "/" << c.password2;
    // A refused client may still leave properly.
    EXPECT_EQ(client->Exchange(Request(KEL_CMD_DISCONNECT)), ReplyBytes(KEL_RSP_DISCONNECT));
  }
}

TEST_F(KelsrvServer, LogonAfterARefusalCanSucceedOnTheSameConnection) {
  StartServer();
  auto client = Connect();
  client->Identify();
  EXPECT_EQ(client->Logon("alice", "nope"), ReplyBytes(KEL_RSP_LOGON, kelsrv::kRcWrongPassword));
  EXPECT_EQ(client->Logon("alice", "secret"), ReplyBytes(KEL_RSP_LOGON, 0, 1));
}

TEST_F(KelsrvServer, RequestsWithWrongDataLengthAreRefusedAndSkipped) {
  StartServer();
  auto client = Connect();
  EXPECT_EQ(client->Exchange(Request(KEL_CMD_IDENTIFY, Bytes(87, 1))),
            ReplyBytes(KEL_RSP_IDENTIFY, kelsrv::kRcBadRequest));
  EXPECT_EQ(client->Exchange(Request(KEL_CMD_LOGON, Bytes(42, 1))), ReplyBytes(KEL_RSP_LOGON, kelsrv::kRcBadRequest));
  Bytes block;
  EXPECT_EQ(client->Identify(&block), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
  EXPECT_EQ(block, ExpectedIdentBlock(0x53));
}

TEST_F(KelsrvServer, EchoReturnsWordsHighFlagsAndData) {
  StartServer();
  auto client = LoggedOn();
  Bytes request = ReplyBytes(kelsrv::kCmdEcho, 0, 3, 0x11111111, 0x33333333, 0xA0);
  Bytes data;
  EXPECT_EQ(client->Exchange(Concat(request, {7, 8, 9}), &data),
            ReplyBytes(kelsrv::kRspEcho, 0, 3, 0x11111111, 0x33333333, 0xA0));
  EXPECT_EQ(data, (Bytes{7, 8, 9}));
  EXPECT_EQ(client->Exchange(Request(kelsrv::kCmdEcho)), ReplyBytes(kelsrv::kRspEcho));
}

TEST_F(KelsrvServer, EchoOfALargeBlockComesBackWhole) {
  StartServer();
  auto client = LoggedOn();
  Bytes big(100000);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>(i * 7);
  Bytes data;
  EXPECT_EQ(client->Exchange(Request(kelsrv::kCmdEcho, big), &data), ReplyBytes(kelsrv::kRspEcho, 0, 100000));
  EXPECT_EQ(data, big);
}

TEST_F(KelsrvServer, ApplicationCommandsBeforeLogonAreRefused) {
  StartServer();
  auto client = Connect();
  client->Identify();
  EXPECT_EQ(client->Exchange(Request(kelsrv::kCmdEcho, {1, 2})), ReplyBytes(kelsrv::kRspEcho, kelsrv::kRcNotLoggedOn));
  client->Logon("alice", "wrong");
  EXPECT_EQ(client->Exchange(Request(kelsrv::kCmdChatty)), ReplyBytes(kelsrv::kRspChatty, kelsrv::kRcNotLoggedOn));
}

TEST_F(KelsrvServer, ChattySendsNoteAndIgnoreFramesBeforeItsReply) {
  StartServer();
  auto client = LoggedOn();
  Bytes request = ReplyBytes(kelsrv::kCmdChatty, 0, 0, 5, 2);
  ASSERT_TRUE(client->Send(request));
  for (std::uint32_t round = 1; round <= 2; ++round) {
    ASSERT_EQ(client->ReadFrameBytes(), ReplyBytes(kelsrv::kNoteFrame, 0, 5, round)) << round;
    EXPECT_EQ(client->Read(5), (Bytes{0, 1, 2, 3, 4}));
    EXPECT_EQ(client->ReadFrameBytes(), ReplyBytes(KEL_CMD_IGNORE, 0, 0, round)) << round;
  }
  EXPECT_EQ(client->ReadFrameBytes(), ReplyBytes(kelsrv::kRspChatty, 0, 0, 2));
}

TEST_F(KelsrvServer, ChattyDefaultsToOneRoundOfThreeHundredBytes) {
  StartServer();
  auto client = LoggedOn();
  ASSERT_TRUE(client->Send(Request(kelsrv::kCmdChatty)));
  ASSERT_EQ(client->ReadFrameBytes(), ReplyBytes(kelsrv::kNoteFrame, 0, 300, 1));
  Bytes data = client->Read(300);
  ASSERT_EQ(data.size(), 300u);
  EXPECT_EQ(data[299], 299 & 0xFF);
  EXPECT_EQ(client->ReadFrameBytes(), ReplyBytes(KEL_CMD_IGNORE, 0, 0, 1));
  EXPECT_EQ(client->ReadFrameBytes(), ReplyBytes(kelsrv::kRspChatty, 0, 0, 1));
}

TEST_F(KelsrvServer, UnknownCommandGetsItsReplyCodeWithAReturnCode) {
  StartServer();
  auto client = LoggedOn();
  EXPECT_EQ(client->Exchange(Request(0x80001234u, Bytes(300, 1))),
            ReplyBytes(0x40001234u, kelsrv::kRcUnknownCommand));
  // The request's data was skipped: the stream is still in step.
  EXPECT_EQ(client->Exchange(Request(kelsrv::kCmdEcho, {4})), ReplyBytes(kelsrv::kRspEcho, 0, 1));
}

TEST_F(KelsrvServer, IgnoreFromTheClientGetsNoReply) {
  StartServer();
  auto client = LoggedOn();
  ASSERT_TRUE(client->Send(Request(KEL_CMD_IGNORE)));
  EXPECT_EQ(client->Exchange(Request(kelsrv::kCmdEcho)), ReplyBytes(kelsrv::kRspEcho));
}

TEST_F(KelsrvServer, DisconnectIsAnsweredAndTheConnectionClosed) {
  StartServer();
  auto client = LoggedOn();
  ASSERT_TRUE(client->Send(Request(KEL_CMD_DISCONNECT)));
  EXPECT_EQ(client->Read(5), (Bytes{0x40, 0, 0, 3, 0}));
  EXPECT_TRUE(client->AtEnd());
}

TEST_F(KelsrvServer, WrongMarkerKeepsTheLowBits) {
  StartServer(Misbehaviour::WrongMarker);
  Bytes block;
  EXPECT_EQ(Connect()->Identify(&block), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
  EXPECT_EQ(block, ExpectedIdentBlock(0x43));
}

TEST_F(KelsrvServer, IdentifyRetCodeMisbehaviour) {
  StartServer(Misbehaviour::IdentifyRetCode);
  Bytes block;
  EXPECT_EQ(Connect()->Identify(&block), ReplyBytes(KEL_RSP_IDENTIFY, 0x00010001u, 88));
  EXPECT_EQ(block, ExpectedIdentBlock(0x53));
}

TEST_F(KelsrvServer, IdentifyLengthMisbehaviourSendsWhatItAnnounces) {
  StartServer(Misbehaviour::IdentifyLength);
  auto client = Connect();
  Bytes block;
  EXPECT_EQ(client->Identify(&block), ReplyBytes(KEL_RSP_IDENTIFY, 0, 80));
  Bytes expected = ExpectedIdentBlock(0x53);
  expected.resize(80);
  EXPECT_EQ(block, expected);
  EXPECT_EQ(client->Logon("alice", "secret"), ReplyBytes(KEL_RSP_LOGON, 0, 1));
}

TEST_F(KelsrvServer, LogonLengthMisbehaviourSendsTwoBytes) {
  StartServer(Misbehaviour::LogonLength);
  auto client = Connect();
  client->Identify();
  Bytes data;
  EXPECT_EQ(client->Logon("alice", "secret", "", &data), ReplyBytes(KEL_RSP_LOGON, 0, 2));
  EXPECT_EQ(data, (Bytes{0x5A, 0}));
  // Refusals are unchanged by it.
  EXPECT_EQ(client->Logon("alice", "nope"), ReplyBytes(KEL_RSP_LOGON, kelsrv::kRcWrongPassword));
}

TEST_F(KelsrvServer, NoSkipFramePrecedesEveryReply) {
  StartServer(Misbehaviour::NoSkip);
  auto client = Connect();
  const Bytes noSkip{0x20, 0, 0, 2, 0x10};
  ASSERT_TRUE(client->Send(Request(KEL_CMD_IDENTIFY, ClientIdentBlock())));
  EXPECT_EQ(client->ReadFrameBytes(), noSkip);
  EXPECT_EQ(client->ReadFrameBytes(), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
  EXPECT_EQ(client->Read(88), ExpectedIdentBlock(0x53));
  EXPECT_EQ(client->Exchange(Request(KEL_CMD_DISCONNECT)), noSkip);
  EXPECT_EQ(client->ReadFrameBytes(), ReplyBytes(KEL_RSP_DISCONNECT));
}

TEST_F(KelsrvServer, CloseAfterCutsInsideTheIdentifyReply) {
  StartServer(Misbehaviour::CloseAfter, 20);
  auto client = Connect();
  ASSERT_TRUE(client->Send(Request(KEL_CMD_IDENTIFY, ClientIdentBlock())));
  Bytes expected = Concat(ReplyBytes(KEL_RSP_IDENTIFY, 0, 88), ExpectedIdentBlock(0x53));
  expected.resize(20);
  EXPECT_EQ(client->Read(97), expected);
}

TEST_F(KelsrvServer, CloseAfterAtAReplyBoundaryClosesBeforeTheNext) {
  StartServer(Misbehaviour::CloseAfter, 97);
  auto client = Connect();
  Bytes block;
  EXPECT_EQ(client->Identify(&block), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
  EXPECT_EQ(block.size(), 88u);
  EXPECT_TRUE(client->AtEnd());
}

TEST_F(KelsrvServer, CloseAfterZeroClosesAtTheFirstReply) {
  StartServer(Misbehaviour::CloseAfter, 0);
  auto client = Connect();
  ASSERT_TRUE(client->Send(Request(KEL_CMD_IDENTIFY, ClientIdentBlock())));
  EXPECT_TRUE(client->AtEnd());
}

TEST_F(KelsrvServer, ManyClientsAreServedAtOnce) {
  StartServer();
  // All connections stand before any is served further, and each step goes
  // round all of them: a server that served one client at a time would
  // never answer the second.
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 24; ++i)
    clients.push_back(Connect());
  for (auto &client : clients)
    ASSERT_EQ(client->Identify(), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
  for (auto &client : clients)
    ASSERT_EQ(client->Logon("alice", "secret"), ReplyBytes(KEL_RSP_LOGON, 0, 1));
  for (std::size_t i = 0; i < clients.size(); ++i)
    ASSERT_TRUE(clients[i]->Send(Request(kelsrv::kCmdEcho, Bytes(i + 1, static_cast<std::uint8_t>(i)))));
  for (std::size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(clients[i]->ReadFrameBytes(), ReplyBytes(kelsrv::kRspEcho, 0, static_cast<std::uint32_t>(i + 1)));
    EXPECT_EQ(clients[i]->Read(i + 1), Bytes(i + 1, static_cast<std::uint8_t>(i)));
  }
  EXPECT_EQ(server_.ConnectionsAccepted(), 24u);
}

TEST_F(KelsrvServer, StopCutsIdleConnectionsAndReturns) {
  StartServer();
  auto idle = Connect();
  auto midRequest = LoggedOn();
  ASSERT_TRUE(midRequest->Send({0x80, 0, 1, 0, 0x08, 0, 0, 0})); // a frame that never completes
  server_.Stop();
  EXPECT_TRUE(idle->AtEnd());
  EXPECT_TRUE(midRequest->AtEnd());
  RawClient late(server_.Port());
  EXPECT_FALSE(late.Connected() && !late.AtEnd()) << "a stopped server must not serve";
}

TEST_F(KelsrvServer, LogsOneLinePerConnectionEvent) {
  StartServer();
  {
    auto client = Connect();
    client->Identify();
    client->Logon("alice", "nope");
    client->Logon("alice", "secret");
    client->Exchange(Request(KEL_CMD_DISCONNECT));
  }
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].rfind("connection 1: opened from 127.0.0.1:", 0), 0u) << log[0];
  EXPECT_EQ(log[1], "connection 1: identified as 0x53ABCDEF");
  EXPECT_EQ(log[2], "connection 1: logon of 'alice' refused with 0x00010002");
  EXPECT_EQ(log[3], "connection 1: logon of 'alice' accepted");
  EXPECT_EQ(log[4], "connection 1: disconnected");
}

TEST_F(KelsrvServer, SecondStartAndPortInUseFail) {
  StartServer();
  std::string error;
  EXPECT_FALSE(server_.Start(BaseOptions(), &error));
  kelsrv::Options clash = BaseOptions();
  clash.port = server_.Port();
  kelsrv::Server other;
  EXPECT_FALSE(other.Start(clash, &error));
  EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
}

} // namespace
} // namespace kelsrv_test
