// system_probe_win32.cpp - what tests ask of the system beyond the library's
// seam: memory at a chosen address, a socket option read back.
#include <winsock2.h>

#include <windows.h>

#include "seam_test.h"

void *MapFixedBlock(uint64_t qwAddress, size_t nSize) {
    if (qwAddress > UINTPTR_MAX) return nullptr;
    void *lpWanted = reinterpret_cast<void *>((uintptr_t)qwAddress);
    void *lpBlock = VirtualAlloc(lpWanted, nSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (lpBlock == lpWanted) return lpBlock;
    if (lpBlock) VirtualFree(lpBlock, 0, MEM_RELEASE);
    return nullptr;
}

void UnmapFixedBlock(void *lpBlock, size_t) { VirtualFree(lpBlock, 0, MEM_RELEASE); }

bool SocketHasNoDelay(KelSocket hSocket) {
    BOOL bValue = FALSE;
    int nLen = sizeof bValue;
    return getsockopt((SOCKET)hSocket, IPPROTO_TCP, TCP_NODELAY, (char *)&bValue, &nLen) == 0 && bValue;
}
