// fake_session.h - a whole session over the fake seam, under the faults a
// peer and the system can deal it, with the checks of what must always hold.
// Free of any test framework: the sweep tests and the session fuzzer share it.
//
// A session allocates, connects (identify, logon), runs one echo exchange
// and releases everything, along one of the three ways a program can; a
// record the caller owns is then connected once more to a sound server.
#ifndef KEL_TESTS_FAKE_SESSION_H
#define KEL_TESTS_FAKE_SESSION_H

#include "fake_seam.h"

enum class SessionPath {
    System,    // KelAllocHoxSystem ... KelFreeHoxSystem
    External,  // KelAllocConnection, KelAllocHoxSystemExt ... KelFreeHoxSystem, KelDisconnect,
               // KelFreeConnection
    Direct,    // KelAllocConnection, KelConnect ... KelDisconnect, KelFreeConnection
};
extern const SessionPath kaSessionPaths[3];

// The steps that can fail, in the order they run.
enum class SessionStep {
    None,
    Alloc,     // KelAllocConnection
    Open,      // KelAllocHoxSystem, KelAllocHoxSystemExt or KelConnect
    Exchange,  // the echo request and its reply
};

struct SessionPlan {
    SessionPath path = SessionPath::System;
    Bytes host;                  // everything the server sends, in order
    size_t nRecvCut = SIZE_MAX;  // the server's bytes end after this many
    size_t nSendCut = SIZE_MAX;  // the server takes this many of the client's bytes
    bool bReset = false;         // the end of the connection is a reset, not a close
    size_t nChunk = 0;           // each receive delivers at most this many bytes (0: what there is)
    FailPlan allocFail, socketFail, bindFail, connectFail;
    bool bLockHeld = false;         // the application holds the busy flag (External, Direct)
    uint32_t dwExchangeLen = 1100;  // data bytes of the echo request
};

struct SessionResult {
    SessionStep failedStep = SessionStep::None;
    int32_t nFailure = KEL_OK;
    std::vector<size_t> sends;  // the socket sends up to the release
    std::vector<std::string> trace;
    std::vector<std::string> violations;  // what did not hold; empty when everything did
};

// Runs the session on a freshly installed fake seam and leaves the fake installed.
SessionResult RunSession(const SessionPlan &plan);

const uint32_t kEchoCommand = 0x80000100u, kEchoReply = 0x40000100u;

// What a sound server sends, one entry per request of the session (identify,
// logon, echo, disconnect), each reply preceded by frames to dispose of; the
// sizes of those requests; and parts of the replies.
std::vector<Bytes> SoundHostReplies();
std::vector<size_t> SessionRequestSizes(uint32_t dwExchangeLen);
Bytes IdentifyBlock(uint32_t dwServerID);
Bytes IdentifyReply(uint32_t dwServerID = 0x53000001u);
Bytes LogonReply();

#endif
