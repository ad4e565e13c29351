// Connect and disconnect: the identify, logon and disconnect exchanges byte
// for byte over the seam, time-outs and the chain of "Error:" lines; over
// loopback TCP against the kelsrv engine and against peers that never
// answer. The failures of a connect and the state they leave are swept in
// test_session.cpp.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
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

// The trace texts of a connect, each up to its value.
std::vector<std::string> TextsUpToTheirValues(const TraceCapture &trace) {
    std::vector<std::string> texts;
    for (const std::string &text : trace.Texts()) texts.push_back(text.substr(0, text.find("= ") + 2));
    return texts;
}

// The lines of a connect by address, as they have always been.
const std::vector<std::string> kAddressConnectLines = {
    "KelConnect hConnection = ", "KelConnect hSocket = ",     "KelConnect bind rc = ",
    "KelConnect connect rc = ",  "KelLock hConnection = ",    "   dwServerID = ",
    "   dwServerVersion = ",     "   szServerDescription = ", "KelUnLock hConnection = "};

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
        EXPECT_EQ(kAddressConnectLines, TextsUpToTheirValues(trace));
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

// A named connection resolves at every connect and tries the addresses in
// the resolver's order, each with a new socket of its family bound to the
// family's any-address; one that cannot be made, bound or connected is
// closed and the next one tried. The first to accept carries identify and
// logon exactly as a connection by address does, whose lines the trace
// shows after each address tried. Nothing left: 101, no socket, and a reason
// that names the host and what each address met; the thread's reason is
// only written when the connect fails.
TEST_F(ConnectSeam, NamedConnectionTriesEachAddressInTurnUntilOneAccepts) {
    const KelAddress v6 = V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), v4 = V4(127, 0, 0, 1);
    const std::string sFake = "fake failure (system error 1)",
                      sOn = "connect to localhost:2893: [::1]:2893: ";
    const struct {
        const char *szHost;
        std::vector<KelAddress> resolved;
        FailPlan FakePlatformState::*fail;  // its first call fails
        int32_t nExpected;
        std::vector<std::string> setup;
        std::string reason = "";  // "" when the connect succeeds
    } cases[] = {
        {"localhost",
         {v6, v4},
         &FakePlatformState::connectFail,
         KEL_OK,
         {"resolve localhost", "socket v6", "nodelay", "bind v6", "connect [::1]:2893 250", "socket v4",
          "nodelay", "bind v4", "connect 127.0.0.1:2893 250"}},
        {"localhost",
         {v6, v4},
         &FakePlatformState::socketFail,
         KEL_OK,
         {"resolve localhost", "socket v6", "socket v4", "nodelay", "bind v4", "connect 127.0.0.1:2893 250"}},
        {"localhost",
         {v6, v4},
         &FakePlatformState::bindFail,
         KEL_OK,
         {"resolve localhost", "socket v6", "nodelay", "bind v6", "socket v4", "nodelay", "bind v4",
          "connect 127.0.0.1:2893 250"}},
        {"[::1]",
         {v6},
         nullptr,
         KEL_OK,
         {"resolve ::1", "socket v6", "nodelay", "bind v6", "connect [::1]:2893 250"}},
        {"localhost",
         {},
         nullptr,
         KEL_ERR_NOT_CONNECTED,
         {"resolve localhost"},
         "connect to localhost:2893: the name does not resolve: no such name here"},
        {"::1",
         {v6},
         &FakePlatformState::connectFail,
         KEL_ERR_NOT_CONNECTED,
         {"resolve ::1", "socket v6", "nodelay", "bind v6", "connect [::1]:2893 250"},
         "connect to [::1]:2893: fake failure (system error 1)"},
        {"localhost",
         {v6, v4},
         &FakePlatformState::connectFail,
         KEL_ERR_NOT_CONNECTED,
         {},
         sOn + sFake + "; 127.0.0.1:2893: " + sFake},
        {"localhost",
         {v6, v4},
         &FakePlatformState::bindFail,
         KEL_ERR_NOT_CONNECTED,
         {},
         sOn + "cannot bind the socket: " + sFake + "; 127.0.0.1:2893: cannot bind the socket: " + sFake},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.szHost) + " " + c.reason);
        InstallFakePlatform();
        ASSERT_EQ(KEL_OK, KelAllocConnectionByName(c.szHost, 0, "user", "pass", nullptr, &h));
        ASSERT_EQ(KEL_OK, KelSetTimeout(h, 250));  // each attempt is bounded by it
        EXPECT_EQ(0u, Con(h)->dwIP);
        g_Fake.resolved = c.resolved;
        if (c.fail) (g_Fake.*c.fail) = FailPlan{1, c.nExpected != KEL_OK, 0};
        const std::vector<Bytes> replies = SoundHostReplies();
        ScriptReceive(Concat({replies[0], replies[1]}));
        PlantReason("planted");
        TraceCapture trace;
        ASSERT_EQ(c.nExpected, KelConnect(h));
        std::vector<std::string> setup = c.setup;
        if (c.nExpected == KEL_OK) setup.push_back("timeouts 250");  // on the socket that stands
        if (!c.setup.empty()) {
            EXPECT_EQ(setup, g_Fake.setup);
        }
        EXPECT_EQ(c.reason.empty() ? "planted" : c.reason, Reason());
        EXPECT_EQ(0, g_Fake.nOpenSockets - (c.nExpected == KEL_OK ? 1 : 0))
            << "a socket of a failed attempt is open";
        if (c.nExpected != KEL_OK) {
            EXPECT_EQ(KEL_INVALID_SOCKET, Con(h)->hSocket);
            EXPECT_TRUE(g_Fake.sends.empty());
            EXPECT_EQ(0u, Con(h)->dwLock);
        } else {
            EXPECT_EQ((std::vector<size_t>{97, 50}), Sizes(g_Fake.sends));
            std::vector<std::string> lines = TextsUpToTheirValues(trace), tried;
            auto addressLine = [](const std::string &text) { return text == "KelConnect address = "; };
            std::copy_if(lines.begin(), lines.end(), std::back_inserter(tried), addressLine);
            lines.erase(std::remove_if(lines.begin(), lines.end(), addressLine), lines.end());
            EXPECT_EQ(c.resolved.size() == 2 ? 2u : 1u, tried.size());
            EXPECT_TRUE(trace.Has("KelConnect address =  [::1]:2893")) << "the address tried";
            // After the addresses that failed, the lines of a connect by address.
            EXPECT_EQ(kAddressConnectLines[0], lines.front());
            EXPECT_EQ(std::vector<std::string>(kAddressConnectLines.begin() + 1, kAddressConnectLines.end()),
                      std::vector<std::string>(lines.end() - 8, lines.end()));
            Con(h)->hSocket = KEL_INVALID_SOCKET;
            --g_Fake.nOpenSockets;
        }
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
    }
    // 255 characters of host text are kept whole.
    const std::string sLong(255, 'h');
    ASSERT_EQ(KEL_OK, KelAllocConnectionByName(sLong.c_str(), 7, "u", "p", nullptr, &h));
    EXPECT_EQ(sLong, Con(h)->szHost);
    EXPECT_EQ(7, Con(h)->wPort);
}

// Each kind of failure of a connect says why in one line: the step, the
// address, and what the system said or the server answered. The clean-up
// that follows (KelAllocHoxSystem's own, or a KelDisconnect that succeeds
// whatever it meets) leaves the reason as it is.
TEST_F(ConnectSeam, EachFailureOfAConnectSaysWhyAndTheCleanUpKeepsIt) {
    const std::vector<Bytes> replies = SoundHostReplies();
    auto logon = [](uint32_t dwRetCode, const Bytes &data) {
        return WireRecord(Record(KEL_RSP_LOGON, 0, dwRetCode, 0, (uint32_t)data.size()), data);
    };
    const std::string sAt = "127.0.0.1:2893: ", sIdentify = "identify with " + sAt;
    enum Way { System, Direct, DirectBusy };
    const struct {
        const char *szWhat;
        Way way;
        std::function<void()> fault;
        int32_t nExpected;
        std::string reason;
    } cases[] = {
        {"refused", System, [] { g_Fake.connectFail.nFailAt = 1; }, KEL_ERR_NOT_CONNECTED,
         "connect to " + sAt + "fake failure (system error 1)"},
        {"connect timed out", Direct,
         [] {
             g_Fake.connectFail.nFailAt = 1;
             g_Fake.bLastTimedOut = true;
         },
         KEL_ERR_NOT_CONNECTED, "connect to " + sAt + "timed out after 250 ms"},
        {"no socket", System, [] { g_Fake.socketFail.nFailAt = 1; }, KEL_ERR_SYSTEM,
         "connect to " + sAt + "cannot create a socket: fake failure (system error 1)"},
        {"closed in the middle of a reply", System,
         [&] { ScriptReceive(Bytes(replies[0].begin(), replies[0].end() - 40)); }, KEL_ERR_COMM,
         sIdentify + "receive: the server closed the connection"},
        {"silent", Direct,
         [] {
             g_Fake.nRecvErrorAfterScript = -1;
             g_Fake.bLastTimedOut = true;
         },
         KEL_ERR_COMM, sIdentify + "receive: timed out after 250 ms"},
        {"send refused", Direct,
         [] {
             g_Fake.nSendCut = 0;
             g_Fake.bSendCutByReset = true;
         },
         KEL_ERR_COMM, sIdentify + "send: fake failure (system error 1)"},
        {"marker", System, [] { ScriptReceive(IdentifyReply(0x43123456u)); }, KEL_ERR_PROTOCOL,
         sIdentify + "the server's identifier 0x43123456 lacks the marker 0x53"},
        {"identify code", Direct,
         [] {
             ScriptReceive(
                 WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0x00010001u, 0, 88), IdentifyBlock(0x53000001u)));
         },
         KEL_ERR_PROTOCOL, sIdentify + "the reply carries host return code 0x00010001"},
        {"identify length", Direct,
         [] { ScriptReceive(WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0, 0, 80), Bytes(80, 0x53))); },
         KEL_ERR_PROTOCOL, sIdentify + "the reply announces 80 data bytes, not 88"},
        {"no skip", Direct, [] { ScriptReceive(WireRecord(Record(0x777u, 0, 0, 0, 0, KEL_FLAG_NOSKIP))); },
         KEL_ERR_PROTOCOL,
         sIdentify + "receive: frame 0x00000777 came unawaited and may not be skipped (flag 0x10)"},
        {"logon refused", System,
         [&] {
             ScriptReceive(Concat({replies[0], logon(0x00010002u, {})}));
         },
         KEL_ERR_HOST_106, "log on to " + sAt + "refused by the host with return code 0x00010002"},
        {"logon length", Direct,
         [&] {
             ScriptReceive(Concat({replies[0], logon(0, {1, 2})}));
         },
         KEL_ERR_PROTOCOL, "log on to " + sAt + "the reply announces 2 data bytes, not 1"},
        {"busy", DirectBusy, [] {}, KEL_ERR_LOCKED, "KelLock: the connection's busy flag is already set"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szWhat);
        InstallFakePlatform();
        c.fault();
        if (c.way == System) {
            HKELHOXSYSTEM hSystem = nullptr;
            EXPECT_EQ(c.nExpected, KelAllocHoxSystem(0x0100007F, 0, "user", "pass", nullptr, &hSystem));
            EXPECT_EQ(c.reason, Reason());
            EXPECT_EQ(0, g_Fake.nLiveBlocks);
            continue;
        }
        ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", nullptr, &h));
        ASSERT_EQ(KEL_OK, KelSetTimeout(h, 250));
        if (c.way == DirectBusy) {
            ASSERT_EQ(KEL_OK, KelLock(h));
        }
        EXPECT_EQ(c.nExpected, KelConnect(h));
        EXPECT_EQ(c.reason, Reason());
        if (Con(h)->hSocket != KEL_INVALID_SOCKET) {
            EXPECT_EQ(KEL_OK, KelDisconnect(h));
        }
        EXPECT_EQ(c.reason, Reason());
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
    }
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
    const uint16_t wPort = kel_test::ClosedPort();
    ASSERT_NE(0, wPort);
    Alloc(wPort);
    std::string sFirst;
    for (int nTry = 1; nTry <= 2; ++nTry) {
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
        EXPECT_EQ(KEL_INVALID_SOCKET, Con()->hSocket);
        EXPECT_EQ(0u, Con()->dwLock);
        if (nTry == 1) sFirst = Reason();
        // The same refusal, met by a connect that waits under a bound, says the same.
        KelSetTimeout(h, 30000);
    }
    EXPECT_TRUE(g_Fake.sends.empty());
    // The system's own message and number, whatever its wording here.
    const std::string sStep = "connect to 127.0.0.1:" + std::to_string(wPort) + ": ";
    EXPECT_EQ(0u, sFirst.find(sStep)) << sFirst;
    EXPECT_NE(std::string::npos, sFirst.find(" (system error ", sStep.size() + 1)) << sFirst;
    EXPECT_EQ(sFirst, Reason());
    std::printf("reason: %s\n", sFirst.c_str());
}

// By name: an IPv6 address with or without brackets reaches a server that
// listens on ::1 only, and a name that does not resolve is named in the
// reason. Without IPv6 on the machine only the unknown name is checked.
TEST_F(ConnectWire, NamedConnectionsReachAnIPv6ServerAndNameAnUnknownHost) {
    kelsrv::Options options;
    options.address = "::1";
    std::string error;
    options.port = 0;
    bool bIPv6 = reference.Start(options, &error);
    if (!bIPv6) std::printf("no IPv6 loopback here (%s): its connects are not checked\n", error.c_str());
    const uint16_t wPort = bIPv6 ? reference.Port() : 1;
    for (const char *szHost : {"::1", "[::1]", "no-such-host.invalid"}) {
        SCOPED_TRACE(szHost);
        bool bKnown = szHost[0] != 'n';
        if (bKnown && !bIPv6) continue;
        ASSERT_EQ(KEL_OK, KelAllocConnectionByName(szHost, wPort, "user", "pass", nullptr, &h));
        EXPECT_EQ(bKnown ? KEL_OK : KEL_ERR_NOT_CONNECTED, KelConnect(h));
        if (bKnown) {
            EXPECT_EQ(KEL_FAMILY_IPV6, Con()->addrPeer.nFamily);
            EXPECT_EQ(KEL_OK, KelDisconnect(h));
        } else {
            const std::string sStep = "connect to no-such-host.invalid:" + std::to_string(wPort) + ": ";
            EXPECT_EQ(0u, Reason().find(sStep + "the name does not resolve: ")) << Reason();
            std::printf("reason: %s\n", Reason().c_str());
        }
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
    }
}

// Where the machine resolves localhost to two addresses of both families, a
// server that listens on the second only is reached through the first,
// refused, one. Each attempt shows in the trace.
TEST_F(ConnectWire, NamedConnectionGoesOnToTheNextAddressOfLocalhost) {
    KelAddress aFound[KEL_MAX_ADDRESSES];
    char szWhy[128];
    int nFound =
        KelPlatformDefaults().pfnResolve("localhost", aFound, KEL_MAX_ADDRESSES, szWhy, sizeof szWhy);
    if (nFound < 2 || aFound[0].nFamily == aFound[1].nFamily)
        GTEST_SKIP() << "localhost resolves to " << nFound << " address(es) here, not to ::1 and 127.0.0.1";
    kelsrv::Options options;
    options.address = aFound[1].nFamily == KEL_FAMILY_IPV6 ? "::1" : "127.0.0.1";
    ASSERT_EQ(KEL_OK,
              KelAllocConnectionByName("localhost", StartReferenceServer(options), "u", "p", nullptr, &h));
    TraceCapture trace;
    ASSERT_EQ(KEL_OK, KelConnect(h));
    EXPECT_EQ(aFound[1].nFamily, Con()->addrPeer.nFamily);
    std::vector<std::string> texts = trace.Texts();
    EXPECT_EQ(2, std::count_if(texts.begin(), texts.end(), [](const std::string &text) {
                  return text.rfind("KelConnect address = ", 0) == 0;
              }));
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
        const std::string sReason =
            "identify with 127.0.0.1:" + std::to_string(silent.Port()) + ": receive: timed out after 200 ms";
        EXPECT_EQ(sReason, Reason());
        EXPECT_EQ(KEL_OK, KelDisconnect(h));  // its own wait runs out as well
        EXPECT_EQ(sReason, Reason());
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
    EXPECT_EQ("connect to 127.0.0.1:" + std::to_string(full.Port()) + ": timed out after 200 ms", Reason());
    for (HKELCONNECTION hQueued : queued) {
        KelDisconnect(hQueued);
        EXPECT_EQ(KEL_OK, KelFreeConnection(hQueued));
    }
}

}  // namespace
