// kelapi_reason.cpp - the per-thread reason of the last failure, and
// KelGetErrorText. Nothing here writes a trace line.
#include "kelapi_reason.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kelapi_internal.h"

namespace {

thread_local char t_szReason[KEL_REASON_SIZE];

bool KelKeepsReason(const KelConnection *lpCon) { return lpCon && lpCon->dwKeepReason; }

// vsnprintf into szText, which always ends with a NUL; the length written.
size_t KelFormatInto(char *szText, size_t nSize, const char *szFormat, va_list args) {
    int nUsed = vsnprintf(szText, nSize, szFormat, args);
    if (nUsed < 0) {
        szText[0] = '\0';
        return 0;
    }
    return (size_t)nUsed < nSize ? (size_t)nUsed : nSize - 1;
}

}  // namespace

int32_t KelSetReason(const KelConnection *lpCon, int32_t nCode, const char *szStep, const char *szFormat,
                     ...) {
    if (KelKeepsReason(lpCon)) return nCode;
    char *szReason = t_szReason;
    size_t nUsed = 0;
    szReason[0] = '\0';
    if (szStep) {
        nUsed = KelAppendText(szReason, KEL_REASON_SIZE, nUsed, szStep);
        nUsed = KelAppendText(szReason, KEL_REASON_SIZE, nUsed, ": ");
    }
    va_list args;
    va_start(args, szFormat);
    KelFormatInto(szReason + nUsed, KEL_REASON_SIZE - nUsed, szFormat, args);
    va_end(args);
    return nCode;
}

int32_t KelPrefixReason(const KelConnection *lpCon, int32_t nCode, const char *szFormat, ...) {
    if (KelKeepsReason(lpCon)) return nCode;
    char szText[KEL_REASON_SIZE];
    va_list args;
    va_start(args, szFormat);
    size_t nUsed = KelFormatInto(szText, sizeof szText, szFormat, args);
    va_end(args);
    nUsed = KelAppendText(szText, sizeof szText, nUsed, ": ");
    KelAppendText(szText, sizeof szText, nUsed, t_szReason);
    memcpy(t_szReason, szText, sizeof szText);
    return nCode;
}

size_t KelAppendText(char *szText, size_t nSize, size_t nUsed, const char *szMore) {
    if (nUsed >= nSize) return nUsed;
    size_t nMore = strnlen(szMore, nSize - 1 - nUsed);
    memcpy(szText + nUsed, szMore, nMore);
    szText[nUsed + nMore] = '\0';
    return nUsed + nMore;
}

void KelReadSystemError(KelSystemError *lpError) {
    lpError->bTimedOut = g_KelPlatform.pfnLastError(lpError->szText, sizeof lpError->szText) != 0;
}

void KelDescribeSystemError(const KelSystemError *lpError, uint32_t dwTimeoutMs, char *szText, size_t nSize) {
    if (lpError->bTimedOut && dwTimeoutMs)
        snprintf(szText, nSize, "timed out after %u ms", (unsigned)dwTimeoutMs);
    else
        snprintf(szText, nSize, "%s", lpError->szText);
}

int32_t KelSetSystemReason(const KelConnection *lpCon, int32_t nCode, const char *szStep) {
    if (KelKeepsReason(lpCon)) return nCode;
    KelSystemError error;
    KelReadSystemError(&error);
    char szText[sizeof error.szText];
    KelDescribeSystemError(&error, lpCon ? lpCon->dwTimeout : 0, szText, sizeof szText);
    return KelSetReason(lpCon, nCode, szStep, "%s", szText);
}

int32_t KelParamReason(const char *szFunction) {
    return KelSetReason(nullptr, KEL_ERR_PARAM, szFunction, "a required pointer argument is null");
}

int32_t KelHandleReason(const char *szFunction, const char *szKind) {
    return KelSetReason(nullptr, KEL_ERR_HANDLE, szFunction, "the handle is not a %s", szKind);
}

int32_t KelRefuse(int32_t nCode, const char *szFunction, const char *szDetail) {
    return KelSetReason(nullptr, nCode, szFunction, "%s", szDetail);
}

// Reading the reason is no failure and no step of a connection: it writes
// no trace line and leaves the reason as it is, also when it refuses.
int32_t KELAPI_CALL KelGetErrorText(char *szText, uint32_t dwSize) {
    if (!szText) return KEL_ERR_PARAM;
    if (dwSize == 0) return KEL_OK;
    const char *szReason = t_szReason;
    size_t nLen = strnlen(szReason, KEL_REASON_SIZE - 1);
    if (nLen > dwSize - 1) nLen = dwSize - 1;
    memcpy(szText, szReason, nLen);
    szText[nLen] = '\0';
    return KEL_OK;
}
