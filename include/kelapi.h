/*
 * kelapi.h - client library for a Hox/Pym host's connector server.
 *
 * One TCP connection per connection handle: identification and logon,
 * command frames with optional words, buffered sends, exact receives, a
 * trace through the caller's callback, host-system handles, and address and
 * byte-order helpers. The reference manual is docs/README.md.
 *
 * Rules that hold for every function below:
 * - It runs to completion on the caller's thread. Socket calls block; they
 *   have no time-out unless KelSetTimeout or KELAPI_TIMEOUT_MS sets one.
 * - It returns a result code (KEL_OK or KEL_ERR_...), except the address
 *   helpers (an address, 0 on failure), the byte-order helpers (the value)
 *   and the copy helpers (the destination).
 * - Order of checks: null pointers (KEL_ERR_PARAM), then the entry trace
 *   line, then the handle's kind (KEL_ERR_HANDLE). The allocation functions
 *   write their entry line before any check.
 * - Every failure writes one "Error:" trace line at each level it passes,
 *   and leaves its reason for KelGetErrorText on the calling thread.
 * - Calls on one handle must not overlap: the library takes no locks, and
 *   KelLock is a busy flag, not a mutex.
 *
 * The header is plain C89 and C++98. Defining KELAPI_STRICT before including
 * it gives the two handle kinds distinct pointer types; the ABI is the same.
 */
/* clang-format off: the tables below are aligned by hand. */
#ifndef KELAPI_H
#define KELAPI_H

/* The library's version. KELAPI_VERSION grows with every release, so a
 * program can compare it: KELAPI_VERSION >= 10100 for 1.1.0 or later. */
#define KELAPI_VERSION_MAJOR 1
#define KELAPI_VERSION_MINOR 1
#define KELAPI_VERSION_PATCH 0
#define KELAPI_VERSION (KELAPI_VERSION_MAJOR * 10000 + KELAPI_VERSION_MINOR * 100 + KELAPI_VERSION_PATCH)

/* Fixed-width integers. The Microsoft compilers before Visual C++ 2010 have
 * no <stdint.h>; there the four types the library uses are defined here
 * (all its 32-bit targets have a 32-bit int). A program that brings its own
 * <stdint.h> to such a compiler defines KELAPI_HAVE_STDINT_H. */
#if defined(_MSC_VER) && _MSC_VER < 1600 && !defined(KELAPI_HAVE_STDINT_H)
typedef signed int     int32_t;
typedef unsigned int   uint32_t;
typedef unsigned short uint16_t;
typedef unsigned char  uint8_t;
#else
#  include <stdint.h>
#endif

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
 * library's numbering (see KelCmdErrToKelErr); KelResultText describes each. */
#define KEL_OK                    0
#define KEL_ERR_PARAM             1   /* a required pointer argument is null */
#define KEL_ERR_SYSTEM            3   /* no memory, socket or address text; unknown host code */
#define KEL_ERR_HANDLE            4   /* the handle is of the wrong kind */
#define KEL_ERR_CONNECTED         5   /* KelFreeConnection on an open connection */
#define KEL_ERR_ALREADY_CONNECTED 100 /* KelConnect on a connection that holds a socket */
#define KEL_ERR_NOT_CONNECTED     101 /* no socket, or the server cannot be reached */
#define KEL_ERR_COMM              102 /* a send or receive failed, came short or timed out */
#define KEL_ERR_HOST_104          104
#define KEL_ERR_PROTOCOL          105 /* the server's answer does not fit the protocol */
#define KEL_ERR_HOST_106          106
#define KEL_ERR_HOST_107          107
#define KEL_ERR_HOST_108          108
#define KEL_ERR_LOCKED            109 /* the connection's busy flag is already set */
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

/* Opaque handles: the first 32-bit word of the record is its type tag (1 for
 * a connection, 2 for a host system). By default both are void pointers, so
 * the compiler takes either where the other is expected; with KELAPI_STRICT
 * each is a pointer to a type of its own. */
#if defined(KELAPI_STRICT)
typedef struct KelOpaqueConnection *HKELCONNECTION;
typedef struct KelOpaqueHoxSystem  *HKELHOXSYSTEM;
#else
typedef void *HKELCONNECTION;
typedef void *HKELHOXSYSTEM;
#endif

/* One command frame in memory. A zero field is a word that is not on the
 * wire; a received record holds zero in every field whose word was absent. */
typedef struct KelCommand {
    uint32_t dwCommand;      /* command or reply code */
    uint32_t dwParm1;        /* optional word, flag 0x01 */
    uint32_t dwRetCode;      /* host return code of a reply, flag 0x02 */
    uint32_t dwParm3;        /* optional word, flag 0x04 */
    uint32_t dwDataLen;      /* data bytes after the frame, flag 0x08 */
    uint8_t  bFlags;         /* the frame's flag byte */
    uint8_t  abReserved[3];
} KelCommand;

/* The identity a server reported when the connection was opened. */
typedef struct KelSystemInfo {
    uint32_t dwServerID;              /* marker byte (bits 24 to 31) cleared */
    uint32_t dwServerVersion;
    char     szServerDescription[80]; /* at most 79 characters, NUL-filled */
    uint8_t  bLogonData;              /* the data byte of the logon reply */
    uint8_t  abFill[3];               /* zero */
} KelSystemInfo;

/* The layout is part of the ABI. A wrong size makes an array of negative
 * size, which every C and C++ compiler rejects. */
typedef char KelAssertCommandIs24Bytes[sizeof(KelCommand) == 24 ? 1 : -1];
typedef char KelAssertSystemInfoIs92Bytes[sizeof(KelSystemInfo) == 92 ? 1 : -1];

/* ==== The trace
 *
 * With fKelTraceFunc set and bKelTraceOn non-zero, the library hands every
 * line it writes to the callback, on the thread of the call that writes it:
 *   "hh:mm:ss  dd.mm.yyyy - Module at line:  text", at most 399 characters,
 * no line end. The line lives only during the callback; calls on several
 * threads may call it at once. The program writes both variables directly,
 * at any time between calls; the library only reads them. Off by default. */
typedef void (KELAPI_CALL *KelTraceFunc)(const char *szLine);

KELAPI_EXPORT extern int32_t bKelTraceOn;
KELAPI_EXPORT extern KelTraceFunc fKelTraceFunc;

/* ==== Connections and the byte stream */

/* Creates an unconnected connection to dwIP (network byte order, as
 * KelStrToIP gives it; not checked) and wPort (host byte order; 0 means
 * KEL_DEFAULT_PORT). szUserID and szPassword are required, szPassword2 may be
 * null; each keeps at most 8 characters. Starts the library on first use.
 * Traces its entry (before any check) and the new handle.
 * KEL_OK: *phConnection is the handle. KEL_ERR_PARAM: szUserID, szPassword or
 * phConnection null; *phConnection untouched. KEL_ERR_SYSTEM: no memory;
 * *phConnection null. Nothing stays allocated on failure. */
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocConnection(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                                     const char *szPassword, const char *szPassword2,
                                                     HKELCONNECTION *phConnection);

/* Clears and frees an unconnected connection. Traces its entry.
 * KEL_OK. KEL_ERR_PARAM: null. KEL_ERR_HANDLE: not a connection.
 * KEL_ERR_CONNECTED: the socket is still open (also after a failed
 * KelConnect); nothing changes, call KelDisconnect first. */
KELAPI_EXPORT int32_t KELAPI_CALL KelFreeConnection(HKELCONNECTION hConnection);

/* Sets the connection's busy flag; never waits. Not a mutex: it marks an
 * exchange in progress for cooperating callers. Traces its entry.
 * KEL_OK: the flag was free and is set. KEL_ERR_PARAM: null.
 * KEL_ERR_HANDLE: not a connection. KEL_ERR_LOCKED: already set (also after
 * a KelConnect that failed with the socket open, until KelDisconnect). */
KELAPI_EXPORT int32_t KELAPI_CALL KelLock(HKELCONNECTION hConnection);

/* Clears the busy flag, whoever set it. Traces its entry.
 * KEL_OK, also when it was clear. KEL_ERR_PARAM: null. KEL_ERR_HANDLE. */
KELAPI_EXPORT int32_t KELAPI_CALL KelUnLock(HKELCONNECTION hConnection);

/* Writes dwLen bytes from lpData through the connection's 1024-byte send
 * buffer. Bytes wait in the buffer until it fills, more arrives than fits,
 * or bFlush is non-zero; then they go to the socket before the caller's.
 * dwLen 0 with bFlush sends what waits. *lpdwSent: bytes accepted.
 * Writes no trace line but "Error:".
 * KEL_OK: *lpdwSent == dwLen. KEL_ERR_PARAM: hConnection or lpdwSent null.
 * KEL_ERR_HANDLE, KEL_ERR_NOT_CONNECTED (no socket): *lpdwSent 0.
 * KEL_ERR_COMM: a socket send failed or came short; bytes of the buffer that
 * did not leave stay in it and go first next time. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSend(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen,
                                          uint32_t *lpdwSent, int32_t bFlush);

/* Reads up to dwLen bytes into lpBuffer: one socket receive with bWaitAll 0,
 * else until all dwLen bytes are there. *lpdwReceived: bytes read (lpBuffer
 * and lpdwReceived are not checked). Writes no trace line but "Error:".
 * KEL_OK. KEL_ERR_PARAM: hConnection null. KEL_ERR_HANDLE,
 * KEL_ERR_NOT_CONNECTED: *lpdwReceived untouched. KEL_ERR_COMM: the receive
 * failed or the server closed the connection; what came stays in lpBuffer
 * and *lpdwReceived. */
KELAPI_EXPORT int32_t KELAPI_CALL KelReceive(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen,
                                             uint32_t *lpdwReceived, int32_t bWaitAll);

/* ==== Command frames */

/* Encodes *lpCommand as a frame (code, flag byte, each non-zero optional
 * word) into the send buffer; with bFlush 0 it waits there, so that data
 * sent next with flush leaves with it. Keep bits 0x01 to 0x08 of bFlags
 * clear: the fields decide them. Writes no trace line but "Error:".
 * KEL_OK. KEL_ERR_PARAM: a null pointer. KEL_ERR_HANDLE,
 * KEL_ERR_NOT_CONNECTED, KEL_ERR_COMM: from KelSend. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSendCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand,
                                                 int32_t bFlush);

/* Reads one frame into *lpCommand (cleared first); the dwDataLen bytes after
 * it stay in the stream for the caller. Writes no trace line but "Error:".
 * KEL_OK. KEL_ERR_PARAM: a null pointer. KEL_ERR_HANDLE,
 * KEL_ERR_NOT_CONNECTED, KEL_ERR_COMM: from KelReceive, or a short frame;
 * the record keeps the words that arrived whole. */
KELAPI_EXPORT int32_t KELAPI_CALL KelReceiveCommand(HKELCONNECTION hConnection, KelCommand *lpCommand);

/* Disposes of a frame that was not the one awaited: KEL_CMD_IGNORE reads
 * nothing; any other frame's dwDataLen bytes are read and dropped.
 * Writes no trace line but "Error:".
 * KEL_OK. KEL_ERR_PARAM: a null pointer. KEL_ERR_PROTOCOL: the frame has
 * KEL_FLAG_NOSKIP; its data stays unread. KEL_ERR_HANDLE,
 * KEL_ERR_NOT_CONNECTED, KEL_ERR_COMM: from KelReceive. */
KELAPI_EXPORT int32_t KELAPI_CALL KelDispatchCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand);

/* Reads frames into *lpCommand until one has the code dwExpected, handing
 * each other frame to KelDispatchCommand. Only the code is compared: the
 * reply's dwRetCode is the caller's to judge, and its data is still unread.
 * Writes no trace line but "Error:".
 * KEL_OK. KEL_ERR_PARAM: a null pointer. Any code of KelReceiveCommand or
 * KelDispatchCommand (KEL_ERR_COMM, KEL_ERR_PROTOCOL, ...). */
KELAPI_EXPORT int32_t KELAPI_CALL KelWaitForResponse(HKELCONNECTION hConnection, uint32_t dwExpected,
                                                     KelCommand *lpCommand);

/* Maps a host return code to a result code: 0 to KEL_OK, 0x00010001 and
 * 0x00010004 to 104, 0x00010002 106, 0x00010003 107, 0x00010005 108,
 * 0x00020001 and 0x00060001 200, 0x00030004 and 0x00050002 201, 0x00030001
 * and 0x00050001 202, 0x00030002 203, 0x00030003 204, 0x00040001 205; any
 * other value to KEL_ERR_SYSTEM. Never fails; writes no trace line. */
KELAPI_EXPORT int32_t KELAPI_CALL KelCmdErrToKelErr(uint32_t dwRetCode);

/* ==== Connect and disconnect */

/* Opens the TCP connection, runs the identify exchange (only a server whose
 * identifier has the top byte 0x53 is accepted) and logs on with the
 * connection's credentials. Traces its entry, the socket, the bind and
 * connect results and the server's identifier, version and description.
 * KEL_OK: logged on, busy flag clear.
 * Failures that leave the connection as it was: KEL_ERR_PARAM (null),
 * KEL_ERR_HANDLE, KEL_ERR_ALREADY_CONNECTED (it holds a socket).
 * Failures that leave no socket: KEL_ERR_SYSTEM (no socket),
 * KEL_ERR_NOT_CONNECTED (the server refused or could not be reached; call
 * again at once).
 * Failures that leave the socket open: KEL_ERR_SYSTEM (bind failed), and,
 * with the busy flag set as well, KEL_ERR_LOCKED (the flag was already set),
 * KEL_ERR_COMM (a transfer failed or the server closed), KEL_ERR_PROTOCOL
 * (a reply that does not fit, a server without the marker byte), and the
 * logon refusals 104 to 108, 200 to 205 and KEL_ERR_SYSTEM (an unknown host
 * code). After these KelDisconnect is the way back: until then KelConnect
 * gives KEL_ERR_ALREADY_CONNECTED, KelLock KEL_ERR_LOCKED and
 * KelFreeConnection KEL_ERR_CONNECTED. */
KELAPI_EXPORT int32_t KELAPI_CALL KelConnect(HKELCONNECTION hConnection);

/* Sends the disconnect frame, awaits its reply if the frame went out, closes
 * the socket and clears the busy flag. What fails after the checks shows
 * only in the trace. The server's identity stays stored; the connection can
 * be connected again or freed. Traces its entry and the socket.
 * KEL_OK. KEL_ERR_PARAM: null. KEL_ERR_HANDLE. KEL_ERR_NOT_CONNECTED: no
 * socket; nothing changes. */
KELAPI_EXPORT int32_t KELAPI_CALL KelDisconnect(HKELCONNECTION hConnection);

/* ==== Host systems */

/* Allocates a connection with the arguments of KelAllocConnection, connects
 * it and wraps it in a host system that owns it (KelFreeHoxSystem
 * disconnects and frees it). Traces its entry (before any check) and the
 * new handle. KEL_OK: *phHoxSystem is the handle. KEL_ERR_PARAM: szUserID,
 * szPassword or phHoxSystem null; *phHoxSystem untouched. Any code of
 * KelAllocConnection or KelConnect: *phHoxSystem null, and the connection it
 * made is disconnected and freed: nothing stays allocated. */
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocHoxSystem(uint32_t dwIP, uint16_t wPort, const char *szUserID,
                                                    const char *szPassword, const char *szPassword2,
                                                    HKELHOXSYSTEM *phHoxSystem);

/* Connects the caller's unconnected connection and wraps it in a host
 * system that does not own it: the caller disconnects and frees it after
 * KelFreeHoxSystem. Traces its entry (before any check) and the new handle.
 * KEL_OK: *phHoxSystem is the handle. KEL_ERR_PARAM: a null pointer.
 * KEL_ERR_SYSTEM: no memory. Any code of KelConnect: *phHoxSystem untouched,
 * and the connection stays in the state KelConnect left it in. */
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocHoxSystemExt(HKELCONNECTION hConnection, HKELHOXSYSTEM *phHoxSystem);

/* Fills all 92 bytes of *lpSystemInfo from the identity stored at the last
 * connect; no traffic. Traces its entry. KEL_OK. KEL_ERR_PARAM: a null
 * pointer. KEL_ERR_HANDLE: not a host system. KEL_ERR_SYSTEM: the system
 * holds no connection. */
KELAPI_EXPORT int32_t KELAPI_CALL KelGetSystemInfo(HKELHOXSYSTEM hHoxSystem, KelSystemInfo *lpSystemInfo);

/* Stores the system's connection in *phConnection, for commands on it; it
 * stays the system's. Traces its entry. KEL_OK. KEL_ERR_PARAM: a null
 * pointer. KEL_ERR_HANDLE: not a host system. */
KELAPI_EXPORT int32_t KELAPI_CALL KelGetConnection(HKELHOXSYSTEM hHoxSystem, HKELCONNECTION *phConnection);

/* Puts hConnection under the system in place of its connection, which is
 * neither disconnected nor freed and becomes the caller's again; an owning
 * system frees the new one when it is freed. Traces its entry. KEL_OK.
 * KEL_ERR_PARAM: a null pointer. KEL_ERR_HANDLE: hHoxSystem is no host
 * system or hConnection no connection; nothing changes. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSetConnection(HKELHOXSYSTEM hHoxSystem, HKELCONNECTION hConnection);

/* Frees the system; one made by KelAllocHoxSystem first disconnects and
 * frees its connection (their failures show only in the trace). Traces its
 * entry. KEL_OK. KEL_ERR_PARAM: null. KEL_ERR_HANDLE: not a host system. */
KELAPI_EXPORT int32_t KELAPI_CALL KelFreeHoxSystem(HKELHOXSYSTEM hHoxSystem);

/* ==== Address helpers: IPv4 addresses in network byte order */

/* Dotted text to an address; 0 on failure: null, not an address, and also
 * "255.255.255.255" and "0.0.0.0". Traces the text and the converted value
 * (-1 for text that is no address); a null string writes nothing. */
KELAPI_EXPORT uint32_t KELAPI_CALL KelStrToIP(const char *szString);

/* First IPv4 address of a host name; 0 on failure (null, unknown name, no
 * address). Starts the library, even for a null name. Traces the name and
 * the address found; failures write no "Error:" line. Blocks for the lookup. */
KELAPI_EXPORT uint32_t KELAPI_CALL KelHostNameToIP(const char *szString);

/* Writes dwIP as dotted text into szString, which must hold 16 bytes: all 16
 * are written, the text and NULs after it. Traces the address and the text.
 * KEL_OK. KEL_ERR_PARAM: szString null (only the "Error:" line is written).
 * KEL_ERR_SYSTEM: the system gave no text. The buffer is untouched on failure. */
KELAPI_EXPORT int32_t KELAPI_CALL KelIPToStr(uint32_t dwIP, char *szString);

/* ==== Byte order and fixed-field copies: no checks, no trace */

/* Reverses the four bytes of dwValue, whatever the machine's byte order.
 * The two names give the same result. */
KELAPI_EXPORT uint32_t KELAPI_CALL KelDwordToNet(uint32_t dwValue);
KELAPI_EXPORT uint32_t KELAPI_CALL KelDwordToHost(uint32_t dwValue);

/* Swaps the two bytes of wValue. One function under two names. */
KELAPI_EXPORT uint16_t KELAPI_CALL KelWordToNet(uint16_t wValue);
KELAPI_EXPORT uint16_t KELAPI_CALL KelWordToHost(uint16_t wValue);

/* Copies szSrc into the nCount-byte field szDest as strncpy does: NULs fill
 * the rest of the field; a source of nCount characters or more fills the
 * field with no NUL. Bytes go across unchanged. Returns szDest. One function
 * under two names. */
KELAPI_EXPORT char *KELAPI_CALL KelStrCopyToNetCP(char *szDest, const char *szSrc, uint32_t nCount);
KELAPI_EXPORT char *KELAPI_CALL KelStrCopyToHostCP(char *szDest, const char *szSrc, uint32_t nCount);

/* ==== Extensions (since 1.1.0). Nothing changes for a program that does not
 * call them. */

/* Bounds each blocking step of the connection from now on, the TCP connect
 * and every socket send and receive, to dwMilliseconds; 0 (the default
 * unless the environment variable KELAPI_TIMEOUT_MS sets one for the
 * process) waits without a bound. A connect that runs out of time fails
 * with 101, a send or receive with 102. The value stays with the connection
 * across KelDisconnect. Traces its entry. Results: 0; 1 for a null handle;
 * 4 for a handle that is no connection. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSetTimeout(HKELCONNECTION hConnection, uint32_t dwMilliseconds);

/* A short English sentence that says what a result code means; any value
 * gives a text. Never null, never fails, writes no trace line; the text is
 * static and must not be freed. */
KELAPI_EXPORT const char *KELAPI_CALL KelResultText(int32_t nCode);

/* Creates an unconnected connection as KelAllocConnection does, to a server
 * given as text: a host name, a dotted IPv4 address or an IPv6 address (with
 * or without brackets), at most 255 characters, kept in the connection.
 * Every KelConnect resolves it afresh and tries its IPv4 and IPv6 addresses
 * in the order the system's resolver gives them, each bounded by the
 * connection's time-out, until one accepts the TCP connection; identify and
 * logon follow as for an address. A name that does not resolve, or no
 * address that answers, gives KEL_ERR_NOT_CONNECTED with no socket left.
 * Starts the library on first use. Traces its entry with the host text
 * (before any check) and the new handle; each connect traces each address it
 * tries. KEL_OK: *phConnection is the handle. KEL_ERR_PARAM: szHost,
 * szUserID, szPassword or phConnection null, or szHost longer than 255
 * characters; *phConnection untouched. KEL_ERR_SYSTEM: no memory;
 * *phConnection null. Nothing stays allocated on failure. */
KELAPI_EXPORT int32_t KELAPI_CALL KelAllocConnectionByName(const char *szHost, uint16_t wPort,
                                                           const char *szUserID, const char *szPassword,
                                                           const char *szPassword2,
                                                           HKELCONNECTION *phConnection);

/* Copies into szText the reason for the result that the most recent failing
 * call of the library on the calling thread returned: one line of English,
 * the step ("connect to 10.0.0.1:2893", "send", "receive", "identify with
 * ...", "log on to ...", "disconnect", or the function that refused its
 * arguments) and what the system said or the server answered, for example
 * "connect to 10.0.0.1:2893: timed out after 5000 ms". The reason belongs to
 * the failure at the bottom of the call's chain; the clean-up a failing call
 * does afterwards (KelAllocHoxSystem freeing its connection) does not
 * replace it. Calls that succeed leave it; the next failure on the thread
 * replaces it. "" before the thread's first failure. The text is cut to
 * dwSize - 1 characters and always ends with a NUL when dwSize is at least 1.
 * Writes no trace line and changes no reason. KEL_OK; KEL_ERR_PARAM for a
 * null szText. */
KELAPI_EXPORT int32_t KELAPI_CALL KelGetErrorText(char *szText, uint32_t dwSize);

/* One request and its reply in one call, with the receives of the separate
 * calls: the bytes KelSendCommand of *lpRequest and KelSend of its
 * lpRequest->dwDataLen bytes from lpData send, in one send (where KelSend
 * alone would flush a full buffer first and make two); KelWaitForResponse for the code
 * dwExpected into *lpReply, other frames disposed of as it does; then, when
 * the reply's dwDataLen is at most dwBufferSize, KelReceive of all its data
 * into lpBuffer. Longer data stays unread in the stream: read it with
 * KelReceive, or drop it with KelDispatchCommand, before the next frame.
 * *lpdwReceived: the data bytes in lpBuffer (those that came, on a failure
 * while reading them). lpReply may be lpRequest. The busy flag is not used;
 * nothing is allocated. Writes no trace line but "Error:": the chain of the
 * call that failed, then its own.
 * KEL_OK: the awaited reply is in *lpReply; its dwRetCode is the caller's to
 * judge. KEL_ERR_PARAM: hConnection, lpRequest, lpReply or lpdwReceived
 * null, lpData null with data to send, or lpBuffer null with a non-zero
 * dwBufferSize; nothing is sent. KEL_ERR_HANDLE, KEL_ERR_NOT_CONNECTED:
 * nothing is sent. KEL_ERR_COMM (a transfer failed or came short) and
 * KEL_ERR_PROTOCOL (a frame with KEL_FLAG_NOSKIP came first): the stream's
 * place within a frame is lost; disconnect. */
KELAPI_EXPORT int32_t KELAPI_CALL KelExchange(HKELCONNECTION hConnection, const KelCommand *lpRequest,
                                              const void *lpData, uint32_t dwExpected, KelCommand *lpReply,
                                              void *lpBuffer, uint32_t dwBufferSize, uint32_t *lpdwReceived);

/* TLS modes of KelSetTls and of the environment variable KELAPI_TLS. */
#define KEL_TLS_OFF         0 /* plain TCP: the default */
#define KEL_TLS_REQUIRE     1 /* encrypted, the certificate not checked: no defence against an active attacker */
#define KEL_TLS_VERIFY_CA   2 /* the certificate's chain must end at a trusted CA */
#define KEL_TLS_VERIFY_FULL 3 /* that, and the certificate must name the server: the mode to use */

/* TLS for the connection from its next KelConnect on. After the TCP connect
 * and before identify, KelConnect runs a TLS handshake (TLS 1.2 or newer),
 * bounded by the connection's time-out, and checks the server's certificate
 * as dwMode says: KEL_TLS_REQUIRE checks nothing (encryption without any
 * defence against an active attacker: for tests); KEL_TLS_VERIFY_CA wants a
 * chain that ends at a trusted CA and certificates within their dates;
 * KEL_TLS_VERIFY_FULL wants that, and the server's certificate to carry the
 * server name: the mode to use. szCAFile: a PEM file of the CAs to trust, or
 * null (or "") for the system's trust store. szServerName: the name the
 * certificate must carry and the name sent in the handshake, or null (or "")
 * for the host text of a connection allocated by name, or the dotted address
 * of one allocated by address (an address is checked against the
 * certificate's IP addresses and not sent). KEL_TLS_OFF drops the settings:
 * plain TCP, as without this call. Both texts are copied.
 * A handshake or certificate that fails gives KelConnect KEL_ERR_NOT_CONNECTED
 * with the socket closed, no byte of identify or logon sent, and a reason
 * ("TLS with 127.0.0.1:2893: the server's certificate (localhost) is not
 * issued by a trusted CA"); a CA file that cannot be read refuses the same
 * way before any socket is made. Every later send and receive goes through
 * the session (KEL_ERR_COMM when it fails); KelDisconnect ends the session
 * before it closes the socket. With TLS, KelConnect traces one more line,
 * "KelConnect TLS = " and the protocol version ("TLSv1.3") or "refused".
 * Without a call, the environment variables KELAPI_TLS (off, require,
 * verify-ca, verify-full), KELAPI_TLS_CA and KELAPI_TLS_SERVER_NAME, read once
 * when the library starts, give every new connection its settings; a value
 * of KELAPI_TLS that is none of those makes every KelConnect of such a
 * connection fail before any byte is sent: never plain TCP.
 * Traces its entry. Results: KEL_OK; KEL_ERR_PARAM for a null handle, a mode
 * above KEL_TLS_VERIFY_FULL, a CA file name of 4096 characters or more or a
 * server name of 256 or more; KEL_ERR_HANDLE; KEL_ERR_CONNECTED while the
 * connection holds a socket (disconnect first); KEL_ERR_SYSTEM when no memory
 * is left. A refused call leaves the settings as they were. */
KELAPI_EXPORT int32_t KELAPI_CALL KelSetTls(HKELCONNECTION hConnection, uint32_t dwMode, const char *szCAFile,
                                            const char *szServerName);

#ifdef __cplusplus
}
#endif

#endif /* KELAPI_H */
