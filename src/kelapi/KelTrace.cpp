// KelTrace.cpp - the trace writers. Each builds one line in a 400-byte buffer
// on its own stack and hands it to the caller's callback.
#include <stdarg.h>
#include <stdio.h>

#include "kelapi_internal.h"

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
