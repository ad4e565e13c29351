// Host systems over the fake seam: who owns the connection and the identity
// a system reports. Their failures and refusals are in test_session.cpp;
// over real sockets against the kelsrv engine they run in test_threads.cpp.
#include <cstring>

#include "fake_platform.h"
#include "fake_session.h"

namespace {

class HostSystem : public FakePlatformTest {
protected:
    // A connection to a sound server on socket hSocket, in a system that owns it.
    HKELHOXSYSTEM NewSystem(KelSocket hSocket) {
        ScriptConnect(hSocket);
        HKELHOXSYSTEM h = nullptr;
        EXPECT_EQ(KEL_OK, KelAllocHoxSystem(1, 0, "demo", "secret", nullptr, &h));
        return h;
    }
    HKELCONNECTION NewConnection(KelSocket hSocket, bool bConnect) {
        HKELCONNECTION h = nullptr;
        EXPECT_EQ(KEL_OK, KelAllocConnection(1, 0, "demo", "secret", nullptr, &h));
        ScriptConnect(hSocket);
        EXPECT_EQ(KEL_OK, bConnect ? KelConnect(h) : KEL_OK);
        return h;
    }
    HKELCONNECTION ConnectionOf(HKELHOXSYSTEM hSystem) {
        HKELCONNECTION h = nullptr;
        EXPECT_EQ(KEL_OK, KelGetConnection(hSystem, &h));
        return h;
    }
    // Freeing the system disconnects exactly the connection on socket hSocket.
    void ExpectFreeDisconnects(HKELHOXSYSTEM hSystem, KelSocket hSocket) {
        g_Fake.sends.clear();
        g_Fake.closed.clear();
        EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
        EXPECT_EQ(std::vector<Bytes>{kDisconnectFrame}, g_Fake.sends);
        EXPECT_EQ(std::vector<KelSocket>{hSocket}, g_Fake.closed);
    }

private:
    // The next connect gets socket hSocket and the server's replies to it and to its disconnect.
    void ScriptConnect(KelSocket hSocket) {
        g_Fake.hNextSocket = hSocket;
        g_Fake.recvChunks.clear();
        g_Fake.recvData.resize(g_Fake.nRecvPos);
        ScriptReceiveInChunks(Concat({IdentifyReply(), LogonReply(), WireRecord(Record(KEL_RSP_DISCONNECT))}),
                              0);
    }
};

bool HasBody(const TraceCapture &trace, const std::string &sPart) {
    for (const std::string &sBody : trace.Bodies())
        if (sBody.find(sPart) != std::string::npos) return true;
    return false;
}

TEST_F(HostSystem, OwningSystemFreesItsConnectionConnectedOrNot) {
    for (bool bCallerDisconnects : {false, true}) {
        SCOPED_TRACE(bCallerDisconnects ? "the caller disconnected first" : "still connected");
        HKELHOXSYSTEM hSystem = NewSystem(7);
        HKELCONNECTION hCon = ConnectionOf(hSystem);
        EXPECT_EQ(2, g_Fake.nLiveBlocks);
        ASSERT_EQ(KEL_OK, bCallerDisconnects ? KelDisconnect(hCon) : KEL_OK);
        TraceCapture trace;
        if (bCallerDisconnects) {
            EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
            EXPECT_EQ(std::vector<int>{KEL_ERR_NOT_CONNECTED}, trace.ErrorCodes());
        } else {
            ExpectFreeDisconnects(hSystem, 7);
            EXPECT_TRUE(trace.ErrorCodes().empty());
        }
        EXPECT_EQ(0, g_Fake.nLiveBlocks);
        EXPECT_TRUE(HasBody(trace, "KelFreeConnection hConnection = "));
    }
}

// Ownership goes with the flag: the new connection is freed with the system,
// the one it held before stays the caller's, connected.
TEST_F(HostSystem, ReplacedConnectionIsTheCallersAndTheNewOneIsFreedWithTheSystem) {
    HKELHOXSYSTEM hSystem = NewSystem(7);
    HKELCONNECTION hOld = ConnectionOf(hSystem);
    HKELCONNECTION hNew = NewConnection(8, true);
    ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNew));
    EXPECT_EQ(hNew, ConnectionOf(hSystem));
    ExpectFreeDisconnects(hSystem, 8);
    EXPECT_EQ(1, g_Fake.nLiveBlocks);
    EXPECT_EQ(7u, Con(hOld)->hSocket);
    EXPECT_EQ(KEL_OK, KelDisconnect(hOld));
    EXPECT_EQ(KEL_OK, KelFreeConnection(hOld));
}

TEST_F(HostSystem, SystemInfoReportsTheServerOfTheConnectionItHoldsNow) {
    HKELHOXSYSTEM hSystem = NewSystem(7);
    HKELCONNECTION hOld = ConnectionOf(hSystem);
    KelSystemInfo expected;
    memset(&expected, 0, sizeof expected);
    expected.dwServerID = 0x00000001u;  // the marker byte cleared
    expected.dwServerVersion = 0x00020003u;
    strcpy(expected.szServerDescription, "test host");
    expected.bLogonData = 0x5A;
    KelSystemInfo info;
    for (const char *szWhen : {"connected", "after a disconnect"}) {
        SCOPED_TRACE(szWhen);
        memset(&info, 0xA5, sizeof info);
        g_Fake.sends.clear();
        ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
        EXPECT_TRUE(g_Fake.sends.empty());
        // Every byte compared: the description's tail and bytes 89-91 are zero.
        EXPECT_EQ(0, memcmp(&expected, &info, sizeof info));
        ASSERT_EQ(KEL_OK, Con(hOld)->hSocket != KEL_INVALID_SOCKET ? KelDisconnect(hOld) : KEL_OK);
    }

    HKELCONNECTION hNever = NewConnection(8, false);
    ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNever));
    memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
    memset(&expected, 0, sizeof expected);
    EXPECT_EQ(0, memcmp(&expected, &info, sizeof info));

    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(KEL_OK, KelFreeConnection(hOld));
    EXPECT_EQ(0, g_Fake.nLiveBlocks);
}

}  // namespace
