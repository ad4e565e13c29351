// ostrel_run_test.cpp - the installer's run against an in-memory registry:
// the order of its registry calls, the command lines byte for byte, every
// failed check, and the refusal of values that would overflow, be read past
// their end or inject commands.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ostrel.h"

namespace {

const char kszProductKey[] = "Software\\Quillar\\Brevane Server\\4.5";
const char kszVersionKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
// Each failed check: its message and the key still open when the run ends.
struct Failure {
    const char *szMessage;
    const char *szKeyLeftOpen;
};
#define MENDSET_CANNOT_CONTINUE "\n\nMendset4 installation cannot continue."
const Failure kNotInstalled = {"You have not installed Brevane Server 4.5." MENDSET_CANNOT_CONTINUE, nullptr};
const Failure kNoInstallDir = {
    "Failed to retrieve Install Directory information from Registry." MENDSET_CANNOT_CONTINUE, kszProductKey};
const Failure kNoLanguage = {
    "Failed to retrieve National Language information from Registry." MENDSET_CANNOT_CONTINUE, kszProductKey};
const Failure kNoServiceLevel = {
    "Failed to retrieve Service Level information from Registry." MENDSET_CANNOT_CONTINUE, kszProductKey};
const Failure kNoVersionKey = {"No CurrentVersion Key", nullptr};
const Failure kNoVersionValue = {"No CurrentVersion Value", kszVersionKey};

constexpr uint32_t kRegDword = 4;
using Value = std::pair<uint32_t, std::string>;  // type and data bytes
const Value kLevel3 = {kRegDword, std::string("\x03\0\0\0", 4)};
const Value kLevel4 = {OSTREL_REG_SZ, std::string("4\0\0\0", 4)};

// A text as a REG_SZ value stores it, with its NUL.
std::string Sz(const std::string &strText) { return strText + '\0'; }

// An in-memory registry under HKEY_LOCAL_MACHINE behind the installer's
// platform interface, recording what the run does. Queries behave as
// RegQueryValueExA does: a value larger than the offered size reports
// ERROR_MORE_DATA and copies nothing.
class FakeSystem {
public:
    struct Key {
        bool bDenyRead = false, bDenyWrite = false;
        std::map<std::string, Value> values;
        std::string strPath;
        int nOpen = 0;  // handles not closed
    };
    std::map<std::string, Key> keys;
    std::vector<std::string> events;    // one line per registry call and command, in order
    std::vector<std::string> commands;  // the command lines
    std::vector<std::string> messages;  // "caption|style|text"

    // An installed product at level 3 on a system whose version is "5.0".
    FakeSystem() {
        Set("InstallDir", Sz("C:\\Prod"));
        Set("Installed NLV", Sz("NL1"));
        keys[kszProductKey].values["ServiceLevel"] = kLevel3;
        Set("CurrentVersion", Sz("5.0"));
    }
    // The key of a value is the version key for "CurrentVersion", else the product key.
    Key &KeyOf(const std::string &strName) {
        return keys[strName == "CurrentVersion" ? kszVersionKey : kszProductKey];
    }
    void Set(const std::string &strName, const std::string &strBytes) {
        KeyOf(strName).values[strName] = {OSTREL_REG_SZ, strBytes};
    }
    void Erase(const std::string &strName) { KeyOf(strName).values.erase(strName); }
    const Value &Level() { return KeyOf("ServiceLevel").values.at("ServiceLevel"); }
    int Run() {
        const OstrelPlatform platform = {this,     OpenKey,     QueryValue, SetValue,
                                         CloseKey, ShowMessage, RunCommand};
        return OstrelRun(&platform);
    }
    std::vector<std::string> OpenKeys() const {
        std::vector<std::string> open;
        for (const auto &entry : keys)
            if (entry.second.nOpen > 0) open.push_back(entry.first);
        return open;
    }

private:
    static FakeSystem &Self(void *lpContext) { return *static_cast<FakeSystem *>(lpContext); }
    static Key &Opened(OstrelKey hKey) { return *static_cast<Key *>(hKey); }

    // Any access but the two the installer uses is denied.
    static long OpenKey(void *lpContext, const char *szPath, uint32_t dwAccess, OstrelKey *lphKey) {
        const bool bWrite = dwAccess == OSTREL_KEY_WRITE;
        Self(lpContext).events.push_back("open " + std::string(szPath) + (bWrite ? " write" : " read"));
        auto it = Self(lpContext).keys.find(szPath);
        if (it == Self(lpContext).keys.end()) return 2;  // ERROR_FILE_NOT_FOUND
        Key &key = it->second;
        if (bWrite ? key.bDenyWrite : key.bDenyRead || dwAccess != OSTREL_KEY_READ)
            return 5;  // ERROR_ACCESS_DENIED
        key.strPath = szPath;
        ++key.nOpen;
        *lphKey = &key;
        return 0;
    }
    static long QueryValue(void *lpContext, OstrelKey hKey, const char *szName, unsigned char *lpData,
                           uint32_t *lpdwSize) {
        Self(lpContext).events.push_back("query " + std::string(szName) + " " + std::to_string(*lpdwSize));
        auto it = Opened(hKey).values.find(szName);
        if (it == Opened(hKey).values.end()) return 2;
        const std::string &strData = it->second.second;
        const uint32_t dwOffered = *lpdwSize;
        *lpdwSize = static_cast<uint32_t>(strData.size());
        if (strData.size() > dwOffered) return 234;  // ERROR_MORE_DATA
        memcpy(lpData, strData.data(), strData.size());
        return 0;
    }
    static long SetValue(void *lpContext, OstrelKey hKey, const char *szName, uint32_t dwType,
                         const unsigned char *lpData, uint32_t dwSize) {
        Self(lpContext).events.push_back("set " + std::string(szName));
        Opened(hKey).values[szName] = {dwType, std::string(lpData, lpData + dwSize)};
        return 0;
    }
    static long CloseKey(void *lpContext, OstrelKey hKey) {
        Self(lpContext).events.push_back("close " + Opened(hKey).strPath);
        --Opened(hKey).nOpen;
        return 0;
    }
    static int ShowMessage(void *lpContext, const char *szText, const char *szCaption, uint32_t dwStyle) {
        Self(lpContext).messages.push_back(std::string(szCaption) + "|" + std::to_string(dwStyle) + "|" +
                                           szText);
        return 1;  // IDOK
    }
    static int RunCommand(void *lpContext, const char *szCommandLine) {
        Self(lpContext).events.push_back("run " + std::string(szCommandLine));
        Self(lpContext).commands.push_back(szCommandLine);
        return 0;
    }
};

// The five command lines for the directory text and the language name.
std::vector<std::string> Commands(bool bOverwrite, const std::string &strDir,
                                  const std::string &strLanguage) {
    const std::string strCopy = bOverwrite ? "xcopy /E /I /Y " : "xcopy /E /I ";
    return {strCopy + "Common \"" + strDir + "\"", strCopy + "Pelo36 \"" + strDir + "\\Pelo36\"",
            strCopy + "MS60 \"" + strDir + "\\MSVC\"", strCopy + strLanguage + " \"" + strDir + "\"",
            "rmdir /S /Q \"" + strDir + "\\MS60\""};
}

// Runs and expects exit code 0 without a message, level "4" written as a
// REG_SZ of 4 bytes, and no key left open.
void ExpectInstalled(FakeSystem &fake) {
    EXPECT_EQ(fake.Run(), 0);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(fake.Level(), kLevel4);
    EXPECT_TRUE(fake.OpenKeys().empty());
}

// Runs and expects exit code 1 after one error message, no command, no write
// and only the key that was open at the failed step still open.
void ExpectRefused(FakeSystem &fake, const Failure &failure) {
    EXPECT_EQ(fake.Run(), 1);
    EXPECT_EQ(fake.messages,
              std::vector<std::string>{std::string("Brevane Server 4.5 Mendset4|16|") + failure.szMessage});
    EXPECT_TRUE(fake.commands.empty());
    for (const std::string &strEvent : fake.events) EXPECT_NE(strEvent.rfind("set ", 0), 0u) << strEvent;
    EXPECT_EQ(fake.OpenKeys(), failure.szKeyLeftOpen ? std::vector<std::string>{failure.szKeyLeftOpen}
                                                     : std::vector<std::string>{});
}

TEST(OstrelRun, ReadsChecksRunsAndWritesInOrderWithEverySizeReset) {
    FakeSystem fake;
    ExpectInstalled(fake);
    const std::vector<std::string> expected = {
        "open Software\\Quillar\\Brevane Server\\4.5 read",
        "query InstallDir 260",
        "query Installed NLV 260",
        "query ServiceLevel 4",
        "close Software\\Quillar\\Brevane Server\\4.5",
        "open Software\\Microsoft\\Windows NT\\CurrentVersion read",
        "query CurrentVersion 8",
        "close Software\\Microsoft\\Windows NT\\CurrentVersion",
        "run xcopy /E /I /Y Common \"C:\\Prod\\\"",
        "run xcopy /E /I /Y Pelo36 \"C:\\Prod\\\\Pelo36\"",
        "run xcopy /E /I /Y MS60 \"C:\\Prod\\\\MSVC\"",
        "run xcopy /E /I /Y NL1 \"C:\\Prod\\\"",
        "run rmdir /S /Q \"C:\\Prod\\\\MS60\"",
        "open Software\\Quillar\\Brevane Server\\4.5 write",
        "set ServiceLevel",
        "close Software\\Quillar\\Brevane Server\\4.5",
    };
    EXPECT_EQ(fake.events, expected);
    // A second run accepts the level the first one wrote.
    FakeSystem second;
    second.keys = fake.keys;
    ExpectInstalled(second);
    EXPECT_EQ(second.commands, fake.commands);
}

// Each row changes one stored value of the installed product and expects
// the five command lines (and level "4" written, whatever the old level).
TEST(OstrelRun, CommandLinesFollowTheStoredValues) {
    struct Row {
        const char *szValue;
        std::string strBytes;
        bool bOverwrite = true;
        std::string strDir = "C:\\Prod\\";  // the directory text, ending in one backslash
        std::string strLanguage = "NL1";
    };
    const Row rows[] = {
        {"CurrentVersion", Sz("4.0"), false},  // only exactly "4.0" leaves out /Y
        {"CurrentVersion", "4.0", false},      // a text without its NUL ends after its last byte
        {"CurrentVersion", Sz("4.00")},
        {"CurrentVersion", Sz("3.51")},
        {"CurrentVersion", Sz("4.0 ")},
        {"CurrentVersion", "6.1.760"},
        {"InstallDir", Sz("C:\\Prod\\")},
        {"InstallDir", "C:\\Prod"},
        {"InstallDir", Sz(""), true, "\\"},
        // 0x83 0x5C is one double-byte character in a Japanese code page: the
        // last byte alone decides.
        {"InstallDir", Sz("C:\\\x83\x5C"), true, "C:\\\x83\x5C"},
        {"Installed NLV", Sz(""), true, "C:\\Prod\\", ""},  // two blanks before the target
        {"Installed NLV", "NL1"},
        {"Installed NLV", Sz("NL1 /EXCLUDE:skip.txt"), true, "C:\\Prod\\", "NL1 /EXCLUDE:skip.txt"},
        {"ServiceLevel", Sz("4.1")},  // any content of at most 4 bytes, never looked at
        {"ServiceLevel", Sz("9")},
        {"ServiceLevel", "\x01\x02\x03\x04"},
        {"ServiceLevel", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.szValue) + " = " + row.strBytes);
        FakeSystem fake;
        fake.Set(row.szValue, row.strBytes);
        ExpectInstalled(fake);
        EXPECT_EQ(fake.commands, Commands(row.bOverwrite, row.strDir, row.strLanguage));
    }
}

// 259 characters are the most a 260-byte query returns with the NUL; the
// appended backslash still fits, and command 4 with both is never cut.
TEST(OstrelRun, LongestValuesGiveCompleteCommandLines) {
    const std::string strDir = "C:\\" + std::string(256, 'd'), strLanguage(259, 'n');
    for (const char *szVersion : {"5.0", "4.0"}) {
        FakeSystem fake;
        fake.Set("InstallDir", Sz(strDir));
        fake.Set("Installed NLV", Sz(strLanguage));
        fake.Set("CurrentVersion", Sz(szVersion));
        ExpectInstalled(fake);
        EXPECT_EQ(fake.commands, Commands(szVersion[0] != '4', strDir + "\\", strLanguage)) << szVersion;
    }
}

TEST(OstrelRun, ProductKeyThatDoesNotOpenForWritingIsLeftAloneSilently) {
    FakeSystem fake;
    fake.keys[kszProductKey].bDenyWrite = true;
    EXPECT_EQ(fake.Run(), 0);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(fake.commands.size(), 5u);
    EXPECT_EQ(fake.Level(), kLevel3);
    EXPECT_TRUE(fake.OpenKeys().empty());
}

// A value too long for its buffer, one that fills it without a NUL, and one
// that would end the quoted target early all fail like a missing one.
struct FailureRow {
    const char *szName;
    std::function<void(FakeSystem &fake)> pfnBreak;
    const Failure &failure;
};
// A row shows as its name, not as the bytes of its pointers.
void PrintTo(const FailureRow &row, std::ostream *os) { *os << row.szName; }

std::function<void(FakeSystem &)> Missing(const char *szName) {
    return [=](FakeSystem &fake) { fake.Erase(szName); };
}
std::function<void(FakeSystem &)> Stored(const char *szName, const std::string &strBytes) {
    return [=](FakeSystem &fake) { fake.Set(szName, strBytes); };
}

const std::string kDir260 = "C:\\" + std::string(257, 'd'), kLanguage260(260, 'n');
const FailureRow kaFailureRows[] = {
    {"NoProductKey", [](FakeSystem &f) { f.keys.erase(kszProductKey); }, kNotInstalled},
    {"ProductKeyReadDenied", [](FakeSystem &f) { f.keys[kszProductKey].bDenyRead = true; }, kNotInstalled},
    {"NoInstallDir", Missing("InstallDir"), kNoInstallDir},
    {"InstallDir260Characters", Stored("InstallDir", Sz(kDir260)), kNoInstallDir},
    {"InstallDir260WithoutNul", Stored("InstallDir", kDir260), kNoInstallDir},
    {"InstallDirWithQuote", Stored("InstallDir", Sz("C:\\Prod\" & del /Q C:\\*.* & \"")), kNoInstallDir},
    {"NoLanguage", Missing("Installed NLV"), kNoLanguage},
    {"Language260Characters", Stored("Installed NLV", Sz(kLanguage260)), kNoLanguage},
    {"Language260WithoutNul", Stored("Installed NLV", kLanguage260), kNoLanguage},
    {"NoServiceLevel", Missing("ServiceLevel"), kNoServiceLevel},
    {"ServiceLevelOf5Bytes", Stored("ServiceLevel", Sz("10.1")), kNoServiceLevel},
    {"NoVersionKey", [](FakeSystem &f) { f.keys.erase(kszVersionKey); }, kNoVersionKey},
    {"VersionKeyReadDenied", [](FakeSystem &f) { f.keys[kszVersionKey].bDenyRead = true; }, kNoVersionKey},
    {"NoVersionValue", Missing("CurrentVersion"), kNoVersionValue},
    {"Version8Characters", Stored("CurrentVersion", Sz("10.0.190")), kNoVersionValue},
    {"Version8WithoutNul", Stored("CurrentVersion", "10.0.190"), kNoVersionValue},
};

class OstrelFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(OstrelFailure, ShowsItsMessageAndEndsWithOne) {
    FakeSystem fake;
    GetParam().pfnBreak(fake);
    ExpectRefused(fake, GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(FailureTable, OstrelFailure, ::testing::ValuesIn(kaFailureRows),
                         [](const ::testing::TestParamInfo<FailureRow> &info) { return info.param.szName; });

// The language name stands unquoted: nothing may end its command or start another.
TEST(OstrelRun, LanguageWithAnInterpreterCharacterIsRefused) {
    for (char chUnsafe : std::string("\"&|<>^%")) {
        SCOPED_TRACE(chUnsafe);
        FakeSystem fake;
        fake.Set("Installed NLV", Sz(std::string("NL1 ") + chUnsafe + " echo x"));
        ExpectRefused(fake, kNoLanguage);
    }
}

}  // namespace
