/* send_command: allocates and connects a connection itself, sends one
 * command with data, waits for the reply and reads the reply's data.
 *   send_command HOST PORT USER PASSWORD TEXT
 * The command is 0x80000100, which the reference server kelsrv answers with
 * an echo: reply 0x40000100, the same dwParm1 and the same data.
 * Exit code: 0, the library's result code when a call fails, 2 for bad
 * arguments. */
#include <string.h>

#include "common.h"

#define ECHO_COMMAND 0x80000100u
#define ECHO_REPLY   0x40000100u

/* One request and its reply on a logged-on connection. */
static int32_t Exchange(HKELCONNECTION hConnection, const char *szText) {
    KelCommand cmd;
    char szReply[256];
    uint32_t dwLen = (uint32_t)strlen(szText);
    uint32_t dwDone = 0;
    int32_t nRc;

    /* A cleared record: zero fields stay off the wire. */
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = ECHO_COMMAND;
    cmd.dwParm1 = 42;
    cmd.dwDataLen = dwLen;
    /* The frame waits in the send buffer (flush 0) and leaves together with
     * its data, which is sent with flush set. */
    nRc = KelSendCommand(hConnection, &cmd, 0);
    if (nRc == KEL_OK) nRc = KelSend(hConnection, szText, dwLen, &dwDone, 1);
    if (nRc != KEL_OK) {
        PrintFailure("sending the command", nRc);
        return nRc;
    }

    /* Frames that come before the reply are skipped with their data. */
    nRc = KelWaitForResponse(hConnection, ECHO_REPLY, &cmd);
    if (nRc != KEL_OK) {
        PrintFailure("KelWaitForResponse", nRc);
        return nRc;
    }
    /* The reply's data must be read before the next frame, even when the
     * host refused the command, or the stream loses its framing. */
    if (cmd.dwDataLen >= sizeof szReply) {
        fprintf(stderr, "reply data of %lu bytes is more than expected\n", (unsigned long)cmd.dwDataLen);
        return KEL_ERR_PROTOCOL;
    }
    nRc = cmd.dwDataLen ? KelReceive(hConnection, szReply, cmd.dwDataLen, &dwDone, 1) : KEL_OK;
    if (nRc != KEL_OK) {
        PrintFailure("KelReceive", nRc);
        return nRc;
    }
    szReply[cmd.dwDataLen] = '\0';
    if (cmd.dwRetCode != 0) {
        nRc = KelCmdErrToKelErr(cmd.dwRetCode);
        fprintf(stderr, "the host refused the command: return code 0x%08lX, result %ld (%s)\n",
                (unsigned long)cmd.dwRetCode, (long)nRc, KelResultText(nRc));
        return nRc;
    }
    printf("reply 0x%08lX, parm1 %lu, %lu data bytes: %s\n", (unsigned long)cmd.dwCommand,
           (unsigned long)cmd.dwParm1, (unsigned long)cmd.dwDataLen, szReply);
    return KEL_OK;
}

int main(int argc, char **argv) {
    ServerArgs args;
    HKELCONNECTION hConnection = NULL;
    int32_t nRc;

    if (!ReadServerArgs(argc, argv, 1, &args) || argc < 6) {
        if (argc >= 5) fprintf(stderr, "missing argument: TEXT\n");
        return 2;
    }
    nRc = KelAllocConnection(args.dwIP, args.wPort, args.szUser, args.szPassword, NULL, &hConnection);
    if (nRc != KEL_OK) {
        PrintFailure("KelAllocConnection", nRc);
        return (int)nRc;
    }
    nRc = KelConnect(hConnection);
    if (nRc == KEL_OK) {
        nRc = Exchange(hConnection, argv[5]);
    } else {
        PrintFailure("KelConnect", nRc);
    }
    /* Also after a failed connect: a socket it left open is closed here.
     * Without a socket this returns KEL_ERR_NOT_CONNECTED, which is fine. */
    KelDisconnect(hConnection);
    KelFreeConnection(hConnection);
    return (int)nRc;
}
