// fake_seam.h - a scripted stand-in for the library's platform seam, free of
// any test framework so that the session fuzzer uses it too.
//
// InstallFakePlatform() points every entry of the platform table at the fake,
// with a fresh state: every socket send recorded, receives delivered in
// scripted chunks, the connection cut after a given number of bytes either
// way, a fixed clock, heap blocks and sockets counted, the Nth call of an
// entry failed on demand. A block freed without being cleared, or a reader
// that goes on past the end of the stream, ends the process at once.
// InstallTappedRealPlatform() keeps the real entries and only records sends.
#ifndef KEL_TESTS_FAKE_SEAM_H
#define KEL_TESTS_FAKE_SEAM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
    int nStartupResult = 0, nStartupCalls = 0, nSeedCalls = 0;
    uint32_t dwSeed = 0;
    KelSocket hNextSocket = 7;
    FailPlan socketFail, bindFail, connectFail, allocFail;
    std::vector<Bytes> sends;   // every socket send, in order, as offered
    std::vector<int> sendMore;  // the hold-back flag of each
    // The peer takes nSendCut bytes in all, then the connection is cut: by a
    // close, where the send that crosses the mark takes the bytes up to it,
    // or by a reset, where that send fails; every later send fails.
    size_t nSendCut = SIZE_MAX, nSentTotal = 0;
    bool bSendCutByReset = false;
    std::function<void(const uint8_t *, size_t)> peer;  // sees the bytes the peer takes, if set
    bool bSendFailed = false;      // a send failed or came short
    int nRecvAfterFailedSend = 0;  // receives made after that
    // "nodelay", "bind", "connect <port> <ms>", "timeouts <ms>"; for named
    // connections "resolve <name>", "socket v4|v6", "bind v4|v6", "connect <address> <ms>".
    std::vector<std::string> setup;
    std::vector<KelAddress> resolved;  // what the resolver gives; none: the name does not resolve
    std::string resolveError = "no such name here";
    std::string lastError = "fake failure (system error 1)";  // what the system says of a failed call
    bool bLastTimedOut = false;
    int nNoDelayResult = 0;
    Bytes recvData;                 // the stream the receives read from
    std::deque<int> recvChunks;     // bytes each receive delivers at most; none left: the stream has ended
    int nRecvErrorAfterScript = 0;  // what receives at the end get: 0 a close, -1 an error
    size_t nRecvPos = 0;
    std::vector<int> recvAsked;  // the count each receive asked for
    int nRecvPastEnd = 0;
    std::vector<KelSocket> closed;
    int nOpenSockets = 0;  // made by the socket entry and not closed yet
    int nUnopenedUse = 0;  // sends, receives and closes while no socket was open
    int nLiveBlocks = 0, nAllocs = 0;
    std::map<void *, size_t> blockSizes;
    int64_t nNow = 946886709;  // 3 January 2000, 08:05:09 UTC
    KelLocalTime localTime = {8, 5, 9, 3, 1, 2000};
    int nTimeReads = 0;
};

extern FakePlatformState g_Fake;

void InstallFakePlatform();

// Addresses for g_Fake.resolved: 16 bytes as written, or the 4 of an IPv4 address.
KelAddress V6(std::initializer_list<uint8_t> bytes, uint32_t dwScopeId = 0);
KelAddress V4(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4);
// The thread's reason (KelGetErrorText), and planting one to see whether a call replaces it.
std::string Reason();
void PlantReason(const char *szText);
void InstallTappedRealPlatform();  // the real start-up still to run

// Adds bytes for the receives to deliver, in chunks of at most nChunk bytes (0: one chunk).
void ScriptReceive(const Bytes &data, size_t nChunk = 0);

// The trace lines written while it lives.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    const std::vector<std::string> &Lines() const;
    std::vector<std::string> Texts() const;   // without the time stamp, module and line
    std::vector<int> ErrorCodes() const;      // of the "Error:" lines, in order
    bool Has(const std::string &part) const;  // in any line
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
extern const Bytes kDisconnectFrame;  // the frame KelDisconnect sends

#endif
