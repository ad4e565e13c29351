// Host systems against the reference server, in-process, over real loopback
// sockets: who owns the connection, the identity a system reports, and
// failed allocations that must leave nothing behind. The real platform
// entries do the work; heap and send entries are wrapped to count and record.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "netio.h"
#include "protocol.h"
#include "server.h"

namespace {

const uint32_t kServerId = 0x53ABCDEFu;
const uint32_t kServerVersion = 0x00020003u;
const char kDescription[] = "kelsrv for the host-system tests";
const uint8_t kLogonData = 0x5A;

const Bytes kDisconnectFrame = {0x80, 0x00, 0x00, 0x03, 0x00};

struct SocketSend {
    KelSocket hSocket;
    Bytes bytes;
};

// What the wrappers saw. Only the test thread calls the library, so plain
// counters do; the server threads use their own sockets layer.
int s_nLiveBlocks = 0;
int s_nAllocs = 0;
FailPlan s_AllocFail;
std::vector<SocketSend> s_Sends;

void *CountingAlloc(size_t nSize) {
    if (s_AllocFail.ShouldFail()) return nullptr;
    void *lpMemory = KelPlatformDefaults().pfnAlloc(nSize);
    if (lpMemory) {
        ++s_nLiveBlocks;
        ++s_nAllocs;
    }
    return lpMemory;
}

void CountingFree(void *lpMemory) {
    if (lpMemory) --s_nLiveBlocks;
    KelPlatformDefaults().pfnFree(lpMemory);
}

int RecordingSend(KelSocket hSocket, const void *lpData, int nLen) {
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    s_Sends.push_back({hSocket, Bytes(lpBytes, lpBytes + nLen)});
    return KelPlatformDefaults().pfnSend(hSocket, lpData, nLen);
}

uint32_t LoopbackIP() {
    const uint8_t abLoopback[4] = {127, 0, 0, 1};
    uint32_t dwIP = 0;
    memcpy(&dwIP, abLoopback, 4);
    return dwIP;
}

// A port on which nothing listens: one the system handed out and took back.
uint16_t RefusingPort() {
    uint16_t wPort = 0;
    netio::Socket listener = netio::Listen("127.0.0.1", 0, &wPort);
    EXPECT_NE(netio::kInvalidSocket, listener) << netio::LastError();
    netio::Close(listener);
    return wPort;
}

KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }
KelHoxSystem *Sys(HKELHOXSYSTEM h) { return static_cast<KelHoxSystem *>(h); }
bool IsConnected(HKELCONNECTION h) { return Con(h)->hSocket != KEL_INVALID_SOCKET; }

// An echo through the server proves that a connection is still logged on.
void ExpectEchoWorks(HKELCONNECTION h) {
    KelCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = kelsrv::kCmdEcho;
    cmd.dwParm1 = 0x1234;
    cmd.dwDataLen = 3;
    uint32_t dwMoved = 0;
    ASSERT_EQ(KEL_OK, KelSendCommand(h, &cmd, 0));
    ASSERT_EQ(KEL_OK, KelSend(h, "abc", 3, &dwMoved, 1));
    KelCommand reply;
    ASSERT_EQ(KEL_OK, KelWaitForResponse(h, kelsrv::kRspEcho, &reply));
    EXPECT_EQ(0x1234u, reply.dwParm1);
    ASSERT_EQ(3u, reply.dwDataLen);
    char abData[3] = {0};
    ASSERT_EQ(KEL_OK, KelReceive(h, abData, 3, &dwMoved, 1));
    EXPECT_EQ(0, memcmp(abData, "abc", 3));
}

bool HasBody(const TraceCapture &trace, const std::string &sPart) {
    for (const std::string &sBody : trace.Bodies())
        if (sBody.find(sPart) != std::string::npos) return true;
    return false;
}

class HostSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(netio::Startup());
        KelPlatformReset();
        g_KelPlatform.pfnAlloc = CountingAlloc;
        g_KelPlatform.pfnFree = CountingFree;
        g_KelPlatform.pfnSend = RecordingSend;
        s_nLiveBlocks = 0;
        s_nAllocs = 0;
        s_AllocFail = FailPlan();
        s_Sends.clear();
    }
    void TearDown() override {
        server.Stop();
        bKelTraceOn = 0;
        fKelTraceFunc = nullptr;
        KelPlatformReset();
    }

    // The reference server on a free loopback port, with one user demo/secret.
    void StartServer(kelsrv::Misbehaviour misbehaviour = kelsrv::Misbehaviour::None) {
        kelsrv::Options options;
        options.port = 0;
        options.serverId = kServerId;
        options.serverVersion = kServerVersion;
        options.description = kDescription;
        options.logonData = kLogonData;
        options.users.push_back({"demo", "secret", "", 0});
        options.misbehaviour = misbehaviour;
        std::string sError;
        ASSERT_TRUE(server.Start(options, &sError)) << sError;
    }

    HKELHOXSYSTEM NewSystem() {
        HKELHOXSYSTEM h = nullptr;
        EXPECT_EQ(KEL_OK, KelAllocHoxSystem(LoopbackIP(), server.Port(), "demo", "secret", nullptr, &h));
        return h;
    }
    HKELCONNECTION NewConnection(uint16_t wPort) {
        HKELCONNECTION h = nullptr;
        EXPECT_EQ(KEL_OK, KelAllocConnection(LoopbackIP(), wPort, "demo", "secret", nullptr, &h));
        return h;
    }
    HKELCONNECTION ConnectionOf(HKELHOXSYSTEM hSystem) {
        HKELCONNECTION h = nullptr;
        EXPECT_EQ(KEL_OK, KelGetConnection(hSystem, &h));
        return h;
    }
    void Release(HKELCONNECTION h) {
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
    }

    kelsrv::Server server;
};

// --- Who owns the connection ------------------------------------------------

TEST_F(HostSystem, OwningSystemDisconnectsAndFreesItsConnection) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    ASSERT_NE(nullptr, hSystem);
    HKELCONNECTION hCon = ConnectionOf(hSystem);
    ASSERT_TRUE(IsConnected(hCon));
    EXPECT_EQ(0u, Sys(hSystem)->dwExternalConnection);
    EXPECT_EQ(2, s_nLiveBlocks);
    KelSocket hSocket = Con(hCon)->hSocket;
    s_Sends.clear();

    TraceCapture trace;
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(0, s_nLiveBlocks);
    ASSERT_EQ(1u, s_Sends.size());
    EXPECT_EQ(hSocket, s_Sends[0].hSocket);
    EXPECT_EQ(kDisconnectFrame, s_Sends[0].bytes);
    EXPECT_TRUE(HasBody(trace, "KelFreeConnection hConnection = "));
    EXPECT_TRUE(trace.ErrorCodes().empty());
}

TEST_F(HostSystem, ExternalConnectionStaysConnectedForTheCallerToRelease) {
    StartServer();
    HKELCONNECTION hCon = NewConnection(server.Port());
    HKELHOXSYSTEM hSystem = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocHoxSystemExt(hCon, &hSystem));
    EXPECT_EQ(0xFFFFFFFFu, Sys(hSystem)->dwExternalConnection);
    EXPECT_EQ(hCon, ConnectionOf(hSystem));
    s_Sends.clear();

    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_TRUE(s_Sends.empty());
    EXPECT_EQ(1, s_nLiveBlocks);
    ASSERT_TRUE(IsConnected(hCon));
    ExpectEchoWorks(hCon);
    Release(hCon);
    EXPECT_EQ(0, s_nLiveBlocks);
}

TEST_F(HostSystem, ReplacedConnectionIsTheCallersAndTheNewOneIsFreedWithTheSystem) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    HKELCONNECTION hOld = ConnectionOf(hSystem);
    HKELCONNECTION hNew = NewConnection(server.Port());
    ASSERT_EQ(KEL_OK, KelConnect(hNew));
    KelSocket hNewSocket = Con(hNew)->hSocket;

    ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNew));
    EXPECT_EQ(hNew, ConnectionOf(hSystem));
    EXPECT_EQ(0u, Sys(hSystem)->dwExternalConnection);
    s_Sends.clear();
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    ASSERT_EQ(1u, s_Sends.size());
    EXPECT_EQ(hNewSocket, s_Sends[0].hSocket);
    EXPECT_EQ(kDisconnectFrame, s_Sends[0].bytes);
    EXPECT_EQ(1, s_nLiveBlocks);

    ASSERT_TRUE(IsConnected(hOld));
    ExpectEchoWorks(hOld);
    Release(hOld);
    EXPECT_EQ(0, s_nLiveBlocks);
}

TEST_F(HostSystem, FreeAfterTheCallerDisconnectedStillFreesAndSucceeds) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    HKELCONNECTION hCon = ConnectionOf(hSystem);
    ASSERT_EQ(KEL_OK, KelDisconnect(hCon));

    TraceCapture trace;
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(std::vector<int>{KEL_ERR_NOT_CONNECTED}, trace.ErrorCodes());
    EXPECT_TRUE(HasBody(trace, "KelFreeConnection hConnection = "));
    EXPECT_EQ(0, s_nLiveBlocks);
}

// --- The identity a system reports -------------------------------------------

TEST_F(HostSystem, SystemInfoReportsTheServerWithoutMarkerAndWithZeroFill) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    KelSystemInfo info;
    memset(&info, 0xA5, sizeof info);
    s_Sends.clear();

    ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
    EXPECT_TRUE(s_Sends.empty());
    EXPECT_EQ(0x00ABCDEFu, info.dwServerID);
    EXPECT_EQ(kServerVersion, info.dwServerVersion);
    EXPECT_STREQ(kDescription, info.szServerDescription);
    size_t nLen = strlen(kDescription);
    for (size_t i = nLen; i < sizeof info.szServerDescription; ++i)
        EXPECT_EQ(0, info.szServerDescription[i]) << "description byte " << i;
    EXPECT_EQ(kLogonData, info.bLogonData);
    const uint8_t *lpRaw = reinterpret_cast<const uint8_t *>(&info);
    EXPECT_EQ(0, lpRaw[89]);
    EXPECT_EQ(0, lpRaw[90]);
    EXPECT_EQ(0, lpRaw[91]);
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
}

TEST_F(HostSystem, SystemInfoFollowsTheConnectionItHoldsNow) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    HKELCONNECTION hOld = ConnectionOf(hSystem);
    ASSERT_EQ(KEL_OK, KelDisconnect(hOld));
    KelSystemInfo info;
    memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
    EXPECT_EQ(0x00ABCDEFu, info.dwServerID) << "identity kept after the disconnect";
    EXPECT_STREQ(kDescription, info.szServerDescription);
    EXPECT_EQ(kLogonData, info.bLogonData);

    HKELCONNECTION hNever = NewConnection(server.Port());
    ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNever));
    memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
    KelSystemInfo zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, memcmp(&zero, &info, sizeof info));

    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(1, s_nLiveBlocks);
    EXPECT_EQ(KEL_OK, KelFreeConnection(hOld));
    EXPECT_EQ(0, s_nLiveBlocks);
}

// --- Handle and argument checks ----------------------------------------------

TEST_F(HostSystem, ConnectionHandleIsNoSystemHandle) {
    HKELCONNECTION hCon = NewConnection(1);
    KelSystemInfo info;
    HKELCONNECTION hOut = nullptr;
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_HANDLE, KelGetSystemInfo(hCon, &info));
    EXPECT_EQ(KEL_ERR_HANDLE, KelGetConnection(hCon, &hOut));
    EXPECT_EQ(nullptr, hOut);
    EXPECT_EQ(KEL_ERR_HANDLE, KelSetConnection(hCon, hCon));
    EXPECT_EQ(KEL_ERR_HANDLE, KelFreeHoxSystem(hCon));
    EXPECT_EQ(std::vector<int>(4, KEL_ERR_HANDLE), trace.ErrorCodes());
    EXPECT_EQ(8u, trace.Lines().size()) << "one entry line and one error line each";
    EXPECT_EQ(KEL_TYPE_CONNECTION, Con(hCon)->dwType);
    EXPECT_EQ(KEL_OK, KelFreeConnection(hCon));
    EXPECT_EQ(0, s_nLiveBlocks);
}

// A system handle in place of the connection would have KelGetSystemInfo
// read a connection record past the end of the smaller system record.
TEST_F(HostSystem, SystemHandleIsNoConnectionForKelSetConnection) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    HKELHOXSYSTEM hOther = NewSystem();
    HKELCONNECTION hCon = ConnectionOf(hSystem);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_HANDLE, KelSetConnection(hSystem, hOther));
    EXPECT_EQ(std::vector<int>{KEL_ERR_HANDLE}, trace.ErrorCodes());
    EXPECT_EQ(2u, trace.Lines().size());
    EXPECT_EQ(hCon, ConnectionOf(hSystem));
    KelSystemInfo info;
    ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
    EXPECT_EQ(0x00ABCDEFu, info.dwServerID);
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hOther));
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(0, s_nLiveBlocks);
}

TEST_F(HostSystem, NullArgumentsAreRefusedAndOutHandlesKeepTheirValue) {
    HKELHOXSYSTEM hKeep = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocHoxSystem(LoopbackIP(), 1, nullptr, "secret", nullptr, &hKeep));
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), hKeep);
    ASSERT_EQ(2u, trace.Bodies().size());
    EXPECT_NE(std::string::npos, trace.Bodies()[0].find("KelAllocHoxSystem dwIP = "));
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocHoxSystem(LoopbackIP(), 1, "demo", nullptr, nullptr, &hKeep));
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocHoxSystem(LoopbackIP(), 1, "demo", "secret", nullptr, nullptr));
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocHoxSystemExt(nullptr, &hKeep));
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), hKeep);
    EXPECT_EQ(0, s_nAllocs);
}

// --- Failed allocations leave nothing behind ---------------------------------

TEST_F(HostSystem, RefusedTcpConnectionGives101AndLeavesNothing) {
    uint16_t wPort = RefusingPort();
    HKELHOXSYSTEM hSystem = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelAllocHoxSystem(LoopbackIP(), wPort, "demo", "secret", nullptr, &hSystem));
    EXPECT_EQ(nullptr, hSystem);
    EXPECT_EQ(2, s_nAllocs) << "a connection and a system record were made";
    EXPECT_EQ(0, s_nLiveBlocks);
    EXPECT_TRUE(s_Sends.empty());
    std::vector<int> codes = trace.ErrorCodes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(std::vector<int>(codes.size(), KEL_ERR_NOT_CONNECTED), codes);
    EXPECT_NE(std::string::npos, trace.Bodies().back().find("KelSystm at "));
}

TEST_F(HostSystem, WrongMarkerServerGives105AfterTheDisconnectFrameWentOut) {
    StartServer(kelsrv::Misbehaviour::WrongMarker);
    HKELHOXSYSTEM hSystem = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_PROTOCOL, KelAllocHoxSystem(LoopbackIP(), server.Port(), "demo", "secret", nullptr, &hSystem));
    EXPECT_EQ(nullptr, hSystem);
    EXPECT_EQ(2, s_nAllocs);
    EXPECT_EQ(0, s_nLiveBlocks);
    ASSERT_EQ(2u, s_Sends.size()) << "identify, then disconnect; no logon";
    EXPECT_EQ(97u, s_Sends[0].bytes.size());
    EXPECT_EQ(kDisconnectFrame, s_Sends[1].bytes);
    EXPECT_TRUE(HasBody(trace, "KelFreeConnection hConnection = "));
    EXPECT_EQ(KEL_ERR_PROTOCOL, trace.ErrorCodes().back());
}

TEST_F(HostSystem, WrongMarkerThroughExtLeavesTheCallersConnectionForKelDisconnect) {
    StartServer(kelsrv::Misbehaviour::WrongMarker);
    HKELCONNECTION hCon = NewConnection(server.Port());
    HKELHOXSYSTEM hSystem = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    EXPECT_EQ(KEL_ERR_PROTOCOL, KelAllocHoxSystemExt(hCon, &hSystem));
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), hSystem);
    EXPECT_EQ(1, s_nLiveBlocks);
    EXPECT_TRUE(IsConnected(hCon));
    EXPECT_EQ(KEL_LOCK_BUSY, Con(hCon)->dwLock);
    EXPECT_EQ(KEL_OK, KelDisconnect(hCon));
    EXPECT_FALSE(IsConnected(hCon));
    EXPECT_EQ(KEL_LOCK_FREE, Con(hCon)->dwLock);
    EXPECT_EQ(KEL_OK, KelFreeConnection(hCon));
    EXPECT_EQ(0, s_nLiveBlocks);
}

TEST_F(HostSystem, ExtWithNullOutHandleAllocatesAndConnectsNothing) {
    StartServer();
    HKELCONNECTION hCon = NewConnection(server.Port());
    int nAllocsBefore = s_nAllocs;
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocHoxSystemExt(hCon, nullptr));
    EXPECT_EQ(nAllocsBefore, s_nAllocs);
    EXPECT_FALSE(IsConnected(hCon));
    EXPECT_EQ(0ul, server.ConnectionsAccepted());
    EXPECT_EQ(std::vector<int>{KEL_ERR_PARAM}, trace.ErrorCodes());
    EXPECT_EQ(KEL_OK, KelFreeConnection(hCon));
}

TEST_F(HostSystem, ExtOnAConnectedConnectionGives100AndLeavesItConnected) {
    StartServer();
    HKELCONNECTION hCon = NewConnection(server.Port());
    ASSERT_EQ(KEL_OK, KelConnect(hCon));
    HKELHOXSYSTEM hSystem = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    EXPECT_EQ(KEL_ERR_ALREADY_CONNECTED, KelAllocHoxSystemExt(hCon, &hSystem));
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), hSystem);
    EXPECT_EQ(1, s_nLiveBlocks);
    ASSERT_TRUE(IsConnected(hCon));
    ExpectEchoWorks(hCon);
    Release(hCon);
}

TEST_F(HostSystem, ExhaustedHeapGives3AndReleasesTheConnectionAlreadyMade) {
    StartServer();
    HKELCONNECTION hCon = NewConnection(server.Port());
    HKELHOXSYSTEM hSystem = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    s_AllocFail = FailPlan{1, true, 0};
    EXPECT_EQ(KEL_ERR_SYSTEM, KelAllocHoxSystemExt(hCon, &hSystem));
    EXPECT_FALSE(IsConnected(hCon)) << "no connect without a record";
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), hSystem);
    s_AllocFail = FailPlan();
    EXPECT_EQ(KEL_OK, KelFreeConnection(hCon));

    // The system record is the second block: the connection made for it goes again.
    s_AllocFail = FailPlan{2, false, 0};
    s_nAllocs = 0;
    EXPECT_EQ(KEL_ERR_SYSTEM, KelAllocHoxSystem(LoopbackIP(), server.Port(), "demo", "secret", nullptr, &hSystem));
    EXPECT_EQ(nullptr, hSystem);
    EXPECT_EQ(1, s_nAllocs);
    EXPECT_EQ(0, s_nLiveBlocks);
}

}  // namespace
