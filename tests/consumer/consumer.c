/* A C program that uses the shipped library the way a customer's program
 * does: through the header compiled as C, the shared library (the DLL with
 * its import library on Windows) and the exported trace variables. */
#include <stdio.h>
#include <string.h>

#include "kelapi.h"

static int nLines;
static char szLastLine[400];

static void KELAPI_CALL CollectLine(const char *szLine) {
    ++nLines;
    strncpy(szLastLine, szLine, sizeof szLastLine - 1);
}

static int Check(int bOk, const char *szWhat) {
    if (!bOk) fprintf(stderr, "consumer: %s\n", szWhat);
    return bOk ? 0 : 1;
}

int main(void) {
    HKELCONNECTION hConnection = NULL;
    char szText[16];
    int nFailures = 0;

    fKelTraceFunc = CollectLine;
    bKelTraceOn = 1;
    nFailures += Check(KelStrToIP("10.0.0.1") == KelDwordToNet(0x0A000001u), "KelStrToIP");
    nFailures += Check(KelIPToStr(KelStrToIP("10.0.0.1"), szText) == KEL_OK && strcmp(szText, "10.0.0.1") == 0,
                       "KelIPToStr");
    nFailures += Check(KelWordToHost(0x1234) == 0x3412 && KelWordToNet(0x3412) == 0x1234, "word order");
    nFailures += Check(strcmp(KelStrCopyToHostCP(szText, "abc", 8), "abc") == 0, "string copy");
    nFailures += Check(KelAllocConnection(KelStrToIP("127.0.0.1"), 0, "user", "pw", NULL, &hConnection) == KEL_OK,
                       "KelAllocConnection");
    nFailures += Check(KelLock(hConnection) == KEL_OK && KelLock(hConnection) == KEL_ERR_LOCKED &&
                           KelUnLock(hConnection) == KEL_OK,
                       "busy flag");
    nFailures += Check(KelConnect(NULL) == KEL_ERR_PARAM, "KelConnect(NULL)");
    nFailures += Check(KelFreeConnection(hConnection) == KEL_OK, "KelFreeConnection");
    nFailures += Check(nLines > 0 && strstr(szLastLine, "KelFreeConnection hConnection =  ") != NULL,
                       "trace through the exported variables");
    bKelTraceOn = 0;
    if (nFailures == 0) printf("consumer: %d trace lines, last: %s\n", nLines, szLastLine);
    return nFailures ? 1 : 0;
}
