// ostrel_run_test.cpp - the installer's run against an in-memory registry:
// the order of its registry calls, the command lines byte for byte, every
// failed check, and the refusal of values that would overflow, be read past
// their end or inject commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_installer_platform.h"

namespace {

const char kszProductKey[] = "Software\\Quillar\\Brevane Server\\4.5";
const char kszVersionKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kszCaption[] = "Brevane Server 4.5 Mendset4";

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

// An installed product at level 3 on a system whose version is "5.0".
class OstrelRunTest : public ::testing::Test {
protected:
    FakeInstallerPlatform fake;

    void SetUp() override {
        fake.SetText(kszProductKey, "InstallDir", "C:\\Prod");
        fake.SetText(kszProductKey, "Installed NLV", "NL1");
        fake.SetText(kszProductKey, "ServiceLevel", "3");
        fake.SetText(kszVersionKey, "CurrentVersion", "5.0");
    }

    const FakeValue &StoredLevel() { return fake.keys[kszProductKey].values.at("ServiceLevel"); }

    // Runs and expects the five commands and the written level.
    void ExpectCompleteRun() {
        EXPECT_EQ(fake.Run(), 0);
        EXPECT_TRUE(fake.messages.empty());
        EXPECT_EQ(fake.commands.size(), 5u);
        EXPECT_EQ(StoredLevel().dwType, OSTREL_REG_SZ);
        EXPECT_EQ(StoredLevel().abData, (std::vector<unsigned char>{0x34, 0x00, 0x00, 0x00}));
    }

    // The stored level, or an empty text when the key or the value is missing;
    // looked up without creating either.
    std::vector<unsigned char> LevelBytes() {
        auto itKey = fake.keys.find(kszProductKey);
        if (itKey == fake.keys.end()) return {};
        auto itLevel = itKey->second.values.find("ServiceLevel");
        return itLevel == itKey->second.values.end() ? std::vector<unsigned char>{} : itLevel->second.abData;
    }

    // Runs and expects one error message, exit code 1, no command and no write.
    void ExpectRefusedWith(const char *szMessage) {
        const std::vector<unsigned char> abLevelBefore = LevelBytes();
        EXPECT_EQ(fake.Run(), 1);
        ASSERT_EQ(fake.messages.size(), 1u);
        EXPECT_EQ(fake.messages[0].strText, szMessage);
        EXPECT_EQ(fake.messages[0].strCaption, kszCaption);
        EXPECT_EQ(fake.messages[0].dwStyle, OSTREL_MB_ICONERROR);
        EXPECT_TRUE(fake.commands.empty());
        for (const std::string &strEvent : fake.events) {
            EXPECT_EQ(strEvent.find(" write"), std::string::npos) << strEvent;
            EXPECT_NE(strEvent.rfind("set ", 0), 0u) << strEvent;
        }
        EXPECT_EQ(LevelBytes(), abLevelBefore);
    }
};

TEST_F(OstrelRunTest, ReadsChecksRunsAndWritesInOrderWithEverySizeReset) {
    ExpectCompleteRun();
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
        "set ServiceLevel type 1 size 4",
        "close Software\\Quillar\\Brevane Server\\4.5",
    };
    EXPECT_EQ(fake.events, expected);
    EXPECT_TRUE(fake.OpenKeys().empty());
}

// The worked example: C:\Prod and C:\Prod\ give the same five command lines.
TEST_F(OstrelRunTest, WorkedExampleCommandLinesWithAndWithoutOverwrite) {
    const std::vector<std::string> withOverwrite = {
        "xcopy /E /I /Y Common \"C:\\Prod\\\"",     "xcopy /E /I /Y Pelo36 \"C:\\Prod\\\\Pelo36\"",
        "xcopy /E /I /Y MS60 \"C:\\Prod\\\\MSVC\"", "xcopy /E /I /Y NL1 \"C:\\Prod\\\"",
        "rmdir /S /Q \"C:\\Prod\\\\MS60\"",
    };
    const std::vector<std::string> withoutOverwrite = {
        "xcopy /E /I Common \"C:\\Prod\\\"",     "xcopy /E /I Pelo36 \"C:\\Prod\\\\Pelo36\"",
        "xcopy /E /I MS60 \"C:\\Prod\\\\MSVC\"", "xcopy /E /I NL1 \"C:\\Prod\\\"",
        "rmdir /S /Q \"C:\\Prod\\\\MS60\"",
    };
    for (const char *szDirectory : {"C:\\Prod", "C:\\Prod\\"}) {
        for (const char *szVersion : {"5.0", "4.0"}) {
            SCOPED_TRACE(std::string(szDirectory) + " on " + szVersion);
            FakeInstallerPlatform run;
            run.keys = fake.keys;
            run.SetText(kszProductKey, "InstallDir", szDirectory);
            run.SetText(kszVersionKey, "CurrentVersion", szVersion);
            EXPECT_EQ(run.Run(), 0);
            EXPECT_EQ(run.commands, std::string(szVersion) == "4.0" ? withoutOverwrite : withOverwrite);
        }
    }
}

TEST_F(OstrelRunTest, OnlyTheExactVersionText40LeavesOutOverwrite) {
    struct Case {
        const char *szVersion;
        bool bOverwrite;
    };
    for (const Case &c : {Case{"4.0", false}, Case{"5.0", true}, Case{"4.00", true}, Case{"3.51", true},
                          Case{"4.0 ", true}, Case{"6.1.760", true}}) {
        SCOPED_TRACE(c.szVersion);
        FakeInstallerPlatform run;
        run.keys = fake.keys;
        run.SetText(kszVersionKey, "CurrentVersion", c.szVersion);
        ASSERT_EQ(run.Run(), 0);
        ASSERT_EQ(run.commands.size(), 5u);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(run.commands[i].rfind(c.bOverwrite ? "xcopy /E /I /Y " : "xcopy /E /I ", 0), 0u)
                << run.commands[i];
        if (!c.bOverwrite) {
            EXPECT_EQ(run.commands[0].find("/Y"), std::string::npos);
        }
        EXPECT_EQ(run.commands[4], "rmdir /S /Q \"C:\\Prod\\\\MS60\"");
    }
}

// The backslash rule looks at the last byte only: 0x83 0x5C is one double-byte
// character in a Japanese code page, and it counts as ending in a backslash.
TEST_F(OstrelRunTest, DirectoryTextEndsInExactlyOneBackslash) {
    struct Case {
        std::string strValue, strDirectory;
    };
    for (const Case &c : {Case{"C:\\Prod", "C:\\Prod\\"}, Case{"C:\\Prod\\", "C:\\Prod\\"}, Case{"", "\\"},
                          Case{"C:\\\x83\x5C", "C:\\\x83\x5C"}}) {
        SCOPED_TRACE(c.strValue);
        FakeInstallerPlatform run;
        run.keys = fake.keys;
        run.SetText(kszProductKey, "InstallDir", c.strValue);
        ASSERT_EQ(run.Run(), 0);
        EXPECT_EQ(run.commands[0], "xcopy /E /I /Y Common \"" + c.strDirectory + "\"");
        EXPECT_EQ(run.commands[1], "xcopy /E /I /Y Pelo36 \"" + c.strDirectory + "\\Pelo36\"");
    }
}

TEST_F(OstrelRunTest, EmptyLanguageNameLeavesTwoBlanksBeforeTheTarget) {
    fake.SetText(kszProductKey, "Installed NLV", "");
    ExpectCompleteRun();
    EXPECT_EQ(fake.commands[3], "xcopy /E /I /Y  \"C:\\Prod\\\"");
}

TEST_F(OstrelRunTest, BlanksInTheLanguageNameReachXcopyAsSeparateArguments) {
    fake.SetText(kszProductKey, "Installed NLV", "NL1 /EXCLUDE:skip.txt");
    ExpectCompleteRun();
    EXPECT_EQ(fake.commands[3], "xcopy /E /I /Y NL1 /EXCLUDE:skip.txt \"C:\\Prod\\\"");
}

// 259 characters are the most a 260-byte query returns with the NUL; the
// appended backslash still fits, and command 4 with both longest texts is
// never cut.
TEST_F(OstrelRunTest, LongestValuesGiveCompleteCommandLines) {
    const std::string strDirectory = "C:\\" + std::string(256, 'd');
    const std::string strLanguage(259, 'n');
    ASSERT_EQ(strDirectory.size(), 259u);
    fake.SetText(kszProductKey, "InstallDir", strDirectory);
    fake.SetText(kszProductKey, "Installed NLV", strLanguage);
    for (const char *szVersion : {"5.0", "4.0"}) {
        SCOPED_TRACE(szVersion);
        FakeInstallerPlatform run;
        run.keys = fake.keys;
        run.SetText(kszVersionKey, "CurrentVersion", szVersion);
        ASSERT_EQ(run.Run(), 0);
        const std::string strSwitches = std::string(szVersion) == "4.0" ? "/E /I" : "/E /I /Y";
        EXPECT_EQ(run.commands[0], "xcopy " + strSwitches + " Common \"" + strDirectory + "\\\"");
        EXPECT_EQ(run.commands[3],
                  "xcopy " + strSwitches + " " + strLanguage + " \"" + strDirectory + "\\\"");
        EXPECT_EQ(run.commands[4], "rmdir /S /Q \"" + strDirectory + "\\\\MS60\"");
    }
}

TEST_F(OstrelRunTest, DirectoryOrLanguageOf260CharactersIsRefused) {
    fake.SetText(kszProductKey, "InstallDir", "C:\\" + std::string(257, 'd'));
    ExpectRefusedWith(kszMsgNoInstallDir);

    FakeInstallerPlatform run;
    run.keys = fake.keys;
    run.SetText(kszProductKey, "InstallDir", "C:\\Prod");
    run.SetText(kszProductKey, "Installed NLV", std::string(260, 'n'));
    EXPECT_EQ(run.Run(), 1);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].strText, kszMsgNoLanguage);
}

// The level is never looked at: any content of at most 4 bytes passes, and an
// installation already at level 4 or above is updated again.
TEST_F(OstrelRunTest, AnyServiceLevelOfAtMostFourBytesIsAcceptedAndReplaced) {
    struct Case {
        uint32_t dwType;
        std::string strBytes;
    };
    for (const Case &c :
         {Case{OSTREL_REG_SZ, std::string("4.1\0", 4)}, Case{OSTREL_REG_SZ, std::string("9\0", 2)},
          Case{kFakeRegDword, std::string("\x04\0\0\0", 4)},
          Case{kFakeRegDword, std::string("\x01\x02\x03\x04", 4)}, Case{OSTREL_REG_SZ, ""}}) {
        SCOPED_TRACE(c.strBytes);
        FakeInstallerPlatform run;
        run.keys = fake.keys;
        run.SetBytes(kszProductKey, "ServiceLevel", c.dwType, c.strBytes);
        ASSERT_EQ(run.Run(), 0);
        EXPECT_EQ(run.commands.size(), 5u);
        const FakeValue &level = run.keys[kszProductKey].values.at("ServiceLevel");
        EXPECT_EQ(level.dwType, OSTREL_REG_SZ);
        EXPECT_EQ(level.abData, (std::vector<unsigned char>{0x34, 0x00, 0x00, 0x00}));
    }
}

TEST_F(OstrelRunTest, SecondRunAcceptsTheWrittenLevel) {
    ExpectCompleteRun();
    FakeInstallerPlatform second;
    second.keys = fake.keys;
    EXPECT_EQ(second.Run(), 0);
    EXPECT_EQ(second.commands, fake.commands);
}

TEST_F(OstrelRunTest, ProductKeyThatDoesNotOpenForWritingIsLeftAloneSilently) {
    fake.keys[kszProductKey].bDenyWrite = true;
    EXPECT_EQ(fake.Run(), 0);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(fake.commands.size(), 5u);
    EXPECT_EQ(StoredLevel().abData, (std::vector<unsigned char>{'3', 0}));
    EXPECT_TRUE(fake.OpenKeys().empty());
}

// Each failed check: its message, exit code 1, no command, nothing written,
// and exactly the key that was open at that point left open.
struct FailureRow {
    const char *szName;
    void (*pfnBreak)(FakeInstallerPlatform &fake);
    const char *szMessage;
    const char *szKeyLeftOpen;
};

const FailureRow kaFailureRows[] = {
    {"NoProductKey", [](FakeInstallerPlatform &f) { f.keys.erase(kszProductKey); }, kszMsgNotInstalled,
     nullptr},
    {"ProductKeyReadDenied", [](FakeInstallerPlatform &f) { f.keys[kszProductKey].bDenyRead = true; },
     kszMsgNotInstalled, nullptr},
    {"NoInstallDir", [](FakeInstallerPlatform &f) { f.keys[kszProductKey].values.erase("InstallDir"); },
     kszMsgNoInstallDir, kszProductKey},
    {"NoLanguage", [](FakeInstallerPlatform &f) { f.keys[kszProductKey].values.erase("Installed NLV"); },
     kszMsgNoLanguage, kszProductKey},
    {"NoServiceLevel", [](FakeInstallerPlatform &f) { f.keys[kszProductKey].values.erase("ServiceLevel"); },
     kszMsgNoServiceLevel, kszProductKey},
    {"ServiceLevelOfFiveBytes",
     [](FakeInstallerPlatform &f) {
         f.SetBytes(kszProductKey, "ServiceLevel", OSTREL_REG_SZ, std::string("10.1\0", 5));
     },
     kszMsgNoServiceLevel, kszProductKey},
    {"NoVersionKey", [](FakeInstallerPlatform &f) { f.keys.erase(kszVersionKey); }, kszMsgNoVersionKey,
     nullptr},
    {"VersionKeyReadDenied", [](FakeInstallerPlatform &f) { f.keys[kszVersionKey].bDenyRead = true; },
     kszMsgNoVersionKey, nullptr},
    {"NoVersionValue", [](FakeInstallerPlatform &f) { f.keys[kszVersionKey].values.erase("CurrentVersion"); },
     kszMsgNoVersionValue, kszVersionKey},
    {"VersionOfEightCharacters",
     [](FakeInstallerPlatform &f) { f.SetText(kszVersionKey, "CurrentVersion", "10.0.190"); },
     kszMsgNoVersionValue, kszVersionKey},
};

class OstrelFailureTest : public OstrelRunTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(OstrelFailureTest, ShowsItsMessageAndEndsWithOne) {
    GetParam().pfnBreak(fake);
    ExpectRefusedWith(GetParam().szMessage);
    const std::vector<std::string> expectedOpen = GetParam().szKeyLeftOpen
                                                      ? std::vector<std::string>{GetParam().szKeyLeftOpen}
                                                      : std::vector<std::string>{};
    EXPECT_EQ(fake.OpenKeys(), expectedOpen);
}

INSTANTIATE_TEST_SUITE_P(FailureTable, OstrelFailureTest, ::testing::ValuesIn(kaFailureRows),
                         [](const ::testing::TestParamInfo<FailureRow> &info) { return info.param.szName; });

// Texts stored without a NUL are ended right after their last byte; one that
// fills the whole buffer without a NUL is a failed read, never read past.
TEST_F(OstrelRunTest, TextWithoutNulIsEndedAfterItsLastByte) {
    fake.SetBytes(kszProductKey, "InstallDir", OSTREL_REG_SZ, "C:\\Prod");
    fake.SetBytes(kszProductKey, "Installed NLV", OSTREL_REG_SZ, "NL1");
    fake.SetBytes(kszVersionKey, "CurrentVersion", OSTREL_REG_SZ, "4.0");
    ExpectCompleteRun();
    EXPECT_EQ(fake.commands[0], "xcopy /E /I Common \"C:\\Prod\\\"");
    EXPECT_EQ(fake.commands[3], "xcopy /E /I NL1 \"C:\\Prod\\\"");

    FakeInstallerPlatform run;
    run.keys = fake.keys;
    run.SetBytes(kszVersionKey, "CurrentVersion", OSTREL_REG_SZ, "6.1.760");
    EXPECT_EQ(run.Run(), 0);
    EXPECT_EQ(run.commands[0], "xcopy /E /I /Y Common \"C:\\Prod\\\"");
}

TEST_F(OstrelRunTest, DirectoryFillingItsBufferWithoutNulIsRefused) {
    fake.SetBytes(kszProductKey, "InstallDir", OSTREL_REG_SZ, "C:\\" + std::string(257, 'd'));
    ExpectRefusedWith(kszMsgNoInstallDir);
}

TEST_F(OstrelRunTest, LanguageFillingItsBufferWithoutNulIsRefused) {
    fake.SetBytes(kszProductKey, "Installed NLV", OSTREL_REG_SZ, std::string(260, 'n'));
    ExpectRefusedWith(kszMsgNoLanguage);
}

TEST_F(OstrelRunTest, VersionFillingItsBufferWithoutNulIsRefused) {
    fake.SetBytes(kszVersionKey, "CurrentVersion", OSTREL_REG_SZ, "10.0.190");
    ExpectRefusedWith(kszMsgNoVersionValue);
}

TEST_F(OstrelRunTest, DirectoryWithDoubleQuoteIsRefused) {
    fake.SetText(kszProductKey, "InstallDir", "C:\\Prod\" & del /Q C:\\*.* & \"");
    ExpectRefusedWith(kszMsgNoInstallDir);
}

TEST_F(OstrelRunTest, LanguageWithInterpreterCharacterIsRefused) {
    for (char chUnsafe : std::string("\"&|<>^%")) {
        SCOPED_TRACE(std::string(1, chUnsafe));
        FakeInstallerPlatform run;
        run.keys = fake.keys;
        run.SetText(kszProductKey, "Installed NLV", std::string("NL1 ") + chUnsafe + " echo x");
        EXPECT_EQ(run.Run(), 1);
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0].strText, kszMsgNoLanguage);
        EXPECT_TRUE(run.commands.empty());
        EXPECT_EQ(run.keys[kszProductKey].values.at("ServiceLevel").abData,
                  (std::vector<unsigned char>{'3', 0}));
    }
}

}  // namespace
