// tls.h - the TLS layer between the stream functions and the platform seam.
//
// A connection that asks for TLS holds a KelTls: the mode, CA file and
// server name it was given, what the TLS library made of them (kept from
// one connect to the next), and the session while the socket is open. The
// stream calls KelTlsSend and KelTlsRecv where it would call the seam's send
// and receive; they keep the seam's contract, and every socket call they
// cause goes through the seam, so a fault injected there hits TLS too.
//
// Certificates are checked by the library itself, explicitly, on every
// platform: the chain must end at a CA of the CA file (or of the system's
// trust store when there is none), every certificate of it must be within
// its dates, and in verify-full the server's certificate must carry the
// server name (a DNS name, or an IP address for an address).
//
// The layer writes no trace line and keeps no reason of its own: it hands
// the caller a sentence for every failure, and the caller reports it.
// tls_common.cpp holds what every TLS library shares; tls_openssl.cpp
// (POSIX) and tls_schannel.cpp (Windows) implement the functions marked (lib).
#ifndef KELAPI_TLS_H
#define KELAPI_TLS_H

#include <stddef.h>
#include <stdint.h>

#include "kelapi.h"
#include "platform.h"

// Room for the sentence that says why a TLS step failed.
#define KEL_TLS_REASON_SIZE 320u

// The longest CA file name and server name the settings keep, NUL included.
#define KEL_TLS_PATH_SIZE 4096u
#define KEL_TLS_NAME_SIZE 256u

// What the TLS library made of a connection's settings (lib).
struct KelTlsContext;
// One TLS session over one socket (lib).
struct KelTlsSession;

// The most plaintext one TLS record carries: a send that says more follows
// is held back, and the next send fills its record before the rest goes, so
// that the records are as few as a single write of all the bytes would make.
#define KEL_TLS_RECORD_SIZE 16384u

struct KelTls {
    uint32_t dwMode;           // KEL_TLS_REQUIRE to KEL_TLS_VERIFY_FULL
    const char *szCAFile;      // null: the system's trust store
    const char *szServerName;  // null: the connection's host
    const char *szUnusable;    // non-null: why these settings must refuse every connect
    KelTlsContext *lpContext;  // made by the first connect, kept until the settings change
    KelTlsSession *lpSession;  // while the socket is open
    uint32_t dwTimeoutMs;      // the connection's bound on each socket step (0: none), for the reasons
    int nHeld;                 // bytes of abHeld that wait for the next send
    uint8_t abHeld[KEL_TLS_RECORD_SIZE];
};

// ---- Settings (tls_common.cpp)

// The mode named by text as KELAPI_TLS spells it: "off", "require",
// "verify-ca" or "verify-full"; false for any other text.
bool KelTlsModeFromText(const char *szText, uint32_t *lpdwMode);

// The name of a mode as above; "unknown" for any other value.
const char *KelTlsModeName(uint32_t dwMode);

// New settings in one heap block through the seam: dwMode (1 to 3), the CA
// file and server name (null or empty: none; longer than the sizes above:
// the settings are unusable), and szUnusable, a reason that makes them
// refuse every connect. KEL_ERR_SYSTEM when no memory is left.
int32_t KelTlsNew(uint32_t dwMode, const char *szCAFile, const char *szServerName, const char *szUnusable,
                  KelTls **lppTls);

// Ends a session that is still open (the socket stays the caller's), drops
// the context, clears the block and frees it. Null is ignored.
void KelTlsFree(KelTls *lpTls);

// Whether text is an IP address (dotted IPv4, or IPv6 with colons) rather
// than a DNS name: an address is checked against the certificate's IP
// addresses and is not sent as the handshake's server name.
bool KelTlsIsAddress(const char *szName);

// ---- Connect

// Makes the context if there is none yet (reads the CA file), before any
// socket is made. 0, or 101 with the reason.
int32_t KelTlsPrepare(KelTls *lpTls, char szReason[KEL_TLS_REASON_SIZE]);

// The handshake on a connected socket, checked as the mode demands, each
// socket step bounded by the socket's time-out, dwTimeoutMs (0: none), which
// a reason names when it ran out. szHost names the server when the settings
// give no name. 0 with the session open, or 101 with the
// reason and no session (the socket stays open: the caller closes it).
int32_t KelTlsHandshake(KelTls *lpTls, KelSocket hSocket, const char *szHost, uint32_t dwTimeoutMs,
                        char szReason[KEL_TLS_REASON_SIZE]);

// The protocol version of the open session ("TLSv1.3"), or "none".
const char *KelTlsVersion(const KelTls *lpTls);

// ---- The stream, with the seam's contract: the bytes moved, 0 at the end of
// the stream, -1 on failure. A send writes all nLen bytes or fails. Where the
// seam would let the system join a send marked bMore with the next one in a
// segment, TLS holds it back and writes both in one record: a request's frame
// and its data leave as one record, as a client that writes them together.
int KelTlsSend(KelTls *lpTls, const void *lpData, int nLen, int bMore);
int KelTlsRecv(KelTls *lpTls, void *lpBuffer, int nLen);

// Whether the session's last failed send or receive failed on the socket
// itself (the system's error says why) rather than in TLS (a damaged or
// unexpected record, a failed encryption).
bool KelTlsSocketFailed(const KelTls *lpTls);

// Says goodbye to the peer where the session is still sound, and ends the
// session; the socket stays open for the caller to close.
void KelTlsClose(KelTls *lpTls);

// ---- The process's defaults, from KELAPI_TLS, KELAPI_TLS_CA and
// KELAPI_TLS_SERVER_NAME, read once by the first call: the settings of every
// connection allocated afterwards. dwMode KEL_TLS_OFF and no szUnusable: no
// TLS. An unknown KELAPI_TLS value (an empty one included) leaves a reason in
// szUnusable, so that such connections refuse every connect: never plain TCP.
struct KelTlsDefaults {
    uint32_t dwMode;
    char szCAFile[KEL_TLS_PATH_SIZE + 1];  // a longer value is unusable: see KelTlsNew
    char szServerName[KEL_TLS_NAME_SIZE + 1];
    char szUnusable[KEL_TLS_REASON_SIZE];  // "": usable
};
const KelTlsDefaults &KelTlsReadDefaults(void);

// ---- What each TLS library implements (lib)

int32_t KelTlsContextNew(const KelTls *lpTls, KelTlsContext **lppContext, char szReason[KEL_TLS_REASON_SIZE]);
void KelTlsContextFree(KelTlsContext *lpContext);
int32_t KelTlsSessionStart(KelTls *lpTls, KelSocket hSocket, const char *szName,
                           char szReason[KEL_TLS_REASON_SIZE]);
const char *KelTlsSessionVersion(const KelTlsSession *lpSession);
struct KelTlsWire;
const KelTlsWire *KelTlsSessionWire(const KelTlsSession *lpSession);
int KelTlsSessionSend(KelTlsSession *lpSession, const void *lpData, int nLen, int bMore);
int KelTlsSessionRecv(KelTlsSession *lpSession, void *lpBuffer, int nLen);
void KelTlsSessionEnd(KelTlsSession *lpSession);

// ---- Shared by the TLS libraries (tls_common.cpp)

// Socket I/O of a session through the seam. The first bytes a handshake
// receives tell whether the peer speaks TLS at all: a TLS record starts
// with a handshake (22) or alert (21) byte.
struct KelTlsWire {
    KelSocket hSocket;
    uint32_t dwReceived;  // bytes received so far
    uint8_t bFirstByte;   // the first of them
    int nLastRecv;        // the result of the last receive: 0 end of stream, -1 failure
    int bSendFailed;      // a send failed or came short
    int bMore;            // the caller sends more at once (the stream's hold-back flag)
    uint32_t dwTimeoutMs;  // the bound on each socket step, for the reason
    int bTimedOut;         // the socket's last failure was that bound running out
    char szSystemError[160];  // what the system said of the socket's last failure
};
// A new session's wire (zeroed by the caller) on hSocket, with the settings' time-out.
void KelTlsWireInit(KelTlsWire *lpWire, KelSocket hSocket, const KelTls *lpTls);
int KelTlsWireSend(KelTlsWire *lpWire, const void *lpData, int nLen);
int KelTlsWireRecv(KelTlsWire *lpWire, void *lpBuffer, int nLen);

// The reason for a handshake that ended without a verdict on the
// certificate, from what the wire saw: no TLS at all, the connection ended
// or failed, or szDetail (what the TLS library said).
void KelTlsWireReason(const KelTlsWire *lpWire, const char *szDetail, char szReason[KEL_TLS_REASON_SIZE]);

// Why a certificate was refused, in the same words on every platform.
enum class KelTlsRefusal {
    NotTrusted,     // the chain does not end at a trusted CA
    Expired,        // a certificate of the chain is past its end date
    NotYetValid,    // a certificate of the chain is before its start date
    OtherName,      // the server's certificate does not carry the server name
    NoCertificate,  // the server sent none
    Other,          // szDetail says what
};
// szSubject: the certificate concerned; szDate: the date concerned
// ("2020-01-02 00:00:00 UTC"); szNames: the names the server's certificate
// carries; szDetail: the TLS library's words. Any of them may be null.
void KelTlsRefusalReason(KelTlsRefusal refusal, const char *szServerName, const char *szSubject,
                         const char *szDate, const char *szNames, const char *szDetail,
                         char szReason[KEL_TLS_REASON_SIZE]);

// Appends szText to szList (", " between entries) as far as nSize allows.
void KelTlsAppendName(char *szList, size_t nSize, const char *szText);

// Writes a formatted sentence, cut to KEL_TLS_REASON_SIZE.
void KelTlsFormat(char szReason[KEL_TLS_REASON_SIZE], const char *szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#endif
