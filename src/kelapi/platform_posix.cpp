// platform_posix.cpp - BSD sockets, malloc, clock and local time on POSIX systems.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform.h"
#include "platform_sockaddr.h"

namespace {

int PosixStartup(void) { return 0; }

KelSocket PosixSocket(void) {
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return fd < 0 ? KEL_INVALID_SOCKET : (KelSocket)fd;
}

int PosixBind(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet) {
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    return bind((int)hSocket, (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
}

// Milliseconds on a clock that does not jump, for deadlines.
int64_t MonotonicMs(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits until a connect in progress has ended, at most dwTimeoutMs (0: no
// bound), and tells whether it succeeded. Signals do not cut the wait short.
int PosixAwaitConnect(int fd, uint32_t dwTimeoutMs) {
    int64_t nDeadline = MonotonicMs() + dwTimeoutMs;
    for (;;) {
        int nWait = -1;
        if (dwTimeoutMs) {
            int64_t nLeft = nDeadline - MonotonicMs();
            if (nLeft <= 0) return -1;
            nWait = nLeft > INT_MAX ? INT_MAX : (int)nLeft;
        }
        pollfd pfd = {fd, POLLOUT, 0};
        int nReady = poll(&pfd, 1, nWait);
        if (nReady > 0) break;
        if (nReady < 0 && errno != EINTR) return -1;
    }
    int nError = 0;
    socklen_t nLen = sizeof nError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0 || nError != 0) return -1;
    return 0;
}

int PosixConnect(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    int fd = (int)hSocket;
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    if (!dwTimeoutMs) {
        if (connect(fd, (const sockaddr *)&sa, sizeof sa) == 0) return 0;
        // An interrupted connect goes on in the background: wait for its end.
        return errno == EINTR ? PosixAwaitConnect(fd, 0) : -1;
    }
    int nFlags = fcntl(fd, F_GETFL);
    if (nFlags < 0 || fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) != 0) return -1;
    int nRc = connect(fd, (const sockaddr *)&sa, sizeof sa);
    if (nRc != 0 && (errno == EINPROGRESS || errno == EINTR)) nRc = PosixAwaitConnect(fd, dwTimeoutMs);
    if (fcntl(fd, F_SETFL, nFlags) != 0) return -1;
    return nRc == 0 ? 0 : -1;
}

int PosixSetNoDelay(KelSocket hSocket) {
    int nOne = 1;
    return setsockopt((int)hSocket, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne) == 0 ? 0 : -1;
}

int PosixSetTimeouts(KelSocket hSocket, uint32_t dwTimeoutMs) {
    timeval tv;
    tv.tv_sec = (time_t)(dwTimeoutMs / 1000);
    tv.tv_usec = (suseconds_t)(dwTimeoutMs % 1000) * 1000;
    int fd = (int)hSocket;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return -1;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

// MSG_NOSIGNAL: a peer that has gone away makes the send fail, not the
// process die. MSG_MORE (Linux) holds the bytes until the next send, which
// the caller makes at once, so that both leave in one segment. A signal
// can end a blocking send early, after part of the bytes: the rest follows,
// so that only a failure or a time-out leaves a send short.
int PosixSend(KelSocket hSocket, const void *lpData, int nLen, int bMore) {
    int nFlags = MSG_NOSIGNAL;
#ifdef MSG_MORE
    if (bMore) nFlags |= MSG_MORE;
#else
    (void)bMore;
#endif
    const char *lpBytes = static_cast<const char *>(lpData);
    int nDone = 0;
    do {
        ssize_t nSent = send((int)hSocket, lpBytes + nDone, (size_t)(nLen - nDone), nFlags);
        if (nSent < 0 && errno == EINTR) continue;
        if (nSent <= 0) return nDone ? nDone : (int)nSent;
        nDone += (int)nSent;
    } while (nDone < nLen);
    return nDone;
}

int PosixRecv(KelSocket hSocket, void *lpBuffer, int nLen) {
    ssize_t nGot;
    do nGot = recv((int)hSocket, lpBuffer, (size_t)nLen, 0);
    while (nGot < 0 && errno == EINTR);
    return (int)nGot;
}

int PosixClose(KelSocket hSocket) { return close((int)hSocket); }

uint32_t PosixInetAddr(const char *szText) { return inet_addr(szText); }

int PosixInetNtoa(uint32_t dwIP, char szText[16]) {
    in_addr addr;
    addr.s_addr = dwIP;
    return inet_ntop(AF_INET, &addr, szText, 16) ? 0 : -1;
}

// The reentrant lookup, limited to IPv4 and its first address.
int PosixLookupHost(const char *szName, uint32_t *lpdwIP) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *lpList = nullptr;
    if (getaddrinfo(szName, nullptr, &hints, &lpList) != 0 || !lpList) return -1;
    *lpdwIP = ((const sockaddr_in *)lpList->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(lpList);
    return 0;
}

int PosixGetEnv(const char *szName, char *szValue, size_t nSize) {
    const char *szFound = getenv(szName);
    if (!szFound || nSize == 0) return -1;
    strncpy(szValue, szFound, nSize - 1);
    szValue[nSize - 1] = '\0';
    return 0;
}

void *PosixAlloc(size_t nSize) { return malloc(nSize); }
void PosixFree(void *lpMemory) { free(lpMemory); }

int64_t PosixTime(void) { return (int64_t)time(nullptr); }

int PosixLocalTime(int64_t nTime, KelLocalTime *lpLocal) {
    time_t t = (time_t)nTime;
    struct tm tmLocal;
    if (!localtime_r(&t, &tmLocal)) return -1;
    KelLocalTimeFromTm(&tmLocal, lpLocal);
    return 0;
}

}  // namespace

const KelPlatform &KelPlatformDefaults(void) {
    static const KelPlatform s_Defaults = {
        PosixStartup,     PosixSocket, PosixBind,  PosixConnect,  PosixSetNoDelay, PosixSetTimeouts,
        PosixSend,        PosixRecv,   PosixClose, PosixInetAddr, PosixInetNtoa,   PosixLookupHost,
        PosixGetEnv,      PosixAlloc,  PosixFree,  PosixTime,     PosixLocalTime,  KelSeedRandomDefault,
        KelRandomDefault,
    };
    return s_Defaults;
}

void KelSecureZero(void *lpMemory, size_t nSize) { explicit_bzero(lpMemory, nSize); }
