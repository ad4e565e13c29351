// KelSystm.cpp - host systems: a connection, connected and logged on, in one handle.
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelSystm";

static const uint32_t kdwExternal = 0xFFFFFFFFu;
static const uint32_t kdwMarkerMask = 0x00FFFFFFu;

// The system behind a handle, or null when its type tag is not 2.
static KelHoxSystem *KelAsHoxSystem(HKELHOXSYSTEM hHoxSystem) {
    KelHoxSystem *lpSystem = static_cast<KelHoxSystem *>(hHoxSystem);
    return lpSystem->dwType == KEL_TYPE_HOXSYSTEM ? lpSystem : nullptr;
}

// Disconnects and frees a connection the system owns; failures show only in
// the trace and leave the thread's reason as it was: the release follows a
// failure whose reason it must not replace, or is part of a call that succeeds.
static void KelReleaseOwnedConnection(HKELCONNECTION hConnection) {
    if (KelConnection *lpCon = KelAsConnection(hConnection)) lpCon->dwKeepReason = 1;
    KelDisconnect(hConnection);
    KelFreeConnection(hConnection);
}

static void KelReleaseSystemRecord(KelHoxSystem *lpSystem) {
    KelSecureZero(lpSystem, sizeof *lpSystem);
    g_KelPlatform.pfnFree(lpSystem);
}

int32_t KELAPI_CALL KelAllocHoxSystem(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                      const char *szPassword, const char *szPassword2,
                                      HKELHOXSYSTEM *phHoxSystem) {
    KEL_TRACE_VAL("KelAllocHoxSystem dwIP = ", dwIP);
    if (!szUserID || !szPassword || !phHoxSystem) return KEL_FAIL(KelParamReason(__func__));
    *phHoxSystem = nullptr;

    HKELCONNECTION hConnection = nullptr;
    int32_t nRc = KelAllocConnection(dwIP, wPort, szUserID, szPassword, szPassword2, &hConnection);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    if (!hConnection) return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, __func__, "no connection handle"));

    HKELHOXSYSTEM hSystem = nullptr;
    nRc = KelAllocHoxSystemExt(hConnection, &hSystem);
    if (nRc != KEL_OK) {
        KelReleaseOwnedConnection(hConnection);
        return KEL_FAIL(nRc);
    }
    static_cast<KelHoxSystem *>(hSystem)->dwExternalConnection = 0;
    KEL_TRACE_VAL("KelAllocHoxSystem lpSystem = ", KelTraceHandle(hSystem));
    *phHoxSystem = hSystem;
    return KEL_OK;
}

// A null out-handle is refused before anything is allocated.
int32_t KELAPI_CALL KelAllocHoxSystemExt(HKELCONNECTION hConnection, HKELHOXSYSTEM *phHoxSystem) {
    KEL_TRACE_VAL("KelAllocHoxSystemExt hConnection = ", KelTraceHandle(hConnection));
    if (!hConnection || !phHoxSystem) return KEL_FAIL(KelParamReason(__func__));
    KelHoxSystem *lpSystem = static_cast<KelHoxSystem *>(g_KelPlatform.pfnAlloc(sizeof(KelHoxSystem)));
    if (!lpSystem) return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, __func__, "no memory for the record"));
    memset(lpSystem, 0, sizeof *lpSystem);
    lpSystem->dwType = KEL_TYPE_HOXSYSTEM;
    lpSystem->dwExternalConnection = kdwExternal;
    lpSystem->hConnection = static_cast<KelConnection *>(hConnection);

    int32_t nRc = KelConnect(hConnection);
    if (nRc != KEL_OK) {
        KelReleaseSystemRecord(lpSystem);
        return KEL_FAIL(nRc);
    }
    KEL_TRACE_VAL("KelAllocHoxSystemExt lpSystem = ", KelTraceHandle(lpSystem));
    *phHoxSystem = lpSystem;
    return KEL_OK;
}

int32_t KELAPI_CALL KelGetSystemInfo(HKELHOXSYSTEM hHoxSystem, KelSystemInfo *lpSystemInfo) {
    if (!hHoxSystem || !lpSystemInfo) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelGetSystemInfo hHoxSystem = ", KelTraceHandle(hHoxSystem));
    KelHoxSystem *lpSystem = KelAsHoxSystem(hHoxSystem);
    if (!lpSystem) return KEL_FAIL(KelHandleReason(__func__, "host system"));
    const KelConnection *lpCon = lpSystem->hConnection;
    if (!lpCon) return KEL_FAIL(KelRefuse(KEL_ERR_SYSTEM, __func__, "it holds no connection"));

    memset(lpSystemInfo, 0, sizeof *lpSystemInfo);
    lpSystemInfo->dwServerID = lpCon->dwServerID & kdwMarkerMask;
    lpSystemInfo->dwServerVersion = lpCon->dwServerVersion;
    memcpy(lpSystemInfo->szServerDescription, lpCon->szServerDescription,
           strnlen(lpCon->szServerDescription, KEL_DESCRIPTION_SIZE - 1));
    lpSystemInfo->bLogonData = lpCon->bLogonData;
    return KEL_OK;
}

int32_t KELAPI_CALL KelGetConnection(HKELHOXSYSTEM hHoxSystem, HKELCONNECTION *phConnection) {
    if (!hHoxSystem || !phConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelGetConnection hHoxSystem = ", KelTraceHandle(hHoxSystem));
    KelHoxSystem *lpSystem = KelAsHoxSystem(hHoxSystem);
    if (!lpSystem) return KEL_FAIL(KelHandleReason(__func__, "host system"));
    *phConnection = lpSystem->hConnection;
    return KEL_OK;
}

// Ownership stays with the flag: an owning system will free the new
// connection, and the one it held before is the caller's again. The new
// handle must be a connection: KelGetSystemInfo reads its record without a
// check, and a smaller record in its place would be read past its end.
int32_t KELAPI_CALL KelSetConnection(HKELHOXSYSTEM hHoxSystem, HKELCONNECTION hConnection) {
    if (!hHoxSystem || !hConnection) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelSetConnection hHoxSystem = ", KelTraceHandle(hHoxSystem));
    KelHoxSystem *lpSystem = KelAsHoxSystem(hHoxSystem);
    if (!lpSystem) return KEL_FAIL(KelHandleReason(__func__, "host system"));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KelHandleReason(__func__, "connection"));
    lpSystem->hConnection = lpCon;
    return KEL_OK;
}

int32_t KELAPI_CALL KelFreeHoxSystem(HKELHOXSYSTEM hHoxSystem) {
    if (!hHoxSystem) return KEL_FAIL(KelParamReason(__func__));
    KEL_TRACE_VAL("KelFreeHoxSystem hHoxSystem = ", KelTraceHandle(hHoxSystem));
    KelHoxSystem *lpSystem = KelAsHoxSystem(hHoxSystem);
    if (!lpSystem) return KEL_FAIL(KelHandleReason(__func__, "host system"));
    if (lpSystem->dwExternalConnection == 0) KelReleaseOwnedConnection(lpSystem->hConnection);
    KelReleaseSystemRecord(lpSystem);
    return KEL_OK;
}
