// kelapi_reason.h - why the last failing call of a thread failed: one line of
// English per thread, which KelGetErrorText hands to the program.
//
// The code that detects a failure writes its reason right there, next to the
// KEL_FAIL that reports it, and hands the code on:
//
//     if (nGot == 0) return KEL_FAIL(KelSetReason(lpCon, KEL_ERR_COMM, "receive", "the server closed ..."));
//
// A reason reads "STEP: DETAIL": the step (connect to ADDR:PORT, send,
// receive, identify with ADDR:PORT, log on to ADDR:PORT, disconnect, or the
// function that refused its arguments) and what the system said or the
// server answered. Levels above hand the code on with KEL_FAIL alone, so the
// reason is that of the failure at the bottom of the chain; a level that
// knows the larger step may put it in front (KelPrefixReason).
//
// The text lives in per-thread storage, never on the heap, and is written on
// failure paths only: a call that succeeds leaves it as it was, and the next
// failure on the thread replaces it. Clean-up after a failure, and the steps
// of a call that succeeds whatever they meet (KelDisconnect), run with the
// connection's dwKeepReason set: failures on such a connection leave the
// reason alone. None of these functions writes a trace line.
//
// (On MinGW, thread_local storage is emulated: the runtime allocates a
// thread's copy the first time that thread touches it, which is its first
// failure. The library's own heap is never used for it.)
#ifndef KELAPI_REASON_H
#define KELAPI_REASON_H

#include <stddef.h>
#include <stdint.h>

struct KelConnection;

// The reason's room: 511 characters and a NUL.
#define KEL_REASON_SIZE 512u

#if defined(__MINGW32__)
#  define KEL_PRINTF_LIKE(nFormat, nFirst) __attribute__((format(gnu_printf, nFormat, nFirst)))
#elif defined(__GNUC__)
#  define KEL_PRINTF_LIKE(nFormat, nFirst) __attribute__((format(printf, nFormat, nFirst)))
#else
#  define KEL_PRINTF_LIKE(nFormat, nFirst)
#endif

// Sets the thread's reason to "szStep: " and the formatted detail (only the
// detail when szStep is null) and returns nCode, for KEL_FAIL to report.
// lpCon is the connection the failure happened on, or null.
int32_t KelSetReason(const KelConnection *lpCon, int32_t nCode, const char *szStep, const char *szFormat, ...)
    KEL_PRINTF_LIKE(4, 5);

// Puts the formatted larger step and ": " in front of the reason that the
// failure below wrote; returns nCode.
int32_t KelPrefixReason(const KelConnection *lpCon, int32_t nCode, const char *szFormat, ...)
    KEL_PRINTF_LIKE(3, 4);

// What the system said about this thread's last failed socket call, read
// before a trace line (the caller's callback) or a close can change it.
struct KelSystemError {
    int bTimedOut;  // a time-out ran out
    char szText[160];
};
void KelReadSystemError(KelSystemError *lpError);

// "timed out after N ms" where the connection's own bound dwTimeoutMs ran
// out, else the system's message and number.
void KelDescribeSystemError(const KelSystemError *lpError, uint32_t dwTimeoutMs, char *szText, size_t nSize);

// Reads the system's error at once and sets "szStep: " and its description; returns nCode.
int32_t KelSetSystemReason(const KelConnection *lpCon, int32_t nCode, const char *szStep);

// Appends szMore to the text of nUsed characters in szText (nSize bytes) as
// far as it fits; the new length. For building a reason piece by piece.
size_t KelAppendText(char *szText, size_t nSize, size_t nUsed, const char *szMore);

// The refusals every function shares: "FUNCTION: a required pointer argument
// is null" (KEL_ERR_PARAM) and "FUNCTION: the handle is not a KIND" (KEL_ERR_HANDLE).
int32_t KelParamReason(const char *szFunction);
int32_t KelHandleReason(const char *szFunction, const char *szKind);

// Any other refusal of a function, without a connection: "FUNCTION: DETAIL"; returns nCode.
int32_t KelRefuse(int32_t nCode, const char *szFunction, const char *szDetail);

#endif
