// kelapi_internal.h - records and helpers shared by the library's modules.
#ifndef KELAPI_INTERNAL_H
#define KELAPI_INTERNAL_H

#include <atomic>

#include "kelapi.h"
#include "kelapi_reason.h"
#include "platform.h"

#define KEL_TYPE_CONNECTION 1u
#define KEL_TYPE_HOXSYSTEM  2u

#define KEL_SEND_BUFFER_SIZE 1024u
#define KEL_CREDENTIAL_SIZE  9u  // 8 characters and a NUL
#define KEL_DESCRIPTION_SIZE 80u
#define KEL_HOST_SIZE        256u  // a server's name or address text: 255 characters and a NUL

#define KEL_LOCK_BUSY 0xFFFFFFFFu
#define KEL_LOCK_FREE 0u

struct KelTls;  // tls.h

struct KelConnection {
    uint32_t dwType;
    uint32_t dwIP;   // network byte order
    uint16_t wPort;  // host byte order
    char szUserID[KEL_CREDENTIAL_SIZE];
    char szPassword[KEL_CREDENTIAL_SIZE];
    char szPassword2[KEL_CREDENTIAL_SIZE];
    KelSocket hSocket;  // KEL_INVALID_SOCKET while unconnected
    uint8_t abSendBuf[KEL_SEND_BUFFER_SIZE];
    uint32_t dwSendLen;
    uint32_t dwLock;
    uint32_t dwServerID;
    uint32_t dwServerVersion;
    char szServerDescription[KEL_DESCRIPTION_SIZE];
    uint8_t bLogonData;
    uint32_t dwTimeout;  // bound of each blocking socket step in ms; 0: none
    // Allocated by name: the server is szHost, resolved at every connect
    // (dwIP stays 0), and addrPeer is the address the TCP connection went to.
    uint32_t bByName;
    char szHost[KEL_HOST_SIZE];
    KelAddress addrPeer;
    // Non-zero while a clean-up, or a call that succeeds whatever its steps
    // meet, runs on the connection: their failures keep the thread's reason.
    uint32_t dwKeepReason;
    // The TLS settings and session (tls.h); null for plain TCP, the default.
    KelTls *lpTls;
};

struct KelHoxSystem {
    uint32_t dwType;
    KelConnection *hConnection;
    uint32_t dwExternalConnection;  // 0: owned; 0xFFFFFFFF: the caller's
};

// Start-up: 0 until KelInitialize has succeeded, then 0xFFFFFFFF. Two
// threads may both run the start-up; nothing depends on it running once,
// so relaxed access is all the flag needs.
extern std::atomic<uint32_t> g_dwKelStarted;
inline bool KelIsStarted(void) { return g_dwKelStarted.load(std::memory_order_relaxed) != 0; }
int32_t KelInitialize(void);

// The process default of the connections' time-out, from the environment
// variable KELAPI_TIMEOUT_MS: a whole number from 1 to 2147483647, else 0.
uint32_t KelTimeoutFromText(const char *szText);

// Trace writers. They read bKelTraceOn and fKelTraceFunc afresh on every
// call and cost nothing more while the trace is off.
void KelTraceMsg(const char *szText, const char *szModule, int32_t nLine);
void KelTraceStr(const char *szText, const char *szValue, const char *szModule, int32_t nLine);
void KelTraceVal(const char *szText, uint32_t dwValue, const char *szModule, int32_t nLine);
int32_t KelTraceErr(int32_t nCode, const char *szModule, int32_t nLine);

// The value a handle or socket shows in the trace: its low 32 bits.
inline uint32_t KelTraceHandle(const void *lpHandle) { return (uint32_t)(uintptr_t)lpHandle; }
inline uint32_t KelTraceSocket(KelSocket hSocket) { return (uint32_t)hSocket; }

// Each source file names its module once; these report with it and the line.
#define KEL_TRACE_MSG(text)        KelTraceMsg((text), kszModule, __LINE__)
#define KEL_TRACE_STR(text, value) KelTraceStr((text), (value), kszModule, __LINE__)
#define KEL_TRACE_VAL(text, value) KelTraceVal((text), (uint32_t)(value), kszModule, __LINE__)
#define KEL_FAIL(code)             KelTraceErr((code), kszModule, __LINE__)

// The connection behind a handle, or null when its type tag is not 1.
inline KelConnection *KelAsConnection(HKELCONNECTION hConnection) {
    KelConnection *lpCon = static_cast<KelConnection *>(hConnection);
    return lpCon->dwType == KEL_TYPE_CONNECTION ? lpCon : nullptr;
}

// Exact transfers for the frame and connect code: 102 for a short count.
// They trace nothing; the caller reports the code at its own level.
int32_t KelSendExact(HKELCONNECTION hConnection, const void *lpData, uint32_t dwLen, int32_t bFlush);
int32_t KelReceiveExact(HKELCONNECTION hConnection, void *lpBuffer, uint32_t dwLen);

// Credential scrambling: 2 * dwLen output bytes from dwLen input bytes.
int32_t KelScramble(const uint8_t *lpIn, uint32_t dwLen, uint8_t *lpOut);

// Big-endian words on the wire.
inline void KelPutBE32(uint8_t *lpOut, uint32_t dwValue) {
    lpOut[0] = (uint8_t)(dwValue >> 24);
    lpOut[1] = (uint8_t)(dwValue >> 16);
    lpOut[2] = (uint8_t)(dwValue >> 8);
    lpOut[3] = (uint8_t)dwValue;
}
inline uint32_t KelGetBE32(const uint8_t *lpIn) {
    return ((uint32_t)lpIn[0] << 24) | ((uint32_t)lpIn[1] << 16) | ((uint32_t)lpIn[2] << 8) | lpIn[3];
}

#endif
