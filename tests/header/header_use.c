/* Compiled, never linked, as every C and C++ dialect the header promises:
 * it names every declaration of the header the way a program does. With
 * KEL_WRONG_LAYOUT it widens one field of KelCommand first, which the
 * header's size checks must reject. With KEL_MIX_HANDLES it passes a host
 * system where a connection is expected, which KELAPI_STRICT must reject. */
#if defined(KEL_WRONG_LAYOUT)
#  include <stdint.h>
#  define uint8_t uint32_t
#endif
#include "kelapi.h"
#if defined(KEL_WRONG_LAYOUT)
#  undef uint8_t
#endif

#if KELAPI_VERSION < 10100 || \
    KELAPI_VERSION != KELAPI_VERSION_MAJOR * 10000 + KELAPI_VERSION_MINOR * 100 + KELAPI_VERSION_PATCH
#  error "KELAPI_VERSION does not match its parts"
#endif

static void KELAPI_CALL CountLine(const char *szLine) { (void)szLine; }

int32_t UseEveryDeclaration(uint32_t dwIP);
int32_t UseEveryDeclaration(uint32_t dwIP) {
    HKELCONNECTION hConnection = 0;
    HKELHOXSYSTEM hSystem = 0;
    KelCommand cmd;
    KelSystemInfo info;
    uint32_t dwCount = 0;
    char szText[16];
    int32_t nRc;

    fKelTraceFunc = CountLine;
    bKelTraceOn = 1;
    nRc = KelAllocConnection(dwIP, KEL_DEFAULT_PORT, "user", "pw", 0, &hConnection);
    nRc |= KelSetTimeout(hConnection, 1000u);
    nRc |= KelSetTls(hConnection, KEL_TLS_VERIFY_FULL, "ca.pem", 0);
    nRc |= KelLock(hConnection) | KelUnLock(hConnection) | KelConnect(hConnection);
    cmd.dwCommand = 0x80000100u;
    cmd.dwParm1 = cmd.dwRetCode = cmd.dwParm3 = cmd.dwDataLen = 0;
    cmd.bFlags = KEL_FLAG_PARM1 | KEL_FLAG_RETCODE | KEL_FLAG_PARM3 | KEL_FLAG_DATALEN | KEL_FLAG_NOSKIP;
    cmd.abReserved[0] = 0;
    nRc |= KelSendCommand(hConnection, &cmd, 1) | KelSend(hConnection, szText, 0u, &dwCount, 1);
    nRc |= KelWaitForResponse(hConnection, KEL_RSP_IDENTIFY, &cmd) | KelReceiveCommand(hConnection, &cmd);
    nRc |= KelDispatchCommand(hConnection, &cmd) | KelReceive(hConnection, szText, 1u, &dwCount, 0);
    nRc |= KelCmdErrToKelErr(cmd.dwRetCode);
#if defined(KEL_MIX_HANDLES)
    nRc |= KelAllocHoxSystem(dwIP, 0, "user", "pw", "pw2", &hSystem);
    nRc |= KelConnect(hSystem);
#else
    nRc |= KelAllocHoxSystemExt(hConnection, &hSystem) | KelGetSystemInfo(hSystem, &info);
    nRc |= KelGetConnection(hSystem, &hConnection) | KelSetConnection(hSystem, hConnection);
    nRc |= KelFreeHoxSystem(hSystem) | KelDisconnect(hConnection) | KelFreeConnection(hConnection);
    nRc |= KelAllocHoxSystem(dwIP, 0, "user", "pw", "pw2", &hSystem);
#endif
    nRc |= KelIPToStr(KelStrToIP("10.0.0.1") | KelHostNameToIP("localhost"), szText);
    nRc |= KelAllocConnectionByName("[::1]", 0, "user", "pw", 0, &hConnection);
    nRc |= KelGetErrorText(szText, 16u);
    dwCount = KelDwordToNet(KelDwordToHost(info.dwServerID)) + KelWordToNet(KelWordToHost(0x1234u));
    (void)KelStrCopyToHostCP(KelStrCopyToNetCP(szText, info.szServerDescription, 16u), "x", 1u);
    if (KelResultText(nRc)[0] == '\0' || info.bLogonData != info.abFill[0]) return KEL_ERR_SYSTEM;
    return nRc == KEL_OK && dwCount != 0 ? KEL_OK : KEL_ERR_PROTOCOL;
}
