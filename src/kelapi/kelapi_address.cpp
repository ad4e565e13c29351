// kelapi_address.cpp - address and host texts of named connections.
#include "kelapi_address.h"

#include <stdio.h>
#include <string.h>

namespace {

// The first longest run of two or more zero groups, which "::" stands for:
// its start and length (0: none).
void LongestZeroRun(const uint16_t awGroups[8], int *lpnStart, int *lpnLength) {
    *lpnStart = 0;
    *lpnLength = 0;
    for (int i = 0; i < 8;) {
        int nRun = 0;
        while (i + nRun < 8 && awGroups[i + nRun] == 0) ++nRun;
        if (nRun > *lpnLength && nRun >= 2) {
            *lpnStart = i;
            *lpnLength = nRun;
        }
        i += nRun ? nRun : 1;
    }
}

// An IPv6 address without brackets: lower-case groups without leading
// zeros, the longest zero run as "::", an IPv4-mapped address dotted.
void FormatIPv6(const uint8_t abAddr[16], char *szText, size_t nSize) {
    static const uint8_t kabMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (memcmp(abAddr, kabMapped, sizeof kabMapped) == 0) {
        snprintf(szText, nSize, "::ffff:%u.%u.%u.%u", abAddr[12], abAddr[13], abAddr[14], abAddr[15]);
        return;
    }
    uint16_t awGroups[8];
    for (int i = 0; i < 8; ++i) awGroups[i] = (uint16_t)((abAddr[2 * i] << 8) | abAddr[2 * i + 1]);
    int nZeroStart, nZeroLength;
    LongestZeroRun(awGroups, &nZeroStart, &nZeroLength);
    size_t nUsed = 0;
    szText[0] = '\0';
    for (int i = 0; i < 8 && nUsed < nSize; ++i) {
        int nWritten;
        if (nZeroLength && i == nZeroStart) {
            nWritten = snprintf(szText + nUsed, nSize - nUsed, "::");
            i += nZeroLength - 1;
        } else {
            bool bAfterColons = nZeroLength && i == nZeroStart + nZeroLength;
            nWritten =
                snprintf(szText + nUsed, nSize - nUsed, i && !bAfterColons ? ":%x" : "%x", awGroups[i]);
        }
        if (nWritten < 0) break;
        nUsed += (size_t)nWritten;
    }
}

}  // namespace

void KelFormatAddress(const KelAddress *lpAddress, uint16_t wPort, char *szText, size_t nSize) {
    const uint8_t *ab = lpAddress->abAddr;
    if (lpAddress->nFamily != KEL_FAMILY_IPV6) {
        snprintf(szText, nSize, "%u.%u.%u.%u:%u", ab[0], ab[1], ab[2], ab[3], (unsigned)wPort);
        return;
    }
    char szAddress[48], szZone[16] = "";
    FormatIPv6(ab, szAddress, sizeof szAddress);
    if (lpAddress->dwScopeId) snprintf(szZone, sizeof szZone, "%%%u", (unsigned)lpAddress->dwScopeId);
    snprintf(szText, nSize, "[%s%s]:%u", szAddress, szZone, (unsigned)wPort);
}

KelAddress KelIPv4Address(uint32_t dwIP) {
    KelAddress address;
    memset(&address, 0, sizeof address);
    address.nFamily = KEL_FAMILY_IPV4;
    memcpy(address.abAddr, &dwIP, 4);
    return address;
}

void KelHostForResolver(const char *szHost, char *szName, size_t nSize) {
    size_t nLen = strlen(szHost);
    if (nLen >= 2 && szHost[0] == '[' && szHost[nLen - 1] == ']') {
        ++szHost;
        nLen -= 2;
    }
    if (nLen >= nSize) nLen = nSize - 1;
    memcpy(szName, szHost, nLen);
    szName[nLen] = '\0';
}

void KelFormatHostPort(const char *szHost, uint16_t wPort, char *szText, size_t nSize) {
    bool bBracket = strchr(szHost, ':') && szHost[0] != '[';
    snprintf(szText, nSize, bBracket ? "[%s]:%u" : "%s:%u", szHost, (unsigned)wPort);
}
