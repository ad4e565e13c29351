/*
 * kelapi.h - client library for a Hox/Pym host's connector server.
 *
 * One TCP connection per connection handle: identification and logon,
 * command frames with optional words, buffered sends, exact receives, a
 * trace through the caller's callback, host-system handles, and address and
 * byte-order helpers. Every function runs to completion on the caller's
 * thread; socket calls block without a time-out.
 */
/* clang-format off: the tables below are aligned by hand. */
#ifndef KELAPI_H
#define KELAPI_H

#include <stdint.h>

/* The library's version. KELAPI_VERSION grows with every release, so a
 * program can compare it: KELAPI_VERSION >= 10100 for 1.1.0 or later. */
#define KELAPI_VERSION_MAJOR 1
#define KELAPI_VERSION_MINOR 1
#define KELAPI_VERSION_PATCH 0
#define KELAPI_VERSION (KELAPI_VERSION_MAJOR * 10000 + KELAPI_VERSION_MINOR * 100 + KELAPI_VERSION_PATCH)

#if defined(_WIN32)
#  define KELAPI_CALL __cdecl
#  if defined(KELAPI_BUILD) || defined(KELAPI_STATIC)
#    define KELAPI_EXPORT /* exports come from kelapi.def */
#  else
#    define KELAPI_EXPORT __declspec(dllimport)
#  endif
#else
#  define KELAPI_CALL
#  if defined(KELAPI_BUILD)
#    define KELAPI_EXPORT __attribute__((visibility("default")))
#  else
#    define KELAPI_EXPORT
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. 104 to 108 and 200 to 205 are host return codes in the
 * library's numbering (see KelCmdErrToKelErr). */
#define KEL_OK                    0
#define KEL_ERR_PARAM             1
#define KEL_ERR_SYSTEM            3
#define KEL_ERR_HANDLE            4
#define KEL_ERR_CONNECTED         5
#define KEL_ERR_ALREADY_CONNECTED 100
#define KEL_ERR_NOT_CONNECTED     101
#define KEL_ERR_COMM              102
#define KEL_ERR_HOST_104          104
#define KEL_ERR_PROTOCOL          105
#define KEL_ERR_HOST_106          106
#define KEL_ERR_HOST_107          107
#define KEL_ERR_HOST_108          108
#define KEL_ERR_LOCKED            109
#define KEL_ERR_HOST_200          200
#define KEL_ERR_HOST_201          201
#define KEL_ERR_HOST_202          202
#define KEL_ERR_HOST_203          203
#define KEL_ERR_HOST_204          204
#define KEL_ERR_HOST_205          205

/* Default TCP port of a connector server, used when a port of 0 is given. */
#define KEL_DEFAULT_PORT 2893

/* Command and reply codes the library itself uses. Requests carry bit 31,
 * replies bit 30; every other code belongs to the application. */
#define KEL_CMD_IDENTIFY   0x80000001u
#define KEL_RSP_IDENTIFY   0x40000001u
#define KEL_CMD_LOGON      0x80000002u
#define KEL_RSP_LOGON      0x40000002u
#define KEL_CMD_DISCONNECT 0x80000003u
#define KEL_RSP_DISCONNECT 0x40000003u
#define KEL_CMD_IGNORE     0x80000008u

/* Frame flag bits. The first four announce the optional words and are set
 * by the encoder; 0x20 to 0x80 are carried unchanged. */
#define KEL_FLAG_PARM1   0x01
#define KEL_FLAG_RETCODE 0x02
#define KEL_FLAG_PARM3   0x04
#define KEL_FLAG_DATALEN 0x08
#define KEL_FLAG_NOSKIP  0x10

/* Opaque handles: the first 32-bit word of the record is its type tag. */
typedef void *HKELCONNECTION;
typedef void *HKELHOXSYSTEM;

/* One command frame in memory. A zero field is a word that is not on the wire. */
typedef struct KelCommand {
    uint32_t dwCommand;
    uint32_t dwParm1;
    uint32_t dwRetCode;
    uint32_t dwParm3;
    uint32_t dwDataLen;
    uint8_t  bFlags;
    uint8_t  abReserved[3];
} KelCommand;

/* The identity a server reported when the connection was opened. */
typedef struct KelSystemInfo {
    uint32_t dwServerID;          /* marker byte (bits 24 to 31) cleared */
    uint32_t dwServerVersion;
    char     szServerDescription[80];
    uint8_t  bLogonData;
    uint8_t  abFill[3];
} KelSystemInfo;

#if defined(__cplusplus)
static_assert(sizeof(KelCommand) == 24, "KelCommand is 24 bytes");
static_assert(sizeof(KelSystemInfo) == 92, "KelSystemInfo is 92 bytes");
#else
_Static_assert(sizeof(KelCommand) == 24, "KelCommand is 24 bytes");
_Static_assert(sizeof(KelSystemInfo) == 92, "KelSystemInfo is 92 bytes");
#endif

/* The trace: set fKelTraceFunc and a non-zero bKelTraceOn to receive one
 * line per call; the line lives only during the callback. */
#if defined(_WIN32)
typedef void (__cdecl *KelTraceFunc)(const char *szLine);
#else
typedef void (*KelTraceFunc)(const char *szLine);
#endif

KELAPI_EXPORT extern int32_t bKelTraceOn;
KELAPI_EXPORT extern KelTraceFunc fKelTraceFunc;

/* Connections and the byte stream. */
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocConnection(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                                     const char *szPassword, const char *szPassword2,
                                                     HKELCONNECTION *phConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelFreeConnection(HKELCONNECTION hConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelLock(HKELCONNECTION hConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelUnLock(HKELCONNECTION hConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelSend(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen,
                                          uint32_t *lpdwSent, int32_t bFlush);
KELAPI_EXPORT int32_t KELAPI_CALL KelReceive(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen,
                                             uint32_t *lpdwReceived, int32_t bWaitAll);

/* Command frames. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSendCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand,
                                                 int32_t bFlush);
KELAPI_EXPORT int32_t KELAPI_CALL KelReceiveCommand(HKELCONNECTION hConnection, KelCommand *lpCommand);
KELAPI_EXPORT int32_t KELAPI_CALL KelDispatchCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand);
KELAPI_EXPORT int32_t KELAPI_CALL KelWaitForResponse(HKELCONNECTION hConnection, uint32_t dwExpected,
                                                     KelCommand *lpCommand);
KELAPI_EXPORT int32_t KELAPI_CALL KelCmdErrToKelErr(uint32_t dwRetCode);

/* Connect and disconnect. */
KELAPI_EXPORT int32_t KELAPI_CALL KelConnect(HKELCONNECTION hConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelDisconnect(HKELCONNECTION hConnection);

/* Host systems. */
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocHoxSystem(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                                    const char *szPassword, const char *szPassword2,
                                                    HKELHOXSYSTEM *phHoxSystem);
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocHoxSystemExt(HKELCONNECTION hConnection, HKELHOXSYSTEM *phHoxSystem);
KELAPI_EXPORT int32_t KELAPI_CALL KelGetSystemInfo(HKELHOXSYSTEM hHoxSystem, KelSystemInfo *lpSystemInfo);
KELAPI_EXPORT int32_t KELAPI_CALL KelGetConnection(HKELHOXSYSTEM hHoxSystem, HKELCONNECTION *phConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelSetConnection(HKELHOXSYSTEM hHoxSystem, HKELCONNECTION hConnection);
KELAPI_EXPORT int32_t KELAPI_CALL KelFreeHoxSystem(HKELHOXSYSTEM hHoxSystem);

/* Address helpers: addresses in network byte order, 0 on failure. */
KELAPI_EXPORT uint32_t KELAPI_CALL KelStrToIP(const char *szString);
KELAPI_EXPORT uint32_t KELAPI_CALL KelHostNameToIP(const char *szString);
KELAPI_EXPORT int32_t KELAPI_CALL KelIPToStr(uint32_t dwIP, char *szString);

/* Byte order and fixed-field copies. */
KELAPI_EXPORT uint32_t KELAPI_CALL KelDwordToNet(uint32_t dwValue);
KELAPI_EXPORT uint32_t KELAPI_CALL KelDwordToHost(uint32_t dwValue);
KELAPI_EXPORT uint16_t KELAPI_CALL KelWordToNet(uint16_t wValue);
KELAPI_EXPORT uint16_t KELAPI_CALL KelWordToHost(uint16_t wValue);
KELAPI_EXPORT char *KELAPI_CALL KelStrCopyToNetCP(char *szDest, const char *szSrc, uint32_t nCount);
KELAPI_EXPORT char *KELAPI_CALL KelStrCopyToHostCP(char *szDest, const char *szSrc, uint32_t nCount);

/* Extensions. Nothing changes for a program that does not call them. */

/* Bounds each blocking step of the connection from now on, the TCP connect
 * and every socket send and receive, to dwMilliseconds; 0 (the default
 * unless the environment variable KELAPI_TIMEOUT_MS sets one for the
 * process) waits without a bound. A connect that runs out of time fails
 * with 101, a send or receive with 102. The value stays with the connection
 * across KelDisconnect. Results: 0; 1 for a null handle; 4 for a handle that
 * is no connection. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSetTimeout(HKELCONNECTION hConnection, uint32_t dwMilliseconds);

/* A short English sentence that says what a result code means; any value
 * gives a text. Never null, never fails, writes no trace line; the text is
 * static and must not be freed. */
KELAPI_EXPORT const char *KELAPI_CALL KelResultText(int32_t nCode);

#ifdef __cplusplus
}
#endif

#endif /* KELAPI_H */
