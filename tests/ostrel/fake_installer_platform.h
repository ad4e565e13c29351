// fake_installer_platform.h - an in-memory registry and a recorder of message
// boxes, command lines and registry calls, behind the installer's platform
// interface. Queries behave as RegQueryValueExA does: a value larger than the
// offered size reports ERROR_MORE_DATA and copies nothing.
#ifndef OSTREL_TESTS_FAKE_INSTALLER_PLATFORM_H
#define OSTREL_TESTS_FAKE_INSTALLER_PLATFORM_H

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "ostrel.h"

constexpr long kFakeErrorFileNotFound = 2;
constexpr long kFakeErrorAccessDenied = 5;
constexpr long kFakeErrorMoreData = 234;
constexpr uint32_t kFakeRegDword = 4;

struct FakeValue {
    uint32_t dwType;
    std::vector<unsigned char> abData;
};

struct FakeKey {
    bool bDenyRead = false;
    bool bDenyWrite = false;
    std::map<std::string, FakeValue> values;
};

struct FakeMessage {
    std::string strText;
    std::string strCaption;
    uint32_t dwStyle;
};

struct FakeHandle {
    std::string strPath;
    bool bClosed = false;
};

class FakeInstallerPlatform {
public:
    // Keys by path under HKEY_LOCAL_MACHINE.
    std::map<std::string, FakeKey> keys;

    // What the run did, in order: one line per registry call and command.
    std::vector<std::string> events;
    std::vector<std::string> commands;
    std::vector<FakeMessage> messages;

    // Runs the installer against this platform and returns its exit code.
    int Run();

    // Paths of the keys that the run opened and did not close.
    std::vector<std::string> OpenKeys() const;

    // Stores a REG_SZ text with its NUL, or raw bytes of any type.
    void SetText(const std::string &strKey, const std::string &strName, const std::string &strText);
    void SetBytes(const std::string &strKey, const std::string &strName, uint32_t dwType,
                  const std::string &strBytes);

private:
    std::deque<FakeHandle> handles_;

    static long OpenKey(void *lpContext, const char *szPath, uint32_t dwAccess, OstrelKey *lphKey);
    static long QueryValue(void *lpContext, OstrelKey hKey, const char *szName, unsigned char *lpData,
                           uint32_t *lpdwSize);
    static long SetValue(void *lpContext, OstrelKey hKey, const char *szName, uint32_t dwType,
                         const unsigned char *lpData, uint32_t dwSize);
    static long CloseKey(void *lpContext, OstrelKey hKey);
    static int ShowMessage(void *lpContext, const char *szText, const char *szCaption, uint32_t dwStyle);
    static int RunCommand(void *lpContext, const char *szCommandLine);
};

#endif
