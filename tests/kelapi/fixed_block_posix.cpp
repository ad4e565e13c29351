// fixed_block_posix.cpp - anonymous memory at a chosen address, for tests
// that need a record where the platform's heap would not put it.
#include <sys/mman.h>

#include "fake_platform.h"

void *MapFixedBlock(uint64_t qwAddress, size_t nSize) {
    if (qwAddress > UINTPTR_MAX) return nullptr;
    void *lpWanted = reinterpret_cast<void *>((uintptr_t)qwAddress);
    // Without MAP_FIXED the address is a hint: a kernel that cannot honour it
    // (or an older one that ignores MAP_FIXED_NOREPLACE) maps elsewhere.
    void *lpBlock = mmap(lpWanted, nSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (lpBlock == MAP_FAILED) return nullptr;
    if (lpBlock == lpWanted) return lpBlock;
    munmap(lpBlock, nSize);
    return nullptr;
}

void UnmapFixedBlock(void *lpBlock, size_t nSize) { munmap(lpBlock, nSize); }
