// fake_platform.cpp - the fixtures over the fake seam, and the tapped real platform.
#include "fake_platform.h"

RealPlatformTaps g_Real;

namespace {

void *TappedAlloc(size_t nSize) {
    void *lpMemory = KelPlatformDefaults().pfnAlloc(nSize);
    if (lpMemory) {
        ++g_Real.nLiveBlocks;
        ++g_Real.nAllocs;
    }
    return lpMemory;
}

void TappedFree(void *lpMemory) {
    if (lpMemory) --g_Real.nLiveBlocks;
    KelPlatformDefaults().pfnFree(lpMemory);
}

int TappedSend(KelSocket hSocket, const void *lpData, int nLen, int bMore) {
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    g_Real.sends.emplace_back(lpBytes, lpBytes + nLen);
    g_Real.sendMore.push_back(bMore);
    g_Real.sendSockets.push_back(hSocket);
    return KelPlatformDefaults().pfnSend(hSocket, lpData, nLen, bMore);
}

}  // namespace

void InstallTappedRealPlatform() {
    g_Real = RealPlatformTaps();
    KelPlatformReset();
    g_dwKelStarted = 0;
    g_KelPlatform.pfnAlloc = TappedAlloc;
    g_KelPlatform.pfnFree = TappedFree;
    g_KelPlatform.pfnSend = TappedSend;
}

void FakePlatformTest::TearDown() {
    EXPECT_EQ(0, g_Fake.nDirtyFrees) << "a record went back to the heap uncleared";
    bKelTraceOn = 0;
    fKelTraceFunc = nullptr;
    KelPlatformReset();
}

HKELCONNECTION FakePlatformTest::NewOpenConnection() {
    HKELCONNECTION h = nullptr;
    EXPECT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", nullptr, &h));
    Con(h)->hSocket = g_Fake.hNextSocket;
    return h;
}
