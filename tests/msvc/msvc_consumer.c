/* A program as the Microsoft compilers build it: the Microsoft ABI, no C
 * library at all, linked by the Microsoft-style linker against the
 * installed import library. It calls functions across the DLL boundary with
 * their calling convention, writes the imported trace variables, receives
 * lines through its callback and connects to a closed port. Without a C
 * library there is no printf: each failed check sets one bit of the exit
 * code, 0 when all pass. */
#include "kelapi.h"

static int nLines;
static int bSawFreeLine;

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

static void KELAPI_CALL CountLine(const char *szLine) {
    ++nLines;
    if (Contains(szLine, "KelFreeConnection hConnection =  ")) bSawFreeLine = 1;
}

static int Equal(const char *szA, const char *szB) {
    while (*szA && *szA == *szB) ++szA, ++szB;
    return *szA == *szB;
}

int KelConsumerMain(void);
int KelConsumerMain(void) {
    HKELCONNECTION hConnection = 0;
    HKELHOXSYSTEM hSystem = 0;
    char szText[16];
    int nFailed = 0;

    fKelTraceFunc = CountLine;
    bKelTraceOn = 1;
    if (KelStrToIP("10.0.0.1") != KelDwordToNet(0x0A000001u)) nFailed |= 1 << 0;
    if (KelIPToStr(KelStrToIP("10.0.0.1"), szText) != KEL_OK || !Equal(szText, "10.0.0.1")) nFailed |= 1 << 1;
    if (KelWordToHost(0x1234) != 0x3412) nFailed |= 1 << 2;
    if (KelAllocConnection(KelStrToIP("127.0.0.1"), 0, "user", "pw", 0, &hConnection) != KEL_OK)
        nFailed |= 1 << 3;
    if (KelLock(hConnection) != KEL_OK || KelLock(hConnection) != KEL_ERR_LOCKED) nFailed |= 1 << 4;
    if (KelUnLock(hConnection) != KEL_OK || KelFreeConnection(hConnection) != KEL_OK) nFailed |= 1 << 5;
    if (!bSawFreeLine) nFailed |= 1 << 6;
    /* Port 1 of the loopback address: nothing listens there. */
    if (KelAllocHoxSystem(KelStrToIP("127.0.0.1"), 1, "user", "pw", 0, &hSystem) != KEL_ERR_NOT_CONNECTED ||
        hSystem != 0)
        nFailed |= 1 << 7;
    if (!Equal(KelResultText(KEL_ERR_LOCKED), "The connection is busy: its busy flag is already set."))
        nFailed |= 1 << 8;
    bKelTraceOn = 0;
    if (nLines < 10) nFailed |= 1 << 9;
    return nFailed;
}
