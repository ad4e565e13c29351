// KelAddress.cpp - dotted text, host names and IPv4 addresses.
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelConct";

static const uint32_t kdwInaddrNone = 0xFFFFFFFFu;

uint32_t KELAPI_CALL KelStrToIP(const char *szString) {
    if (!szString) return 0;
    KEL_TRACE_STR("KelStrToIP szString = ", szString);
    uint32_t dwIP = g_KelPlatform.pfnInetAddr(szString);
    KEL_TRACE_VAL("  dwIP = ", dwIP);
    return dwIP == kdwInaddrNone ? 0 : dwIP;
}

// Starts the library first, even for a null name. Failures show only as 0.
uint32_t KELAPI_CALL KelHostNameToIP(const char *szString) {
    if (!g_dwKelStarted) KelInitialize();
    if (!szString) return 0;
    KEL_TRACE_STR("KelHostNameToIP szString = ", szString);
    uint32_t dwIP = 0;
    if (g_KelPlatform.pfnLookupHost(szString, &dwIP) != 0) return 0;
    KEL_TRACE_VAL("  dwIP = ", dwIP);
    return dwIP;
}

int32_t KELAPI_CALL KelIPToStr(uint32_t dwIP, char *szString) {
    if (!szString) return KEL_FAIL(KEL_ERR_PARAM);
    KEL_TRACE_VAL("KelIPToStr dwIP = ", dwIP);
    char szText[16] = {0};
    if (g_KelPlatform.pfnInetNtoa(dwIP, szText) != 0) return KEL_FAIL(KEL_ERR_SYSTEM);
    memcpy(szString, szText, sizeof szText);  // the text and NULs up to 16 bytes
    KEL_TRACE_STR("  szString = ", szString);
    return KEL_OK;
}
