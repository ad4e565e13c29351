// fake_platform.h - a scripted stand-in for the library's platform seam.
//
// Install() points every entry of the library's platform table at the fake;
// the destructor of FakePlatformTest puts the real entries back. The fake
// records every socket send, delivers receives in scripted chunks, fixes the
// clock, counts heap blocks and can fail the Nth call of an entry.
#ifndef KEL_TESTS_FAKE_PLATFORM_H
#define KEL_TESTS_FAKE_PLATFORM_H

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "kelapi_internal.h"

using Bytes = std::vector<uint8_t>;

// Fails calls of one entry: the Nth call (1-based) once, or every call from it on.
struct FailPlan {
    int nFailAt = 0;  // 0: never
    bool bFromThenOn = false;
    int nCalls = 0;
    bool ShouldFail() {
        ++nCalls;
        return nFailAt && (nCalls == nFailAt || (bFromThenOn && nCalls > nFailAt));
    }
};

struct FakePlatformState {
    // Sockets.
    int nStartupResult = 0;
    int nStartupCalls = 0;
    KelSocket hNextSocket = 7;
    FailPlan socketFail, bindFail, connectFail, sendFail;
    int nShortSendBy = 0;       // a failing send takes this many bytes fewer (0: reports -1)
    std::vector<Bytes> sends;   // every socket send, in order, as offered
    std::vector<int> sendMore;  // the hold-back flag of each send
    // The socket set-up calls in order: "nodelay", "bind", "connect <ms>",
    // "timeouts <ms>" (<ms> the time-out passed).
    std::vector<std::string> setup;
    int nNoDelayResult = 0;
    std::deque<int> recvChunks;  // bytes each receive delivers at most; empty: the peer closed
    Bytes recvData;              // the stream the receives read from
    size_t nRecvPos = 0;
    std::vector<int> recvAsked;     // the count each receive asked for
    int nRecvErrorAfterScript = 0;  // when the chunks run out: 0 reports a close, -1 an error
    std::vector<KelSocket> closed;
    // Addresses.
    std::string lastLookup;
    // Heap.
    FailPlan allocFail;
    int nLiveBlocks = 0;
    int nAllocs = 0;
    // Clock and random.
    int64_t nNow = 946886709;  // 3 January 2000, 08:05:09 UTC
    KelLocalTime localTime = {8, 5, 9, 3, 1, 2000};
    int nTimeReads = 0;
    uint32_t dwSeed = 0;
    int nSeedCalls = 0;
};

extern FakePlatformState g_Fake;

// Points the library's platform table at the fake, with a fresh state.
void InstallFakePlatform();

// Adds bytes for the receives to deliver, in chunks of at most these sizes.
void ScriptReceive(const Bytes &data, std::initializer_list<int> chunks);

// The trace lines written while it lives.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    const std::vector<std::string> &Lines() const;
    // Lines without their time stamp prefix ("hh:mm:ss  dd.mm.yyyy - ").
    std::vector<std::string> Bodies() const;
    // The "Error:" lines' codes, in order.
    std::vector<int> ErrorCodes() const;
};

// Every test that touches the seam or the trace derives from this.
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

// The real platform entries, tapped: heap blocks counted, allocations
// failable, every socket send recorded. Only the test thread calls the
// library, so plain counters do.
struct RealPlatformTaps {
    int nLiveBlocks = 0;
    int nAllocs = 0;
    FailPlan allocFail;
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

// Builders for bytes on the wire; Pattern counts up from bStart.
Bytes BE32(uint32_t dwValue);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Pattern(size_t nLen, uint8_t bStart = 1);
std::vector<size_t> Sizes(const std::vector<Bytes> &sends);
// A command record, zero where not given.
KelCommand Record(uint32_t dwCommand, uint32_t dwParm1 = 0, uint32_t dwRetCode = 0, uint32_t dwParm3 = 0,
                  uint32_t dwDataLen = 0, uint8_t bFlags = 0);
// The frame KelDisconnect sends.
extern const Bytes kDisconnectFrame;

#endif
