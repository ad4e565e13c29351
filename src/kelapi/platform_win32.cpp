// platform_win32.cpp - Windows Sockets 1.1, the process heap, clock and local time.
// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <string.h>
#include <time.h>

#include "platform.h"
#include "platform_sockaddr.h"

namespace {

int Win32Startup(void) {
    WSADATA wsaData;
    return WSAStartup(MAKEWORD(1, 1), &wsaData);
}

KelSocket Win32Socket(void) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? KEL_INVALID_SOCKET : (KelSocket)s;
}

int Win32Bind(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet) {
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    return bind((SOCKET)hSocket, (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
}

// Waits until a non-blocking connect has ended, at most dwTimeoutMs, and
// tells whether it succeeded.
int Win32AwaitConnect(SOCKET s, uint32_t dwTimeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = (long)(dwTimeoutMs / 1000);
    tv.tv_usec = (long)(dwTimeoutMs % 1000) * 1000;
    if (select(0, nullptr, &writable, &failed, &tv) != 1 || !FD_ISSET(s, &writable)) return -1;
    int nError = 0;
    int nLen = sizeof nError;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&nError, &nLen) != 0 || nError != 0) return -1;
    return 0;
}

int Win32Connect(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    SOCKET s = (SOCKET)hSocket;
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    if (!dwTimeoutMs) return connect(s, (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
    u_long nNonBlocking = 1, nBlocking = 0;
    if (ioctlsocket(s, FIONBIO, &nNonBlocking) != 0) return -1;
    int nRc = connect(s, (const sockaddr *)&sa, sizeof sa);
    if (nRc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) nRc = Win32AwaitConnect(s, dwTimeoutMs);
    if (ioctlsocket(s, FIONBIO, &nBlocking) != 0) return -1;
    return nRc == 0 ? 0 : -1;
}

int Win32SetNoDelay(KelSocket hSocket) {
    BOOL bOne = TRUE;
    return setsockopt((SOCKET)hSocket, IPPROTO_TCP, TCP_NODELAY, (const char *)&bOne, sizeof bOne) == 0 ? 0
                                                                                                        : -1;
}

// Windows takes the time-outs in milliseconds.
int Win32SetTimeouts(KelSocket hSocket, uint32_t dwTimeoutMs) {
    DWORD dwValue = dwTimeoutMs;
    SOCKET s = (SOCKET)hSocket;
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&dwValue, sizeof dwValue) != 0) return -1;
    return setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char *)&dwValue, sizeof dwValue) == 0 ? 0 : -1;
}

// Windows has no hold-back flag; with Nagle's algorithm off each send leaves at once.
int Win32Send(KelSocket hSocket, const void *lpData, int nLen, int) {
    return send((SOCKET)hSocket, (const char *)lpData, nLen, 0);
}

int Win32Recv(KelSocket hSocket, void *lpBuffer, int nLen) {
    return recv((SOCKET)hSocket, (char *)lpBuffer, nLen, 0);
}

int Win32Close(KelSocket hSocket) { return closesocket((SOCKET)hSocket); }

uint32_t Win32InetAddr(const char *szText) { return inet_addr(szText); }

// inet_ntoa's text lives in storage of the sockets layer: copy it at once.
int Win32InetNtoa(uint32_t dwIP, char szText[16]) {
    in_addr addr;
    addr.s_addr = dwIP;
    const char *szFound = inet_ntoa(addr);
    if (!szFound || strlen(szFound) > 15) return -1;
    strncpy(szText, szFound, 16);
    return 0;
}

// gethostbyname's entry lives in per-thread storage: take the first address now.
int Win32LookupHost(const char *szName, uint32_t *lpdwIP) {
    const hostent *lpHost = gethostbyname(szName);
    if (!lpHost || !lpHost->h_addr_list || !lpHost->h_addr_list[0]) return -1;
    memcpy(lpdwIP, lpHost->h_addr_list[0], 4);
    return 0;
}

// The process's own environment, not a copy of the C runtime's.
int Win32GetEnv(const char *szName, char *szValue, size_t nSize) {
    if (nSize == 0 || nSize > 0xFFFFFFFFu) return -1;
    DWORD dwLen = GetEnvironmentVariableA(szName, szValue, (DWORD)nSize);
    if (dwLen == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return -1;
    if (dwLen >= nSize) szValue[0] = '\0';  // too long for the caller: not a value it can use
    return 0;
}

void *Win32Alloc(size_t nSize) { return HeapAlloc(GetProcessHeap(), 0, nSize); }
void Win32Free(void *lpMemory) { HeapFree(GetProcessHeap(), 0, lpMemory); }

int64_t Win32Time(void) { return (int64_t)_time64(nullptr); }

int Win32LocalTime(int64_t nTime, KelLocalTime *lpLocal) {
    __time64_t t = (__time64_t)nTime;
    struct tm tmLocal;
    if (_localtime64_s(&tmLocal, &t) != 0) return -1;
    KelLocalTimeFromTm(&tmLocal, lpLocal);
    return 0;
}

}  // namespace

const KelPlatform &KelPlatformDefaults(void) {
    static const KelPlatform s_Defaults = {
        Win32Startup,     Win32Socket, Win32Bind,  Win32Connect,  Win32SetNoDelay, Win32SetTimeouts,
        Win32Send,        Win32Recv,   Win32Close, Win32InetAddr, Win32InetNtoa,   Win32LookupHost,
        Win32GetEnv,      Win32Alloc,  Win32Free,  Win32Time,     Win32LocalTime,  KelSeedRandomDefault,
        KelRandomDefault,
    };
    return s_Defaults;
}

void KelSecureZero(void *lpMemory, size_t nSize) { SecureZeroMemory(lpMemory, nSize); }
