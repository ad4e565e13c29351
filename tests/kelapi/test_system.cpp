// Host systems over the fake seam (who owns the connection, the identity a
// system reports; their failures and refusals are in test_session.cpp), and
// the helpers: addresses, byte order, field copies, result texts, the
// reason of the last failure and the process default time-out.
#include <cstring>
#include <set>

#include "fake_session.h"
#include "kelapi_address.h"
#include "seam_test.h"

namespace {

class HostSystem : public SeamTest {};

// The identity comes from the connection the system holds now: all 92
// bytes, with no traffic, the marker byte cleared, the description's tail
// and bytes 89-91 zero; kept after a disconnect, zero from a connection that
// never connected. The system frees what it holds then, connected or not;
// the connection it held before is the caller's.
TEST_F(HostSystem, InfoAndOwnershipGoWithTheConnectionItHoldsNow) {
    ScriptReceive(Concat({IdentifyReply(), LogonReply(), WireRecord(Record(KEL_RSP_DISCONNECT))}));
    HKELHOXSYSTEM hSystem = nullptr;
    HKELCONNECTION hOld = nullptr, hNever = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocHoxSystem(1, 0, "demo", "secret", nullptr, &hSystem));
    ASSERT_EQ(KEL_OK, KelGetConnection(hSystem, &hOld));
    const KelSystemInfo sound = {0x00000001u, 0x00020003u, "test host", 0x5A, {0, 0, 0}}, none = {};
    for (int nStep = 0; nStep < 3; ++nStep) {
        SCOPED_TRACE(nStep);
        if (nStep == 1) {
            ASSERT_EQ(KEL_OK, KelDisconnect(hOld));
        } else if (nStep == 2) {
            ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &hNever));
            ASSERT_EQ(KEL_OK, KelSetConnection(hSystem, hNever));
        }
        KelSystemInfo info;
        memset(&info, 0xA5, sizeof info);
        size_t nSends = g_Fake.sends.size();
        ASSERT_EQ(KEL_OK, KelGetSystemInfo(hSystem, &info));
        EXPECT_EQ(nSends, g_Fake.sends.size());
        EXPECT_EQ(0, memcmp(nStep < 2 ? &sound : &none, &info, sizeof info));
    }
    TraceCapture trace;
    EXPECT_EQ(KEL_OK, KelFreeHoxSystem(hSystem));
    EXPECT_EQ(std::vector<int>{KEL_ERR_NOT_CONNECTED}, trace.ErrorCodes());
    EXPECT_EQ(1, g_Fake.nLiveBlocks);
    EXPECT_EQ(KEL_OK, KelFreeConnection(hOld));
}

// ---- Address helpers: the real conversions and name lookup behind the fake clock and heap

class Address : public SeamTest {
protected:
    // The fixture counts the library as started without the real sockets
    // start-up, which the real lookup needs on Windows.
    void SetUp() override {
        SeamTest::SetUp();
        ASSERT_EQ(0, KelPlatformDefaults().pfnStartup());
    }
};

Bytes MemoryBytes(uint32_t dwValue) {
    Bytes bytes(4);
    memcpy(bytes.data(), &dwValue, 4);
    return bytes;
}

// 255.255.255.255 is the conversion's "no address": 0 like any other failure.
TEST_F(Address, TextAndNamesGiveTheAddressInNetworkOrderOrZero) {
    EXPECT_EQ((Bytes{10, 0, 0, 1}), MemoryBytes(KelStrToIP("10.0.0.1")));
    EXPECT_EQ((Bytes{127, 0, 0, 1}), MemoryBytes(KelHostNameToIP("127.0.0.1")));
    EXPECT_EQ(127, MemoryBytes(KelHostNameToIP("localhost"))[0]);
    for (const char *szText : {"255.255.255.255", "not.an.address", "0.0.0.0", (const char *)nullptr})
        EXPECT_EQ(0u, KelStrToIP(szText)) << (szText ? szText : "null");
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    EXPECT_EQ(0u, KelHostNameToIP("no-such-host.invalid"));
}

// The text fills the caller's 16 bytes, NUL-padded, and nothing past them;
// without a text from the platform the buffer stays as it was.
TEST_F(Address, IPToStrFillsTheCallersSixteenBytes) {
    const struct {
        uint32_t dwIP;
        const char *szText;
    } cases[] = {{0x0100000Au, "10.0.0.1"},
                 {0xFEFFFFFFu, "255.255.255.254"},
                 {0xFFFFFFFFu, "255.255.255.255"},
                 {1, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szText ? c.szText : "no text");
        if (!c.szText)
            g_KelPlatform.pfnInetNtoa = [](uint32_t, char szText[16]) {
                strcpy(szText, "garbage");
                return -1;
            };
        char szBuffer[20];
        memset(szBuffer, 'x', sizeof szBuffer);
        TraceCapture trace;
        EXPECT_EQ(c.szText ? KEL_OK : KEL_ERR_SYSTEM, KelIPToStr(c.dwIP, szBuffer));
        const std::string text = c.szText ? c.szText : "";
        EXPECT_EQ(c.szText ? text + std::string(16 - text.size(), '\0') + "xxxx" : std::string(20, 'x'),
                  std::string(szBuffer, 20));
        EXPECT_EQ(c.szText ? std::vector<int>() : std::vector<int>{KEL_ERR_SYSTEM}, trace.ErrorCodes());
    }
}

TEST(ByteOrder, DwordsAndWordsAreReversedEitherWay) {
    const uint32_t adwPairs[][2] = {{0x11223344u, 0x44332211u},
                                    {0u, 0u},
                                    {0x80000000u, 0x00000080u},
                                    {0x0100007Fu, 0x7F000001u},
                                    {0xDEADBEEFu, 0xEFBEADDEu}};
    for (const auto &pair : adwPairs) {
        EXPECT_EQ(pair[1], KelDwordToNet(pair[0]));
        EXPECT_EQ(pair[1], KelDwordToHost(pair[0]));
        EXPECT_EQ(BE32(pair[0]), MemoryBytes(KelDwordToNet(pair[0]))) << "network order in memory here";
    }
    const uint16_t awPairs[][2] = {{0x1234, 0x3412}, {0xFF00, 0x00FF}, {0x0B4D, 0x4D0B}, {0xFFFF, 0xFFFF}};
    for (const auto &pair : awPairs) {
        EXPECT_EQ(pair[1], KelWordToNet(pair[0]));
        EXPECT_EQ(pair[1], KelWordToHost(pair[0]));
    }
}

// Like strncpy under both names: a full field gets no NUL, no code page is translated.
TEST(FieldCopy, CopiesLikeStrncpy) {
    const struct {
        const char *szSource;
        uint32_t nCount;
        const char *szField;  // 10 bytes
    } cases[] = {{"abc", 8, "abc\0\0\0\0\0##"},
                 {"abcdefgh", 8, "abcdefgh##"},
                 {"abcdefghij", 8, "abcdefgh##"},
                 {"abc", 0, "##########"},
                 {"\xE4\xF6\xFC", 4, "\xE4\xF6\xFC\0######"}};
    for (const auto &c : cases) {
        for (auto pfnCopy : {KelStrCopyToNetCP, KelStrCopyToHostCP}) {
            char abField[10];
            memset(abField, '#', sizeof abField);
            EXPECT_EQ(abField, pfnCopy(abField, c.szSource, c.nCount));
            EXPECT_EQ(std::string(c.szField, 10), std::string(abField, 10)) << c.szSource << ", " << c.nCount;
        }
    }
}

// Every code a function can return has a sentence of its own; any other
// value shares one text. The host's codes say that the host refused.
TEST(ResultText, EveryCodeHasItsOwnSentenceAndOthersShareOne) {
    const std::string sUnknown = KelResultText(-1);
    std::set<std::string> seen;
    for (int32_t nCode :
         {0, 1, 3, 4, 5, 100, 101, 102, 104, 105, 106, 107, 108, 109, 200, 201, 202, 203, 204, 205}) {
        SCOPED_TRACE(nCode);
        const std::string sText = KelResultText(nCode);
        EXPECT_TRUE(seen.insert(sText).second) << sText;
        EXPECT_NE(sUnknown, sText);
        EXPECT_EQ('.', sText.back());
        bool bHostCode = (nCode >= 104 && nCode <= 108 && nCode != 105) || nCode >= 200;
        EXPECT_EQ(bHostCode, sText.find("The host refused") == 0) << sText;
    }
    EXPECT_NE(std::string::npos, std::string(KelResultText(106)).find("0x00010002"));
    for (int32_t nOther : {2, 103, -1, 110, 206, 0x7FFFFFFF}) EXPECT_EQ(sUnknown, KelResultText(nOther));
}

// The reason is cut to the caller's buffer and always ends with a NUL; a
// zero size writes nothing, a null buffer is refused. Reading it writes no
// trace line and leaves it as it was.
TEST_F(HostSystem, ErrorTextIsCutToTheCallersBuffer) {
    const struct {
        uint32_t dwSize;
        std::string text;  // the 8 bytes the caller's buffer holds afterwards
    } cases[] = {{0, "########"},
                 {1, std::string("\0#######", 8)},
                 {4, std::string("abc\0####", 8)},
                 {7, std::string("abcdef\0#", 8)},
                 {8, std::string("abcdef\0#", 8)}};
    PlantReason("abcdef");
    TraceCapture trace;
    for (const auto &c : cases) {
        char szText[8];
        memset(szText, '#', sizeof szText);
        EXPECT_EQ(KEL_OK, KelGetErrorText(szText, c.dwSize));
        EXPECT_EQ(c.text, std::string(szText, 8)) << c.dwSize;
    }
    EXPECT_EQ(KEL_ERR_PARAM, KelGetErrorText(nullptr, 8));
    EXPECT_EQ("abcdef", Reason());
    EXPECT_TRUE(trace.Lines().empty());
}

// Addresses as the trace and the reasons show them: zeros compressed as
// RFC 5952 writes them, IPv6 in brackets; the host text for the resolver
// without its brackets, for a reason with them.
TEST(AddressText, AddressesAndHostsAreWrittenAsUsersWriteThem) {
    const struct {
        KelAddress address;
        const char *szText;
    } cases[] = {
        {V4(10, 0, 0, 1), "10.0.0.1:2893"},
        {V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "[::1]:2893"},
        {V6({}), "[::]:2893"},
        {V6({0, 1}), "[1::]:2893"},
        {V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "[2001:db8::1]:2893"},
        {V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}), "[2001:db8::1:0:0:1]:2893"},
        {V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}), "[2001:db8:0:1:1:1:1:1]:2893"},
        {V6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 3), "[fe80::1%3]:2893"},
        {V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}), "[::ffff:192.0.2.1]:2893"},
    };
    for (const auto &c : cases) {
        char szText[KEL_ADDRESS_TEXT_SIZE];
        KelFormatAddress(&c.address, 2893, szText, sizeof szText);
        EXPECT_STREQ(c.szText, szText);
    }
    const struct {
        const char *szHost, *szResolved, *szShown;
    } hosts[] = {{"[::1]", "::1", "[::1]:5"},
                 {"::1", "::1", "[::1]:5"},
                 {"host1.example", "host1.example", "host1.example:5"},
                 {"[::1", "[::1", "[::1:5"}};
    for (const auto &c : hosts) {
        char szName[KEL_HOST_SIZE], szShown[KEL_HOST_SIZE + 8];
        KelHostForResolver(c.szHost, szName, sizeof szName);
        KelFormatHostPort(c.szHost, 5, szShown, sizeof szShown);
        EXPECT_STREQ(c.szResolved, szName);
        EXPECT_STREQ(c.szShown, szShown);
    }
}

// The process default time-out takes a whole number of milliseconds and nothing else.
TEST(DefaultTimeout, OnlyAWholeNumberFromOneToTheLargestIntCounts) {
    EXPECT_EQ(200u, KelTimeoutFromText("200"));
    EXPECT_EQ(1u, KelTimeoutFromText("1"));
    EXPECT_EQ(7u, KelTimeoutFromText("007"));
    EXPECT_EQ(2147483647u, KelTimeoutFromText("2147483647"));
    for (const char *szText :
         {"2147483648", "99999999999999999999", "0", "", "-5", "+5", " 200", "200 ", "12x"})
        EXPECT_EQ(0u, KelTimeoutFromText(szText)) << "'" << szText << "'";
}

}  // namespace
