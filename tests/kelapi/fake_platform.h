// fake_platform.h - the test fixtures over the fake seam, and the real
// platform with taps for the tests that run over real sockets.
#ifndef KEL_TESTS_FAKE_PLATFORM_H
#define KEL_TESTS_FAKE_PLATFORM_H

#include <gtest/gtest.h>

#include "fake_seam.h"

// Every test that touches the seam or the trace derives from this. Whatever
// a test frees must have been cleared first.
class FakePlatformTest : public ::testing::Test {
protected:
    // The library counts as started: tests of the start-up clear the flag themselves.
    void SetUp() override {
        InstallFakePlatform();
        g_dwKelStarted = 0xFFFFFFFFu;
    }
    void TearDown() override;
    // An allocated connection that holds the fake socket, as after a connect.
    HKELCONNECTION NewOpenConnection();
    // Drops the fake socket and frees the connection.
    void FreeOpen(HKELCONNECTION h) {
        Con(h)->hSocket = KEL_INVALID_SOCKET;
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
    }
    KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }
};

// A fixture whose connection h holds the fake socket, as after a connect.
class OpenConnectionTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        h = NewOpenConnection();
    }
    void TearDown() override {
        FreeOpen(h);
        FakePlatformTest::TearDown();
    }
    HKELCONNECTION h = nullptr;
};

// The real platform entries, tapped: heap blocks counted, every socket send
// recorded. Only the test thread calls the library, so plain counters do.
struct RealPlatformTaps {
    int nLiveBlocks = 0;
    int nAllocs = 0;
    std::vector<Bytes> sends;
    std::vector<int> sendMore;           // the hold-back flag of each send
    std::vector<KelSocket> sendSockets;  // the socket of each send
};
extern RealPlatformTaps g_Real;

// The real entries with the taps in place, a fresh RealPlatformTaps, and the
// real start-up still to run.
void InstallTappedRealPlatform();

// Whether Nagle's algorithm is off on a real socket, read back from the system.
bool SocketHasNoDelay(KelSocket hSocket);

// nSize bytes of fresh memory at exactly qwAddress (a multiple of 64 KiB), or
// null where the process has no such address or it is taken.
void *MapFixedBlock(uint64_t qwAddress, size_t nSize);
void UnmapFixedBlock(void *lpBlock, size_t nSize);

#endif
