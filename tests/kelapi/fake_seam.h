// fake_seam.h - a scripted stand-in for the library's platform seam, free of
// any test framework so that the fuzz targets use it too.
//
// InstallFakePlatform() points every entry of the library's platform table at
// the fake, with a fresh state. The fake records every socket send, delivers
// receives in scripted chunks, cuts the connection after a given number of
// bytes either way, fixes the clock, counts heap blocks and sockets, checks
// that every freed block was cleared, and can fail the Nth call of an entry.
#ifndef KEL_TESTS_FAKE_SEAM_H
#define KEL_TESTS_FAKE_SEAM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
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
    // The peer takes this many bytes in all, then the connection is cut: by
    // a close, where the send that crosses the mark takes the bytes up to
    // it, or by a reset, where that send fails; every later send fails.
    size_t nSendCut = SIZE_MAX;
    bool bSendCutByReset = false;
    size_t nSentTotal = 0;
    // The socket set-up calls in order: "nodelay", "bind", "connect <ms>",
    // "timeouts <ms>" (<ms> the time-out passed).
    std::vector<std::string> setup;
    int nNoDelayResult = 0;
    std::deque<int> recvChunks;  // bytes each receive delivers at most; empty: the peer closed
    Bytes recvData;              // the stream the receives read from
    size_t nRecvPos = 0;
    std::vector<int> recvAsked;     // the count each receive asked for
    int nRecvErrorAfterScript = 0;  // when the chunks run out: 0 reports a close, -1 an error
    int nRecvPastEnd = 0;           // receives answered with that
    std::vector<KelSocket> closed;
    int nOpenSockets = 0;  // made by the socket entry and not closed yet
    int nUnopenedUse = 0;  // sends, receives and closes while no socket was open
    // Heap.
    FailPlan allocFail;
    int nLiveBlocks = 0;
    int nAllocs = 0;
    int nDirtyFrees = 0;  // blocks handed back with a byte that was not cleared
    std::map<void *, size_t> blockSizes;
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
// The same in chunks of at most nChunk bytes (0: one chunk).
void ScriptReceiveInChunks(const Bytes &data, size_t nChunk);

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

// Builders for bytes on the wire; Pattern counts up from bStart.
Bytes BE32(uint32_t dwValue);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Pattern(size_t nLen, uint8_t bStart = 1);
std::vector<size_t> Sizes(const std::vector<Bytes> &sends);
// A command record, zero where not given.
KelCommand Record(uint32_t dwCommand, uint32_t dwParm1 = 0, uint32_t dwRetCode = 0, uint32_t dwParm3 = 0,
                  uint32_t dwDataLen = 0, uint8_t bFlags = 0);
// A frame as a peer writes it: code, flag byte (bFlags and a presence bit per
// non-zero word), the non-zero words; then the data.
Bytes WireRecord(const KelCommand &cmd, const Bytes &data = {});
// The frame KelDisconnect sends.
extern const Bytes kDisconnectFrame;

#endif
