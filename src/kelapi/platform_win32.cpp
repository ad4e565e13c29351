// platform_win32.cpp - Windows Sockets, the process heap, clock and local time.
//
// The library starts Windows Sockets at version 1.1, and a connection
// allocated by address uses nothing beyond it. A connection allocated by
// name needs Windows Sockets 2 (getaddrinfo, IPv6 sockets; both in ws2_32
// since Windows XP): its first lookup starts the sockets layer once more,
// at version 2.2. Start-ups are counted by the system and never undone, so
// the second one changes nothing for connections by address.
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

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

KelSocket Win32SocketFor(int nFamily) {
    SOCKET s = socket(KelSystemFamily(nFamily), SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? KEL_INVALID_SOCKET : (KelSocket)s;
}

int Win32BindAny(KelSocket hSocket, int nFamily) {
    sockaddr_storage sa;
    int nLen = KelMakeAnySockAddr(nFamily, &sa);
    return bind((SOCKET)hSocket, (const sockaddr *)&sa, nLen) == 0 ? 0 : -1;
}

// Waits until a non-blocking connect has ended, at most dwTimeoutMs, and
// tells whether it succeeded; on failure the sockets error says why
// (WSAETIMEDOUT when the bound ran out).
int Win32AwaitConnect(SOCKET s, uint32_t dwTimeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = (long)(dwTimeoutMs / 1000);
    tv.tv_usec = (long)(dwTimeoutMs % 1000) * 1000;
    int nReady = select(0, nullptr, &writable, &failed, &tv);
    if (nReady == 0) WSASetLastError(WSAETIMEDOUT);
    if (nReady <= 0) return -1;
    int nError = 0;
    int nLen = sizeof nError;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&nError, &nLen) != 0) return -1;
    if (nError == 0 && FD_ISSET(s, &writable)) return 0;
    WSASetLastError(nError ? nError : WSAECONNREFUSED);
    return -1;
}

// A connect to the socket address lpSa; with a time-out the socket is
// non-blocking while it runs. A failure leaves its error for WSAGetLastError.
int Win32ConnectSockAddr(SOCKET s, const sockaddr *lpSa, int nLen, uint32_t dwTimeoutMs) {
    if (!dwTimeoutMs) return connect(s, lpSa, nLen) == 0 ? 0 : -1;
    u_long nNonBlocking = 1, nBlocking = 0;
    if (ioctlsocket(s, FIONBIO, &nNonBlocking) != 0) return -1;
    int nRc = connect(s, lpSa, nLen);
    if (nRc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) nRc = Win32AwaitConnect(s, dwTimeoutMs);
    int nError = WSAGetLastError();
    if (ioctlsocket(s, FIONBIO, &nBlocking) != 0) return -1;
    if (nRc == 0) return 0;
    WSASetLastError(nError);
    return -1;
}

int Win32Connect(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    return Win32ConnectSockAddr((SOCKET)hSocket, (const sockaddr *)&sa, sizeof sa, dwTimeoutMs);
}

int Win32ConnectTo(KelSocket hSocket, const KelAddress *lpAddress, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    sockaddr_storage sa;
    int nLen = KelMakeSockAddrFor(lpAddress, wPortNet, &sa);
    return Win32ConnectSockAddr((SOCKET)hSocket, (const sockaddr *)&sa, nLen, dwTimeoutMs);
}

// The system's message for an error code, on one line without its closing
// period, into the caller's buffer: FormatMessageA is not asked to allocate
// (what it does inside to find the message is the system's own business).
void Win32Message(DWORD dwError, char *szText, size_t nSize) {
    DWORD dwLen = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
        dwError, 0, szText, (DWORD)nSize, nullptr);
    while (dwLen > 0 && strchr(" .\r\n", szText[dwLen - 1])) --dwLen;
    if (dwLen == 0)
        snprintf(szText, nSize, "socket error");
    else
        szText[dwLen] = '\0';
}

int Win32LastError(char *szText, size_t nSize) {
    int nError = WSAGetLastError();
    char szMessage[128];
    Win32Message((DWORD)nError, szMessage, sizeof szMessage);
    snprintf(szText, nSize, "%s (system error %d)", szMessage, nError);
    return nError == WSAETIMEDOUT;
}

// The first lookup of a name starts Windows Sockets 2.2 (see the top). A
// thread that races the first one may start it as well; that is harmless.
void Win32StartSockets2(void) {
    static std::atomic<bool> s_bStarted{false};
    if (s_bStarted.load(std::memory_order_relaxed)) return;
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) == 0) s_bStarted.store(true, std::memory_order_relaxed);
}

int Win32Resolve(const char *szHost, KelAddress *lpList, int nMax, char *szWhy, size_t nWhySize) {
    Win32StartSockets2();
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *lpFound = nullptr;
    int nRc = getaddrinfo(szHost, nullptr, &hints, &lpFound);
    if (nRc != 0) {
        char szMessage[128];
        Win32Message((DWORD)nRc, szMessage, sizeof szMessage);
        snprintf(szWhy, nWhySize, "%s (system error %d)", szMessage, nRc);
        return -1;
    }
    int nCount = KelCopyAddresses(lpFound, lpList, nMax);
    freeaddrinfo(lpFound);
    if (nCount == 0) snprintf(szWhy, nWhySize, "it has no IPv4 or IPv6 address");
    return nCount ? nCount : -1;
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
        Win32Startup, Win32Socket,    Win32Bind,      Win32Connect,    Win32Resolve,         Win32SocketFor,
        Win32BindAny, Win32ConnectTo, Win32LastError, Win32SetNoDelay, Win32SetTimeouts,     Win32Send,
        Win32Recv,    Win32Close,     Win32InetAddr,  Win32InetNtoa,   Win32LookupHost,      Win32GetEnv,
        Win32Alloc,   Win32Free,      Win32Time,      Win32LocalTime,  KelSeedRandomDefault, KelRandomDefault,
    };
    return s_Defaults;
}

void KelSecureZero(void *lpMemory, size_t nSize) { SecureZeroMemory(lpMemory, nSize); }
