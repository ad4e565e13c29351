// KelStream.cpp - the connection's byte stream: buffered sends, exact receives.
#include <limits.h>
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelConct";

// One socket send of exactly dwLen bytes; a short send counts as a failure.
static bool KelSendAll(KelConnection *lpCon, const uint8_t *lpData, uint32_t dwLen) {
    if (dwLen > (uint32_t)INT_MAX) return false;  // more than one send call can carry
    int nSent = g_KelPlatform.pfnSend(lpCon->hSocket, lpData, (int)dwLen);
    return nSent >= 0 && (uint32_t)nSent == dwLen;
}

// Hands the waiting bytes to the socket in one send, also when there are none.
// On failure they stay in the buffer, to be sent first next time.
static bool KelFlushSendBuffer(KelConnection *lpCon) {
    if (!KelSendAll(lpCon, lpCon->abSendBuf, lpCon->dwSendLen)) return false;
    lpCon->dwSendLen = 0;
    memset(lpCon->abSendBuf, 0, sizeof lpCon->abSendBuf);
    return true;
}

int32_t KELAPI_CALL KelSend(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen,
                            uint32_t *lpdwSent, int32_t bFlush) {
    if (!hConnection || !lpdwSent) return KEL_FAIL(KEL_ERR_PARAM);
    *lpdwSent = 0;
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_FAIL(KEL_ERR_NOT_CONNECTED);

    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    uint32_t dwRoom = KEL_SEND_BUFFER_SIZE - lpCon->dwSendLen;
    uint32_t dwTaken = dwLen < dwRoom ? dwLen : dwRoom;
    if (dwTaken) memcpy(lpCon->abSendBuf + lpCon->dwSendLen, lpBytes, dwTaken);
    lpCon->dwSendLen += dwTaken;
    *lpdwSent = dwTaken;

    if (lpCon->dwSendLen == KEL_SEND_BUFFER_SIZE || dwTaken < dwLen || bFlush) {
        if (!KelFlushSendBuffer(lpCon)) return KEL_FAIL(KEL_ERR_COMM);
    }
    if (dwTaken == dwLen) return KEL_OK;

    // The buffer is empty now; what is left either goes straight from the
    // caller's memory or waits in the buffer for a later call.
    uint32_t dwRest = dwLen - dwTaken;
    if (dwRest >= KEL_SEND_BUFFER_SIZE || bFlush) {
        if (!KelSendAll(lpCon, lpBytes + dwTaken, dwRest)) return KEL_FAIL(KEL_ERR_COMM);
    } else {
        memcpy(lpCon->abSendBuf, lpBytes + dwTaken, dwRest);
        lpCon->dwSendLen = dwRest;
    }
    *lpdwSent += dwRest;
    return KEL_OK;
}

int32_t KELAPI_CALL KelReceive(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen,
                               uint32_t *lpdwReceived, int32_t bWaitAll) {
    if (!hConnection) return KEL_FAIL(KEL_ERR_PARAM);
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_FAIL(KEL_ERR_NOT_CONNECTED);

    // A receive of 0 bytes would read as a closed peer: ask the socket nothing.
    uint8_t *lpBytes = static_cast<uint8_t *>(lpBuffer);
    *lpdwReceived = 0;
    while (*lpdwReceived < dwLen) {
        uint32_t dwWanted = dwLen - *lpdwReceived;
        if (dwWanted > (uint32_t)INT_MAX) dwWanted = (uint32_t)INT_MAX;
        int nGot = g_KelPlatform.pfnRecv(lpCon->hSocket, lpBytes + *lpdwReceived, (int)dwWanted);
        if (nGot <= 0) return KEL_FAIL(KEL_ERR_COMM);
        *lpdwReceived += (uint32_t)nGot;
        if (!bWaitAll) break;
    }
    return KEL_OK;
}

// Sends exactly dwLen bytes through the send buffer; a short count is 102.
// Traces nothing itself: the caller reports the code as its own level.
int32_t KelSendExact(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen, int32_t bFlush) {
    uint32_t dwSent = 0;
    int32_t nRc = KelSend(hConnection, lpData, dwLen, &dwSent, bFlush);
    if (nRc != KEL_OK) return nRc;
    return dwSent == dwLen ? KEL_OK : KEL_ERR_COMM;
}

// Receives exactly dwLen bytes; a short count is 102. Traces nothing itself.
int32_t KelReceiveExact(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen) {
    uint32_t dwReceived = 0;
    int32_t nRc = KelReceive(hConnection, lpBuffer, dwLen, &dwReceived, 1);
    if (nRc != KEL_OK) return nRc;
    return dwReceived == dwLen ? KEL_OK : KEL_ERR_COMM;
}
