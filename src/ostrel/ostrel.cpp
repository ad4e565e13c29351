// ostrel.cpp - the installer's run: registry checks, the five copy and remove
// commands, and the record of the new service level.
#include "ostrel.h"

#include <stdio.h>
#include <string.h>

namespace {

const char kszCaption[] = "Brevane Server 4.5 Mendset4";
const char kszProductKeyForm[] = "Software\\Quillar\\%s\\%s";
const char kszProductName[] = "Brevane Server";
const char kszProductVersion[] = "4.5";
const char kszVersionKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kszVersionWithoutOverwrite[] = "4.0";

const char kszMsgNotInstalled[] =
    "You have not installed Brevane Server 4.5.\n\nMendset4 installation cannot continue.";
const char kszMsgNoInstallDir[] =
    "Failed to retrieve Install Directory information from Registry.\n\nMendset4 installation cannot "
    "continue.";
const char kszMsgNoLanguage[] =
    "Failed to retrieve National Language information from Registry.\n\nMendset4 installation cannot "
    "continue.";
const char kszMsgNoServiceLevel[] =
    "Failed to retrieve Service Level information from Registry.\n\nMendset4 installation cannot continue.";
const char kszMsgNoVersionKey[] = "No CurrentVersion Key";
const char kszMsgNoVersionValue[] = "No CurrentVersion Value";

// The command forms; the copy forms come with and without "/Y".
const char kszCopyCommon[] = "xcopy /E /I Common \"%s\"";
const char kszCopyPelo[] = "xcopy /E /I Pelo36 \"%s\\Pelo36\"";
const char kszCopyMsvc[] = "xcopy /E /I MS60 \"%s\\MSVC\"";
const char kszCopyLanguage[] = "xcopy /E /I %s \"%s\"";
const char kszCopyCommonY[] = "xcopy /E /I /Y Common \"%s\"";
const char kszCopyPeloY[] = "xcopy /E /I /Y Pelo36 \"%s\\Pelo36\"";
const char kszCopyMsvcY[] = "xcopy /E /I /Y MS60 \"%s\\MSVC\"";
const char kszCopyLanguageY[] = "xcopy /E /I /Y %s \"%s\"";
const char kszRemoveMs60[] = "rmdir /S /Q \"%s\\MS60\"";

// The value written at the end: "4", its NUL and two more zero bytes.
const unsigned char kabServiceLevel[4] = {0x34, 0x00, 0x00, 0x00};

// Buffer sizes in bytes, NUL included. A directory value may use all bytes
// that its query offers and still gets room for the appended backslash.
constexpr uint32_t kdwProductKeySize = 520;
constexpr uint32_t kdwDirectoryQuerySize = 260;
constexpr uint32_t kdwDirectorySize = kdwDirectoryQuerySize + 1;
constexpr uint32_t kdwLanguageSize = 260;
constexpr uint32_t kdwLevelSize = 4;
constexpr uint32_t kdwVersionSize = 8;

// Every form holds the directory text at most once and the language name at
// most once, so the longest form and both longest texts always fit.
constexpr size_t LongestOf(size_t a, size_t b) { return a > b ? a : b; }
constexpr size_t kdwLongestForm =
    LongestOf(LongestOf(LongestOf(sizeof kszCopyCommonY, sizeof kszCopyPeloY),
                        LongestOf(sizeof kszCopyMsvcY, sizeof kszCopyLanguageY)),
              sizeof kszRemoveMs60);
constexpr size_t kdwCommandLineSize = kdwLongestForm + (kdwDirectorySize - 1) + (kdwLanguageSize - 1);

// Characters that would let a language name, which stands unquoted on the
// command line, end the command or start another one.
const char kszLanguageUnsafe[] = "\"&|<>^%";

// Shows one error message with the installer's caption and returns exit code 1.
int Fail(const OstrelPlatform *lpPlatform, const char *szMessage) {
    lpPlatform->pfnMessageBox(lpPlatform->lpContext, szMessage, kszCaption, OSTREL_MB_ICONERROR);
    return 1;
}

// Reads a value into lpData, offering dwOffered bytes. True when the query
// succeeded within those bytes; *lpdwSize then holds the bytes returned.
bool ReadValue(const OstrelPlatform *lpPlatform, OstrelKey hKey, const char *szName, void *lpData,
               uint32_t dwOffered, uint32_t *lpdwSize) {
    *lpdwSize = dwOffered;  // every query overwrites the size
    long lResult = lpPlatform->pfnRegQueryValue(lpPlatform->lpContext, hKey, szName,
                                                static_cast<unsigned char *>(lpData), lpdwSize);
    return lResult == 0 && *lpdwSize <= dwOffered;
}

// Reads a value used as text. A text stored without its NUL is ended right
// after its last byte; one that fills all offered bytes without a NUL fails,
// so the text always ends within the bytes offered.
bool ReadText(const OstrelPlatform *lpPlatform, OstrelKey hKey, const char *szName, char *szText,
              uint32_t dwOffered) {
    uint32_t dwSize = 0;
    if (!ReadValue(lpPlatform, hKey, szName, szText, dwOffered, &dwSize)) return false;
    if (memchr(szText, '\0', dwSize) != nullptr) return true;
    if (dwSize == dwOffered) return false;
    szText[dwSize] = '\0';
    return true;
}

// Makes the directory text end in a backslash. Only the last byte is looked
// at, so the second byte of a double-byte character counts. The caller keeps
// one byte of room beyond the text's NUL.
void EndWithBackslash(char *szDirectory) {
    size_t nLength = strlen(szDirectory);
    if (nLength > 0 && szDirectory[nLength - 1] == '\\') return;
    szDirectory[nLength] = '\\';
    szDirectory[nLength + 1] = '\0';
}

// Formats one command line into a buffer that fits every form and runs it.
void RunCommand(const OstrelPlatform *lpPlatform, const char *szForm, const char *szFirst,
                const char *szSecond = nullptr) {
    char szCommandLine[kdwCommandLineSize];
    snprintf(szCommandLine, sizeof szCommandLine, szForm, szFirst, szSecond);
    lpPlatform->pfnRunCommand(lpPlatform->lpContext, szCommandLine);
}

// Runs the four copies and the removal, each after the previous one has ended.
// Their results are not examined: a failed command stops nothing.
void RunCommands(const OstrelPlatform *lpPlatform, bool bOverwrite, const char *szDirectory,
                 const char *szLanguage) {
    RunCommand(lpPlatform, bOverwrite ? kszCopyCommonY : kszCopyCommon, szDirectory);
    RunCommand(lpPlatform, bOverwrite ? kszCopyPeloY : kszCopyPelo, szDirectory);
    RunCommand(lpPlatform, bOverwrite ? kszCopyMsvcY : kszCopyMsvc, szDirectory);
    RunCommand(lpPlatform, bOverwrite ? kszCopyLanguageY : kszCopyLanguage, szLanguage, szDirectory);
    RunCommand(lpPlatform, kszRemoveMs60, szDirectory);
}

// Records service level "4" when the product key opens for writing; nothing
// of this step is reported.
void WriteServiceLevel(const OstrelPlatform *lpPlatform, const char *szProductKey) {
    OstrelKey hKey = nullptr;
    if (lpPlatform->pfnRegOpenKey(lpPlatform->lpContext, szProductKey, OSTREL_KEY_WRITE, &hKey) != 0) return;
    lpPlatform->pfnRegSetValue(lpPlatform->lpContext, hKey, "ServiceLevel", OSTREL_REG_SZ, kabServiceLevel,
                               sizeof kabServiceLevel);
    lpPlatform->pfnRegCloseKey(lpPlatform->lpContext, hKey);
}

}  // namespace

int OstrelRun(const OstrelPlatform *lpPlatform) {
    void *lpContext = lpPlatform->lpContext;
    char szProductKey[kdwProductKeySize];
    snprintf(szProductKey, sizeof szProductKey, kszProductKeyForm, kszProductName, kszProductVersion);

    // On a failed check the open key stays open: the end of the process releases it.
    OstrelKey hProductKey = nullptr;
    if (lpPlatform->pfnRegOpenKey(lpContext, szProductKey, OSTREL_KEY_READ, &hProductKey) != 0)
        return Fail(lpPlatform, kszMsgNotInstalled);

    // A double quote would end the quoted target early and let the rest of the
    // value reach the interpreter as commands.
    char szDirectory[kdwDirectorySize];
    if (!ReadText(lpPlatform, hProductKey, "InstallDir", szDirectory, kdwDirectoryQuerySize) ||
        strchr(szDirectory, '"') != nullptr)
        return Fail(lpPlatform, kszMsgNoInstallDir);
    EndWithBackslash(szDirectory);

    // Blanks in the language name stay allowed: they reach xcopy as separate arguments.
    char szLanguage[kdwLanguageSize];
    if (!ReadText(lpPlatform, hProductKey, "Installed NLV", szLanguage, kdwLanguageSize) ||
        strpbrk(szLanguage, kszLanguageUnsafe) != nullptr)
        return Fail(lpPlatform, kszMsgNoLanguage);

    // The level must be readable, but any content is accepted: it is never looked at.
    unsigned char abLevel[kdwLevelSize];
    uint32_t dwLevelSize = 0;
    if (!ReadValue(lpPlatform, hProductKey, "ServiceLevel", abLevel, kdwLevelSize, &dwLevelSize))
        return Fail(lpPlatform, kszMsgNoServiceLevel);
    lpPlatform->pfnRegCloseKey(lpContext, hProductKey);

    OstrelKey hVersionKey = nullptr;
    if (lpPlatform->pfnRegOpenKey(lpContext, kszVersionKey, OSTREL_KEY_READ, &hVersionKey) != 0)
        return Fail(lpPlatform, kszMsgNoVersionKey);
    char szVersion[kdwVersionSize];
    if (!ReadText(lpPlatform, hVersionKey, "CurrentVersion", szVersion, kdwVersionSize))
        return Fail(lpPlatform, kszMsgNoVersionValue);
    lpPlatform->pfnRegCloseKey(lpContext, hVersionKey);

    bool bOverwrite = strcmp(szVersion, kszVersionWithoutOverwrite) != 0;
    RunCommands(lpPlatform, bOverwrite, szDirectory, szLanguage);
    WriteServiceLevel(lpPlatform, szProductKey);
    return 0;
}
