/* trace_to_file: writes the library's trace to a file of its own per
 * process, named after the time the process started and its process id,
 * while it opens a host system, reads its identity and frees it again.
 *   trace_to_file DIR HOST PORT USER PASSWORD
 * Prints the file's name. Exit code: 0, the library's result code when a
 * call fails, 2 for bad arguments or a file that cannot be opened. */
#include <string.h>
#include <time.h>

#include "common.h"

#if defined(_WIN32)
#  include <process.h>
#  define CurrentProcessId() ((long)_getpid())
#else
#  include <unistd.h>
#  define CurrentProcessId() ((long)getpid())
#endif

static FILE *s_lpTraceFile;
static long s_nTraceLines;

/* The callback: called once per line, on the thread of the call that writes
 * it, with a line that lives only during the call. It must use the calling
 * convention KELAPI_CALL. A program with threads serialises the writes. */
static void KELAPI_CALL WriteTraceLine(const char *szLine) {
    fputs(szLine, s_lpTraceFile);
    fputc('\n', s_lpTraceFile);
    ++s_nTraceLines;
}

/* Opens DIR/kelapi-YYYYMMDD-HHMMSS-PID.trace and writes its first line. The
 * trace lines carry the time of day only; the name and the first line say
 * which process, started when, wrote them. */
static FILE *OpenTraceFile(const char *szDir, char *szName, size_t nNameSize) {
    time_t tNow = time(NULL);
    struct tm *lpNow = localtime(&tNow);
    char szStamp[32];
    FILE *lpFile;

    strftime(szStamp, sizeof szStamp, "%Y%m%d-%H%M%S", lpNow);
    if (strlen(szDir) + 64 > nNameSize) return NULL;
    sprintf(szName, "%s/kelapi-%s-%ld.trace", szDir, szStamp, CurrentProcessId());
    lpFile = fopen(szName, "w");
    if (!lpFile) return NULL;
    strftime(szStamp, sizeof szStamp, "%Y-%m-%d %H:%M:%S", lpNow);
    fprintf(lpFile, "kelapi %d.%d.%d trace of process %ld, started %s\n", KELAPI_VERSION_MAJOR,
            KELAPI_VERSION_MINOR, KELAPI_VERSION_PATCH, CurrentProcessId(), szStamp);
    return lpFile;
}

int main(int argc, char **argv) {
    ServerArgs args;
    HKELHOXSYSTEM hSystem = NULL;
    KelSystemInfo info;
    char szName[1024];
    int32_t nRc;

    if (argc < 2 || !ReadServerArgs(argc, argv, 2, &args)) return 2;
    s_lpTraceFile = OpenTraceFile(argv[1], szName, sizeof szName);
    if (!s_lpTraceFile) {
        fprintf(stderr, "cannot create a trace file in '%s'\n", argv[1]);
        return 2;
    }
    /* The program owns both variables and may change them between calls. */
    fKelTraceFunc = WriteTraceLine;
    bKelTraceOn = 1;

    nRc = KelAllocHoxSystem(args.dwIP, args.wPort, args.szUser, args.szPassword, NULL, &hSystem);
    if (nRc == KEL_OK) {
        nRc = KelGetSystemInfo(hSystem, &info);
        KelFreeHoxSystem(hSystem);
    }

    /* Off before the file goes: no line may arrive after it is closed. */
    bKelTraceOn = 0;
    fKelTraceFunc = NULL;
    fclose(s_lpTraceFile);
    if (nRc != KEL_OK) PrintFailure("opening the host system", nRc);
    printf("%ld trace lines in %s\n", s_nTraceLines, szName);
    return (int)nRc;
}
