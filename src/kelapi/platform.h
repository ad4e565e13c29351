// platform.h - everything the library asks of the operating system.
//
// The library calls the system only through KelPlatform's entries, so a test
// can replace one entry (a short send, a failing allocation, a fixed clock)
// and put the real one back with KelPlatformReset(). The table is internal:
// it is never exported from the shared library.
#ifndef KELAPI_PLATFORM_H
#define KELAPI_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// A socket as the platform knows it, widened so that it holds a Windows
// SOCKET and a POSIX descriptor alike. KEL_INVALID_SOCKET has all bits set.
typedef uintptr_t KelSocket;
#define KEL_INVALID_SOCKET (~(KelSocket)0)

// Local time as the trace shows it.
struct KelLocalTime {
    int nHour, nMinute, nSecond;
    int nDay, nMonth, nYear;  // month 1 to 12, year with four digits
};

// An IPv4 or IPv6 address of a named server, as the resolver gives it.
#define KEL_FAMILY_IPV4 4
#define KEL_FAMILY_IPV6 6
struct KelAddress {
    int nFamily;         // KEL_FAMILY_IPV4 or KEL_FAMILY_IPV6
    uint8_t abAddr[16];  // network byte order; an IPv4 address in the first 4 bytes
    uint32_t dwScopeId;  // the zone (interface) of an IPv6 link-local address, else 0
};

// The most addresses of one name that a connect tries.
#define KEL_MAX_ADDRESSES 16

struct KelPlatform {
    // Sockets start-up (version 1.1 where the platform has versions); 0 or the platform's code.
    int (*pfnStartup)(void);
    // ---- Connections allocated by address: IPv4 only.
    // A TCP/IPv4 stream socket, or KEL_INVALID_SOCKET.
    KelSocket (*pfnSocket)(void);
    // bind / connect to an IPv4 address and port, both in network byte order; 0 or -1.
    int (*pfnBind)(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet);
    // With dwTimeoutMs 0 the plain blocking connect; otherwise one that gives
    // up after that long (-1) and leaves the socket blocking again.
    int (*pfnConnect)(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet, uint32_t dwTimeoutMs);
    // ---- Connections allocated by name: the resolver, and sockets of either family.
    // The stream addresses of a host name or address text, in the resolver's
    // order, at most nMax of them: their number, or -1 with the resolver's own
    // message in szWhy (cut to nWhySize - 1 characters). The one entry that may
    // use the heap.
    int (*pfnResolve)(const char *szHost, KelAddress *lpList, int nMax, char *szWhy, size_t nWhySize);
    // A TCP stream socket of the family (KEL_FAMILY_*), or KEL_INVALID_SOCKET.
    KelSocket (*pfnSocketFor)(int nFamily);
    // bind to the family's any-address, port 0; 0 or -1.
    int (*pfnBindAny)(KelSocket hSocket, int nFamily);
    // connect to an address of either family, as pfnConnect does; 0 or -1.
    int (*pfnConnectTo)(KelSocket hSocket, const KelAddress *lpAddress, uint16_t wPortNet,
                        uint32_t dwTimeoutMs);
    // ---- Every socket.
    // What the system said about this thread's last failed socket call (a
    // connect that ran out of time included): its own message and number in
    // szText, cut to nSize - 1 characters; non-zero when a time-out ran out.
    // Read it at once, before anything else can change it. No heap where the
    // system's message lookup has none.
    int (*pfnLastError)(char *szText, size_t nSize);
    // Nagle's algorithm off, so that a request leaves at once; 0 or -1.
    int (*pfnSetNoDelay)(KelSocket hSocket);
    // Bounds every later send and receive on the socket (0: no bound); 0 or -1.
    int (*pfnSetTimeouts)(KelSocket hSocket, uint32_t dwTimeoutMs);
    // One send or receive call: the bytes moved, 0 at end of stream, or -1.
    // bMore says that the caller's next send follows at once, so that the
    // system may put both into one segment where it can; a signal that
    // interrupts the call does not fail it.
    int (*pfnSend)(KelSocket hSocket, const void *lpData, int nLen, int bMore);
    int (*pfnRecv)(KelSocket hSocket, void *lpBuffer, int nLen);
    int (*pfnClose)(KelSocket hSocket);
    // Dotted text to an address in network byte order; 0xFFFFFFFF when it is none.
    uint32_t (*pfnInetAddr)(const char *szText);
    // Address to dotted text in the caller's 16 bytes; 0 or -1.
    int (*pfnInetNtoa)(uint32_t dwIP, char szText[16]);
    // First IPv4 address of a host name, network byte order; 0 or -1 (KelHostNameToIP).
    int (*pfnLookupHost)(const char *szName, uint32_t *lpdwIP);
    // The value of an environment variable of the process, cut to nSize - 1
    // characters; 0, or -1 when it is not set.
    int (*pfnGetEnv)(const char *szName, char *szValue, size_t nSize);
    void *(*pfnAlloc)(size_t nSize);
    void (*pfnFree)(void *lpMemory);
    // Calendar time in whole seconds since 1 January 1970, and its local time.
    int64_t (*pfnTime)(void);
    int (*pfnLocalTime)(int64_t nTime, KelLocalTime *lpLocal);
    // The pseudo-random source; its state is per thread.
    void (*pfnSeedRandom)(uint32_t dwSeed);
    uint32_t (*pfnRandom)(void);
};

// The entries in force. Tests write single entries; the library only reads.
extern KelPlatform g_KelPlatform;

// The real entries of this platform.
const KelPlatform &KelPlatformDefaults(void);

// Put every entry back to the real one.
void KelPlatformReset(void);

// Clear memory in a way the compiler may not remove as a dead store.
void KelSecureZero(void *lpMemory, size_t nSize);

// The fields of a broken-down local time that the trace shows.
void KelLocalTimeFromTm(const struct tm *lpTm, KelLocalTime *lpLocal);

// The per-thread pseudo-random source shared by both platforms.
void KelSeedRandomDefault(uint32_t dwSeed);
uint32_t KelRandomDefault(void);

#endif
