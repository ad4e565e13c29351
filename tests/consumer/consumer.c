/* A program that uses the shipped library the way a customer's program does:
 * through the header compiled as C, the shared library (the DLL with its
 * import library on Windows), the exported trace variables and the calling
 * convention across the boundary. It needs no C library: the Microsoft-ABI
 * build (tests/msvc) links none and enters at KelConsumerMain, whose result
 * is the number of the first check that failed, 0 when all passed; a hosted
 * build gets a main that says which. */
#include "kelapi.h"

static int nLines, bSawFreeLine, nChecks, nFirstFailed;

/* Whether szText occurs in szLine. */
static int Contains(const char *szLine, const char *szText) {
    const char *p, *q, *r;
    for (p = szLine; *p; ++p) {
        for (q = p, r = szText; *r && *q == *r; ++q, ++r) {
        }
        if (!*r) return 1;
    }
    return 0;
}

static int Equal(const char *szA, const char *szB) {
    while (*szA && *szA == *szB) ++szA, ++szB;
    return *szA == *szB;
}

static int Starts(const char *szText, const char *szStart) {
    while (*szStart && *szText == *szStart) ++szText, ++szStart;
    return *szStart == 0;
}

static void KELAPI_CALL CountLine(const char *szLine) {
    ++nLines;
    if (Contains(szLine, "KelFreeConnection hConnection =  ")) bSawFreeLine = 1;
}

static void Check(int bOk) {
    ++nChecks;
    if (!bOk && !nFirstFailed) nFirstFailed = nChecks;
}

int KelConsumerMain(void);
int KelConsumerMain(void) {
    HKELCONNECTION hConnection = 0;
    HKELHOXSYSTEM hSystem = 0;
    char szText[16], szReason[512];

    fKelTraceFunc = CountLine;
    bKelTraceOn = 1;
    Check(KelStrToIP("10.0.0.1") == KelDwordToNet(0x0A000001u));
    Check(KelIPToStr(KelStrToIP("10.0.0.1"), szText) == KEL_OK && Equal(szText, "10.0.0.1"));
    Check(KelWordToHost(0x1234) == 0x3412 && KelWordToNet(0x3412) == 0x1234);
    Check(Equal(KelStrCopyToHostCP(szText, "abc", 8), "abc"));
    Check(KelAllocConnection(KelStrToIP("127.0.0.1"), 0, "user", "pw", 0, &hConnection) == KEL_OK);
    Check(KelLock(hConnection) == KEL_OK && KelLock(hConnection) == KEL_ERR_LOCKED &&
          KelUnLock(hConnection) == KEL_OK);
    Check(KelConnect(0) == KEL_ERR_PARAM);
    Check(KelFreeConnection(hConnection) == KEL_OK && bSawFreeLine);
    /* Port 1 of the loopback address: nothing listens there. */
    Check(KelAllocHoxSystem(KelStrToIP("127.0.0.1"), 1, "user", "pw", 0, &hSystem) == KEL_ERR_NOT_CONNECTED &&
          hSystem == 0);
    /* The reason outlives the clean-up inside KelAllocHoxSystem: it is kept
     * in the library's per-thread storage, which works across the boundary. */
    Check(KelGetErrorText(szReason, sizeof szReason) == KEL_OK &&
          Starts(szReason, "connect to 127.0.0.1:1: "));
    Check(KelAllocConnectionByName("[::1]", 1, "user", "pw", 0, &hConnection) == KEL_OK &&
          KelFreeConnection(hConnection) == KEL_OK);
    Check(KelGetErrorText(szReason, 4) == KEL_OK && Equal(szReason, "con") &&
          KelGetErrorText(0, 4) == KEL_ERR_PARAM);
    /* TLS settings apply at the next connect, which nothing answers here. */
    Check(KelAllocConnection(KelStrToIP("127.0.0.1"), 1, "user", "pw", 0, &hConnection) == KEL_OK &&
          KelSetTls(hConnection, 4u, 0, 0) == KEL_ERR_PARAM &&
          KelSetTls(hConnection, KEL_TLS_VERIFY_FULL, 0, "localhost") == KEL_OK &&
          KelConnect(hConnection) == KEL_ERR_NOT_CONNECTED && KelFreeConnection(hConnection) == KEL_OK);
    Check(Equal(KelResultText(KEL_ERR_LOCKED), "The connection is busy: its busy flag is already set."));
    bKelTraceOn = 0;
    Check(nLines >= 10);
    return nFirstFailed;
}

#if __STDC_HOSTED__
#  include <stdio.h>
int main(void) {
    if (KelConsumerMain() != 0) {
        fprintf(stderr, "consumer: check %d of %d failed (see consumer.c)\n", nFirstFailed, nChecks);
        return 1;
    }
    printf("consumer: %d checks passed, %d trace lines\n", nChecks, nLines);
    return 0;
}
#endif
