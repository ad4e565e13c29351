// Connect and disconnect: the identify, logon and disconnect exchanges byte
// for byte over the seam, against a scripted loopback peer and the kelsrv
// engine; time-outs; the chain of "Error:" lines. The failures of a connect
// and the state they leave are swept in test_session.cpp.
#include <algorithm>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "fake_server.h"
#include "fake_session.h"
#include "netio.h"
#include "server.h"

namespace {

using kel_test::FakeServer;

const uint32_t kServerID = 0x53000001u;
const uint8_t kLogonByte = 0x5A;
const Bytes kLogonFrame = {0x80, 0x00, 0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x29};

// What the library sends as its identify request: frame and block.
Bytes ClientIdentifyRequest() {
    const std::string description = "Hox/Pym Connector API";
    Bytes request = Concat({Bytes{0x80, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x58},
                            Bytes{0x43, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01},
                            Bytes(description.begin(), description.end())});
    request.resize(9 + 88, 0);
    return request;
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
    // The host sends stream, then closes.
    void ScriptHost(const Bytes &stream) {
        if (!stream.empty()) ScriptReceive(stream, {(int)stream.size()});
    }
    HKELCONNECTION h = nullptr;
};

uint32_t g_dwNextRandom = 0;
uint32_t CountingRandom(void) { return g_dwNextRandom++ * 0x1111u; }

// The exchanges of a connect byte for byte, the scrambled passwords among
// them; the disconnect is one frame.
TEST_F(ConnectSeam, ConnectSendsIdentifyAndScrambledLogonAndDisconnectOneFrame) {
    const struct {
        const char *szUser, *szPassword, *szPassword2;
    } cases[] = {{"QzUsr", "Pw9Kx", "Zz8Vq"},
                 {"ab", "secret", ""},
                 {"abcdefgh", "12345678", "pw2"},
                 {"user", "", "second"}};
    const std::vector<Bytes> replies = SoundHostReplies();  // other frames to dispose of before each
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.szUser << " / '" << c.szPassword << "' / '" << c.szPassword2 << "'");
        ASSERT_EQ(KEL_OK, KelFreeConnection(h));
        InstallFakePlatform();
        TraceCapture trace;
        ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, c.szUser, c.szPassword, c.szPassword2, &h));
        g_KelPlatform.pfnRandom = CountingRandom;
        g_dwNextRandom = 1;
        ScriptHost(Concat({replies[0], replies[1], replies[3]}));
        ASSERT_EQ(KEL_OK, KelConnect(h));
        ASSERT_EQ((std::vector<size_t>{97, 50}), Sizes(g_Fake.sends));
        // Nagle off at once; without a time-out the plain connect and no socket option.
        EXPECT_EQ((std::vector<std::string>{"nodelay", "bind", "connect 0"}), g_Fake.setup);
        EXPECT_EQ((std::vector<int>{0, 0}), g_Fake.sendMore);
        EXPECT_EQ(ClientIdentifyRequest(), g_Fake.sends[0]);
        // Each password byte b goes out as the pair (prev ^ r, r ^ b), prev the
        // byte before, r a fresh random value: the low byte of 0x1111 * k, k
        // counting on from 1. Zeros after zeros make both bytes of a pair r;
        // an empty second password is sent as zeros.
        Bytes expected = Concat({kLogonFrame, Field(c.szUser, 9)});
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
        EXPECT_EQ(kServerID, Con(h)->dwServerID);
        EXPECT_EQ(kLogonByte, Con(h)->bLogonData);
        EXPECT_EQ(0u, Con(h)->dwLock);

        EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelConnect(h));
        g_Fake.sends.clear();
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(std::vector<Bytes>{kDisconnectFrame}, g_Fake.sends);
        EXPECT_EQ(std::vector<KelSocket>{7}, g_Fake.closed);
        EXPECT_EQ(0u, Con(h)->dwLock);
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelDisconnect(h));
        const std::vector<std::string> &lines = trace.Lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string &line) {
            return line.find("   szServerDescription =  test host") != std::string::npos;
        })) << "the trace shows what the server sent";
    }
}

// A time-out reaches the connect and the socket, at once on an open one, and
// stays with the record across a disconnect; Nagle's algorithm off or not,
// the connect goes the same way and writes the same trace.
TEST_F(ConnectSeam, TimeOutAndNoDelayReachTheSocketWithoutChangingTheExchange) {
    const Bytes host = Concat({IdentifyReply(), LogonReply()});
    std::vector<std::string> plainTrace;
    const struct {
        uint32_t dwTimeout;
        int nNoDelayResult;
        std::vector<std::string> setup;
    } cases[] = {
        {0, 0, {"nodelay", "bind", "connect 0"}},
        {0, -1, {"nodelay", "bind", "connect 0"}},
        {250, 0, {"nodelay", "bind", "connect 250", "timeouts 250"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dwTimeout << " ms, nodelay " << c.nNoDelayResult);
        InstallFakePlatform();
        g_Fake.nNoDelayResult = c.nNoDelayResult;
        ScriptHost(host);
        ASSERT_EQ(KEL_OK, KelSetTimeout(h, c.dwTimeout));
        g_Fake.setup.clear();
        std::vector<std::string> bodies;
        {
            TraceCapture trace;
            ASSERT_EQ(KEL_OK, KelConnect(h));
            bodies = trace.Bodies();
        }
        EXPECT_EQ(c.setup, g_Fake.setup);
        EXPECT_EQ((std::vector<size_t>{97, 50}), Sizes(g_Fake.sends));
        if (plainTrace.empty()) plainTrace = bodies;
        EXPECT_EQ(plainTrace, bodies);
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(c.dwTimeout, Con(h)->dwTimeout);
    }
    // On an open socket a new bound applies at once, the same one is not set again.
    Con(h)->hSocket = g_Fake.hNextSocket;
    g_Fake.setup.clear();
    for (uint32_t dwTimeout : {250u, 0u, 0u, 100u}) EXPECT_EQ(KEL_OK, KelSetTimeout(h, dwTimeout));
    EXPECT_EQ((std::vector<std::string>{"timeouts 0", "timeouts 100"}), g_Fake.setup);
    Con(h)->hSocket = KEL_INVALID_SOCKET;
}

TEST_F(ConnectSeam, LostIdentifyReplyIsReportedByEveryLevelOnTheWay) {
    // The chain of the level below on its own: KelReceive's line,
    // KelReceiveCommand's, then KelWaitForResponse's.
    HKELCONNECTION hOther = NewOpenConnection();
    std::vector<std::string> lower;
    {
        TraceCapture trace;
        KelCommand cmd;
        EXPECT_EQ(KEL_ERR_COMM, KelWaitForResponse(hOther, KEL_RSP_IDENTIFY, &cmd));
        lower = ErrorSites(trace);
    }
    FreeOpen(hOther);
    ASSERT_EQ(3u, lower.size());

    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelConnect(h));
    EXPECT_EQ((std::vector<int>{102, 102, 102, 102}), trace.ErrorCodes());
    std::vector<std::string> sites = ErrorSites(trace);
    ASSERT_EQ(4u, sites.size());
    EXPECT_EQ(lower, std::vector<std::string>(sites.begin(), sites.begin() + 3));
    EXPECT_EQ(0u, sites[3].rfind("KelConct at ", 0)) << sites[3];
    EXPECT_EQ(sites.begin() + 3, std::find(sites.begin(), sites.begin() + 3, sites[3]));
}

// ============================================================================
// Over loopback TCP, with the real platform; its sends are recorded.

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
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelDisconnect(h));

    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ((std::vector<size_t>{97, 50}), Sizes(g_Real.sends));
    EXPECT_EQ(0x53ABCDEFu, Con()->dwServerID);
    EXPECT_EQ(0x00040005u, Con()->dwServerVersion);
    EXPECT_EQ(std::string(79, 'd'), std::string(Con()->szServerDescription));
    EXPECT_EQ(0x42, Con()->bLogonData);
    EXPECT_EQ(0u, Con()->dwLock);
    EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelConnect(h));

    g_Real.sends.clear();
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(std::vector<size_t>{5}, Sizes(g_Real.sends));
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);

    // The record connects again (the server checks the passwords it
    // unscrambles), and a flag the application holds does not stop the disconnect.
    ASSERT_EQ(KEL_OK, KelConnect(h));
    ASSERT_EQ(KEL_OK, KelLock(h));
    EXPECT_EQ(KEL_OK, KelDisconnect(h));
    EXPECT_EQ(0u, Con()->dwLock);
    EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
}

TEST_F(ConnectWire, RefusedTcpConnectionLeavesTheRecordUnconnected) {
    // A loopback port that was just free: nothing listens on it any more.
    uint16_t wPort = 0;
    netio::Socket listener = netio::Listen("127.0.0.1", 0, &wPort);
    ASSERT_NE(netio::kInvalidSocket, listener);
    netio::Close(listener);
    Alloc(wPort);
    for (int nTry = 1; nTry <= 2; ++nTry) {
        SCOPED_TRACE(nTry);
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
        EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
        EXPECT_EQ(0u, Con()->dwLock);
    }
    EXPECT_TRUE(g_Real.sends.empty());
}

// Requests larger than the send buffer leave at once (no wait for a delayed
// acknowledgement) and come back whole from the reference server's echo.
TEST_F(ConnectWire, LargeEchoesComeBackWholeOverASocketWithoutNagle) {
    Alloc(StartReferenceServer());
    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_TRUE(SocketHasNoDelay(Con()->hSocket));
    for (uint32_t dwLen : {1500u, 65536u}) {
        SCOPED_TRACE(dwLen);
        Bytes data = Pattern(dwLen, 3);
        KelCommand request = Record(0x80000100u, 0, 0, 0, dwLen);
        g_Real.sends.clear();
        g_Real.sendMore.clear();
        ASSERT_EQ(KEL_OK, KelSendCommand(h, &request, 0));
        uint32_t dwCount = 0;
        ASSERT_EQ(KEL_OK, KelSend(h, data.data(), dwLen, &dwCount, 1));
        EXPECT_EQ((std::vector<size_t>{1024, 9 + dwLen - 1024}), Sizes(g_Real.sends));
        EXPECT_EQ((std::vector<int>{1, 0}), g_Real.sendMore);
        KelCommand reply;
        ASSERT_EQ(KEL_OK, KelWaitForResponse(h, 0x40000100u, &reply));
        ASSERT_EQ(dwLen, reply.dwDataLen);
        Bytes echoed(dwLen);
        ASSERT_EQ(KEL_OK, KelReceive(h, echoed.data(), dwLen, &dwCount, 1));
        EXPECT_EQ(data, echoed);
    }
}

// With a time-out every wait on a server that says nothing ends with 102 (a
// failed receive), the disconnect too is bounded, and the record is used again.
TEST_F(ConnectWire, TimeOutEndsEveryWaitOnASilentServer) {
    Alloc(0);
    ASSERT_EQ(KEL_OK, KelSetTimeout(h, 200));
    for (int nRound = 1; nRound <= 2; ++nRound) {
        SCOPED_TRACE(nRound);
        FakeServer silent;
        silent.ReceiveUntilClosed();
        ASSERT_TRUE(silent.Start());
        Con()->wPort = silent.Port();
        EXPECT_EQ(KEL_ERR_COMM, KelConnect(h));
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_TRUE(silent.Wait()) << silent.Failure();
        EXPECT_EQ(Concat({ClientIdentifyRequest(), kDisconnectFrame}), silent.Received());
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
    uint16_t wPort = 0;
    netio::Socket listener = netio::Listen("127.0.0.1", 0, &wPort, 0);
    ASSERT_NE(netio::kInvalidSocket, listener);
    std::vector<HKELCONNECTION> queued;
    int32_t nRc = KEL_OK;
    for (int nTry = 0; nTry < 16 && nRc != KEL_ERR_NOT_CONNECTED; ++nTry) {
        HKELCONNECTION hTry = nullptr;
        ASSERT_EQ(KEL_OK, KelAllocConnection(kel_test::LoopbackIP(), wPort, "u", "p", nullptr, &hTry));
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
    netio::Close(listener);
}

}  // namespace
