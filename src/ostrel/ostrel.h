// ostrel.h - the service-level update installer, written against a small
// platform interface so that the same run drives the real registry, message
// box and command interpreter on Windows and in-memory stand-ins in tests.
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#include <stdint.h>

// Access masks, value type and message box style as the Windows API defines them.
#define OSTREL_KEY_READ     0x20019u
#define OSTREL_KEY_WRITE    0x20006u
#define OSTREL_REG_SZ       1u
#define OSTREL_MB_ICONERROR 0x10u

// An open registry key as the platform knows it (an HKEY on Windows).
typedef void *OstrelKey;

// What the installer asks of the system. Registry entries return 0 on success
// or the platform's error code; every entry receives lpContext first.
struct OstrelPlatform {
    void *lpContext;
    // RegOpenKeyExA under HKEY_LOCAL_MACHINE with options 0.
    long (*pfnRegOpenKey)(void *lpContext, const char *szPath, uint32_t dwAccess, OstrelKey *lphKey);
    // RegQueryValueExA without the type: *lpdwSize holds the buffer's capacity
    // on entry and the size of the value's data on return.
    long (*pfnRegQueryValue)(void *lpContext, OstrelKey hKey, const char *szName, unsigned char *lpData,
                             uint32_t *lpdwSize);
    long (*pfnRegSetValue)(void *lpContext, OstrelKey hKey, const char *szName, uint32_t dwType,
                           const unsigned char *lpData, uint32_t dwSize);
    long (*pfnRegCloseKey)(void *lpContext, OstrelKey hKey);
    // MessageBoxA without an owner window; returns once the user has closed it.
    int (*pfnMessageBox)(void *lpContext, const char *szText, const char *szCaption, uint32_t dwStyle);
    // The C runtime's system(): runs one command line and waits for it to end.
    int (*pfnRunCommand)(void *lpContext, const char *szCommandLine);
};

// Applies service level 4 of the update set in the current directory to the
// installed product: four registry reads, five commands, one registry write.
// Returns the exit code: 0 when every registry check passed, 1 after an error
// message (then no command has run and nothing has been written).
int OstrelRun(const OstrelPlatform *lpPlatform);

#endif
