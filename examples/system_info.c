/* system_info: opens a host system in one call and prints who the server is.
 *   system_info HOST PORT USER PASSWORD
 * Exit code: 0, the library's result code when a call fails, 2 for bad
 * arguments. */
#include "common.h"

int main(int argc, char **argv) {
    ServerArgs args;
    HKELHOXSYSTEM hSystem = NULL;
    KelSystemInfo info;
    int32_t nRc;

    if (!ReadServerArgs(argc, argv, 1, &args)) return 2;

    /* Allocates a connection, connects, identifies and logs on. On failure
     * nothing stays allocated and there is nothing to free. */
    nRc = KelAllocHoxSystem(args.dwIP, args.wPort, args.szUser, args.szPassword, NULL, &hSystem);
    if (nRc != KEL_OK) {
        PrintFailure("KelAllocHoxSystem", nRc);
        return (int)nRc;
    }

    /* The identity was stored during the connect: no traffic here. */
    nRc = KelGetSystemInfo(hSystem, &info);
    if (nRc == KEL_OK) {
        printf("server identifier 0x%08lX\n", (unsigned long)info.dwServerID);
        printf("server version    0x%08lX\n", (unsigned long)info.dwServerVersion);
        printf("description       %s\n", info.szServerDescription);
        printf("logon data        0x%02X\n", (unsigned)info.bLogonData);
    } else {
        PrintFailure("KelGetSystemInfo", nRc);
    }

    /* The system owns its connection: this disconnects and frees both. */
    KelFreeHoxSystem(hSystem);
    return (int)nRc;
}
