/* What the examples share: reading HOST PORT USER PASSWORD from the command
 * line. A host is dotted text or a name; port 0 means the default, 2893. */
#ifndef KELAPI_EXAMPLES_COMMON_H
#define KELAPI_EXAMPLES_COMMON_H

#include <stdio.h>
#include <stdlib.h>

#include "kelapi.h"

#if KELAPI_VERSION < 10100
#  error "the examples need kelapi 1.1.0 or later (KelResultText, KelSetTimeout)"
#endif

typedef struct ServerArgs {
    uint32_t dwIP;
    uint16_t wPort;
    const char *szHost;
    const char *szUser;
    const char *szPassword;
} ServerArgs;

/* Fills *lpArgs from argv[nFirst] to argv[nFirst + 3]; prints why and
 * returns 0 when they cannot be used. */
static int ReadServerArgs(int argc, char **argv, int nFirst, ServerArgs *lpArgs) {
    long nPort;
    if (argc < nFirst + 4) {
        fprintf(stderr, "missing arguments: HOST PORT USER PASSWORD\n");
        return 0;
    }
    lpArgs->szHost = argv[nFirst];
    /* KelStrToIP takes dotted text only; a name needs the resolver. */
    lpArgs->dwIP = KelStrToIP(lpArgs->szHost);
    if (lpArgs->dwIP == 0) lpArgs->dwIP = KelHostNameToIP(lpArgs->szHost);
    if (lpArgs->dwIP == 0) {
        fprintf(stderr, "cannot resolve host '%s'\n", lpArgs->szHost);
        return 0;
    }
    nPort = strtol(argv[nFirst + 1], NULL, 10);
    if (nPort < 0 || nPort > 65535) {
        fprintf(stderr, "bad port '%s'\n", argv[nFirst + 1]);
        return 0;
    }
    lpArgs->wPort = (uint16_t)nPort;
    lpArgs->szUser = argv[nFirst + 2];
    lpArgs->szPassword = argv[nFirst + 3];
    return 1;
}

/* Prints a failed call with its result code and what the code means. */
static void PrintFailure(const char *szCall, int32_t nRc) {
    fprintf(stderr, "%s failed: %ld (%s)\n", szCall, (long)nRc, KelResultText(nRc));
}

#endif
