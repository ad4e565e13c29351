// main_win32.cpp - the installer's entry and the real Win32 platform: the
// ANSI registry calls under HKEY_LOCAL_MACHINE, MessageBoxA and system().
#include <stdlib.h>
#include <windows.h>

#include "ostrel.h"

namespace {

long Win32RegOpenKey(void *, const char *szPath, uint32_t dwAccess, OstrelKey *lphKey) {
    HKEY hKey = nullptr;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, szPath, 0, dwAccess, &hKey);
    *lphKey = hKey;
    return lResult;
}

long Win32RegQueryValue(void *, OstrelKey hKey, const char *szName, unsigned char *lpData,
                        uint32_t *lpdwSize) {
    DWORD dwSize = *lpdwSize;
    LONG lResult = RegQueryValueExA(static_cast<HKEY>(hKey), szName, nullptr, nullptr, lpData, &dwSize);
    *lpdwSize = dwSize;
    return lResult;
}

long Win32RegSetValue(void *, OstrelKey hKey, const char *szName, uint32_t dwType,
                      const unsigned char *lpData, uint32_t dwSize) {
    return RegSetValueExA(static_cast<HKEY>(hKey), szName, 0, dwType, lpData, dwSize);
}

long Win32RegCloseKey(void *, OstrelKey hKey) { return RegCloseKey(static_cast<HKEY>(hKey)); }

int Win32MessageBox(void *, const char *szText, const char *szCaption, uint32_t dwStyle) {
    return MessageBoxA(nullptr, szText, szCaption, dwStyle);
}

int Win32RunCommand(void *, const char *szCommandLine) { return system(szCommandLine); }

}  // namespace

// The installer takes no options: its arguments are not used.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const OstrelPlatform platform = {nullptr,          Win32RegOpenKey, Win32RegQueryValue, Win32RegSetValue,
                                     Win32RegCloseKey, Win32MessageBox, Win32RunCommand};
    return OstrelRun(&platform);
}
