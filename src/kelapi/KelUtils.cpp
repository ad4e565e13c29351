// KelUtils.cpp - module KelUtils: the trace writers, credential scrambling,
// byte order and fixed-field copies.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelUtils";

// ==== Trace writers: one line each, built in a 400-byte buffer on the stack

int32_t bKelTraceOn = 0;
KelTraceFunc fKelTraceFunc = nullptr;

namespace {

const size_t kTraceLineSize = 400;  // 399 characters and the NUL

// The callback to use for this line, or null while the trace is off.
// Reads the two variables once each and nothing else.
KelTraceFunc ActiveTraceFunc(void) {
    if (!bKelTraceOn) return nullptr;
    return fKelTraceFunc;
}

// Writes the time stamp and the formatted rest, cut at 399 characters.
void EmitLine(KelTraceFunc pfnTrace, const char *szModule, int32_t nLine, const char *szFormat, ...) {
    char szLine[kTraceLineSize];
    KelLocalTime now = {};
    g_KelPlatform.pfnLocalTime(g_KelPlatform.pfnTime(), &now);
    int nUsed = snprintf(szLine, sizeof szLine, "%02d:%02d:%02d  %02d.%02d.%04d - %s at %d:  ", now.nHour,
                         now.nMinute, now.nSecond, now.nDay, now.nMonth, now.nYear, szModule, (int)nLine);
    if (nUsed >= 0 && (size_t)nUsed < sizeof szLine) {
        va_list args;
        va_start(args, szFormat);
        vsnprintf(szLine + nUsed, sizeof szLine - (size_t)nUsed, szFormat, args);
        va_end(args);
    }
    pfnTrace(szLine);
}

}  // namespace

void KelTraceMsg(const char *szText, const char *szModule, int32_t nLine) {
    KelTraceFunc pfnTrace = ActiveTraceFunc();
    if (pfnTrace) EmitLine(pfnTrace, szModule, nLine, "%s", szText);
}

void KelTraceStr(const char *szText, const char *szValue, const char *szModule, int32_t nLine) {
    KelTraceFunc pfnTrace = ActiveTraceFunc();
    if (pfnTrace) EmitLine(pfnTrace, szModule, nLine, "%s %s", szText, szValue);
}

void KelTraceVal(const char *szText, uint32_t dwValue, const char *szModule, int32_t nLine) {
    KelTraceFunc pfnTrace = ActiveTraceFunc();
    if (pfnTrace)
        EmitLine(pfnTrace, szModule, nLine, "%s %d (0x%08X)", szText, (int)(int32_t)dwValue,
                 (unsigned)dwValue);
}

int32_t KelTraceErr(int32_t nCode, const char *szModule, int32_t nLine) {
    KelTraceFunc pfnTrace = ActiveTraceFunc();
    if (pfnTrace) EmitLine(pfnTrace, szModule, nLine, "Error: %d (0x%08X)", (int)nCode, (unsigned)nCode);
    return nCode;
}

// ==== Credential scrambling, byte order and fixed-field copies

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
