// KelConnect.cpp - opening a connection (identify, logon) and closing it.
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelConct";

namespace {

const uint32_t kIdentBlockSize = 88;
const uint32_t kLogonBlockSize = 41;
const uint32_t kPasswordFieldSize = 8;
const uint8_t kServerMarker = 0x53;  // 'S', top byte of every server identifier

// The steps below return their code without tracing it: KelConnect reports
// every failure once, as its own level of the error chain.

// The library's own identify block: id "C" 1.1.0, version 1.1, its description.
void KelFillClientIdent(uint8_t abBlock[kIdentBlockSize]) {
    static const char kszDescription[] = "Hox/Pym Connector API";
    memset(abBlock, 0, kIdentBlockSize);
    KelPutBE32(abBlock, 0x43010100u);
    KelPutBE32(abBlock + 4, 0x00010001u);
    memcpy(abBlock + 8, kszDescription, sizeof kszDescription);
}

// Stores the server's identity from its identify block; the description is
// cut to 79 characters so that it always ends in a NUL.
void KelStoreServerIdent(KelConnection *lpCon, const uint8_t abBlock[kIdentBlockSize]) {
    lpCon->dwServerID = KelGetBE32(abBlock);
    lpCon->dwServerVersion = KelGetBE32(abBlock + 4);
    memset(lpCon->szServerDescription, 0, KEL_DESCRIPTION_SIZE);
    const uint8_t *lpText = abBlock + 8;
    size_t nLen = 0;
    while (nLen < KEL_DESCRIPTION_SIZE - 1 && lpText[nLen]) ++nLen;
    memcpy(lpCon->szServerDescription, lpText, nLen);
}

// Scrambles one password, NUL-filled to 8 bytes, into 16 bytes of the block.
void KelScramblePassword(const char *szPassword, uint8_t *lpOut) {
    char szField[kPasswordFieldSize + 1] = {0};
    memcpy(szField, szPassword, strnlen(szPassword, kPasswordFieldSize));
    KelScramble(reinterpret_cast<const uint8_t *>(szField), kPasswordFieldSize, lpOut);
    KelSecureZero(szField, sizeof szField);
}

// The logon block: user id, then both passwords scrambled; an empty second
// password is sent as 16 zero bytes.
void KelBuildLogonBlock(const KelConnection *lpCon, uint8_t abBlock[kLogonBlockSize]) {
    memset(abBlock, 0, kLogonBlockSize);
    memcpy(abBlock, lpCon->szUserID, strlen(lpCon->szUserID) + 1);
    KelScramblePassword(lpCon->szPassword, abBlock + 9);
    if (lpCon->szPassword2[0]) KelScramblePassword(lpCon->szPassword2, abBlock + 25);
}

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

// Opens the TCP connection. On failure the socket is left as the caller
// must find it: none, open but unbound, or closed again.
int32_t KelOpenSocket(KelConnection *lpCon) {
    lpCon->hSocket = g_KelPlatform.pfnSocket();
    KEL_TRACE_VAL("KelConnect hSocket = ", KelTraceSocket(lpCon->hSocket));
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_ERR_SYSTEM;
    int nRc = g_KelPlatform.pfnBind(lpCon->hSocket, 0, 0);
    KEL_TRACE_VAL("KelConnect bind rc = ", nRc);
    if (nRc == -1) return KEL_ERR_SYSTEM;
    nRc = g_KelPlatform.pfnConnect(lpCon->hSocket, lpCon->dwIP, KelWordToNet(lpCon->wPort));
    KEL_TRACE_VAL("KelConnect connect rc = ", nRc);
    if (nRc == -1) {
        g_KelPlatform.pfnClose(lpCon->hSocket);
        lpCon->hSocket = KEL_INVALID_SOCKET;
        return KEL_ERR_NOT_CONNECTED;
    }
    return KEL_OK;
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
    if (reply.dwRetCode != 0 || reply.dwDataLen != kIdentBlockSize) return KEL_ERR_PROTOCOL;
    nRc = KelReceiveExact(lpCon, abBlock, kIdentBlockSize);
    if (nRc != KEL_OK) return nRc;

    KelStoreServerIdent(lpCon, abBlock);
    KEL_TRACE_VAL("   dwServerID = ", lpCon->dwServerID);
    KEL_TRACE_VAL("   dwServerVersion = ", lpCon->dwServerVersion);
    KEL_TRACE_STR("   szServerDescription = ", lpCon->szServerDescription);
    if ((lpCon->dwServerID >> 24) != kServerMarker) return KEL_ERR_PROTOCOL;
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
    if (nRc != KEL_OK) return nRc;
    if (reply.dwDataLen != 1) return KEL_ERR_PROTOCOL;
    nRc = KelReceiveExact(lpCon, &lpCon->bLogonData, 1);
    if (nRc != KEL_OK) return nRc;
    return KEL_OK;
}

}  // namespace

// Every failure from the busy flag on leaves the socket open and the flag
// set; KelDisconnect is the way back.
int32_t KELAPI_CALL KelConnect(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KEL_ERR_PARAM);
    KEL_TRACE_VAL("KelConnect hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    if (lpCon->hSocket != KEL_INVALID_SOCKET) return KEL_FAIL(KEL_ERR_ALREADY_CONNECTED);

    int32_t nRc = KelOpenSocket(lpCon);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    lpCon->dwSendLen = 0;  // nothing left from an earlier connection goes out
    nRc = KelLock(lpCon);
    if (nRc == KEL_OK) nRc = KelIdentify(lpCon);
    if (nRc == KEL_OK) nRc = KelLogon(lpCon);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    KelUnLock(lpCon);
    return KEL_OK;
}

// Always ends unconnected with the busy flag clear once the checks pass;
// what goes wrong on the way shows only in the trace.
int32_t KELAPI_CALL KelDisconnect(HKELCONNECTION hConnection) {
    if (!hConnection) return KEL_FAIL(KEL_ERR_PARAM);
    KEL_TRACE_VAL("KelDisconnect hConnection = ", KelTraceHandle(hConnection));
    KelConnection *lpCon = KelAsConnection(hConnection);
    if (!lpCon) return KEL_FAIL(KEL_ERR_HANDLE);
    if (lpCon->hSocket == KEL_INVALID_SOCKET) return KEL_FAIL(KEL_ERR_NOT_CONNECTED);

    KelLock(lpCon);
    KelCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = KEL_CMD_DISCONNECT;
    if (KelSendCommand(lpCon, &cmd, 1) == KEL_OK) KelWaitForResponse(lpCon, KEL_RSP_DISCONNECT, &cmd);
    KEL_TRACE_VAL("KelDisconnect hSocket = ", KelTraceSocket(lpCon->hSocket));
    g_KelPlatform.pfnClose(lpCon->hSocket);
    lpCon->hSocket = KEL_INVALID_SOCKET;
    KelUnLock(lpCon);
    return KEL_OK;
}
