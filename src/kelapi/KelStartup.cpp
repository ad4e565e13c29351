// KelStartup.cpp - the library's lazy, one-time start-up.
#include "kelapi_internal.h"

static const char kszModule[] = "KelConct";

uint32_t g_dwKelStarted = 0;

// Starts the sockets layer and seeds the pseudo-random source on this thread.
// A failed start-up leaves the flag clear, so the next trigger tries again;
// its only trace is the rc line.
int32_t KelInitialize(void) {
    KEL_TRACE_MSG("KelInitialize");
    int nRc = g_KelPlatform.pfnStartup();
    KEL_TRACE_VAL("  WSAStartup rc = ", nRc);
    if (nRc != 0) return KEL_ERR_SYSTEM;
    g_KelPlatform.pfnSeedRandom((uint32_t)g_KelPlatform.pfnTime());
    g_dwKelStarted = 0xFFFFFFFFu;
    return KEL_OK;
}
