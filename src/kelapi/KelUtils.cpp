// KelUtils.cpp - credential scrambling, byte order and fixed-field copies.
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelUtils";

// Each input byte becomes two: the previous input byte and the byte itself,
// each masked with the same fresh random byte, so the same password looks
// different on every logon.
int32_t KelScramble(const uint8_t *lpIn, uint32_t dwLen, uint8_t *lpOut) {
    if (!lpIn || !lpOut) return KEL_FAIL(KEL_ERR_PARAM);
    uint8_t bPrev = 0;
    for (uint32_t i = 0; i < dwLen; ++i) {
        uint8_t bRandom = (uint8_t)g_KelPlatform.pfnRandom();
        lpOut[2 * i] = (uint8_t)(bPrev ^ bRandom);
        lpOut[2 * i + 1] = (uint8_t)(bRandom ^ lpIn[i]);
        bPrev = lpIn[i];
    }
    return KEL_OK;
}

uint32_t KELAPI_CALL KelDwordToNet(uint32_t dwValue) {
    return (dwValue >> 24) | ((dwValue >> 8) & 0xFF00u) | ((dwValue << 8) & 0xFF0000u) | (dwValue << 24);
}

uint32_t KELAPI_CALL KelDwordToHost(uint32_t dwValue) { return KelDwordToNet(dwValue); }

uint16_t KELAPI_CALL KelWordToNet(uint16_t wValue) { return (uint16_t)((wValue >> 8) | (wValue << 8)); }

char *KELAPI_CALL KelStrCopyToNetCP(char *szDest, const char *szSrc, uint32_t nCount) {
    return strncpy(szDest, szSrc, nCount);
}

// One function under two exported names; kelapi.def maps the Windows names.
// (g++ would want the target's inferred attributes repeated on the alias.)
#if defined(__GNUC__) && !defined(__clang__)
#  pragma GCC diagnostic ignored "-Wmissing-attributes"
#endif
extern "C" uint16_t KELAPI_CALL KelWordToHost(uint16_t wValue) __attribute__((alias("KelWordToNet")));
extern "C" char *KELAPI_CALL KelStrCopyToHostCP(char *szDest, const char *szSrc, uint32_t nCount)
    __attribute__((alias("KelStrCopyToNetCP")));
