// Connect and disconnect: the identify, logon and disconnect exchanges byte
// for byte against a scripted loopback peer and the kelsrv engine, the state
// each failure leaves behind, and the failures only the seam can provoke.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "fake_platform.h"
#include "fake_server.h"
#include "server.h"

namespace {

using kel_test::EncodeFrame;
using kel_test::FakeServer;
using kel_test::Frame;

const uint32_t kServerID = 0x53000001u;
const uint32_t kServerVersion = 0x00020003u;
const uint8_t kLogonByte = 0x5A;

// A server's 88-byte identify block; the description is cut at 80 bytes.
Bytes IdentBlock(uint32_t dwID, uint32_t dwVersion = kServerVersion,
                 const std::string &description = "test host") {
    Bytes block = Concat({BE32(dwID), BE32(dwVersion)});
    block.resize(88, 0);
    std::copy_n(description.begin(), std::min<size_t>(description.size(), 80), block.begin() + 8);
    return block;
}

// What the library sends as its identify request: frame and block.
Bytes ClientIdentifyRequest() {
    static const char kszDescription[] = "Hox/Pym Connector API";
    Bytes block = {0x43, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01};
    block.insert(block.end(), kszDescription, kszDescription + sizeof kszDescription - 1);
    block.resize(88, 0);
    return Concat({Bytes{0x80, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x58}, block});
}

const Bytes kLogonFrame = {0x80, 0x00, 0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x29};
const Bytes kDisconnectFrame = {0x80, 0x00, 0x00, 0x03, 0x00};

// The replies of a host that accepts the client.
Bytes IdentifyReply(uint32_t dwID = kServerID) {
    return EncodeFrame(Frame(KEL_RSP_IDENTIFY, 88), IdentBlock(dwID));
}
Bytes LogonReply() { return EncodeFrame(Frame(KEL_RSP_LOGON, 1), {kLogonByte}); }

// Undoes the scrambling of an 8-byte password field (16 bytes on the wire):
// each pair holds prev ^ r and r ^ byte, prev being the byte before.
Bytes Unscramble(const uint8_t *lpPairs) {
    Bytes plain;
    uint8_t bPrev = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t bRandom = (uint8_t)(lpPairs[2 * i] ^ bPrev);
        bPrev = (uint8_t)(lpPairs[2 * i + 1] ^ bRandom);
        plain.push_back(bPrev);
    }
    return plain;
}

Bytes Field(const std::string &text, size_t nSize) {
    Bytes field(text.begin(), text.end());
    field.resize(nSize, 0);
    return field;
}

// The "module at line:" part of each "Error:" line.
std::vector<std::string> ErrorSites(const TraceCapture &trace) {
    std::vector<std::string> sites;
    for (const std::string &body : trace.Bodies()) {
        size_t nAt = body.find("  Error: ");
        if (nAt != std::string::npos) sites.push_back(body.substr(0, nAt));
    }
    return sites;
}

// ============================================================================
// Over the seam: every send recorded, every receive scripted.

class ConnectSeam : public FakePlatformTest {
  protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", "pass2", &h));
    }
    void TearDown() override {
        if (Con(h)->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        FakePlatformTest::TearDown();
    }
    void ScriptHost(const Bytes &stream) { ScriptReceive(stream, {(int)stream.size()}); }
    std::vector<size_t> SendSizes() const {
        std::vector<size_t> sizes;
        for (const Bytes &send : g_Fake.sends) sizes.push_back(send.size());
        return sizes;
    }
    HKELCONNECTION h = nullptr;
};

TEST_F(ConnectSeam, ConnectSendsTwiceAndDisconnectOnce) {
    ScriptHost(Concat({IdentifyReply(), LogonReply(), EncodeFrame(Frame(KEL_RSP_DISCONNECT))}));
    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ((std::vector<size_t>{97, 50}), SendSizes());
    EXPECT_EQ(ClientIdentifyRequest(), g_Fake.sends[0]);
    EXPECT_EQ(kServerID, Con(h)->dwServerID);
    EXPECT_EQ(kServerVersion, Con(h)->dwServerVersion);
    EXPECT_STREQ("test host", Con(h)->szServerDescription);
    EXPECT_EQ(kLogonByte, Con(h)->bLogonData);
    EXPECT_EQ(0u, Con(h)->dwLock);
    EXPECT_EQ(0u, Con(h)->dwSendLen);

    // Already connected: refused, nothing sent.
    EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelConnect(h));
    EXPECT_EQ(2u, g_Fake.sends.size());

    g_Fake.sends.clear();
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    ASSERT_EQ(std::vector<size_t>{5}, SendSizes());
    EXPECT_EQ(kDisconnectFrame, g_Fake.sends[0]);
    EXPECT_EQ(std::vector<KelSocket>{7}, g_Fake.closed);
    EXPECT_EQ(KEL_INVALID_SOCKET, Con(h)->hSocket);
    // The identity of the last server stays until the next connect.
    EXPECT_EQ(kServerID, Con(h)->dwServerID);
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelDisconnect(h));
}

uint32_t g_dwNextRandom = 0;
uint32_t CountingRandom(void) { return g_dwNextRandom++ * 0x1111u; }

TEST_F(ConnectSeam, EachPasswordIsScrambledWithEightFreshRandomValues) {
    g_KelPlatform.pfnRandom = CountingRandom;
    g_dwNextRandom = 1;
    ScriptHost(Concat({IdentifyReply(), LogonReply()}));
    ASSERT_EQ(KEL_OK, KelConnect(h));
    ASSERT_EQ(2u, g_Fake.sends.size());
    Bytes logon = g_Fake.sends[1];
    ASSERT_EQ(50u, logon.size());
    EXPECT_EQ(kLogonFrame, Bytes(logon.begin(), logon.begin() + 9));
    Bytes expected = Field("user", 9);
    g_dwNextRandom = 1;
    // r is the low byte of 0x1111 * k, k counting on from 1 over both passwords.
    for (const std::string &password : {std::string("pass"), std::string("pass2")}) {
        Bytes plain = Field(password, 8);
        uint8_t bPrev = 0;
        for (uint8_t bPlain : plain) {
            uint8_t bRandom = (uint8_t)CountingRandom();
            expected.push_back((uint8_t)(bPrev ^ bRandom));
            expected.push_back((uint8_t)(bRandom ^ bPlain));
            bPrev = bPlain;
        }
    }
    EXPECT_EQ(expected, Bytes(logon.begin() + 9, logon.end()));
}

TEST_F(ConnectSeam, FailingSocketCreationLeavesTheRecordUnconnected) {
    g_Fake.socketFail.nFailAt = 1;
    EXPECT_EQ(KEL_ERR_SYSTEM, KelConnect(h));
    EXPECT_EQ(KEL_INVALID_SOCKET, Con(h)->hSocket);
    EXPECT_EQ(0u, Con(h)->dwLock);
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelDisconnect(h));
    ScriptHost(Concat({IdentifyReply(), LogonReply()}));
    EXPECT_EQ(KEL_OK, KelConnect(h));
}

TEST_F(ConnectSeam, FailingBindLeavesTheSocketOpenAndTheFlagClear) {
    g_Fake.bindFail.nFailAt = 1;
    EXPECT_EQ(KEL_ERR_SYSTEM, KelConnect(h));
    EXPECT_EQ((KelSocket)7, Con(h)->hSocket);
    EXPECT_TRUE(g_Fake.closed.empty());
    EXPECT_EQ(0u, Con(h)->dwLock);
    EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelConnect(h));
    EXPECT_EQ(KEL_ERR_CONNECTED, KelFreeConnection(h));
    // The disconnect frame cannot be answered on a socket that never connected.
    g_Fake.sendFail.nFailAt = 1;
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(std::vector<KelSocket>{7}, g_Fake.closed);
    EXPECT_EQ(KEL_INVALID_SOCKET, Con(h)->hSocket);
    EXPECT_EQ(0u, Con(h)->dwLock);
    EXPECT_TRUE(g_Fake.recvAsked.empty());
}

TEST_F(ConnectSeam, FailingConnectClosesTheSocket) {
    g_Fake.connectFail.nFailAt = 1;
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
    EXPECT_EQ(KEL_INVALID_SOCKET, Con(h)->hSocket);
    EXPECT_EQ(std::vector<KelSocket>{7}, g_Fake.closed);
    EXPECT_TRUE(g_Fake.sends.empty());
}

TEST_F(ConnectSeam, FailingSendOfEitherRequestIsACommunicationFailure) {
    for (int nFailAt : {1, 2}) {
        SCOPED_TRACE(nFailAt);
        g_Fake.sendFail = FailPlan();
        g_Fake.sendFail.nFailAt = nFailAt;
        g_Fake.recvData.clear();
        g_Fake.recvChunks.clear();
        g_Fake.nRecvPos = 0;
        ScriptHost(IdentifyReply());
        TraceCapture trace;
        EXPECT_EQ(KEL_ERR_COMM, KelConnect(h));
        // KelSend, then KelConnect.
        EXPECT_EQ((std::vector<int>{KEL_ERR_COMM, KEL_ERR_COMM}), trace.ErrorCodes());
        EXPECT_NE(KEL_INVALID_SOCKET, Con(h)->hSocket);
        EXPECT_EQ(KEL_ERR_LOCKED, KelLock(h));
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(0u, Con(h)->dwLock);
    }
}

TEST_F(ConnectSeam, ABusyFlagHeldByTheApplicationStopsTheConnect) {
    ASSERT_EQ(KEL_OK, KelLock(h));
    EXPECT_EQ(KEL_ERR_LOCKED, KelConnect(h));
    EXPECT_NE(KEL_INVALID_SOCKET, Con(h)->hSocket);
    EXPECT_TRUE(g_Fake.sends.empty());
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(0u, Con(h)->dwLock);
}

TEST_F(ConnectSeam, LostIdentifyReplyIsReportedByEveryLevelOnTheWay) {
    // The chains of the lower levels on their own, to recognise their lines.
    HKELCONNECTION hOther = NewOpenConnection();
    std::vector<std::string> receiveSite, commandSites, waitSites;
    {
        TraceCapture trace;
        uint8_t abByte[5];
        uint32_t dwGot = 0;
        EXPECT_EQ(KEL_ERR_COMM, KelReceive(hOther, abByte, 5, &dwGot, 1));
        receiveSite = ErrorSites(trace);
    }
    {
        TraceCapture trace;
        KelCommand cmd;
        EXPECT_EQ(KEL_ERR_COMM, KelReceiveCommand(hOther, &cmd));
        commandSites = ErrorSites(trace);
    }
    {
        TraceCapture trace;
        KelCommand cmd;
        EXPECT_EQ(KEL_ERR_COMM, KelWaitForResponse(hOther, KEL_RSP_IDENTIFY, &cmd));
        waitSites = ErrorSites(trace);
    }
    FreeOpen(hOther);
    ASSERT_EQ(1u, receiveSite.size());
    ASSERT_EQ(2u, commandSites.size());
    ASSERT_EQ(3u, waitSites.size());

    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelConnect(h));
    EXPECT_EQ((std::vector<int>{102, 102, 102, 102}), trace.ErrorCodes());
    std::vector<std::string> sites = ErrorSites(trace);
    ASSERT_EQ(4u, sites.size());
    EXPECT_EQ(receiveSite[0], sites[0]);
    EXPECT_EQ(commandSites[1], sites[1]);
    EXPECT_EQ(waitSites[2], sites[2]);
    EXPECT_EQ(0u, sites[3].rfind("KelConct at ", 0)) << sites[3];
    EXPECT_EQ(sites.begin() + 3, std::find(sites.begin(), sites.begin() + 3, sites[3]));
}

TEST_F(ConnectSeam, CredentialsNeverReachTheTrace) {
    HKELCONNECTION hSecret = nullptr;
    TraceCapture trace;
    ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "QzUsr", "Pw9Kx", "Zz8Vq", &hSecret));
    ScriptHost(Concat({IdentifyReply(), LogonReply(), EncodeFrame(Frame(KEL_RSP_DISCONNECT))}));
    ASSERT_EQ(KEL_OK, KelConnect(hSecret));
    ASSERT_EQ(KEL_OK, KelDisconnect(hSecret));
    ASSERT_EQ(KEL_OK, KelFreeConnection(hSecret));
    ASSERT_FALSE(trace.Lines().empty());
    bool bSawServerLine = false;
    for (const std::string &line : trace.Lines()) {
        for (const char *szSecret : {"QzUsr", "Pw9Kx", "Zz8Vq"})
            EXPECT_EQ(std::string::npos, line.find(szSecret)) << line;
        if (line.find("   szServerDescription =  test host") != std::string::npos) bSawServerLine = true;
    }
    EXPECT_TRUE(bSawServerLine);
}

// ============================================================================
// Over loopback TCP, with the real platform. The real send entry is wrapped
// so that every socket send of the library is counted.

std::vector<size_t> g_WireSends;
int (*g_pfnRealSend)(KelSocket, const void *, int) = nullptr;

int CountingSend(KelSocket hSocket, const void *lpData, int nLen) {
    g_WireSends.push_back((size_t)nLen);
    return g_pfnRealSend(hSocket, lpData, nLen);
}

class ConnectWire : public ::testing::Test {
  protected:
    void SetUp() override {
        KelPlatformReset();
        g_dwKelStarted = 0;  // the real start-up, whatever ran before
        g_pfnRealSend = g_KelPlatform.pfnSend;
        g_KelPlatform.pfnSend = CountingSend;
        g_WireSends.clear();
    }
    void TearDown() override {
        if (h) {
            if (Con()->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
            EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        }
        bKelTraceOn = 0;
        fKelTraceFunc = nullptr;
        KelPlatformReset();
    }
    void Alloc(uint16_t wPort, const char *szUser = "user", const char *szPassword = "pass",
               const char *szPassword2 = nullptr) {
        ASSERT_EQ(KEL_OK,
                  KelAllocConnection(kel_test::LoopbackIP(), wPort, szUser, szPassword, szPassword2, &h));
    }
    // A reference server that accepts any user; its port once started.
    uint16_t StartReferenceServer(kelsrv::Options options = kelsrv::Options()) {
        options.port = 0;
        std::string error;
        EXPECT_TRUE(reference.Start(options, &error)) << error;
        return reference.Port();
    }
    KelConnection *Con() { return static_cast<KelConnection *>(h); }
    kelsrv::Server reference;
    HKELCONNECTION h = nullptr;
};

TEST_F(ConnectWire, LogsOnToTheReferenceServerAndReportsItsIdentity) {
    kelsrv::Options options;
    options.serverId = 0x53ABCDEFu;
    options.serverVersion = 0x00040005u;
    options.description = std::string(80, 'd');  // stored as its first 79
    options.logonData = 0x42;
    options.users.push_back({"alice", "wonder", "land2", 0});
    Alloc(StartReferenceServer(options), "alice", "wonder", "land2");

    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ((std::vector<size_t>{97, 50}), g_WireSends);
    EXPECT_EQ(0x53ABCDEFu, Con()->dwServerID);
    EXPECT_EQ(0x00040005u, Con()->dwServerVersion);
    EXPECT_EQ(std::string(79, 'd'), std::string(Con()->szServerDescription));
    EXPECT_EQ(0x42, Con()->bLogonData);
    EXPECT_EQ(0u, Con()->dwLock);

    EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelConnect(h));
    EXPECT_EQ(2u, g_WireSends.size());

    g_WireSends.clear();
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(std::vector<size_t>{5}, g_WireSends);
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);

    // The record connects again, and the server checks the passwords it unscrambles.
    EXPECT_EQ(KEL_OK, KelConnect(h));
}

TEST_F(ConnectWire, DisconnectClearsABusyFlagHeldByTheApplication) {
    Alloc(StartReferenceServer());
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelDisconnect(h));
    ASSERT_EQ(KEL_OK, KelConnect(h));
    ASSERT_EQ(KEL_OK, KelLock(h));
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(0u, Con()->dwLock);
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
    EXPECT_EQ(KEL_OK, KelLock(h));
    EXPECT_EQ(KEL_OK, KelUnLock(h));
}

TEST_F(ConnectWire, RefusedTcpConnectionLeavesTheRecordUnconnected) {
    // A loopback port that was just free: nothing listens on it any more.
    uint16_t wPort = 0;
    netio::Socket listener = netio::Listen("127.0.0.1", 0, &wPort);
    ASSERT_NE(netio::kInvalidSocket, listener);
    netio::Close(listener);
    Alloc(wPort);
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
    EXPECT_EQ(0u, Con()->dwLock);
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
    EXPECT_TRUE(g_WireSends.empty());
}

// --- Exact bytes against the scripted peer -----------------------------------

class ConnectBytes : public ConnectWire {
  protected:
    // Connects to a peer that accepts and then expects the disconnect frame;
    // returns what it received: identify request, logon request, disconnect frame.
    std::vector<Bytes> ConnectAndDisconnect(const char *szUser, const char *szPassword,
                                            const char *szPassword2) {
        FakeServer server;
        server.Receive(97)
            .Send(IdentifyReply())
            .Receive(50)
            .Send(LogonReply())
            .ReceiveFrame()
            .SendFrame(Frame(KEL_RSP_DISCONNECT));
        EXPECT_TRUE(server.Start());
        Alloc(server.Port(), szUser, szPassword, szPassword2);
        EXPECT_EQ(KEL_OK, KelConnect(h));
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_TRUE(server.Wait()) << server.Failure();
        EXPECT_EQ((std::vector<size_t>{97, 50, 5}), g_WireSends);
        return server.ReceivedSteps();
    }
};

TEST_F(ConnectBytes, TwoCharUserAndNoSecondPassword) {
    std::vector<Bytes> got = ConnectAndDisconnect("ab", "secret", "");
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(ClientIdentifyRequest(), got[0]);
    const Bytes &logon = got[1];
    ASSERT_EQ(50u, logon.size());
    EXPECT_EQ(kLogonFrame, Bytes(logon.begin(), logon.begin() + 9));
    EXPECT_EQ(Field("ab", 9), Bytes(logon.begin() + 9, logon.begin() + 18));
    EXPECT_EQ(Field("secret", 8), Unscramble(logon.data() + 18));
    EXPECT_EQ(Bytes(16, 0), Bytes(logon.begin() + 34, logon.end()));
    EXPECT_EQ(kDisconnectFrame, got[2]);
}

TEST_F(ConnectBytes, EightCharUserAndBothPasswords) {
    std::vector<Bytes> got = ConnectAndDisconnect("abcdefgh", "12345678", "pw2");
    ASSERT_EQ(3u, got.size());
    Bytes block(got[1].begin() + 9, got[1].end());
    ASSERT_EQ(41u, block.size());
    EXPECT_EQ(Field("abcdefgh", 9), Bytes(block.begin(), block.begin() + 9));
    EXPECT_EQ(Field("12345678", 8), Unscramble(block.data() + 9));
    EXPECT_EQ(Field("pw2", 8), Unscramble(block.data() + 25));
}

TEST_F(ConnectBytes, EmptyFirstPasswordIsStillScrambledAsEightZeroBytes) {
    std::vector<Bytes> got = ConnectAndDisconnect("user", "", "second");
    ASSERT_EQ(3u, got.size());
    Bytes block(got[1].begin() + 9, got[1].end());
    ASSERT_EQ(41u, block.size());
    // Scrambling zeros after zeros makes both bytes of every pair the random value.
    for (size_t i = 9; i < 25; i += 2) EXPECT_EQ(block[i], block[i + 1]) << "pair at " << i;
    EXPECT_EQ(Bytes(8, 0), Unscramble(block.data() + 9));
    EXPECT_EQ(Field("second", 8), Unscramble(block.data() + 25));
}

TEST_F(ConnectBytes, DisconnectSucceedsWhenThePeerClosesInsteadOfReplying) {
    FakeServer server;
    server.Receive(97).Send(IdentifyReply()).Receive(50).Send(LogonReply()).ReceiveFrame().Close();
    ASSERT_TRUE(server.Start());
    Alloc(server.Port());
    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
    EXPECT_EQ(0u, Con()->dwLock);
    ASSERT_TRUE(server.Wait()) << server.Failure();
    EXPECT_EQ(kDisconnectFrame, server.ReceivedStep(2));
}

// --- Failures a peer can provoke, and the way back ---------------------------

struct PeerFault {
    const char *szName;
    std::function<void(FakeServer &)> script;  // after the identify request was received
    int32_t nExpected;
};

class ConnectPeerFault : public ConnectWire {
  protected:
    // Runs the failing connect, checks the half-open state it leaves and that
    // KelDisconnect leads back to a record that connects again.
    void Run(const PeerFault &fault) {
        SCOPED_TRACE(fault.szName);
        uint16_t wGoodPort = StartReferenceServer();
        {
            FakeServer server;
            server.Receive(97);
            fault.script(server);
            ASSERT_TRUE(server.Start());
            Alloc(server.Port());
            EXPECT_EQ(fault.nExpected, KelConnect(h));
            EXPECT_TRUE(server.Wait()) << server.Failure();
        }
        EXPECT_NE(KEL_INVALID_SOCKET, Con()->hSocket);
        EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelConnect(h));
        EXPECT_EQ(KEL_ERR_LOCKED, KelLock(h));
        EXPECT_EQ(KEL_ERR_CONNECTED, KelFreeConnection(h));
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
        EXPECT_EQ(0u, Con()->dwLock);
        // The same record, pointed at a server that accepts it.
        Con()->wPort = wGoodPort;
        EXPECT_EQ(KEL_OK, KelConnect(h));
        EXPECT_EQ(kelsrv::Options().serverId, Con()->dwServerID);
    }
};

TEST_F(ConnectPeerFault, IdentifyReplyWithAReturnCodeIsAProtocolError) {
    // Not mapped like a logon refusal: the same code on the logon gives 104.
    Run({"ret code",
         [](FakeServer &s) {
             s.Send(EncodeFrame(Frame(KEL_RSP_IDENTIFY, 88, 0x00010001u), IdentBlock(kServerID)));
         },
         KEL_ERR_PROTOCOL});
}

TEST_F(ConnectPeerFault, IdentifyReplyOfTheWrongLengthIsAProtocolError) {
    Run({"80 bytes", [](FakeServer &s) { s.Send(EncodeFrame(Frame(KEL_RSP_IDENTIFY, 80), Bytes(80, 0x53))); },
         KEL_ERR_PROTOCOL});
}

TEST_F(ConnectPeerFault, ServerWithoutItsMarkerIsRefusedButRemembered) {
    Run({"marker 0x43", [](FakeServer &s) { s.Send(IdentifyReply(0x43000001u)); }, KEL_ERR_PROTOCOL});
}

TEST_F(ConnectPeerFault, RefusedServerIdentityIsKeptUntilTheNextConnect) {
    FakeServer server;
    server.Receive(97).Send(IdentifyReply(0x43123456u));
    ASSERT_TRUE(server.Start());
    Alloc(server.Port());
    EXPECT_EQ(KEL_ERR_PROTOCOL, KelConnect(h));
    EXPECT_EQ(0x43123456u, Con()->dwServerID);
    EXPECT_EQ(kServerVersion, Con()->dwServerVersion);
    EXPECT_STREQ("test host", Con()->szServerDescription);
    EXPECT_TRUE(server.Wait()) << server.Failure();
}

TEST_F(ConnectPeerFault, RefusedLogonGivesTheMappedCode) {
    Run({"0x00010001",
         [](FakeServer &s) {
             s.Send(IdentifyReply()).Receive(50).SendFrame(Frame(KEL_RSP_LOGON, 0, 0x00010001u));
         },
         KEL_ERR_HOST_104});
}

TEST_F(ConnectPeerFault, LogonRefusedWithAnUnknownCodeIsASystemError) {
    Run({"0x00050003",
         [](FakeServer &s) {
             s.Send(IdentifyReply()).Receive(50).SendFrame(Frame(KEL_RSP_LOGON, 1, 0x00050003u), {1});
         },
         KEL_ERR_SYSTEM});
}

TEST_F(ConnectPeerFault, LogonReplyWithoutItsDataByteIsAProtocolError) {
    Run({"no data",
         [](FakeServer &s) { s.Send(IdentifyReply()).Receive(50).SendFrame(Frame(KEL_RSP_LOGON)); },
         KEL_ERR_PROTOCOL});
}

TEST_F(ConnectPeerFault, LogonReplyWithTwoDataBytesIsAProtocolError) {
    Run({"two bytes",
         [](FakeServer &s) {
             s.Send(IdentifyReply()).Receive(50).SendFrame(Frame(KEL_RSP_LOGON, 2), {1, 2});
         },
         KEL_ERR_PROTOCOL});
}

TEST_F(ConnectPeerFault, ConnectionLostWhileWaitingForTheIdentifyReply) {
    Run({"closed", [](FakeServer &s) { s.Close(); }, KEL_ERR_COMM});
}

TEST_F(ConnectPeerFault, ConnectionLostInsideTheServersIdentifyBlock) {
    Run({"cut block", [](FakeServer &s) { s.CloseAfterSending(9 + 40).Send(IdentifyReply()); },
         KEL_ERR_COMM});
}

TEST_F(ConnectPeerFault, ConnectionLostWhileWaitingForTheLogonReply) {
    Run({"closed at logon", [](FakeServer &s) { s.Send(IdentifyReply()).Receive(50).Close(); },
         KEL_ERR_COMM});
}

TEST_F(ConnectPeerFault, UnskippableFrameBeforeTheReplyIsAProtocolError) {
    Run({"no-skip",
         [](FakeServer &s) {
             KelCommand noSkip = Frame(0x00000777u);
             noSkip.bFlags = KEL_FLAG_NOSKIP;
             s.SendFrame(noSkip).Send(IdentifyReply());
         },
         KEL_ERR_PROTOCOL});
}

TEST_F(ConnectPeerFault, SkippableFramesBeforeTheRepliesAreDisposedOf) {
    FakeServer server;
    Bytes chatter =
        Concat({EncodeFrame(Frame(0x00000777u, 300), Bytes(300, 0x77)), EncodeFrame(Frame(KEL_CMD_IGNORE))});
    server.Receive(97).Send(chatter).Send(IdentifyReply()).Receive(50).Send(chatter).Send(LogonReply());
    ASSERT_TRUE(server.Start());
    Alloc(server.Port());
    EXPECT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ(kLogonByte, Con()->bLogonData);
    EXPECT_TRUE(server.Wait()) << server.Failure();
}

}  // namespace
