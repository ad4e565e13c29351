// KelConct.cpp - module KelConct: start-up, address helpers, connection
// records, the byte stream, command frames, connect and disconnect.
//
// A trace line names its module and the line of the statement that wrote
// it. This file is the whole module, so each (KelConct, line) pair names
// exactly one statement; keep to one reporting statement per line.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "kelapi_address.h"
#include "kelapi_blocks.h"
#include "kelapi_internal.h"
#include "tls.h"

static const char kszModule[] = "KelConct";

// ==== Start-up: the lazy, one-time start of the sockets layer and the random source

std::atomic<uint32_t> g_dwKelStarted{0};

// The time-out new connections start with; read from the environment once,
// by the first start-up, for programs that cannot be rebuilt to set one.
static std::atomic<uint32_t> s_dwDefaultTimeout{0};
static std::atomic<bool> s_bDefaultTimeoutRead{false};

uint32_t KelTimeoutFromText(const char *szText) {
    const uint32_t kdwMax = 2147483647u;
    uint64_t nValue = 0;
    if (!*szText) return 0;
    for (const char *p = szText; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        nValue = nValue * 10 + (uint64_t)(*p - '0');
        if (nValue > kdwMax) return 0;
    }
    return (uint32_t)nValue;
}

static void KelReadDefaultTimeout(void) {
    if (s_bDefaultTimeoutRead.exchange(true, std::memory_order_relaxed)) return;
    char szValue[32];
    if (g_KelPlatform.pfnGetEnv("KELAPI_TIMEOUT_MS", szValue, sizeof szValue) == 0)
        s_dwDefaultTimeout.store(KelTimeoutFromText(szValue), std::memory_order_relaxed);
}

// Starts the sockets layer and seeds the pseudo-random source on this thread.
// A failed start-up leaves the flag clear, so the next trigger tries again;
// its only trace is the rc line.
int32_t KelInitialize(void) {
    KelReadDefaultTimeout();
    KelTlsReadDefaults();
    KEL_TRACE_MSG("KelInitialize");
    int nRc = g_KelPlatform.pfnStartup();
    KEL_TRACE_VAL("  WSAStartup rc = ", nRc);
    if (nRc != 0) return KEL_ERR_SYSTEM;
    g_KelPlatform.pfnSeedRandom((uint32_t)g_KelPlatform.pfnTime());
    g_dwKelStarted.store(0xFFFFFFFFu, std::memory_order_relaxed);
    return KEL_OK;
}

// ==== Address helpers: dotted text, host names and IPv4 addresses

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
    if (!KelIsStarted()) KelInitialize();
    if (!szString) return 0;
    KEL_TRACE_STR("KelHostNameToIP szString = ", szString);
    uint32_t dwIP = 0;
    if (g_KelPlatform.pfnLookupHost(szString, &dwIP) != 0) return 0;
    KEL_TRACE_VAL("  dwIP = ", dwIP);
    return dwIP;
}

int32_t KELAPI_CALL KelIPToStr(uint32_t dwIP, char *szString) {
    if (!szString) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelIPToStr dwIP = ", dwIP);
    char szText[16] = {0};
    if (g_KelPlatform.pfnInetNtoa(dwIP, szText) != 0)
        return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, __func__, "the system gave no text for the address"));
    memcpy(szString, szText, sizeof szText);  // the text and NULs up to 16 bytes
    KEL_TRACE_STR("  szString = ", szString);
    return KEL_OK;
}

// ==== Connection records and their busy flag

// The reason for a call that the connection's state refuses.
static int32_t KelStateReason(const KelConnection *lpCon, int32_t nCode, const char *szStep) {
    const char *szState = "the connection is not open";
    if (nCode == KEL_ERR_CONNECTED) szState = "the connection is still open: disconnect it first";
    if (nCode == KEL_ERR_ALREADY_CONNECTED) szState = "the connection is already open";
    if (nCode == KEL_ERR_LOCKED) szState = "the connection's busy flag is already set";
    return KelSetReason(lpCon, nCode, szStep, "%s", szState);
}

static int32_t KelNotOpenReason(const KelConnection *lpCon, const char *szStep) {
    return KelStateReason(lpCon, KEL_ERR_NOT_CONNECTED, szStep);
}

// Copies at most 8 characters and always ends the 9-character field with a NUL.
static void KelStoreCredential(char *szField, const char *szValue) {
    strncpy(szField, szValue, KEL_CREDENTIAL_SIZE - 1);
    szField[KEL_CREDENTIAL_SIZE - 1] = '\0';
}

// Gives a new connection the process's TLS settings (KELAPI_TLS and its
// companions), if there are any; false when no memory is left for them.
static bool KelTakeDefaultTls(KelConnection *lpCon) {
    const KelTlsDefaults &defaults = KelTlsReadDefaults();
    if (defaults.dwMode == KEL_TLS_OFF && !defaults.szUnusable[0]) return true;
    return KelTlsNew(defaults.dwMode, defaults.szCAFile, defaults.szServerName,
                     defaults.szUnusable[0] ? defaults.szUnusable : nullptr, &lpCon->lpTls) == KEL_OK;
}

// What both allocations share after their entry line: the checks, the
// caller's handle variable cleared, the library started, and a cleared record
// with the port and credentials. Reports its own failures.
static int32_t KelNewConnection(const char *szFunction, uint16_t wPort, const char *szUserID,
                                const char *szPassword, const char *szPassword2, HKELCONNECTION *phConnection,
                                KelConnection **lplpCon) {
    if (!szUserID || !szPassword || !phConnection) return KEL_FAIL(KelParamReason(szFunction));
    *phConnection = nullptr;
    if (!KelIsStarted()) KelInitialize();

    KelConnection *lpCon = static_cast<KelConnection *>(g_KelPlatform.pfnAlloc(sizeof(KelConnection)));
    if (!lpCon) return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, szFunction, "no memory for the record"));
    memset(lpCon, 0, sizeof *lpCon);
    lpCon->dwType = KEL_TYPE_CONNECTION;
    lpCon->wPort = wPort ? wPort : KEL_DEFAULT_PORT;
    KelStoreCredential(lpCon->szUserID, szUserID);
    KelStoreCredential(lpCon->szPassword, szPassword);
    if (szPassword2) KelStoreCredential(lpCon->szPassword2, szPassword2);
    lpCon->hSocket = KEL_INVALID_SOCKET;
    lpCon->dwSendLen = 0;
    lpCon->dwLock = KEL_LOCK_FREE;
    lpCon->dwTimeout = s_dwDefaultTimeout.load(std::memory_order_relaxed);
    if (!KelTakeDefaultTls(lpCon)) {
        KelSecureZero(lpCon, sizeof *lpCon);
        g_KelPlatform.pfnFree(lpCon);
        return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, szFunction, "no memory for the TLS settings"));
    }
    *lplpCon = lpCon;
    return KEL_OK;
}

int32_t KELAPI_CALL KelAllocConnection(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                       const char *szPassword, const char *szPassword2,
                                       HKELCONNECTION *phConnection) {
    KEL_TRACE_VAL("KelAllocConnection dwIP = ", dwIP);
    KelConnection *lpCon = nullptr;
    int32_t nRc = KelNewConnection(__func__, wPort, szUserID, szPassword, szPassword2, phConnection, &lpCon);
    if (nRc != KEL_OK) return nRc;
    lpCon->dwIP = dwIP;
    KEL_TRACE_VAL("KelAllocConnection lpCon = ", KelTraceHandle(lpCon));
    *phConnection = lpCon;
    return KEL_OK;
}

// The host text is kept as given and resolved at every connect.
int32_t KELAPI_CALL KelAllocConnectionByName(const char *szHost, uint16_t wPort, const char *szUserID,
                                             const char *szPassword, const char *szPassword2,
                                             HKELCONNECTION *phConnection) {
    KEL_TRACE_STR("KelAllocConnectionByName szHost = ", szHost ? szHost : "(null)");
    if (!szHost) return KEL_FAIL(KelParamReason(__func__));
    size_t nHostLen = strnlen(szHost, KEL_HOST_SIZE);
    if (nHostLen == KEL_HOST_SIZE)
        return KEL_FAIL(KelRefuse(KEL_ERR_PARAM, __func__, "the host is longer than 255 characters"));
    KelConnection *lpCon = nullptr;
    int32_t nRc = KelNewConnection(__func__, wPort, szUserID, szPassword, szPassword2, phConnection, &lpCon);
    if (nRc != KEL_OK) return nRc;
    lpCon->bByName = 1;
    memcpy(lpCon->szHost, szHost, nHostLen);
    KEL_TRACE_VAL("KelAllocConnectionByName lpCon = ", KelTraceHandle(lpCon));
    *phConnection = lpCon;
    return KEL_OK;
}

int32_t KELAPI_CALL KelFreeConnection(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelFreeConnection hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->hSocket != KEL_INVALID_SOCKET)  // still open: KelDisconnect comes first
        return KEL_FAIL(KelStateReason(lpCon, KEL_ERR_CONNECTED, __func__));
    KelTlsFree(lpCon->lpTls);
    // The record held credentials: clear it where the compiler cannot skip it.
    KelSecureZero(lpCon, sizeof *lpCon);
    g_KelPlatform.pfnFree(lpCon);
    return KEL_OK;
}

int32_t KELAPI_CALL KelLock(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelLock hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->dwLock != KEL_LOCK_FREE) return KEL_FAIL(KelStateReason(lpCon, KEL_ERR_LOCKED, __func__));
    lpCon->dwLock = KEL_LOCK_BUSY;
    return KEL_OK;
}

int32_t KELAPI_CALL KelUnLock(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelUnLock hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    lpCon->dwLock = KEL_LOCK_FREE;
    return KEL_OK;
}

// Bounds each later blocking step of the connection; an open socket takes
// the new bound at once. The bound stays with the record across connects.
int32_t KELAPI_CALL KelSetTimeout(HKELCONNECTION hConnection, uint32_t dwMilliseconds) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelSetTimeout hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->hSocket != KEL_INVALID_SOCKET && dwMilliseconds != lpCon->dwTimeout)
        g_KelPlatform.pfnSetTimeouts(lpCon->hSocket, dwMilliseconds);
    lpCon->dwTimeout = dwMilliseconds;
    return KEL_OK;
}

// Settings for the next connects; KEL_TLS_OFF drops them. They are refused
// while a socket is open, whose session would outlive them.
int32_t KELAPI_CALL KelSetTls(HKELCONNECTION hConnection, uint32_t dwMode, const char *szCAFile,
                              const char *szServerName) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelSetTls hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (dwMode > KEL_TLS_VERIFY_FULL)
        return KEL_FAIL(KelRefuse(KEL_ERR_PARAM, __func__, "the TLS mode is unknown (0 to 3 are known)"));
    // A cut name would name another file or server.
    if ((szCAFile && strnlen(szCAFile, KEL_TLS_PATH_SIZE) == KEL_TLS_PATH_SIZE) ||
        (szServerName && strnlen(szServerName, KEL_TLS_NAME_SIZE) == KEL_TLS_NAME_SIZE))
        return KEL_FAIL(KelRefuse(KEL_ERR_PARAM, __func__, "the CA file name or server name is too long"));
    if (lpCon->hSocket != KEL_INVALID_SOCKET)
        return KEL_FAIL(KelStateReason(lpCon, KEL_ERR_CONNECTED, __func__));
    KelTls *lpTls = nullptr;
    if (dwMode != KEL_TLS_OFF && KelTlsNew(dwMode, szCAFile, szServerName, nullptr, &lpTls) != KEL_OK)
        return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, __func__, "no memory for the TLS settings"));
    KelTlsFree(lpCon->lpTls);
    lpCon->lpTls = lpTls;
    return KEL_OK;
}

// ==== The byte stream: buffered sends, exact receives

// The reason of a failed send or receive on the stream: the system's
// error, or with TLS a failure of the session itself.
static int32_t KelStreamReason(const KelConnection *lpCon, const char *szStep) {
    if (lpCon->lpTls && !KelTlsSocketFailed(lpCon->lpTls))
        return KelSetReason(lpCon, KEL_ERR_COMM, szStep, "TLS failed: a damaged or unexpected record");
    return KelSetSystemReason(lpCon, KEL_ERR_COMM, szStep);
}

// One socket send of exactly dwLen bytes; a short send counts as a failure,
// whose reason it writes. bMore: the caller sends more at once, so the two
// may share one segment.
static bool KelSendAll(KelConnection *lpCon, const uint8_t *lpData, uint32_t dwLen, bool bMore) {
    if (dwLen > (uint32_t)INT_MAX) {  // more than one send call can carry
        KelSetReason(lpCon, KEL_ERR_COMM, "send", "%u bytes are more than one send can carry", dwLen);
        return false;
    }
    int nSent = lpCon->lpTls ? KelTlsSend(lpCon->lpTls, lpData, (int)dwLen, bMore ? 1 : 0)
                             : g_KelPlatform.pfnSend(lpCon->hSocket, lpData, (int)dwLen, bMore ? 1 : 0);
    if (nSent >= 0 && (uint32_t)nSent == dwLen) return true;
    KelStreamReason(lpCon, "send");
    return false;
}

// The reason of a receive that got nGot (0: the peer closed its end, -1: an error).
static int32_t KelReceiveFailed(const KelConnection *lpCon, int nGot) {
    if (nGot == 0) return KelSetReason(lpCon, KEL_ERR_COMM, "receive", "the server closed the connection");
    return KelStreamReason(lpCon, "receive");
}

// Forgets the bytes that went, clearing them: the scrambled logon block is
// among them once, and nothing of it may stay for the connection's life.
static void KelEmptySendBuffer(KelConnection *lpCon) {
    lpCon->dwSendLen = 0;
    memset(lpCon->abSendBuf, 0, sizeof lpCon->abSendBuf);
}

// Hands the waiting bytes to the socket in one send, also when there are none.
// On failure they stay in the buffer, to be sent first next time.
static bool KelFlushSendBuffer(KelConnection *lpCon, bool bMore) {
    if (!KelSendAll(lpCon, lpCon->abSendBuf, lpCon->dwSendLen, bMore)) return false;
    KelEmptySendBuffer(lpCon);
    return true;
}

// Sends what waits in the send buffer and then dwLen bytes from the caller,
// all of them, for a connection whose socket is open. Where KelSend would
// fill and flush the buffer and then send the rest (two system calls), both
// parts go in one gather send; data that fits the buffer, and every send over
// TLS, goes as KelSend sends it.
static int32_t KelSendAfterBuffer(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen) {
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (lpCon->lpTls || lpCon->dwSendLen + dwLen <= KEL_SEND_BUFFER_SIZE ||
        dwLen > (uint32_t)INT_MAX - KEL_SEND_BUFFER_SIZE)
        return KelSendExact(hConnection, lpData, dwLen, 1);
    int nLen = (int)(lpCon->dwSendLen + dwLen);
    int nSent = g_KelPlatform.pfnSendPair(lpCon->hSocket, lpCon->abSendBuf, (int)lpCon->dwSendLen, lpData,
                                          (int)dwLen);
    if (nSent != nLen) return KEL_FAIL(KelSetSystemReason(lpCon, KEL_ERR_COMM, "send"));
    KelEmptySendBuffer(lpCon);
    return KEL_OK;
}

int32_t KELAPI_CALL KelSend(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen,
                            uint32_t *lpdwSent, int32_t bFlush) {
    if (!hConnection || !lpdwSent) return KEL_FAIL(KelParamReason(__func__));
    *lpdwSent = 0;
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_FAIL(KelNotOpenReason(lpCon, "send"));

    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    uint32_t dwRoom = KEL_SEND_BUFFER_SIZE - lpCon->dwSendLen;
    uint32_t dwTaken = dwLen < dwRoom ? dwLen : dwRoom;
    if (dwTaken) memcpy(lpCon->abSendBuf + lpCon->dwSendLen, lpBytes, dwTaken);
    lpCon->dwSendLen += dwTaken;
    *lpdwSent = dwTaken;

    // What does not fit either goes straight from the caller's memory right
    // after the full buffer, or waits in the buffer for a later call. A full
    // buffer followed at once by a direct send is marked, so that the two do
    // not leave as a small segment that waits for the peer's acknowledgement.
    uint32_t dwRest = dwLen - dwTaken;
    bool bDirect = dwRest >= KEL_SEND_BUFFER_SIZE || (dwRest && bFlush);
    if (lpCon->dwSendLen == KEL_SEND_BUFFER_SIZE || dwRest || bFlush) {
        if (!KelFlushSendBuffer(lpCon, bDirect)) return KEL_FAIL(KEL_ERR_COMM);
    }
    if (!dwRest) return KEL_OK;
    if (bDirect) {
        if (!KelSendAll(lpCon, lpBytes + dwTaken, dwRest, false)) return KEL_FAIL(KEL_ERR_COMM);
    } else {
        memcpy(lpCon->abSendBuf, lpBytes + dwTaken, dwRest);
        lpCon->dwSendLen = dwRest;
    }
    *lpdwSent += dwRest;
    return KEL_OK;
}

int32_t KELAPI_CALL KelReceive(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen,
                               uint32_t *lpdwReceived, int32_t bWaitAll) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_FAIL(KelNotOpenReason(lpCon, "receive"));

    // A receive of 0 bytes would read as a closed peer: ask the socket nothing.
    uint8_t *lpBytes = static_cast<uint8_t *>(lpBuffer);
    *lpdwReceived = 0;
    while (*lpdwReceived < dwLen) {
        uint32_t dwWanted = dwLen - *lpdwReceived;
        if (dwWanted > (uint32_t)INT_MAX) dwWanted = (uint32_t)INT_MAX;
        uint8_t *lpInto = lpBytes + *lpdwReceived;
        int nGot = lpCon->lpTls ? KelTlsRecv(lpCon->lpTls, lpInto, (int)dwWanted)
                                : g_KelPlatform.pfnRecv(lpCon->hSocket, lpInto, (int)dwWanted);
        if (nGot <= 0) return KEL_FAIL(KelReceiveFailed(lpCon, nGot));
        *lpdwReceived += (uint32_t)nGot;
        if (!bWaitAll) break;
    }
    return KEL_OK;
}

// A transfer that moved fewer bytes than it had to, without an error of its own.
static int32_t KelShortReason(HKELCONNECTION hConnection, const char *szStep, uint32_t dwMoved,
                              uint32_t dwLen) {
    return KelSetReason(KelAsConnection(hConnection), KEL_ERR_COMM, szStep, "%u of %u bytes moved",
                        (unsigned)dwMoved, (unsigned)dwLen);
}

// Sends exactly dwLen bytes through the send buffer; a short count is 102.
// Traces nothing itself: the caller reports the code as its own level.
int32_t KelSendExact(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen, int32_t bFlush) {
    uint32_t dwSent = 0;
    int32_t nRc = KelSend(hConnection, lpData, dwLen, &dwSent, bFlush);
    if (nRc != KEL_OK) return nRc;
    return dwSent == dwLen ? KEL_OK : KelShortReason(hConnection, "send", dwSent, dwLen);
}

// Receives exactly dwLen bytes; a short count is 102. Traces nothing itself.
int32_t KelReceiveExact(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen) {
    uint32_t dwReceived = 0;
    int32_t nRc = KelReceive(hConnection, lpBuffer, dwLen, &dwReceived, 1);
    if (nRc != KEL_OK) return nRc;
    return dwReceived == dwLen ? KEL_OK : KelShortReason(hConnection, "receive", dwReceived, dwLen);
}

// ==== Command frames on the byte stream
//
// A frame is the command code (4 bytes, big-endian), a flag byte, and one
// big-endian word for each of dwParm1, dwRetCode, dwParm3 and dwDataLen that
// is non-zero, in that order. dwDataLen bytes of data follow the frame.

namespace {

const uint32_t kFrameHeaderSize = 5;
const uint32_t kDiscardChunk = 256;
const uint8_t kPresenceBits = KEL_FLAG_PARM1 | KEL_FLAG_RETCODE | KEL_FLAG_PARM3 | KEL_FLAG_DATALEN;

struct KelOptionalWord {
    uint8_t bFlag;
    uint32_t KelCommand::*pField;
};

// The optional words in the order they travel.
const KelOptionalWord kaOptionalWords[] = {
    {KEL_FLAG_PARM1, &KelCommand::dwParm1},
    {KEL_FLAG_RETCODE, &KelCommand::dwRetCode},
    {KEL_FLAG_PARM3, &KelCommand::dwParm3},
    {KEL_FLAG_DATALEN, &KelCommand::dwDataLen},
};

// A frame that came where another was awaited and may not be skipped.
int32_t KelNoSkipReason(HKELCONNECTION hConnection, const KelCommand *lpCommand) {
    return KelSetReason(KelAsConnection(hConnection), KEL_ERR_PROTOCOL, "receive",
                        "frame 0x%08X came unawaited and may not be skipped (flag 0x10)",
                        (unsigned)lpCommand->dwCommand);
}

}  // namespace

int32_t KELAPI_CALL KelSendCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand, int32_t bFlush) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KelParamReason(__func__));
    uint8_t abHeader[kFrameHeaderSize];
    uint8_t abWords[4 * 4];
    uint32_t dwWordsLen = 0;
    KelPutBE32(abHeader, lpCommand->dwCommand);
    // The presence bits come from the fields alone: a bit left over in the
    // caller's flag byte (say from a received record whose word was cleared)
    // would announce a word that is not sent and break the framing for the
    // peer. The bits 0x10 to 0x80 are the caller's and travel unchanged.
    abHeader[4] = (uint8_t)(lpCommand->bFlags & ~kPresenceBits);
    for (const KelOptionalWord &word : kaOptionalWords) {
        uint32_t dwValue = lpCommand->*word.pField;
        if (!dwValue) continue;
        KelPutBE32(abWords + dwWordsLen, dwValue);
        dwWordsLen += 4;
        abHeader[4] |= word.bFlag;
    }
    // The header waits in the buffer; the words go with the caller's flush,
    // even when there are none, so that a flush always pushes the frame out.
    int32_t nRc = KelSendExact(hConnection, abHeader, kFrameHeaderSize, 0);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    nRc = KelSendExact(hConnection, abWords, dwWordsLen, bFlush);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    return KEL_OK;
}

// The optional words are read with one exact receive; on a failure part-way
// the record keeps the words that arrived whole, as a word-by-word read would.
int32_t KELAPI_CALL KelReceiveCommand(HKELCONNECTION hConnection, KelCommand *lpCommand) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KelParamReason(__func__));
    memset(lpCommand, 0, sizeof *lpCommand);
    uint8_t abHeader[kFrameHeaderSize];
    int32_t nRc = KelReceiveExact(hConnection, abHeader, kFrameHeaderSize);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    lpCommand->dwCommand = KelGetBE32(abHeader);
    lpCommand->bFlags = abHeader[4];

    uint32_t dwWordsLen = 0;
    for (const KelOptionalWord &word : kaOptionalWords)
        if (lpCommand->bFlags & word.bFlag) dwWordsLen += 4;
    uint8_t abWords[4 * 4];
    uint32_t dwReceived = 0;
    nRc = dwWordsLen ? KelReceive(hConnection, abWords, dwWordsLen, &dwReceived, 1) : KEL_OK;
    uint32_t dwOffset = 0;
    for (const KelOptionalWord &word : kaOptionalWords) {
        if (!(lpCommand->bFlags & word.bFlag)) continue;
        if (dwOffset + 4 > dwReceived) break;
        lpCommand->*word.pField = KelGetBE32(abWords + dwOffset);
        dwOffset += 4;
    }
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    if (dwReceived != dwWordsLen)
        return KEL_FAIL(KelShortReason(hConnection, "receive", dwReceived, dwWordsLen));
    return KEL_OK;
}

int32_t KELAPI_CALL KelDispatchCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KelParamReason(__func__));
    if (lpCommand->dwCommand == KEL_CMD_IGNORE) return KEL_OK;
    if (lpCommand->bFlags & KEL_FLAG_NOSKIP) return KEL_FAIL(KelNoSkipReason(hConnection, lpCommand));
    uint8_t abScratch[kDiscardChunk];
    for (uint32_t dwLeft = lpCommand->dwDataLen; dwLeft;) {
        uint32_t dwChunk = dwLeft < kDiscardChunk ? dwLeft : kDiscardChunk;
        int32_t nRc = KelReceiveExact(hConnection, abScratch, dwChunk);
        if (nRc != KEL_OK) return KEL_FAIL(nRc);
        dwLeft -= dwChunk;
    }
    return KEL_OK;
}

int32_t KELAPI_CALL KelWaitForResponse(HKELCONNECTION hConnection, uint32_t dwExpected,
                                       KelCommand *lpCommand) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KelParamReason(__func__));
    for (;;) {
        int32_t nRc = KelReceiveCommand(hConnection, lpCommand);
        if (nRc != KEL_OK) return KEL_FAIL(nRc);
        if (lpCommand->dwCommand == dwExpected) return KEL_OK;
        nRc = KelDispatchCommand(hConnection, lpCommand);
        if (nRc != KEL_OK) return KEL_FAIL(nRc);
    }
}

int32_t KELAPI_CALL KelCmdErrToKelErr(uint32_t dwRetCode) {
    static const struct {
        uint32_t dwHostCode;
        int32_t nResult;
    } kaTable[] = {
        {0x00000000u, KEL_OK},           {0x00010001u, KEL_ERR_HOST_104}, {0x00010002u, KEL_ERR_HOST_106},
        {0x00010003u, KEL_ERR_HOST_107}, {0x00010004u, KEL_ERR_HOST_104}, {0x00010005u, KEL_ERR_HOST_108},
        {0x00020001u, KEL_ERR_HOST_200}, {0x00030001u, KEL_ERR_HOST_202}, {0x00030002u, KEL_ERR_HOST_203},
        {0x00030003u, KEL_ERR_HOST_204}, {0x00030004u, KEL_ERR_HOST_201}, {0x00040001u, KEL_ERR_HOST_205},
        {0x00050001u, KEL_ERR_HOST_202}, {0x00050002u, KEL_ERR_HOST_201}, {0x00060001u, KEL_ERR_HOST_200},
    };
    for (const auto &entry : kaTable)
        if (entry.dwHostCode == dwRetCode) return entry.nResult;
    return KEL_ERR_SYSTEM;
}

// The separate calls of one request and its reply, in one call: the same
// bytes and receives, the request in one send, nothing allocated, the busy
// flag untouched.
// Each failure is reported by the call that met it and once more here.
int32_t KELAPI_CALL KelExchange(HKELCONNECTION hConnection, const KelCommand *lpRequest, const void *lpData,
                                uint32_t dwExpected, KelCommand *lpReply, void *lpBuffer,
                                uint32_t dwBufferSize, uint32_t *lpdwReceived) {
    if (!hConnection || !lpRequest || !lpReply || !lpdwReceived) return KEL_FAIL(KelParamReason(__func__));
    const uint32_t dwDataLen = lpRequest->dwDataLen;  // lpReply may be the same record
    if ((dwDataLen && !lpData) || (dwBufferSize && !lpBuffer)) return KEL_FAIL(KelParamReason(__func__));
    *lpdwReceived = 0;  // also when the data stays in the stream
    // Without data the frame flushes itself; with data, the data's send flushes both.
    int32_t nRc = KelSendCommand(hConnection, lpRequest, dwDataLen ? 0 : 1);
    if (nRc == KEL_OK && dwDataLen) nRc = KelSendAfterBuffer(hConnection, lpData, dwDataLen);
    if (nRc == KEL_OK) nRc = KelWaitForResponse(hConnection, dwExpected, lpReply);
    // Data that does not fit stays in the stream, where the caller reads or drops it.
    if (nRc == KEL_OK && lpReply->dwDataLen && lpReply->dwDataLen <= dwBufferSize)
        nRc = KelReceive(hConnection, lpBuffer, lpReply->dwDataLen, lpdwReceived, 1);
    return nRc == KEL_OK ? KEL_OK : KEL_FAIL(nRc);
}

// ==== Connect (identify, logon) and disconnect

namespace {

const uint8_t kServerMarker = 0x53;  // 'S', top byte of every server identifier

// The steps below return their code without tracing it: KelConnect reports
// every failure once, as its own level of the error chain.

int32_t KelSendRequest(KelConnection *lpCon, uint32_t dwCommand, const uint8_t *lpData, uint32_t dwLen) {
    KelCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = dwCommand;
    cmd.dwDataLen = dwLen;
    int32_t nRc = KelSendCommand(lpCon, &cmd, 0);
    if (nRc != KEL_OK) return nRc;
    nRc = KelSendExact(lpCon, lpData, dwLen, 1);
    if (nRc != KEL_OK) return nRc;
    return KEL_OK;
}

// "10.0.0.1:2893": the address the connection goes or went to.
void KelPeerText(const KelConnection *lpCon, char szText[KEL_ADDRESS_TEXT_SIZE]) {
    KelAddress peer = lpCon->bByName ? lpCon->addrPeer : KelIPv4Address(lpCon->dwIP);
    KelFormatAddress(&peer, lpCon->wPort, szText, KEL_ADDRESS_TEXT_SIZE);
}

// Why one attempt to open the TCP connection failed: the code, what failed
// ("" for the connect itself) and what the system said about it.
struct KelAttemptFailure {
    int32_t nCode;
    const char *szWhat;
    KelSystemError error;
};

int32_t KelAttemptFailed(KelAttemptFailure *lpWhy, int32_t nCode, const char *szWhat) {
    lpWhy->nCode = nCode;
    lpWhy->szWhat = szWhat;
    return nCode;
}

// "cannot bind the socket: <the system's message>", or for the connect
// itself the message or "timed out after N ms".
void KelDescribeAttempt(const KelConnection *lpCon, const KelAttemptFailure *lpWhy, char *szText,
                        size_t nSize) {
    char szSystem[sizeof lpWhy->error.szText];
    KelDescribeSystemError(&lpWhy->error, lpCon->dwTimeout, szSystem, sizeof szSystem);
    szText[0] = '\0';
    size_t nUsed = KelAppendText(szText, nSize, 0, lpWhy->szWhat);
    if (nUsed) nUsed = KelAppendText(szText, nSize, nUsed, ": ");
    KelAppendText(szText, nSize, nUsed, szSystem);
}

// One attempt to open the TCP connection: to lpTo, or with lpTo null to the
// record's IPv4 address through the platform's address entries, exactly as
// a connection allocated by address has always done it. On failure the
// socket is left as the caller must find it (none, open but unbound, or
// closed again) and *lpWhy says why; the thread's reason is not touched.
// The system's error is read before each trace line, whose callback may
// change it.
int32_t KelOpenSocket(KelConnection *lpCon, const KelAddress *lpTo, KelAttemptFailure *lpWhy) {
    lpCon->hSocket = lpTo ? g_KelPlatform.pfnSocketFor(lpTo->nFamily) : g_KelPlatform.pfnSocket();
    bool bFailed = lpCon->hSocket == KEL_INVALID_SOCKET;
    if (bFailed) KelReadSystemError(&lpWhy->error);
    KEL_TRACE_VAL("KelConnect hSocket = ", KelTraceSocket(lpCon->hSocket));
    if (bFailed) return KelAttemptFailed(lpWhy, KEL_ERR_SYSTEM, "cannot create a socket");
    // Requests are written whole and then awaited: none must wait for the
    // peer's delayed acknowledgement. A socket without it still works.
    g_KelPlatform.pfnSetNoDelay(lpCon->hSocket);
    int nRc = lpTo ? g_KelPlatform.pfnBindAny(lpCon->hSocket, lpTo->nFamily)
                   : g_KelPlatform.pfnBind(lpCon->hSocket, 0, 0);
    if (nRc == -1) KelReadSystemError(&lpWhy->error);
    KEL_TRACE_VAL("KelConnect bind rc = ", nRc);
    if (nRc == -1) return KelAttemptFailed(lpWhy, KEL_ERR_SYSTEM, "cannot bind the socket");
    uint16_t wPortNet = KelWordToNet(lpCon->wPort);
    nRc = lpTo ? g_KelPlatform.pfnConnectTo(lpCon->hSocket, lpTo, wPortNet, lpCon->dwTimeout)
               : g_KelPlatform.pfnConnect(lpCon->hSocket, lpCon->dwIP, wPortNet, lpCon->dwTimeout);
    if (nRc == -1) KelReadSystemError(&lpWhy->error);
    KEL_TRACE_VAL("KelConnect connect rc = ", nRc);
    if (nRc == -1) {
        g_KelPlatform.pfnClose(lpCon->hSocket);
        lpCon->hSocket = KEL_INVALID_SOCKET;
        return KelAttemptFailed(lpWhy, KEL_ERR_NOT_CONNECTED, "");
    }
    // Without a time-out the socket keeps the system's defaults untouched.
    if (lpCon->dwTimeout) g_KelPlatform.pfnSetTimeouts(lpCon->hSocket, lpCon->dwTimeout);
    return KEL_OK;
}

// The TCP connection of a connection allocated by address.
int32_t KelOpenByAddress(KelConnection *lpCon) {
    KelAttemptFailure why;
    int32_t nRc = KelOpenSocket(lpCon, nullptr, &why);
    if (nRc == KEL_OK) return KEL_OK;
    char szPeer[KEL_ADDRESS_TEXT_SIZE], szWhy[KEL_REASON_SIZE];
    KelPeerText(lpCon, szPeer);
    KelDescribeAttempt(lpCon, &why, szWhy, sizeof szWhy);
    return KelSetReason(lpCon, nRc, nullptr, "connect to %s: %s", szPeer, szWhy);
}

// The TCP connection of a named connection: the name resolved afresh, then
// each address in the resolver's order, each with a new socket of its
// family, until one accepts. Any failure is 101 with no socket left, and its
// reason says what each address met.
int32_t KelOpenByName(KelConnection *lpCon) {
    char szName[KEL_HOST_SIZE], szServer[KEL_HOST_SIZE + 8], szWhy[KEL_REASON_SIZE];
    KelHostForResolver(lpCon->szHost, szName, sizeof szName);
    KelAddress aAddresses[KEL_MAX_ADDRESSES];
    int nCount = g_KelPlatform.pfnResolve(szName, aAddresses, KEL_MAX_ADDRESSES, szWhy, sizeof szWhy);
    if (nCount > KEL_MAX_ADDRESSES) nCount = KEL_MAX_ADDRESSES;
    KelFormatHostPort(lpCon->szHost, lpCon->wPort, szServer, sizeof szServer);
    if (nCount <= 0)
        return KelSetReason(lpCon, KEL_ERR_NOT_CONNECTED, nullptr,
                            "connect to %s: the name does not resolve: %s", szServer, szWhy);
    size_t nWhyLen = 0;
    szWhy[0] = '\0';
    for (int i = 0; i < nCount; ++i) {
        char szAddress[KEL_ADDRESS_TEXT_SIZE], szAttempt[KEL_REASON_SIZE];
        KelFormatAddress(&aAddresses[i], lpCon->wPort, szAddress, sizeof szAddress);
        KEL_TRACE_STR("KelConnect address = ", szAddress);
        KelAttemptFailure why;
        if (KelOpenSocket(lpCon, &aAddresses[i], &why) == KEL_OK) {
            lpCon->addrPeer = aAddresses[i];
            return KEL_OK;
        }
        if (lpCon->hSocket != KEL_INVALID_SOCKET) {  // left open by a failed bind
            g_KelPlatform.pfnClose(lpCon->hSocket);
            lpCon->hSocket = KEL_INVALID_SOCKET;
        }
        KelDescribeAttempt(lpCon, &why, szAttempt, sizeof szAttempt);
        // "ADDRESS: what it met", "; " between the addresses; an address that
        // is the host as given is not named twice.
        if (i) nWhyLen = KelAppendText(szWhy, sizeof szWhy, nWhyLen, "; ");
        if (nCount > 1 || strcmp(szAddress, szServer) != 0) {
            nWhyLen = KelAppendText(szWhy, sizeof szWhy, nWhyLen, szAddress);
            nWhyLen = KelAppendText(szWhy, sizeof szWhy, nWhyLen, ": ");
        }
        nWhyLen = KelAppendText(szWhy, sizeof szWhy, nWhyLen, szAttempt);
    }
    return KelSetReason(lpCon, KEL_ERR_NOT_CONNECTED, nullptr, "connect to %s: %s", szServer, szWhy);
}

// "TLS with 10.0.0.1:2893: why"; the peer is the one the TCP connection
// went to, or for a failure before it the server as allocated.
int32_t KelTlsReason(const KelConnection *lpCon, const char *szWhy) {
    char szPeer[KEL_ADDRESS_TEXT_SIZE + KEL_HOST_SIZE];
    if (lpCon->bByName && lpCon->hSocket == KEL_INVALID_SOCKET)
        KelFormatHostPort(lpCon->szHost, lpCon->wPort, szPeer, sizeof szPeer);
    else
        KelPeerText(lpCon, szPeer);
    return KelSetReason(lpCon, KEL_ERR_NOT_CONNECTED, nullptr, "TLS with %s: %s", szPeer, szWhy);
}

// The name the certificate must carry when the settings give none: the
// host text of a named connection, the dotted address of another.
void KelTlsDefaultName(const KelConnection *lpCon, char szName[KEL_HOST_SIZE]) {
    if (lpCon->bByName) {
        KelHostForResolver(lpCon->szHost, szName, KEL_HOST_SIZE);
        return;
    }
    const uint8_t *lpIP = reinterpret_cast<const uint8_t *>(&lpCon->dwIP);
    snprintf(szName, KEL_HOST_SIZE, "%u.%u.%u.%u", lpIP[0], lpIP[1], lpIP[2], lpIP[3]);
}

// The handshake on the new TCP connection. A failure closes the socket, as
// a refused connect does: nothing of identify or logon has left.
int32_t KelStartTls(KelConnection *lpCon) {
    char szName[KEL_HOST_SIZE], szWhy[KEL_TLS_REASON_SIZE];
    KelTlsDefaultName(lpCon, szName);
    int32_t nRc = KelTlsHandshake(lpCon->lpTls, lpCon->hSocket, szName, lpCon->dwTimeout, szWhy);
    KEL_TRACE_STR("KelConnect TLS = ", nRc == KEL_OK ? KelTlsVersion(lpCon->lpTls) : "refused");
    if (nRc == KEL_OK) return KEL_OK;
    KelTlsReason(lpCon, szWhy);
    g_KelPlatform.pfnClose(lpCon->hSocket);
    lpCon->hSocket = KEL_INVALID_SOCKET;
    return KEL_ERR_NOT_CONNECTED;
}

// What the TLS settings need before any socket is made (the CA file read).
int32_t KelPrepareTls(KelConnection *lpCon) {
    char szWhy[KEL_TLS_REASON_SIZE];
    if (KelTlsPrepare(lpCon->lpTls, szWhy) == KEL_OK) return KEL_OK;
    return KelTlsReason(lpCon, szWhy);
}

// The reasons of an answer that does not fit; the step comes from KelInStep.
int32_t KelDataLengthReason(const KelConnection *lpCon, uint32_t dwDataLen, uint32_t dwExpected) {
    return KelSetReason(lpCon, KEL_ERR_PROTOCOL, nullptr, "the reply announces %u data bytes, not %u",
                        (unsigned)dwDataLen, (unsigned)dwExpected);
}

int32_t KelIdentify(KelConnection *lpCon) {
    uint8_t abBlock[kIdentBlockSize];
    KelFillClientIdent(abBlock);
    int32_t nRc = KelSendRequest(lpCon, KEL_CMD_IDENTIFY, abBlock, kIdentBlockSize);
    if (nRc != KEL_OK) return nRc;
    memset(abBlock, 0, sizeof abBlock);

    KelCommand reply;
    nRc = KelWaitForResponse(lpCon, KEL_RSP_IDENTIFY, &reply);
    if (nRc != KEL_OK) return nRc;
    // Any host code on this reply is a protocol fault, not a logon refusal.
    if (reply.dwRetCode != 0)
        return KelSetReason(lpCon, KEL_ERR_PROTOCOL, nullptr, "the reply carries host return code 0x%08X",
                            (unsigned)reply.dwRetCode);
    if (reply.dwDataLen != kIdentBlockSize)
        return KelDataLengthReason(lpCon, reply.dwDataLen, kIdentBlockSize);
    nRc = KelReceiveExact(lpCon, abBlock, kIdentBlockSize);
    if (nRc != KEL_OK) return nRc;

    KelStoreServerIdent(lpCon, abBlock);
    KEL_TRACE_VAL("   dwServerID = ", lpCon->dwServerID);
    KEL_TRACE_VAL("   dwServerVersion = ", lpCon->dwServerVersion);
    KEL_TRACE_STR("   szServerDescription = ", lpCon->szServerDescription);
    if ((lpCon->dwServerID >> 24) != kServerMarker)
        return KelSetReason(lpCon, KEL_ERR_PROTOCOL, nullptr,
                            "the server's identifier 0x%08X lacks the marker 0x%02X",
                            (unsigned)lpCon->dwServerID, kServerMarker);
    return KEL_OK;
}

int32_t KelLogon(KelConnection *lpCon) {
    uint8_t abBlock[kLogonBlockSize];
    KelBuildLogonBlock(lpCon, abBlock);
    int32_t nRc = KelSendRequest(lpCon, KEL_CMD_LOGON, abBlock, kLogonBlockSize);
    KelSecureZero(abBlock, sizeof abBlock);
    if (nRc != KEL_OK) return nRc;

    KelCommand reply;
    nRc = KelWaitForResponse(lpCon, KEL_RSP_LOGON, &reply);
    if (nRc != KEL_OK) return nRc;
    nRc = KelCmdErrToKelErr(reply.dwRetCode);
    if (nRc != KEL_OK)
        return KelSetReason(lpCon, nRc, nullptr, "refused by the host with return code 0x%08X",
                            (unsigned)reply.dwRetCode);
    if (reply.dwDataLen != 1) return KelDataLengthReason(lpCon, reply.dwDataLen, 1);
    nRc = KelReceiveExact(lpCon, &lpCon->bLogonData, 1);
    if (nRc != KEL_OK) return nRc;
    return KEL_OK;
}

// Puts the step and the server's address in front of the reason of a failed
// identify or logon: "identify with 10.0.0.1:2893: receive: ...".
int32_t KelInStep(const KelConnection *lpCon, const char *szStep, int32_t nRc) {
    if (nRc == KEL_OK) return KEL_OK;
    char szPeer[KEL_ADDRESS_TEXT_SIZE];
    KelPeerText(lpCon, szPeer);
    return KelPrefixReason(lpCon, nRc, "%s %s", szStep, szPeer);
}

}  // namespace

// Every failure from the busy flag on leaves the socket open and the flag
// set; KelDisconnect is the way back.
int32_t KELAPI_CALL KelConnect(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelConnect hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->hSocket != KEL_INVALID_SOCKET)
        return KEL_FAIL(KelStateReason(lpCon, KEL_ERR_ALREADY_CONNECTED, __func__));

    // The two kinds of connection differ only in how the TCP connection is
    // made. TLS settings that cannot work refuse before any socket exists.
    int32_t nRc = lpCon->lpTls ? KelPrepareTls(lpCon) : KEL_OK;
    if (nRc == KEL_OK) nRc = lpCon->bByName ? KelOpenByName(lpCon) : KelOpenByAddress(lpCon);
    if (nRc == KEL_OK && lpCon->lpTls) nRc = KelStartTls(lpCon);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    lpCon->dwSendLen = 0;  // nothing left from an earlier connection goes out
    nRc = KelLock(lpCon);
    if (nRc == KEL_OK) nRc = KelInStep(lpCon, "identify with", KelIdentify(lpCon));
    if (nRc == KEL_OK) nRc = KelInStep(lpCon, "log on to", KelLogon(lpCon));
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    KelUnLock(lpCon);
    return KEL_OK;
}

// Always ends unconnected with the busy flag clear once the checks pass;
// what goes wrong on the way shows only in the trace, and leaves the
// thread's reason as it was.
int32_t KELAPI_CALL KelDisconnect(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelDisconnect hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_FAIL(KelNotOpenReason(lpCon, "disconnect"));

    uint32_t dwKeepReason = lpCon->dwKeepReason;
    lpCon->dwKeepReason = 1;
    KelLock(lpCon);
    KelCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = KEL_CMD_DISCONNECT;
    if (KelSendCommand(lpCon, &cmd, 1) == KEL_OK) KelWaitForResponse(lpCon, KEL_RSP_DISCONNECT, &cmd);
    if (lpCon->lpTls) KelTlsClose(lpCon->lpTls);  // TLS's goodbye, where the session is sound
    KEL_TRACE_VAL("KelDisconnect hSocket = ", KelTraceSocket(lpCon->hSocket));
    g_KelPlatform.pfnClose(lpCon->hSocket);
    lpCon->hSocket = KEL_INVALID_SOCKET;
    KelUnLock(lpCon);
    lpCon->dwKeepReason = dwKeepReason;
    return KEL_OK;
}
