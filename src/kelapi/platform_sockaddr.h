// platform_sockaddr.h - socket addresses both platforms build the same way,
// and the resolver's list turned into the library's addresses. Include it
// after the platform's own socket headers (with IPv6 and getaddrinfo).
#ifndef KELAPI_PLATFORM_SOCKADDR_H
#define KELAPI_PLATFORM_SOCKADDR_H

#include <stdint.h>
#include <string.h>

#include "platform.h"

// Family AF_INET, the address and port as given (network byte order), every
// other byte zero.
inline sockaddr_in KelMakeSockAddr(uint32_t dwIP, uint16_t wPortNet) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = dwIP;
    sa.sin_port = wPortNet;
    return sa;
}

inline int KelSystemFamily(int nFamily) { return nFamily == KEL_FAMILY_IPV6 ? AF_INET6 : AF_INET; }

// The socket address of a resolved address and a port (network byte order),
// every other byte zero; its length.
inline int KelMakeSockAddrFor(const KelAddress *lpAddress, uint16_t wPortNet, sockaddr_storage *lpStorage) {
    memset(lpStorage, 0, sizeof *lpStorage);
    if (lpAddress->nFamily == KEL_FAMILY_IPV6) {
        sockaddr_in6 *lpSa = reinterpret_cast<sockaddr_in6 *>(lpStorage);
        lpSa->sin6_family = AF_INET6;
        lpSa->sin6_port = wPortNet;
        memcpy(&lpSa->sin6_addr, lpAddress->abAddr, 16);
        lpSa->sin6_scope_id = lpAddress->dwScopeId;
        return (int)sizeof *lpSa;
    }
    uint32_t dwIP;
    memcpy(&dwIP, lpAddress->abAddr, 4);
    sockaddr_in sa = KelMakeSockAddr(dwIP, wPortNet);
    memcpy(lpStorage, &sa, sizeof sa);
    return (int)sizeof sa;
}

// The family's any-address, port 0.
inline int KelMakeAnySockAddr(int nFamily, sockaddr_storage *lpStorage) {
    KelAddress any;
    memset(&any, 0, sizeof any);
    any.nFamily = nFamily;
    return KelMakeSockAddrFor(&any, 0, lpStorage);
}

// The IPv4 and IPv6 entries of a resolver's list, in its order, at most nMax; their number.
inline int KelCopyAddresses(const addrinfo *lpFound, KelAddress *lpList, int nMax) {
    int nCount = 0;
    for (; lpFound && nCount < nMax; lpFound = lpFound->ai_next) {
        KelAddress *lpAddress = &lpList[nCount];
        memset(lpAddress, 0, sizeof *lpAddress);
        if (lpFound->ai_family == AF_INET && lpFound->ai_addrlen >= sizeof(sockaddr_in)) {
            lpAddress->nFamily = KEL_FAMILY_IPV4;
            memcpy(lpAddress->abAddr, &reinterpret_cast<const sockaddr_in *>(lpFound->ai_addr)->sin_addr, 4);
        } else if (lpFound->ai_family == AF_INET6 && lpFound->ai_addrlen >= sizeof(sockaddr_in6)) {
            const sockaddr_in6 *lpSa = reinterpret_cast<const sockaddr_in6 *>(lpFound->ai_addr);
            lpAddress->nFamily = KEL_FAMILY_IPV6;
            memcpy(lpAddress->abAddr, &lpSa->sin6_addr, 16);
            lpAddress->dwScopeId = lpSa->sin6_scope_id;
        } else {
            continue;
        }
        ++nCount;
    }
    return nCount;
}

#endif
