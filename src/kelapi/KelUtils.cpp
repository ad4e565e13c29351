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
    if (!lpIn || !lpOut) return KEL_FAIL(KelParamReason(__func__));
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

// ==== Result texts

namespace {

struct KelResultEntry {
    int32_t nCode;
    const char *szText;
};

const KelResultEntry kaResultTexts[] = {
    {KEL_OK, "The call succeeded."},
    {KEL_ERR_PARAM, "A required pointer argument was null."},
    {KEL_ERR_SYSTEM,
     "The system refused a resource (memory, a socket, an address conversion), or the host answered with a "
     "return code the library does not know."},
    {KEL_ERR_HANDLE, "The handle is not of the kind the function takes."},
    {KEL_ERR_CONNECTED, "The connection is still open: disconnect it before freeing it."},
    {KEL_ERR_ALREADY_CONNECTED, "The connection is already connected."},
    {KEL_ERR_NOT_CONNECTED, "The connection is not open: the server could not be reached, or it was closed."},
    {KEL_ERR_COMM,
     "The connection failed: a send or receive failed or timed out, or the server closed the connection."},
    {KEL_ERR_HOST_104, "The host refused the request (host return code 0x00010001 or 0x00010004)."},
    {KEL_ERR_PROTOCOL, "The server's answer does not fit the protocol."},
    {KEL_ERR_HOST_106, "The host refused the request (host return code 0x00010002)."},
    {KEL_ERR_HOST_107, "The host refused the request (host return code 0x00010003)."},
    {KEL_ERR_HOST_108, "The host refused the request (host return code 0x00010005)."},
    {KEL_ERR_LOCKED, "The connection is busy: its busy flag is already set."},
    {KEL_ERR_HOST_200, "The host refused the request (host return code 0x00020001 or 0x00060001)."},
    {KEL_ERR_HOST_201, "The host refused the request (host return code 0x00030004 or 0x00050002)."},
    {KEL_ERR_HOST_202, "The host refused the request (host return code 0x00030001 or 0x00050001)."},
    {KEL_ERR_HOST_203, "The host refused the request (host return code 0x00030002)."},
    {KEL_ERR_HOST_204, "The host refused the request (host return code 0x00030003)."},
    {KEL_ERR_HOST_205, "The host refused the request (host return code 0x00040001)."},
};

}  // namespace

const char *KELAPI_CALL KelResultText(int32_t nCode) {
    for (const KelResultEntry &entry : kaResultTexts)
        if (entry.nCode == nCode) return entry.szText;
    return "Unknown result code: the library never returns it.";
}
