// platform_common.cpp - the table in force, and what both platforms share.
#include "platform.h"

KelPlatform g_KelPlatform = KelPlatformDefaults();

void KelPlatformReset(void) { g_KelPlatform = KelPlatformDefaults(); }

void KelLocalTimeFromTm(const struct tm *lpTm, KelLocalTime *lpLocal) {
    lpLocal->nHour = lpTm->tm_hour;
    lpLocal->nMinute = lpTm->tm_min;
    lpLocal->nSecond = lpTm->tm_sec;
    lpLocal->nDay = lpTm->tm_mday;
    lpLocal->nMonth = lpTm->tm_mon + 1;
    lpLocal->nYear = lpTm->tm_year + 1900;
}

// The pseudo-random source: a linear congruential generator with the C
// library's customary constants. Its state is per thread; a thread that was
// never seeded starts from seed 1.
static thread_local uint32_t s_dwRandomState = 1;

void KelSeedRandomDefault(uint32_t dwSeed) { s_dwRandomState = dwSeed; }

uint32_t KelRandomDefault(void) {
    s_dwRandomState = s_dwRandomState * 214013u + 2531011u;
    return (s_dwRandomState >> 16) & 0x7FFFu;
}
