// tls_common.cpp - what the TLS layer does the same way with every TLS
// library: the settings' block, the socket I/O through the seam, and the
// sentences that say why a handshake failed.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "tls.h"

// ---- Settings

namespace {

const struct {
    const char *szName;
    uint32_t dwMode;
} kaModeNames[] = {
    {"off", KEL_TLS_OFF},
    {"require", KEL_TLS_REQUIRE},
    {"verify-ca", KEL_TLS_VERIFY_CA},
    {"verify-full", KEL_TLS_VERIFY_FULL},
};

// The text's length if it fits nSize with its NUL, else nSize.
size_t KelBoundedLength(const char *szText, size_t nSize) {
    size_t nLen = 0;
    while (nLen < nSize && szText[nLen]) ++nLen;
    return nLen;
}

}  // namespace

bool KelTlsModeFromText(const char *szText, uint32_t *lpdwMode) {
    for (const auto &entry : kaModeNames) {
        if (strcmp(szText, entry.szName) != 0) continue;
        *lpdwMode = entry.dwMode;
        return true;
    }
    return false;
}

const char *KelTlsModeName(uint32_t dwMode) {
    for (const auto &entry : kaModeNames)
        if (entry.dwMode == dwMode) return entry.szName;
    return "unknown";
}

// One block: the record, then the CA file name, the server name and the
// reason, each with its NUL. A name too long to keep makes the settings
// unusable rather than cut: a cut name would name another file or server.
int32_t KelTlsNew(uint32_t dwMode, const char *szCAFile, const char *szServerName, const char *szUnusable,
                  KelTls **lppTls) {
    static const char kszTooLong[] = "the TLS CA file name or server name is too long";
    *lppTls = nullptr;
    const char *szCA = szCAFile && *szCAFile ? szCAFile : nullptr;
    const char *szName = szServerName && *szServerName ? szServerName : nullptr;
    size_t nCA = szCA ? KelBoundedLength(szCA, KEL_TLS_PATH_SIZE) : 0;
    size_t nName = szName ? KelBoundedLength(szName, KEL_TLS_NAME_SIZE) : 0;
    if (!szUnusable && (nCA == KEL_TLS_PATH_SIZE || nName == KEL_TLS_NAME_SIZE)) szUnusable = kszTooLong;
    if (szUnusable) szCA = szName = nullptr, nCA = nName = 0;
    size_t nReason = szUnusable ? KelBoundedLength(szUnusable, KEL_TLS_REASON_SIZE - 1) : 0;
    size_t nSize =
        sizeof(KelTls) + (szCA ? nCA + 1 : 0) + (szName ? nName + 1 : 0) + (szUnusable ? nReason + 1 : 0);

    KelTls *lpTls = static_cast<KelTls *>(g_KelPlatform.pfnAlloc(nSize));
    if (!lpTls) return KEL_ERR_SYSTEM;
    memset(lpTls, 0, nSize);
    char *lpText = reinterpret_cast<char *>(lpTls + 1);
    const struct {
        const char *szFrom;
        size_t nLen;
        const char **lpszTo;
    } kaTexts[] = {{szCA, nCA, &lpTls->szCAFile},
                   {szName, nName, &lpTls->szServerName},
                   {szUnusable, nReason, &lpTls->szUnusable}};
    for (const auto &text : kaTexts) {
        if (!text.szFrom) continue;
        memcpy(lpText, text.szFrom, text.nLen);
        *text.lpszTo = lpText;
        lpText += text.nLen + 1;
    }
    lpTls->dwMode = dwMode;
    *lppTls = lpTls;
    return KEL_OK;
}

void KelTlsFree(KelTls *lpTls) {
    if (!lpTls) return;
    KelTlsClose(lpTls);
    KelTlsContextFree(lpTls->lpContext);
    size_t nSize = sizeof(KelTls);
    for (const char *szText : {lpTls->szCAFile, lpTls->szServerName, lpTls->szUnusable})
        if (szText) nSize += strlen(szText) + 1;
    KelSecureZero(lpTls, nSize);
    g_KelPlatform.pfnFree(lpTls);
}

bool KelTlsIsAddress(const char *szName) {
    if (strchr(szName, ':')) return true;  // no DNS name holds a colon
    int nDots = 0;
    for (const char *p = szName; *p; ++p) {
        if (*p == '.')
            ++nDots;
        else if (*p < '0' || *p > '9')
            return false;
    }
    return nDots == 3;
}

// ---- Connect

int32_t KelTlsPrepare(KelTls *lpTls, char szReason[KEL_TLS_REASON_SIZE]) {
    if (lpTls->szUnusable) {
        KelTlsFormat(szReason, "%s", lpTls->szUnusable);
        return KEL_ERR_NOT_CONNECTED;
    }
    if (lpTls->lpContext) return KEL_OK;
    return KelTlsContextNew(lpTls, &lpTls->lpContext, szReason);
}

int32_t KelTlsHandshake(KelTls *lpTls, KelSocket hSocket, const char *szHost, uint32_t dwTimeoutMs,
                        char szReason[KEL_TLS_REASON_SIZE]) {
    lpTls->dwTimeoutMs = dwTimeoutMs;
    const char *szName = lpTls->szServerName ? lpTls->szServerName : szHost;
    if (!szName) szName = "";
    if (lpTls->dwMode == KEL_TLS_VERIFY_FULL && !*szName) {
        KelTlsFormat(szReason, "verify-full needs a server name to check the certificate against");
        return KEL_ERR_NOT_CONNECTED;
    }
    return KelTlsSessionStart(lpTls, hSocket, szName, szReason);
}

const char *KelTlsVersion(const KelTls *lpTls) {
    return lpTls->lpSession ? KelTlsSessionVersion(lpTls->lpSession) : "none";
}

namespace {

// Forgets the held bytes, clearing them: a logon block may be among them.
void KelTlsForgetHeld(KelTls *lpTls) {
    KelSecureZero(lpTls->abHeld, (size_t)lpTls->nHeld);
    lpTls->nHeld = 0;
}

// Writes the held bytes and forgets them; false when the session failed.
bool KelTlsSendHeld(KelTls *lpTls, int bMore) {
    bool bSent = KelTlsSessionSend(lpTls->lpSession, lpTls->abHeld, lpTls->nHeld, bMore) == lpTls->nHeld;
    KelTlsForgetHeld(lpTls);
    return bSent;
}

}  // namespace

int KelTlsSend(KelTls *lpTls, const void *lpData, int nLen, int bMore) {
    if (!lpTls->lpSession) return -1;
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    int nRest = nLen;
    if (lpTls->nHeld || (bMore && nLen < (int)KEL_TLS_RECORD_SIZE)) {
        // The held bytes take as many of these as fill their record.
        int nRoom = (int)KEL_TLS_RECORD_SIZE - lpTls->nHeld;
        int nTaken = nRest < nRoom ? nRest : nRoom;
        memcpy(lpTls->abHeld + lpTls->nHeld, lpBytes, (size_t)nTaken);
        lpTls->nHeld += nTaken;
        lpBytes += nTaken;
        nRest -= nTaken;
        if (!nRest && bMore) return nLen;  // they wait for the next send
        if (!KelTlsSendHeld(lpTls, nRest || bMore)) return -1;
        if (!nRest) return nLen;
    }
    return KelTlsSessionSend(lpTls->lpSession, lpBytes, nRest, bMore) == nRest ? nLen : -1;
}

int KelTlsRecv(KelTls *lpTls, void *lpBuffer, int nLen) {
    return lpTls->lpSession ? KelTlsSessionRecv(lpTls->lpSession, lpBuffer, nLen) : -1;
}

bool KelTlsSocketFailed(const KelTls *lpTls) {
    if (!lpTls->lpSession) return false;
    const KelTlsWire *lpWire = KelTlsSessionWire(lpTls->lpSession);
    return lpWire->nLastRecv < 0 || lpWire->bSendFailed;
}

void KelTlsClose(KelTls *lpTls) {
    KelTlsForgetHeld(lpTls);  // what a failed send left held
    if (!lpTls->lpSession) return;
    KelTlsSessionEnd(lpTls->lpSession);
    lpTls->lpSession = nullptr;
}

// ---- The process's defaults

namespace {

KelTlsDefaults KelTlsDefaultsFromEnvironment(void) {
    KelTlsDefaults defaults;
    memset(&defaults, 0, sizeof defaults);
    char szMode[32];
    if (g_KelPlatform.pfnGetEnv("KELAPI_TLS", szMode, sizeof szMode) != 0) return defaults;  // not set: off
    if (!KelTlsModeFromText(szMode, &defaults.dwMode)) {
        // A value cut to fit szMode cannot equal a mode's name, so it is refused too.
        snprintf(defaults.szUnusable, sizeof defaults.szUnusable,
                 "KELAPI_TLS is '%s', which is no TLS mode (off, require, verify-ca, verify-full)", szMode);
        return defaults;
    }
    if (g_KelPlatform.pfnGetEnv("KELAPI_TLS_CA", defaults.szCAFile, sizeof defaults.szCAFile) != 0)
        defaults.szCAFile[0] = '\0';
    if (g_KelPlatform.pfnGetEnv("KELAPI_TLS_SERVER_NAME", defaults.szServerName,
                                sizeof defaults.szServerName) != 0)
        defaults.szServerName[0] = '\0';
    return defaults;
}

}  // namespace

// Read by the first caller; threads that start the library together wait
// for that one read rather than see it half done.
const KelTlsDefaults &KelTlsReadDefaults(void) {
    static const KelTlsDefaults s_Defaults = KelTlsDefaultsFromEnvironment();
    return s_Defaults;
}

// ---- Socket I/O through the seam

void KelTlsWireInit(KelTlsWire *lpWire, KelSocket hSocket, const KelTls *lpTls) {
    lpWire->hSocket = hSocket;
    lpWire->dwTimeoutMs = lpTls->dwTimeoutMs;
}

// What the system said of the socket's failure, read at once.
static void KelTlsWireFailed(KelTlsWire *lpWire) {
    lpWire->bTimedOut = g_KelPlatform.pfnLastError(lpWire->szSystemError, sizeof lpWire->szSystemError) != 0;
}

int KelTlsWireSend(KelTlsWire *lpWire, const void *lpData, int nLen) {
    int nSent = g_KelPlatform.pfnSend(lpWire->hSocket, lpData, nLen, lpWire->bMore);
    if (nSent == nLen) return nSent;
    if (nSent < 0) KelTlsWireFailed(lpWire);
    lpWire->bSendFailed = 1;
    return -1;  // the rest of a TLS record cannot follow later
}

// A first byte that starts no TLS record ends the handshake at once: the
// rest of a plain server's answer may never come.
int KelTlsWireRecv(KelTlsWire *lpWire, void *lpBuffer, int nLen) {
    const uint8_t kHandshakeRecord = 22, kAlertRecord = 21;
    int nGot = g_KelPlatform.pfnRecv(lpWire->hSocket, lpBuffer, nLen);
    lpWire->nLastRecv = nGot;
    if (nGot < 0) KelTlsWireFailed(lpWire);
    if (nGot <= 0) return nGot;
    bool bFirst = !lpWire->dwReceived;
    if (bFirst) lpWire->bFirstByte = *static_cast<const uint8_t *>(lpBuffer);
    lpWire->dwReceived += (uint32_t)nGot;
    if (bFirst && lpWire->bFirstByte != kHandshakeRecord && lpWire->bFirstByte != kAlertRecord) return -1;
    return nGot;
}

// ---- Reasons

void KelTlsFormat(char szReason[KEL_TLS_REASON_SIZE], const char *szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szReason, KEL_TLS_REASON_SIZE, szFormat, args);
    va_end(args);
}

void KelTlsAppendName(char *szList, size_t nSize, const char *szText) {
    size_t nLen = strlen(szList);
    if (nLen && nLen + 2 < nSize) {
        memcpy(szList + nLen, ", ", 3);
        nLen += 2;
    }
    if (nLen + 1 < nSize) snprintf(szList + nLen, nSize - nLen, "%s", szText);
}

void KelTlsWireReason(const KelTlsWire *lpWire, const char *szDetail, char szReason[KEL_TLS_REASON_SIZE]) {
    const uint8_t kHandshakeRecord = 22, kAlertRecord = 21;
    if (lpWire->dwReceived && lpWire->bFirstByte != kHandshakeRecord && lpWire->bFirstByte != kAlertRecord)
        KelTlsFormat(szReason,
                     "the server does not speak TLS: its answer to the TLS handshake is no TLS record");
    else if (lpWire->nLastRecv == 0)
        KelTlsFormat(szReason, "the server closed the connection during the TLS handshake%s",
                     lpWire->dwReceived ? "" : " without an answer");
    else if ((lpWire->nLastRecv < 0 || lpWire->bSendFailed) && lpWire->bTimedOut && lpWire->dwTimeoutMs)
        KelTlsFormat(szReason, "the TLS handshake: timed out after %u ms", (unsigned)lpWire->dwTimeoutMs);
    else if (lpWire->nLastRecv < 0 || lpWire->bSendFailed)
        KelTlsFormat(szReason, "the TLS handshake failed on the connection: %s",
                     lpWire->szSystemError[0] ? lpWire->szSystemError : "no detail");
    else
        KelTlsFormat(szReason, "the TLS handshake failed: %s",
                     szDetail && *szDetail ? szDetail : "no detail");
}

void KelTlsRefusalReason(KelTlsRefusal refusal, const char *szServerName, const char *szSubject,
                         const char *szDate, const char *szNames, const char *szDetail,
                         char szReason[KEL_TLS_REASON_SIZE]) {
    const char *szWho = szSubject && *szSubject ? szSubject : "?";
    switch (refusal) {
        case KelTlsRefusal::NotTrusted:
            KelTlsFormat(szReason, "the server's certificate (%s) is not issued by a trusted CA", szWho);
            return;
        case KelTlsRefusal::Expired:
            KelTlsFormat(szReason, "the certificate of %s in the server's chain has expired (valid until %s)",
                         szWho, szDate ? szDate : "?");
            return;
        case KelTlsRefusal::NotYetValid:
            KelTlsFormat(szReason,
                         "the certificate of %s in the server's chain is not valid yet (valid from %s)",
                         szWho, szDate ? szDate : "?");
            return;
        case KelTlsRefusal::OtherName:
            KelTlsFormat(szReason, "the server's certificate names %s, not %s",
                         szNames && *szNames ? szNames : "no server", szServerName ? szServerName : "?");
            return;
        case KelTlsRefusal::NoCertificate:
            KelTlsFormat(szReason, "the server sent no certificate");
            return;
        case KelTlsRefusal::Other:
            break;
    }
    KelTlsFormat(szReason, "the server's certificate (%s) was refused: %s", szWho, szDetail ? szDetail : "?");
}
