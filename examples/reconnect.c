/* reconnect: keeps one connection record through failed connects, lost
 * connections and reconnects, and treats each failure of KelConnect as what
 * it is.
 *   reconnect HOST PORT USER PASSWORD [ATTEMPTS]
 * Connects (up to ATTEMPTS times, default 3, one second apart, while the
 * failure is one that may pass), sends an echo command, disconnects, and
 * does the same once more on the same record. Exit code: 0, the library's
 * result code of the failure that ended it, 2 for bad arguments. */
#include <string.h>

#include "common.h"

#if defined(_WIN32)
#  include <windows.h>
#  define PauseOneSecond() Sleep(1000)
#else
#  include <unistd.h>
#  define PauseOneSecond() sleep(1)
#endif

#define ECHO_COMMAND 0x80000100u
#define ECHO_REPLY   0x40000100u
#define TIMEOUT_MS   5000u

/* Whether trying again later can help. After every failed KelConnect the
 * record is put back with KelDisconnect (below), so that a retry starts
 * from an unconnected record; the failure itself decides whether to retry:
 *   KEL_ERR_NOT_CONNECTED  the server is not there (yet): no socket is left
 *   KEL_ERR_COMM           the connection broke or timed out mid-way
 *   KEL_ERR_PROTOCOL       not a server of this protocol: give up
 *   104-108, 200-205       the host refused the logon (user, passwords)
 *   KEL_ERR_SYSTEM         no socket, or a logon code the library does not know
 *   KEL_ERR_LOCKED         another part of the program holds the busy flag */
static int IsWorthRetrying(int32_t nRc) { return nRc == KEL_ERR_NOT_CONNECTED || nRc == KEL_ERR_COMM; }

static int32_t ConnectWithRetry(HKELCONNECTION hConnection, int nAttempts) {
    int32_t nRc = KEL_ERR_NOT_CONNECTED;
    int nAttempt;
    for (nAttempt = 1; nAttempt <= nAttempts; ++nAttempt) {
        nRc = KelConnect(hConnection);
        if (nRc == KEL_OK) {
            printf("connected at attempt %d\n", nAttempt);
            return KEL_OK;
        }
        printf("attempt %d of %d: result %ld (%s)\n", nAttempt, nAttempts, (long)nRc, KelResultText(nRc));
        /* A failed connect may leave the socket open and the busy flag set;
         * KelDisconnect closes and clears both, and only says
         * KEL_ERR_NOT_CONNECTED when there was nothing to close. */
        KelDisconnect(hConnection);
        if (!IsWorthRetrying(nRc)) break;
        if (nAttempt < nAttempts) PauseOneSecond();
    }
    return nRc;
}

/* An echo of szText. A failure here means the connection is lost: the
 * caller disconnects, which also closes the socket of a broken connection. */
static int32_t Echo(HKELCONNECTION hConnection, const char *szText) {
    KelCommand cmd;
    char szReply[64];
    uint32_t dwLen = (uint32_t)strlen(szText), dwDone = 0;
    int32_t nRc;

    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = ECHO_COMMAND;
    cmd.dwDataLen = dwLen;
    nRc = KelSendCommand(hConnection, &cmd, 0);
    if (nRc == KEL_OK) nRc = KelSend(hConnection, szText, dwLen, &dwDone, 1);
    if (nRc == KEL_OK) nRc = KelWaitForResponse(hConnection, ECHO_REPLY, &cmd);
    if (nRc == KEL_OK && cmd.dwDataLen >= sizeof szReply) nRc = KEL_ERR_PROTOCOL;
    if (nRc == KEL_OK && cmd.dwDataLen) nRc = KelReceive(hConnection, szReply, cmd.dwDataLen, &dwDone, 1);
    if (nRc == KEL_OK) nRc = KelCmdErrToKelErr(cmd.dwRetCode);
    if (nRc != KEL_OK) return nRc;
    szReply[cmd.dwDataLen] = '\0';
    printf("echo: %s\n", szReply);
    return KEL_OK;
}

int main(int argc, char **argv) {
    ServerArgs args;
    HKELCONNECTION hConnection = NULL;
    int nAttempts = 3, nRound;
    int32_t nRc;

    if (!ReadServerArgs(argc, argv, 1, &args)) return 2;
    if (argc > 5) nAttempts = atoi(argv[5]);
    if (nAttempts < 1) nAttempts = 1;

    nRc = KelAllocConnection(args.dwIP, args.wPort, args.szUser, args.szPassword, NULL, &hConnection);
    if (nRc != KEL_OK) {
        PrintFailure("KelAllocConnection", nRc);
        return (int)nRc;
    }
    /* A server that accepts and then says nothing must not hang the program. */
    KelSetTimeout(hConnection, TIMEOUT_MS);

    for (nRound = 1; nRound <= 2 && nRc == KEL_OK; ++nRound) {
        nRc = ConnectWithRetry(hConnection, nAttempts);
        if (nRc == KEL_OK) {
            nRc = Echo(hConnection, nRound == 1 ? "first connection" : "after reconnecting");
            if (nRc != KEL_OK) PrintFailure("the echo", nRc);
            KelDisconnect(hConnection);
        }
    }
    if (nRc != KEL_OK) printf("giving up: result %ld (%s)\n", (long)nRc, KelResultText(nRc));
    /* Unconnected now in every case, so the record can be freed. */
    KelFreeConnection(hConnection);
    return (int)nRc;
}
