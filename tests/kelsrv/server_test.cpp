// kelsrv's engine in-process, spoken to over real loopback sockets by a
// client without the client library: the tests build every byte themselves,
// independently of the server's coder.
#include "server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "netio.h"
#include "protocol.h"
#include "raw_client.h"
#include "wire.h"

namespace kelsrv_test {
namespace {

using kelsrv::Misbehaviour;

class KelsrvServer : public ::testing::Test {
protected:
    // Four users, a fixed identity and a log the test can read.
    kelsrv::Options BaseOptions() {
        kelsrv::Options options;
        options.port = 0;
        options.serverId = 0x53ABCDEFu;
        options.serverVersion = 0x01020304u;
        options.description = "unit test server";
        options.logonData = 0x5A;
        std::string error;
        for (const char *entry :
             {"alice:secret", "bob:pw:second", "carol:pw::0x00040001", "eightchr:1\377\00145678"}) {
            options.users.emplace_back();
            EXPECT_TRUE(kelsrv::ParseUserOption(entry, &options.users.back(), &error)) << error;
        }
        options.log = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
        return options;
    }
    void StartServer(const kelsrv::Options &options, kelsrv::ThreadStarter starter = {}) {
        server_ = std::make_unique<kelsrv::Server>(std::move(starter));
        std::string error;
        ASSERT_TRUE(server_->Start(options, &error)) << error;
    }
    // The log lines that contain part.
    std::vector<std::string> LogLines(const std::string &part) {
        std::lock_guard<std::mutex> lock(logMutex_);
        std::vector<std::string> found;
        for (const std::string &line : log_)
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    // Waits until the server has ended all but open sessions; false after 10 s.
    bool WaitForOpenConnections(std::size_t open) {
        for (int i = 0; i < 2000 && server_->ConnectionsOpen() != open; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return server_->ConnectionsOpen() == open;
    }
    // A client that has identified, and logged on as alice when asked.
    std::unique_ptr<RawClient> Client(bool logOn = false) {
        auto client = std::make_unique<RawClient>(server_->Port());
        Converse(client.get(), {{IdentifyRequest(), kIdentifyReply}});
        if (logOn) Converse(client.get(), {{client->LogonRequest("alice", "secret"), kLogonAccepted}});
        return client;
    }

    static Bytes IdentBlock(std::uint8_t marker, const std::string &text = "unit test server",
                            std::size_t size = 88) {
        Bytes block =
            Concat({marker, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03, 0x04}, Bytes(text.begin(), text.end()));
        block.resize(size, 0);
        return block;
    }
    // Sends each request and expects exactly these bytes back (none: no reply).
    static void Converse(RawClient *client, const std::vector<std::pair<Bytes, Bytes>> &steps) {
        for (std::size_t i = 0; i < steps.size(); ++i)
            EXPECT_EQ(client->Ask(steps[i].first, steps[i].second), steps[i].second) << "step " << i;
    }
    const Bytes kIdentifyReply = Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 88), IdentBlock(0x53));
    const Bytes kLogonAccepted = Concat(FrameBytes(KEL_RSP_LOGON, 0, 1), {0x5A});

    std::mutex logMutex_;
    std::vector<std::string> log_;
    std::unique_ptr<kelsrv::Server> server_;  // last: stopped before the log goes
};

TEST_F(KelsrvServer, LogonUnscramblesPasswordsAndChecksThemAgainstTheUsers) {
    StartServer(BaseOptions());
    const struct {
        const char *user, *password, *password2;
        std::uint32_t code;
    } cases[] = {
        {"alice", "secret", "", 0},
        {"dave", "secret", "", kelsrv::kRcUnknownUser},
        {"Alice", "secret", "", kelsrv::kRcUnknownUser},
        {"alice", "secreT", "", kelsrv::kRcWrongPassword},
        {"bob", "pw", "second", 0},
        {"bob", "pw", "", kelsrv::kRcWrongPassword2},
        {"bob", "pw", "secone", kelsrv::kRcWrongPassword2},
        {"bob", "wrong", "second", kelsrv::kRcWrongPassword},
        {"alice", "secret", "x", kelsrv::kRcWrongPassword2},
        {"", "secret", "", kelsrv::kRcEmptyUser},
        {"carol", "pw", "", 0x00040001u},
        {"eightchr", "1\377\00145678", "", 0},
        {"eightchr", "1\377\0014567", "", kelsrv::kRcWrongPassword},
    };
    // All on one connection: after a refusal the next logon may succeed.
    auto client = Client();
    for (const auto &c : cases) {
        const Bytes expected = c.code ? FrameBytes(KEL_RSP_LOGON, c.code) : kLogonAccepted;
        EXPECT_EQ(client->Ask(client->LogonRequest(c.user, c.password, c.password2), expected), expected)
            << c.user << "/" << c.password << "/" << c.password2;
    }
}

TEST_F(KelsrvServer, SessionAnswersEveryRequestInStep) {
    StartServer(BaseOptions());
    using kelsrv::kCmdEcho, kelsrv::kRspEcho, kelsrv::kCmdChatty, kelsrv::kRspChatty, kelsrv::kRcBadRequest;
    Bytes big(kelsrv::kMaxEchoDataLen);  // the largest echo that comes back
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    // Each round a note with data 0, 1, 2 ... and an ignore frame; then the reply.
    auto chatty = [](std::uint32_t dataLen, std::uint32_t rounds) {
        Bytes out;
        for (std::uint32_t round = 1; round <= rounds; ++round) {
            out = Concat(out, FrameBytes(kelsrv::kNoteFrame, 0, dataLen, round));
            for (std::uint32_t i = 0; i < dataLen; ++i) out.push_back(static_cast<std::uint8_t>(i));
            out = Concat(out, FrameBytes(KEL_CMD_IGNORE, 0, 0, round));
        }
        return Concat(out, FrameBytes(kRspChatty, 0, 0, rounds));
    };
    RawClient client(server_->Port());
    Converse(&client,
             {
                 {Request(KEL_CMD_IDENTIFY, Bytes(87, 1)), FrameBytes(KEL_RSP_IDENTIFY, kRcBadRequest)},
                 {IdentifyRequest(), kIdentifyReply},
                 {Request(KEL_CMD_LOGON, Bytes(42, 1)), FrameBytes(KEL_RSP_LOGON, kRcBadRequest)},
                 {Request(kCmdEcho, {1, 2}), FrameBytes(kRspEcho, kelsrv::kRcNotLoggedOn)},
                 {client.LogonRequest("alice", "nope"), FrameBytes(KEL_RSP_LOGON, 0x00010002u)},
                 {Request(kCmdChatty), FrameBytes(kRspChatty, kelsrv::kRcNotLoggedOn)},
                 {client.LogonRequest("alice", "secret"), kLogonAccepted},
                 {Request(0x80001234u, Bytes(300, 1)), FrameBytes(0x40001234u, kelsrv::kRcUnknownCommand)},
                 {Request(KEL_CMD_IGNORE), {}},
                 {Concat(FrameBytes(kCmdEcho, 0, 3, 0x11111111, 0x33333333, 0xA0), {7, 8, 9}),
                  Concat(FrameBytes(kRspEcho, 0, 3, 0x11111111, 0x33333333, 0xA0), {7, 8, 9})},
                 {Request(kCmdEcho, big), Concat(FrameBytes(kRspEcho, 0, kelsrv::kMaxEchoDataLen), big)},
                 {Request(kCmdEcho, Concat(big, {0})), FrameBytes(kRspEcho, kRcBadRequest)},
                 {Request(kCmdEcho), FrameBytes(kRspEcho)},
                 {FrameBytes(kCmdChatty, 0, 0, 5, 2), chatty(5, 2)},
                 {Request(kCmdChatty), chatty(300, 1)},
                 {FrameBytes(kCmdChatty, 0, 0, 1, 101), FrameBytes(kRspChatty, kRcBadRequest)},
                 {Request(KEL_CMD_DISCONNECT), FrameBytes(KEL_RSP_DISCONNECT)},
             });
    EXPECT_TRUE(client.AtEnd());
}

TEST_F(KelsrvServer, EachMisbehaviourChangesOnlyItsPartOfTheReplies) {
    const Bytes noSkip{0x20, 0, 0, 2, 0x10};
    const std::string full(80, 'd');
    const struct {
        Misbehaviour mode;
        std::uint32_t closeAfter;
        Bytes identify, logon;  // an empty logon: the server has closed instead
        std::string description = "unit test server";
    } cases[] = {
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
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode) * 1000 + static_cast<int>(c.closeAfter));
        kelsrv::Options options = BaseOptions();
        options.misbehaviour = c.mode;
        options.closeAfterBytes = c.closeAfter;
        options.description = c.description;
        StartServer(options);
        RawClient client(server_->Port());
        Converse(&client, {{IdentifyRequest(), c.identify}});
        if (c.logon.empty())
            EXPECT_TRUE(client.AtEnd());
        else
            Converse(&client, {{client.LogonRequest("alice", "secret"), c.logon}});
    }
}

TEST_F(KelsrvServer, StopCutsOpenConnectionsAndAStartedServerCannotStartAgain) {
    StartServer(BaseOptions());
    RawClient idle(server_->Port());
    auto midRequest = Client(true);
    ASSERT_TRUE(midRequest->Send({0x80, 0, 1, 0, 0x08, 0, 0, 0}));  // a frame that never completes
    kelsrv::Options clash;
    clash.port = server_->Port();
    std::string error;
    EXPECT_FALSE(server_->Start(clash, &error));
    EXPECT_EQ(error, "server already started");
    server_->Stop();
    EXPECT_TRUE(idle.AtEnd());
    EXPECT_TRUE(midRequest->AtEnd());
    RawClient late(server_->Port());
    EXPECT_FALSE(late.Connected() && !late.AtEnd()) << "a stopped server must not serve";
}

// The escaping itself is KelsrvLog's; here: the session uses it for what a
// client sends, and no log line holds anything but printable ASCII.
TEST_F(KelsrvServer, ClientTextIsEscapedInTheLogAndCannotForgeALine) {
    StartServer(BaseOptions());
    auto client = Client();
    Converse(client.get(), {{client->LogonRequest("a\nb\x1b\xc3'\\", "pw"),
                             FrameBytes(KEL_RSP_LOGON, kelsrv::kRcUnknownUser)}});
    server_->Stop();
    EXPECT_EQ(
        LogLines("logon of"),
        std::vector<std::string>{"connection 1: logon of 'a\\nb\\x1b\\xc3\\'\\\\' refused with 0x00010001"});
    for (const std::string &line : LogLines(""))
        for (char ch : line) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << line;
}

TEST_F(KelsrvServer, ConnectionsBeyondMaxClientsAreClosedWithOneLineEachUntilOneEnds) {
    kelsrv::Options options = BaseOptions();
    options.maxClients = 2;
    StartServer(options);
    auto first = Client(), second = Client();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(RawClient(server_->Port()).AtEnd()) << i;
    EXPECT_EQ(server_->ConnectionsRefused(), 3u);
    EXPECT_EQ(LogLines(": 2 clients are served (--max-clients)").size(), 3u);
    EXPECT_EQ(LogLines("refused a connection from 127.0.0.1:").size(), 3u);
    first.reset();
    ASSERT_TRUE(WaitForOpenConnections(1));
    Client();
    EXPECT_EQ(server_->ConnectionsAccepted(), 3u);
}

TEST_F(KelsrvServer, IdleTimeoutClosesAConnectionThatSendsOrTakesNothing) {
    kelsrv::Options options = BaseOptions();
    options.idleTimeout = std::chrono::milliseconds(200);
    StartServer(options);
    // Quiet between requests, inside a frame, inside the data of one.
    for (const Bytes &partial : {Bytes{}, Bytes{0x80, 0, 0}, Bytes{0x80, 0, 0, 2, 0x08, 0, 0, 0, 41, 'a'}}) {
        auto client = Client();
        ASSERT_TRUE(client->Send(partial));
        EXPECT_TRUE(client->AtEnd()) << partial.size();
    }
    EXPECT_EQ(LogLines("no byte for 200 ms: closed").size(), 3u);
    // A client that asks for 100 MiB of notes and reads none of them.
    auto greedy = Client(true);
    ASSERT_TRUE(greedy->Send(FrameBytes(kelsrv::kCmdChatty, 0, 0, kelsrv::kChattyMaxDataLen, 100)));
    EXPECT_TRUE(WaitForOpenConnections(0));
    EXPECT_EQ(LogLines("took no byte of a reply for 200 ms: closed").size(), 1u);
}

TEST_F(KelsrvServer, AConnectionThatGetsNoThreadIsClosedAndTheOthersAreServed) {
    // The accepting thread starts first; the second and third connections get none.
    std::atomic<int> starts{0};
    StartServer(BaseOptions(), [&starts](kelsrv::Thread *thread, std::function<void()> body,
                                         std::size_t stack, std::string *error) {
        const int start = ++starts;
        if (start == 3 || start == 4) return *error = "out of memory (test)", false;
        return thread->Start(std::move(body), stack, error);
    });
    auto first = Client();
    EXPECT_TRUE(RawClient(server_->Port()).AtEnd());
    EXPECT_TRUE(RawClient(server_->Port()).AtEnd());
    Client(true);
    Converse(first.get(), {{first->LogonRequest("alice", "secret"), kLogonAccepted}});
    server_->Stop();
    EXPECT_EQ(server_->ConnectionsAccepted(), 2u);
    // One line at once, the second failure counted into one more (here at the stop).
    const std::vector<std::string> lines = LogLines("starting a connection thread failed");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "starting a connection thread failed 1 time: out of memory (test)");
    EXPECT_NE(lines[1].find("failed 1 time in "), std::string::npos) << lines[1];

    kelsrv::Server noThreads([](kelsrv::Thread *, std::function<void()>, std::size_t, std::string *error) {
        return *error = "out of memory (test)", false;
    });
    std::string error;
    EXPECT_FALSE(noThreads.Start(BaseOptions(), &error));
    EXPECT_EQ(error, "cannot start the thread that accepts connections: out of memory (test)");
    EXPECT_EQ(noThreads.Port(), 0);
}

// Every client connects at the same moment and holds its connection until all
// have logged on, so that a server serving one client at a time fails (each
// receive gives up after 10 s); then each makes fifty exchanges. The tsan
// preset runs this too: the server's threads must not race.
TEST_F(KelsrvServer, TwoHundredClientsAtOnceMakeFiftyExchangesEach) {
    StartServer(BaseOptions());
    constexpr int kClients = 200, kExchanges = 50;
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    auto allArrive = [&](int stage) {  // waits for every client at this stage
        std::unique_lock<std::mutex> lock(mutex);
        ++arrived;
        changed.notify_all();
        changed.wait(lock, [&] { return arrived >= stage * kClients; });
    };
    std::atomic<int> failed{0};
    auto run = [&](int id) {
        allArrive(1);
        RawClient client(server_->Port());
        bool ok = client.Ask(IdentifyRequest(), kIdentifyReply) == kIdentifyReply &&
                  client.Ask(client.LogonRequest("alice", "secret"), kLogonAccepted) == kLogonAccepted;
        allArrive(2);
        for (int round = 1; ok && round <= kExchanges; ++round) {
            const Bytes data((id * 7 + round) % 300, static_cast<std::uint8_t>(id ^ round));
            const auto len = static_cast<std::uint32_t>(data.size());
            const Bytes reply = Concat(FrameBytes(kelsrv::kRspEcho, 0, len, round), data);
            ok = client.Ask(Concat(FrameBytes(kelsrv::kCmdEcho, 0, len, round), data), reply) == reply;
        }
        const Bytes bye = FrameBytes(KEL_RSP_DISCONNECT);
        if (!ok || client.Ask(Request(KEL_CMD_DISCONNECT), bye) != bye || !client.AtEnd()) ++failed;
    };
    std::vector<std::thread> clients;
    for (int id = 0; id < kClients; ++id) clients.emplace_back(run, id);
    for (std::thread &client : clients) client.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(server_->ConnectionsAccepted(), static_cast<unsigned long>(kClients));
    EXPECT_TRUE(WaitForOpenConnections(0));
    EXPECT_EQ(LogLines("disconnected").size(), static_cast<std::size_t>(kClients));
}

}  // namespace
}  // namespace kelsrv_test
