// KelConnection.cpp - connection records and their busy flag.
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelConct";

// Copies at most 8 characters and always ends the 9-character field with a NUL.
static void KelStoreCredential(char *szField, const char *szValue) {
    strncpy(szField, szValue, KEL_CREDENTIAL_SIZE - 1);
    szField[KEL_CREDENTIAL_SIZE - 1] = '\0';
}

int32_t KELAPI_CALL KelAllocConnection(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                       const char *szPassword, const char *szPassword2,
                                       HKELCONNECTION *phConnection) {
    KEL_TRACE_VAL("KelAllocConnection dwIP = ", dwIP);
    if (!szUserID || !szPassword || !phConnection) return KEL_FAIL(KEL_ERR_PARAM);
    *phConnection = nullptr;
    if (!g_dwKelStarted) KelInitialize();

    KelConnection *lpCon = static_cast<KelConnection *>(g_KelPlatform.pfnAlloc(sizeof(KelConnection)));
    if (!lpCon) return KEL_FAIL(KEL_ERR_SYSTEM);
    memset(lpCon, 0, sizeof *lpCon);
    lpCon->dwType = KEL_TYPE_CONNECTION;
    lpCon->dwIP = dwIP;
    lpCon->wPort = wPort ? wPort : KEL_DEFAULT_PORT;
    KelStoreCredential(lpCon->szUserID, szUserID);
    KelStoreCredential(lpCon->szPassword, szPassword);
    if (szPassword2) KelStoreCredential(lpCon->szPassword2, szPassword2);
    lpCon->hSocket = KEL_INVALID_SOCKET;
    lpCon->dwSendLen = 0;
    lpCon->dwLock = KEL_LOCK_FREE;

    KEL_TRACE_VAL("KelAllocConnection lpCon = ", KelTraceHandle(lpCon));
    *phConnection = lpCon;
    return KEL_OK;
}

int32_t KELAPI_CALL KelFreeConnection(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KEL_ERR_PARAM);
    KEL_TRACE_VAL("KelFreeConnection hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    if (lpCon->hSocket != KEL_INVALID_SOCKET) return KEL_FAIL(KEL_ERR_CONNECTED);
    // The record held credentials: clear it where the compiler cannot skip it.
    KelSecureZero(lpCon, sizeof *lpCon);
    g_KelPlatform.pfnFree(lpCon);
    return KEL_OK;
}

int32_t KELAPI_CALL KelLock(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KEL_ERR_PARAM);
    KEL_TRACE_VAL("KelLock hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    if (lpCon->dwLock != KEL_LOCK_FREE) return KEL_FAIL(KEL_ERR_LOCKED);
    lpCon->dwLock = KEL_LOCK_BUSY;
    return KEL_OK;
}

int32_t KELAPI_CALL KelUnLock(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KEL_ERR_PARAM);
    KEL_TRACE_VAL("KelUnLock hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    lpCon->dwLock = KEL_LOCK_FREE;
    return KEL_OK;
}
