// Connect and disconnect: the identify, logon and disconnect exchanges byte
// for byte over the seam, time-outs and the chain of "Error:" lines; over
// loopback TCP against the kelsrv engine and against peers that never
// answer. The failures of a connect and the state they leave are swept in
// test_session.cpp.
#include <algorithm>
#include <string>

#include "fake_session.h"
#include "seam_test.h"
#include "server.h"
#include "silent_peer.h"

namespace {

// What the library sends as its identify request: frame and block.
Bytes ClientIdentifyRequest() {
    const std::string description = "Hox/Pym Connector API";
    Bytes request = Concat({Bytes{0x80, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x58},
                            Bytes{0x43, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01},
                            Bytes(description.begin(), description.end())});
    request.resize(9 + 88, 0);
    return request;
}

// What a credential keeps of text, at most 8 characters, NUL-filled to nSize bytes.
Bytes Field(const std::string &text, size_t nSize) {
    Bytes field(text.begin(), text.begin() + (ptrdiff_t)std::min<size_t>(text.size(), 8));
    field.resize(nSize, 0);
    return field;
}

class ConnectSeam : public SeamTest {};

uint32_t g_dwNextRandom = 0;
uint32_t CountingRandom(void) { return g_dwNextRandom++ * 0x1111u; }

// The exchanges of a connect byte for byte, the credentials cut to 8
// characters and the passwords scrambled; the disconnect is one frame. A
// time-out reaches the connect and the socket and stays with the record;
// Nagle's algorithm off or not (a socket without it still works), the
// connect goes the same way.
TEST_F(ConnectSeam, ConnectSendsIdentifyAndScrambledLogonAndDisconnectOneFrame) {
    const struct {
        const char *szUser, *szPassword, *szPassword2;
        uint32_t dwTimeout;
        int nNoDelayResult;
    } cases[] = {{"QzUsr", "Pw9Kx", "Zz8Vq", 0, 0},
                 {"ab", "secret", "", 0, -1},
                 {"abcdefghij", "123456789", "pw2", 250, 0},
                 {"user", "", "second", 0, 0}};
    const std::vector<Bytes> replies = SoundHostReplies();  // other frames to dispose of before each
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.szUser << " / '" << c.szPassword << "' / '" << c.szPassword2 << "'");
        InstallFakePlatform();
        g_Fake.nNoDelayResult = c.nNoDelayResult;
        ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, c.szUser, c.szPassword, c.szPassword2, &h));
        ASSERT_EQ(KEL_OK, KelSetTimeout(h, c.dwTimeout));
        g_KelPlatform.pfnRandom = CountingRandom;
        g_dwNextRandom = 1;
        ScriptReceive(Concat({replies[0], replies[1], replies[3]}));
        TraceCapture trace;
        ASSERT_EQ(KEL_OK, KelConnect(h));
        EXPECT_TRUE(trace.ErrorCodes().empty());
        ASSERT_EQ((std::vector<size_t>{97, 50}), Sizes(g_Fake.sends));
        // Nagle off at once, the default port; without a time-out the plain connect and no socket option.
        std::vector<std::string> setup = {"nodelay", "bind", "connect 2893 " + std::to_string(c.dwTimeout)};
        if (c.dwTimeout) setup.push_back("timeouts 250");
        EXPECT_EQ(setup, g_Fake.setup);
        EXPECT_EQ((std::vector<int>{0, 0}), g_Fake.sendMore);
        EXPECT_EQ(ClientIdentifyRequest(), g_Fake.sends[0]);
        // Each password byte b goes out as the pair (prev ^ r, r ^ b), prev the
        // byte before, r a fresh random value: the low byte of 0x1111 * k, k
        // counting on from 1. An empty second password is sent as zeros.
        Bytes expected =
            Concat({Bytes{0x80, 0x00, 0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x29}, Field(c.szUser, 9)});
        g_dwNextRandom = 1;
        for (const char *szPassword : {c.szPassword, c.szPassword2}) {
            uint8_t bPrev = 0;
            for (uint8_t bPlain : Field(szPassword, 8)) {
                uint8_t bRandom = szPassword == c.szPassword2 && !*szPassword ? 0 : (uint8_t)CountingRandom();
                expected.push_back((uint8_t)(bPrev ^ bRandom));
                expected.push_back((uint8_t)(bRandom ^ bPlain));
                bPrev = bPlain;
            }
        }
        EXPECT_EQ(expected, g_Fake.sends[1]);
        g_Fake.sends.clear();
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(std::vector<Bytes>{kDisconnectFrame}, g_Fake.sends);
        EXPECT_EQ(c.dwTimeout, Con(h)->dwTimeout);
        ASSERT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
    }
    // On an open socket a new bound applies at once, the same one is not set again.
    h = Open();
    g_Fake.setup.clear();
    for (uint32_t dwTimeout : {250u, 250u, 0u, 0u, 100u}) EXPECT_EQ(KEL_OK, KelSetTimeout(h, dwTimeout));
    EXPECT_EQ((std::vector<std::string>{"timeouts 250", "timeouts 0", "timeouts 100"}), g_Fake.setup);
}

// KelReceive's line, KelReceiveCommand's and KelWaitForResponse's, as that
// chain writes them on its own, then KelConnect's.
TEST_F(ConnectSeam, LostIdentifyReplyIsReportedByEveryLevelOnTheWay) {
    HKELCONNECTION hNew = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", nullptr, &hNew));
    h = Open();
    TraceCapture trace;
    KelCommand cmd;
    EXPECT_EQ(KEL_ERR_COMM, KelWaitForResponse(h, KEL_RSP_IDENTIFY, &cmd));
    EXPECT_EQ(KEL_ERR_COMM, KelConnect(hNew));
    Drop(hNew);
    std::vector<std::string> sites;  // "Module at N" of each "Error:" line
    for (const std::string &line : trace.Lines())
        if (line.find("  Error: ") != std::string::npos)
            sites.push_back(line.substr(23, line.find(":  ", 23) - 23));
    EXPECT_EQ(std::vector<int>(7, KEL_ERR_COMM), trace.ErrorCodes());
    ASSERT_EQ(7u, sites.size());
    EXPECT_EQ(std::vector<std::string>(sites.begin(), sites.begin() + 3),
              std::vector<std::string>(sites.begin() + 3, sites.begin() + 6));
    EXPECT_EQ(sites.begin() + 3, std::find(sites.begin(), sites.begin() + 3, sites[6])) << sites[6];
    EXPECT_EQ(0u, sites[6].rfind("KelConct at ", 0)) << sites[6];
}

// ---- Over loopback TCP, with the real platform; its sends are recorded

class ConnectWire : public ::testing::Test {
protected:
    void SetUp() override { InstallTappedRealPlatform(); }
    void TearDown() override {
        if (h && Con()->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
        EXPECT_EQ(KEL_OK, h ? KelFreeConnection(h) : KEL_OK);
        KelPlatformReset();
    }
    void Alloc(uint16_t wPort, const char *szUser = "user", const char *szPassword = "pass",
               const char *szPassword2 = nullptr) {
        ASSERT_EQ(KEL_OK,
                  KelAllocConnection(kel_test::LoopbackIP(), wPort, szUser, szPassword, szPassword2, &h));
    }
    // A reference server that accepts any user unless told otherwise; its port once started.
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

// The identity the server reports, its description cut to 79 characters.
// Requests larger than the send buffer leave at once (no wait for a delayed
// acknowledgement) and come back whole from the server's echo. The record
// connects again (the server checks the passwords it unscrambles), and a
// flag the application holds does not stop the disconnect.
TEST_F(ConnectWire, LogsOnToTheReferenceServerAndEchoesLargeRequestsOverASocketWithoutNagle) {
    kelsrv::Options options;
    options.serverId = 0x53ABCDEFu;
    options.serverVersion = 0x00040005u;
    options.description = std::string(80, 'd');
    options.logonData = 0x42;
    options.users.push_back({"alice", "wonder", "land2", 0});
    Alloc(StartReferenceServer(options), "alice", "wonder", "land2");
    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ(0x53ABCDEFu, Con()->dwServerID);
    EXPECT_EQ(0x00040005u, Con()->dwServerVersion);
    EXPECT_EQ(std::string(79, 'd'), std::string(Con()->szServerDescription));
    EXPECT_EQ(0x42, Con()->bLogonData);
    EXPECT_TRUE(SocketHasNoDelay(Con()->hSocket));
    for (uint32_t dwLen : {1500u, 65536u}) {
        SCOPED_TRACE(dwLen);
        Bytes data = Pattern(dwLen, 3), echoed(dwLen);
        KelCommand cmd = Record(kEchoCommand, 0, 0, 0, dwLen);
        g_Fake.sends.clear();
        g_Fake.sendMore.clear();
        ASSERT_EQ(KEL_OK, KelSendCommand(h, &cmd, 0));
        uint32_t dwCount = 0;
        ASSERT_EQ(KEL_OK, KelSend(h, data.data(), dwLen, &dwCount, 1));
        EXPECT_EQ((std::vector<size_t>{1024, 9 + dwLen - 1024}), Sizes(g_Fake.sends));
        EXPECT_EQ((std::vector<int>{1, 0}), g_Fake.sendMore);
        ASSERT_EQ(KEL_OK, KelWaitForResponse(h, kEchoReply, &cmd));
        ASSERT_EQ(dwLen, cmd.dwDataLen);
        ASSERT_EQ(KEL_OK, KelReceive(h, echoed.data(), dwLen, &dwCount, 1));
        EXPECT_EQ(data, echoed);
    }
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    ASSERT_EQ(KEL_OK, KelConnect(h));
    ASSERT_EQ(KEL_OK, KelLock(h));
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(0u, Con()->dwLock);
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
}

// A loopback port that was just free, where nothing listens any more.
TEST_F(ConnectWire, RefusedTcpConnectionLeavesTheRecordUnconnected) {
    uint16_t wPort = 0;
    netio::Close(netio::Listen("127.0.0.1", 0, &wPort));
    ASSERT_NE(0, wPort);
    Alloc(wPort);
    for (int nTry = 1; nTry <= 2; ++nTry) {
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
        EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
        EXPECT_EQ(0u, Con()->dwLock);
    }
    EXPECT_TRUE(g_Fake.sends.empty());
}

// With a time-out every wait on a server that says nothing ends with 102 (a
// failed receive), the disconnect too is bounded, and the record is used again.
TEST_F(ConnectWire, TimeOutEndsEveryWaitOnASilentServer) {
    Alloc(0);
    ASSERT_EQ(KEL_OK, KelSetTimeout(h, 200));
    for (int nRound = 1; nRound <= 2; ++nRound) {
        SCOPED_TRACE(nRound);
        kel_test::SilentPeer silent;
        ASSERT_TRUE(silent.Listening());
        Con()->wPort = silent.Port();
        EXPECT_EQ(KEL_ERR_COMM, KelConnect(h));
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(Concat({ClientIdentifyRequest(), kDisconnectFrame}), silent.TakeReceived());
    }
    // Logged on to a server that then never answers.
    Con()->wPort = StartReferenceServer();
    ASSERT_EQ(KEL_OK, KelConnect(h));
    KelCommand reply;
    EXPECT_EQ(KEL_ERR_COMM, KelWaitForResponse(h, 0x40000999u, &reply));
    uint8_t abByte[1];
    uint32_t dwGot = 0;
    EXPECT_EQ(KEL_ERR_COMM, KelReceive(h, abByte, 1, &dwGot, 1));
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
}

// A listener whose queue is full and that never accepts: the connect itself
// runs out of time, and fails as a refused one does.
TEST_F(ConnectWire, ConnectThatCannotCompleteFailsAsRefusedUnderATimeOut) {
    kel_test::SilentPeer full(0);
    ASSERT_TRUE(full.Listening());
    std::vector<HKELCONNECTION> queued;
    int32_t nRc = KEL_OK;
    for (int nTry = 0; nTry < 16 && nRc != KEL_ERR_NOT_CONNECTED; ++nTry) {
        HKELCONNECTION hTry = nullptr;
        ASSERT_EQ(KEL_OK, KelAllocConnection(kel_test::LoopbackIP(), full.Port(), "u", "p", nullptr, &hTry));
        ASSERT_EQ(KEL_OK, KelSetTimeout(hTry, 200));
        nRc = KelConnect(hTry);  // 102 while the queue takes it: no one answers
        queued.push_back(hTry);
    }
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, nRc);
    EXPECT_EQ(KEL_INVALID_SOCKET, static_cast<KelConnection *>(queued.back())->hSocket);
    for (HKELCONNECTION hQueued : queued) {
        KelDisconnect(hQueued);
        EXPECT_EQ(KEL_OK, KelFreeConnection(hQueued));
    }
}

}  // namespace
