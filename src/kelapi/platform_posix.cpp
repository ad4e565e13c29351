// platform_posix.cpp - BSD sockets, malloc, clock and local time on POSIX systems.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
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

KelSocket PosixSocketFor(int nFamily) {
    int fd = socket(KelSystemFamily(nFamily), SOCK_STREAM, IPPROTO_TCP);
    return fd < 0 ? KEL_INVALID_SOCKET : (KelSocket)fd;
}

int PosixBindAny(KelSocket hSocket, int nFamily) {
    sockaddr_storage sa;
    int nLen = KelMakeAnySockAddr(nFamily, &sa);
    return bind((int)hSocket, (const sockaddr *)&sa, (socklen_t)nLen) == 0 ? 0 : -1;
}

// Milliseconds on a clock that does not jump, for deadlines.
int64_t MonotonicMs(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits until a connect in progress has ended, at most dwTimeoutMs (0: no
// bound), and tells whether it succeeded; on failure errno says why
// (ETIMEDOUT when the bound ran out). Signals do not cut the wait short.
int PosixAwaitConnect(int fd, uint32_t dwTimeoutMs) {
    int64_t nDeadline = MonotonicMs() + dwTimeoutMs;
    for (;;) {
        int nWait = -1;
        if (dwTimeoutMs) {
            int64_t nLeft = nDeadline - MonotonicMs();
            if (nLeft <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            nWait = nLeft > INT_MAX ? INT_MAX : (int)nLeft;
        }
        pollfd pfd = {fd, POLLOUT, 0};
        int nReady = poll(&pfd, 1, nWait);
        if (nReady > 0) break;
        if (nReady < 0 && errno != EINTR) return -1;
    }
    int nError = 0;
    socklen_t nLen = sizeof nError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0) return -1;
    errno = nError;
    return nError == 0 ? 0 : -1;
}

// A connect to the socket address lpSa; with a time-out the socket is
// non-blocking while it runs. A failure leaves its error in errno.
int PosixConnectSockAddr(int fd, const sockaddr *lpSa, socklen_t nLen, uint32_t dwTimeoutMs) {
    if (!dwTimeoutMs) {
        if (connect(fd, lpSa, nLen) == 0) return 0;
        // An interrupted connect goes on in the background: wait for its end.
        return errno == EINTR ? PosixAwaitConnect(fd, 0) : -1;
    }
    int nFlags = fcntl(fd, F_GETFL);
    if (nFlags < 0 || fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) != 0) return -1;
    int nRc = connect(fd, lpSa, nLen);
    if (nRc != 0 && (errno == EINPROGRESS || errno == EINTR)) nRc = PosixAwaitConnect(fd, dwTimeoutMs);
    if (fcntl(fd, F_SETFL, nFlags) != 0) return -1;
    return nRc == 0 ? 0 : -1;
}

int PosixConnect(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    return PosixConnectSockAddr((int)hSocket, (const sockaddr *)&sa, sizeof sa, dwTimeoutMs);
}

int PosixConnectTo(KelSocket hSocket, const KelAddress *lpAddress, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    sockaddr_storage sa;
    int nLen = KelMakeSockAddrFor(lpAddress, wPortNet, &sa);
    return PosixConnectSockAddr((int)hSocket, (const sockaddr *)&sa, (socklen_t)nLen, dwTimeoutMs);
}

// strerror_r gives its text either way: the GNU form returns it, the XSI form
// writes it into the buffer. Neither uses the heap.
[[maybe_unused]] const char *ErrorMessage(const char *szText, const char *) { return szText; }
[[maybe_unused]] const char *ErrorMessage(int nRc, const char *szBuffer) {
    return nRc == 0 ? szBuffer : "unknown error";
}

int PosixLastError(char *szText, size_t nSize) {
    int nError = errno;
    char szBuffer[128];
    const char *szMessage = ErrorMessage(strerror_r(nError, szBuffer, sizeof szBuffer), szBuffer);
    snprintf(szText, nSize, "%s (system error %d)", szMessage, nError);
    // A blocking socket reports a send or receive time-out as EAGAIN.
    return nError == EAGAIN || nError == EWOULDBLOCK || nError == ETIMEDOUT;
}

// Every stream address of the name, IPv4 and IPv6 alike, in the resolver's
// order: no AI_ADDRCONFIG, which would drop ::1 on a machine whose only IPv6
// address is the loopback one.
int PosixResolve(const char *szHost, KelAddress *lpList, int nMax, char *szWhy, size_t nWhySize) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *lpFound = nullptr;
    int nRc = getaddrinfo(szHost, nullptr, &hints, &lpFound);
    if (nRc != 0) {
        if (nRc == EAI_SYSTEM)
            PosixLastError(szWhy, nWhySize);
        else
            snprintf(szWhy, nWhySize, "%s", gai_strerror(nRc));
        return -1;
    }
    int nCount = KelCopyAddresses(lpFound, lpList, nMax);
    freeaddrinfo(lpFound);
    if (nCount == 0) snprintf(szWhy, nWhySize, "it has no IPv4 or IPv6 address");
    return nCount ? nCount : -1;
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
        PosixStartup, PosixSocket,    PosixBind,      PosixConnect,    PosixResolve,         PosixSocketFor,
        PosixBindAny, PosixConnectTo, PosixLastError, PosixSetNoDelay, PosixSetTimeouts,     PosixSend,
        PosixRecv,    PosixClose,     PosixInetAddr,  PosixInetNtoa,   PosixLookupHost,      PosixGetEnv,
        PosixAlloc,   PosixFree,      PosixTime,      PosixLocalTime,  KelSeedRandomDefault, KelRandomDefault,
    };
    return s_Defaults;
}

void KelSecureZero(void *lpMemory, size_t nSize) { explicit_bzero(lpMemory, nSize); }
