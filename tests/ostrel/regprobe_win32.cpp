// regprobe_win32.cpp - prints one registry value under HKEY_LOCAL_MACHINE as
// the installer's ANSI query sees it: "type <n> size <n> data <hex bytes>",
// or "missing <error>". Used by the end-to-end tests to read back what the
// installer wrote.
//   ostrel_regprobe <key path> <value name>
#include <stdio.h>
#include <windows.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: ostrel_regprobe <key path> <value name>\n");
        return 2;
    }
    HKEY hKey = nullptr;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_READ, &hKey);
    DWORD dwType = 0;
    BYTE abData[512];
    DWORD dwSize = sizeof abData;
    if (lResult == ERROR_SUCCESS)
        lResult = RegQueryValueExA(hKey, argv[2], nullptr, &dwType, abData, &dwSize);
    if (lResult != ERROR_SUCCESS) {
        printf("missing %ld\n", static_cast<long>(lResult));
        return 0;
    }
    printf("type %lu size %lu data", static_cast<unsigned long>(dwType), static_cast<unsigned long>(dwSize));
    for (DWORD i = 0; i < dwSize; ++i) printf(" %02x", abData[i]);
    printf("\n");
    RegCloseKey(hKey);
    return 0;
}
