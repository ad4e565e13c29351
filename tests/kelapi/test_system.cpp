// Host systems against the reference server, in-process, over real loopback
// sockets: who owns the connection and the identity a system reports. The
// real platform entries do the work; heap and send entries are tapped to
// count and record. Failures and refusals: test_session.cpp.
#include <cstring>
#include <string>
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

uint32_t LoopbackIP() {
    const uint8_t abLoopback[4] = {127, 0, 0, 1};
    uint32_t dwIP = 0;
    memcpy(&dwIP, abLoopback, 4);
    return dwIP;
}

KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }
bool IsConnected(HKELCONNECTION h) { return Con(h)->hSocket != KEL_INVALID_SOCKET; }

// An echo through the server proves that a connection is still logged on.
void ExpectEchoWorks(HKELCONNECTION h) {
    KelCommand cmd = Record(kelsrv::kCmdEcho, 0x1234, 0, 0, 3);
    uint32_t dwMoved = 0;
    ASSERT_EQ(KEL_OK, KelSendCommand(h, &cmd, 0));
    ASSERT_EQ(KEL_OK, KelSend(h, "abc", 3, &dwMoved, 1));
    ASSERT_EQ(KEL_OK, KelWaitForResponse(h, kelsrv::kRspEcho, &cmd));
    ASSERT_EQ(3u, cmd.dwDataLen);
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
        InstallTappedRealPlatform();
    }
    void TearDown() override {
        server.Stop();
        KelPlatformReset();
    }

    // The reference server on a free loopback port, with one user demo/secret.
    void StartServer() {
        kelsrv::Options options;
        options.port = 0;
        options.serverId = kServerId;
        options.serverVersion = kServerVersion;
        options.description = kDescription;
        options.logonData = kLogonData;
        options.users.push_back({"demo", "secret", "", 0});
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
    // The caller's connection still works, and the caller releases it.
    void ExpectUsableAndRelease(HKELCONNECTION h) {
        ASSERT_TRUE(IsConnected(h));
        ExpectEchoWorks(h);
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        EXPECT_EQ(0, g_Real.nLiveBlocks);
    }
    // Freeing hSystem sends one disconnect frame, on the socket of hCon.
    void ExpectFreeDisconnects(HKELHOXSYSTEM hSystem, HKELCONNECTION hCon) {
        KelSocket hSocket = Con(hCon)->hSocket;
        g_Real.sends.clear();
        g_Real.sendSockets.clear();
        EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
        EXPECT_EQ(std::vector<Bytes>{kDisconnectFrame}, g_Real.sends);
        EXPECT_EQ(std::vector<KelSocket>{hSocket}, g_Real.sendSockets);
    }

    kelsrv::Server server;
};

// --- Who owns the connection ------------------------------------------------

TEST_F(HostSystem, OwningSystemFreesItsConnectionConnectedOrNot) {
    StartServer();
    for (bool bCallerDisconnects : {false, true}) {
        SCOPED_TRACE(bCallerDisconnects ? "the caller disconnected first" : "still connected");
        HKELHOXSYSTEM hSystem = NewSystem();
        HKELCONNECTION hCon = ConnectionOf(hSystem);
        ASSERT_TRUE(IsConnected(hCon));
        EXPECT_EQ(2, g_Real.nLiveBlocks);
        ASSERT_EQ(KEL_OK, bCallerDisconnects ? KelDisconnect(hCon) : KEL_OK);
        TraceCapture trace;
        if (bCallerDisconnects) {
            EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
            EXPECT_EQ(std::vector<int>{KEL_ERR_NOT_CONNECTED}, trace.ErrorCodes());
        } else {
            ExpectFreeDisconnects(hSystem, hCon);
            EXPECT_TRUE(trace.ErrorCodes().empty());
        }
        EXPECT_EQ(0, g_Real.nLiveBlocks);
        EXPECT_TRUE(HasBody(trace, "KelFreeConnection hConnection = "));
    }
}

TEST_F(HostSystem, ReplacedConnectionIsTheCallersAndTheNewOneIsFreedWithTheSystem) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    HKELCONNECTION hOld = ConnectionOf(hSystem);
    HKELCONNECTION hNew = NewConnection(server.Port());
    ASSERT_EQ(KEL_OK, KelConnect(hNew));
    ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNew));
    EXPECT_EQ(hNew, ConnectionOf(hSystem));
    ExpectFreeDisconnects(hSystem, hNew);
    EXPECT_EQ(1, g_Real.nLiveBlocks);
    ExpectUsableAndRelease(hOld);
}

// --- The identity a system reports -------------------------------------------

TEST_F(HostSystem, SystemInfoReportsTheServerOfTheConnectionItHoldsNow) {
    StartServer();
    HKELHOXSYSTEM hSystem = NewSystem();
    HKELCONNECTION hOld = ConnectionOf(hSystem);
    KelSystemInfo expected;
    memset(&expected, 0, sizeof expected);
    expected.dwServerID = 0x00ABCDEFu;  // the marker byte cleared
    expected.dwServerVersion = kServerVersion;
    memcpy(expected.szServerDescription, kDescription, sizeof kDescription);
    expected.bLogonData = kLogonData;
    KelSystemInfo info;
    for (const char *szWhen : {"connected", "after a disconnect"}) {
        SCOPED_TRACE(szWhen);
        memset(&info, 0xA5, sizeof info);
        g_Real.sends.clear();
        ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
        EXPECT_TRUE(g_Real.sends.empty());
        // Every byte compared: the description's tail and bytes 89-91 are zero.
        EXPECT_EQ(0, memcmp(&expected, &info, sizeof info));
        if (IsConnected(hOld)) {
            ASSERT_EQ(KEL_OK, KelDisconnect(hOld));
        }
    }

    HKELCONNECTION hNever = NewConnection(server.Port());
    ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNever));
    memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
    memset(&expected, 0, sizeof expected);
    EXPECT_EQ(0, memcmp(&expected, &info, sizeof info));

    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(KEL_OK, KelFreeConnection(hOld));
    EXPECT_EQ(0, g_Real.nLiveBlocks);
}

}  // namespace
