// system_probe_posix.cpp - what tests ask of the system beyond the library's
// seam: memory at a chosen address, a socket option read back.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include "seam_test.h"

#if defined(__has_feature)
#  if __has_feature(thread_sanitizer)
#    define KEL_TSAN 1
#  endif
#endif

void *MapFixedBlock(uint64_t qwAddress, size_t nSize) {
#if defined(KEL_TSAN)
    // The thread sanitizer keeps low addresses for itself and ends the
    // process on a mapping there.
    (void)qwAddress;
    (void)nSize;
    return nullptr;
#endif
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

bool SocketHasNoDelay(KelSocket hSocket) {
    int nValue = 0;
    socklen_t nLen = sizeof nValue;
    return getsockopt((int)hSocket, IPPROTO_TCP, TCP_NODELAY, &nValue, &nLen) == 0 && nValue;
}
