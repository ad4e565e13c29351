// kelsrv's engine in-process, spoken to over real loopback sockets.
#include "server.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "protocol.h"
#include "raw_client.h"

namespace kelsrv_test {
namespace {

using kelsrv::Misbehaviour;

class KelsrvServer : public ::testing::Test {
protected:
    void StartServer(Misbehaviour mode = Misbehaviour::None, std::uint32_t closeAfter = 0,
                     const std::string &description = "unit test server") {
        kelsrv::Options options;
        options.port = 0;
        options.serverId = 0x53ABCDEFu;
        options.serverVersion = 0x01020304u;
        options.description = description;
        options.logonData = 0x5A;
        options.misbehaviour = mode;
        options.closeAfterBytes = closeAfter;
        std::string error;
        for (const char *entry : {"alice:secret", "bob:pw:second", "carol:pw::0x00040001",
                                  "eightchr:1\xFF\x01"
                                  "45678"}) {
            options.users.emplace_back();
            ASSERT_TRUE(kelsrv::ParseUserSpec(entry, &options.users.back(), &error)) << error;
        }
        server_ = std::make_unique<kelsrv::Server>();
        ASSERT_TRUE(server_->Start(options, &error)) << error;
    }

    std::unique_ptr<kelsrv::Server> server_;
};

// Sends each request and expects exactly these bytes back (none: no reply).
void Converse(RawClient *client, const std::vector<std::pair<Bytes, Bytes>> &steps) {
    for (std::size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(client->Ask(steps[i].first, steps[i].second), steps[i].second) << "step " << i;
}

Bytes IdentBlock(std::uint8_t marker, const std::string &text = "unit test server", std::size_t size = 88) {
    Bytes block = Concat({marker, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03, 0x04}, Bytes(text.begin(), text.end()));
    block.resize(size, 0);
    return block;
}

const Bytes kIdentifyReply = Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 88), IdentBlock(0x53));
const Bytes kLogonAccepted = Concat(FrameBytes(KEL_RSP_LOGON, 0, 1), {0x5A});

TEST_F(KelsrvServer, LogonUnscramblesPasswordsAndChecksThemAgainstTheUsers) {
    StartServer();
    struct Case {
        const char *user, *password, *password2;
        std::uint32_t code;
    } const cases[] = {
        {"alice", "secret", "", 0},
        {"dave", "secret", "", kelsrv::kRcUnknownUser},
        {"Alice", "secret", "", kelsrv::kRcUnknownUser},
        {"alice", "secreT", "", kelsrv::kRcWrongPassword},
        {"alice", "", "", kelsrv::kRcWrongPassword},
        {"bob", "pw", "second", 0},
        {"bob", "pw", "", kelsrv::kRcWrongPassword2},
        {"bob", "pw", "secone", kelsrv::kRcWrongPassword2},
        {"bob", "wrong", "second", kelsrv::kRcWrongPassword},
        {"alice", "secret", "x", kelsrv::kRcWrongPassword2},
        {"", "secret", "", kelsrv::kRcEmptyUser},
        {"carol", "pw", "", 0x00040001u},
        {"eightchr",
         "1\xFF\x01"
         "45678",
         "", 0},
        {"eightchr",
         "1\xFF\x01"
         "4567",
         "", kelsrv::kRcWrongPassword},
    };
    // All on one connection: after a refusal the next logon may succeed.
    RawClient client(server_->Port());
    Converse(&client, {{IdentifyRequest(), kIdentifyReply}});
    for (const Case &c : cases) {
        const Bytes expected = c.code ? FrameBytes(KEL_RSP_LOGON, c.code) : kLogonAccepted;
        EXPECT_EQ(client.Ask(client.LogonRequest(c.user, c.password, c.password2), expected), expected)
            << c.user << "/" << c.password << "/" << c.password2;
    }
}

TEST_F(KelsrvServer, SessionAnswersEveryRequestInStep) {
    StartServer();
    using kelsrv::kCmdEcho, kelsrv::kRspEcho, kelsrv::kCmdChatty, kelsrv::kRspChatty;
    Bytes big(100000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    auto chatty = [](std::uint32_t dataLen,
                     std::uint32_t rounds) {  // note with data 0, 1, 2 ..., ignore; reply
        Bytes out;
        for (std::uint32_t round = 1; round <= rounds; ++round) {
            out = Concat(out, FrameBytes(kelsrv::kNoteFrame, 0, dataLen, round));
            for (std::uint32_t i = 0; i < dataLen; ++i) out.push_back(static_cast<std::uint8_t>(i));
            out = Concat(out, FrameBytes(KEL_CMD_IGNORE, 0, 0, round));
        }
        return Concat(out, FrameBytes(kRspChatty, 0, 0, rounds));
    };
    RawClient client(server_->Port());
    Converse(
        &client,
        {
            {Request(KEL_CMD_IDENTIFY, Bytes(87, 1)), FrameBytes(KEL_RSP_IDENTIFY, kelsrv::kRcBadRequest)},
            {IdentifyRequest(), kIdentifyReply},
            {Request(KEL_CMD_LOGON, Bytes(42, 1)), FrameBytes(KEL_RSP_LOGON, kelsrv::kRcBadRequest)},
            {Request(kCmdEcho, {1, 2}), FrameBytes(kRspEcho, kelsrv::kRcNotLoggedOn)},
            {client.LogonRequest("alice", "nope"), FrameBytes(KEL_RSP_LOGON, 0x00010002u)},
            {Request(kCmdChatty), FrameBytes(kRspChatty, kelsrv::kRcNotLoggedOn)},
            {client.LogonRequest("alice", "secret"), kLogonAccepted},
            {Request(0x80001234u, Bytes(300, 1)), FrameBytes(0x40001234u, kelsrv::kRcUnknownCommand)},
            {Request(KEL_CMD_IGNORE), {}},
            {Concat(FrameBytes(kCmdEcho, 0, 3, 0x11111111, 0x33333333, 0xA0), {7, 8, 9}),
             Concat(FrameBytes(kRspEcho, 0, 3, 0x11111111, 0x33333333, 0xA0), {7, 8, 9})},
            {Request(kCmdEcho, big), Concat(FrameBytes(kRspEcho, 0, 100000), big)},
            {Request(kCmdEcho), FrameBytes(kRspEcho)},
            {FrameBytes(kCmdChatty, 0, 0, 5, 2), chatty(5, 2)},
            {Request(kCmdChatty), chatty(300, 1)},
            {Request(KEL_CMD_DISCONNECT), FrameBytes(KEL_RSP_DISCONNECT)},
        });
    EXPECT_TRUE(client.AtEnd());
}

TEST_F(KelsrvServer, EachMisbehaviourChangesOnlyItsPartOfTheReplies) {
    const Bytes noSkip{0x20, 0, 0, 2, 0x10};
    const std::string full(80, 'd');
    struct Case {
        Misbehaviour mode;
        std::uint32_t closeAfter;
        Bytes identify, logon;  // an empty logon: the server has closed instead
        std::string description = "unit test server";
    } const cases[] = {
        {Misbehaviour::None, 0, Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 88), IdentBlock(0x53, full)),
         kLogonAccepted, full},
        {Misbehaviour::WrongMarker, 0, Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 88), IdentBlock(0x43)),
         kLogonAccepted},
        {Misbehaviour::IdentifyRetCode, 0,
         Concat(FrameBytes(KEL_RSP_IDENTIFY, 0x00010001u, 88), IdentBlock(0x53)), kLogonAccepted},
        {Misbehaviour::IdentifyLength, 0,
         Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 80), IdentBlock(0x53, "unit test server", 80)),
         kLogonAccepted},
        {Misbehaviour::LogonLength, 0, kIdentifyReply, Concat(FrameBytes(KEL_RSP_LOGON, 0, 2), {0x5A, 0})},
        {Misbehaviour::NoSkip, 0, Concat(noSkip, kIdentifyReply), Concat(noSkip, kLogonAccepted)},
        {Misbehaviour::CloseAfter, 0, {}, {}},
        {Misbehaviour::CloseAfter, 20, Bytes(kIdentifyReply.begin(), kIdentifyReply.begin() + 20), {}},
        {Misbehaviour::CloseAfter, 97, kIdentifyReply, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode) * 1000 + static_cast<int>(c.closeAfter));
        StartServer(c.mode, c.closeAfter, c.description);
        RawClient client(server_->Port());
        Converse(&client, {{IdentifyRequest(), c.identify}});
        if (c.logon.empty())
            EXPECT_TRUE(client.AtEnd());
        else
            Converse(&client, {{client.LogonRequest("alice", "secret"), c.logon}});
    }
}

TEST_F(KelsrvServer, ManyClientsAreServedAtOnce) {
    StartServer();
    // Every step goes round all the connections: a server serving one client
    // at a time would never answer the second.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 24; ++i) clients.push_back(std::make_unique<RawClient>(server_->Port()));
    for (auto &client : clients) Converse(client.get(), {{IdentifyRequest(), kIdentifyReply}});
    for (auto &client : clients)
        Converse(client.get(), {{client->LogonRequest("alice", "secret"), kLogonAccepted}});
    for (std::size_t i = 0; i < clients.size(); ++i)
        ASSERT_TRUE(clients[i]->Send(Request(kelsrv::kCmdEcho, Bytes(i + 1, static_cast<std::uint8_t>(i)))));
    for (std::size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(clients[i]->Read(9 + i + 1),
                  Concat(FrameBytes(kelsrv::kRspEcho, 0, static_cast<std::uint32_t>(i + 1)),
                         Bytes(i + 1, static_cast<std::uint8_t>(i))));
    EXPECT_EQ(server_->ConnectionsAccepted(), 24u);
}

TEST_F(KelsrvServer, StopCutsOpenConnectionsAndAStartedServerCannotStartAgain) {
    StartServer();
    RawClient idle(server_->Port()), midRequest(server_->Port());
    Converse(&midRequest, {{IdentifyRequest(), kIdentifyReply},
                           {midRequest.LogonRequest("alice", "secret"), kLogonAccepted}});
    ASSERT_TRUE(midRequest.Send({0x80, 0, 1, 0, 0x08, 0, 0, 0}));  // a frame that never completes
    kelsrv::Options clash;
    clash.port = server_->Port();
    std::string error;
    EXPECT_FALSE(server_->Start(clash, &error));
    EXPECT_FALSE(kelsrv::Server().Start(clash, &error));
    EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
    server_->Stop();
    EXPECT_TRUE(idle.AtEnd());
    EXPECT_TRUE(midRequest.AtEnd());
    RawClient late(server_->Port());
    EXPECT_FALSE(late.Connected() && !late.AtEnd()) << "a stopped server must not serve";
}

}  // namespace
}  // namespace kelsrv_test
