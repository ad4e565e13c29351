// fixed_block_win32.cpp - committed memory at a chosen address, for tests
// that need a record where the platform's heap would not put it.
#include <windows.h>

#include "fake_platform.h"

void *MapFixedBlock(uint64_t qwAddress, size_t nSize) {
    if (qwAddress > UINTPTR_MAX) return nullptr;
    void *lpWanted = reinterpret_cast<void *>((uintptr_t)qwAddress);
    void *lpBlock = VirtualAlloc(lpWanted, nSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (lpBlock == lpWanted) return lpBlock;
    if (lpBlock) VirtualFree(lpBlock, 0, MEM_RELEASE);
    return nullptr;
}

void UnmapFixedBlock(void *lpBlock, size_t) { VirtualFree(lpBlock, 0, MEM_RELEASE); }
