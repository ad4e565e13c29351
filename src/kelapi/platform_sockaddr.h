// platform_sockaddr.h - the IPv4 socket address both platforms build the
// same way. Include it after the platform's own socket headers.
#ifndef KELAPI_PLATFORM_SOCKADDR_H
#define KELAPI_PLATFORM_SOCKADDR_H

#include <stdint.h>
#include <string.h>

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

#endif
