// platform_posix.cpp - BSD sockets, malloc, clock and local time on POSIX systems.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
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

int PosixConnect(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet) {
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    return connect((int)hSocket, (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
}

// MSG_NOSIGNAL: a peer that has gone away makes the send fail, not the process die.
int PosixSend(KelSocket hSocket, const void *lpData, int nLen) {
    return (int)send((int)hSocket, lpData, (size_t)nLen, MSG_NOSIGNAL);
}

int PosixRecv(KelSocket hSocket, void *lpBuffer, int nLen) {
    return (int)recv((int)hSocket, lpBuffer, (size_t)nLen, 0);
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
        PosixStartup,     PosixSocket, PosixBind,     PosixConnect,   PosixSend,
        PosixRecv,        PosixClose,  PosixInetAddr, PosixInetNtoa,  PosixLookupHost,
        PosixAlloc,       PosixFree,   PosixTime,     PosixLocalTime, KelSeedRandomDefault,
        KelRandomDefault,
    };
    return s_Defaults;
}

void KelSecureZero(void *lpMemory, size_t nSize) { explicit_bzero(lpMemory, nSize); }
