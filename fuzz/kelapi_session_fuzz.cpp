// The server's side of a whole session, from the fuzzer's bytes, fed to the
// library through the platform seam: identify and logon replies, frames to
// dispose of before them, any data lengths, the connection's end at any
// byte by a close or a reset, the client's bytes cut anywhere, allocations
// refused. fake_session.cpp checks what must always hold: documented codes
// only, nothing allocated or open afterwards, no loop that reads on past the
// end, no wait for a reply after a failed send, no credential in the trace;
// the fake seam ends the process on a record freed uncleared.
//
// Input: byte 0 the path (0 to 2, modulo 3), bit 2 set for a reset;
// byte 1 the most bytes one receive delivers (0: all there are); byte 2 the
// allocation to refuse (bits 0-1, 0: none), bit 7 set to refuse all later
// ones too; bytes 3-4 the client's bytes the server takes, big-endian
// (0xFFFF: all); byte 5 the echo request's data length in units of 8; the
// rest is everything the server sends.
#include <cstdio>
#include <cstdlib>

#include "fake_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *lpData, size_t nSize) {
    const size_t kHeader = 6;
    if (nSize < kHeader) return 0;
    SessionPlan plan;
    plan.path = kaSessionPaths[lpData[0] % 3];
    plan.bReset = (lpData[0] & 0x04) != 0;
    plan.nChunk = lpData[1];
    plan.allocFail = FailPlan{lpData[2] & 0x03, (lpData[2] & 0x80) != 0, 0};
    unsigned nSendCut = (unsigned)lpData[3] << 8 | lpData[4];
    if (nSendCut != 0xFFFF) plan.nSendCut = nSendCut;
    plan.dwExchangeLen = lpData[5] * 8u;
    plan.host.assign(lpData + kHeader, lpData + nSize);

    SessionResult result = RunSession(plan);
    KelPlatformReset();
    if (result.violations.empty()) return 0;
    for (const std::string &violation : result.violations)
        fprintf(stderr, "kelapi_session: %s\n", violation.c_str());
    abort();
}
