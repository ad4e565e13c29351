// The address helpers (real conversions and name lookup behind the fake
// seam's clock and heap) and the byte-order and fixed-field copy helpers.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "fake_platform.h"

namespace {

// The fixture counts the library as started without the real sockets start-up,
// which the real lookup needs on Windows: do it here (it is counted there).
class Address : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        ASSERT_EQ(0, KelPlatformDefaults().pfnStartup());
    }
};

Bytes MemoryBytes(uint32_t dwValue) {
    Bytes bytes(4);
    memcpy(bytes.data(), &dwValue, 4);
    return bytes;
}

// A trace body without its "module at line:  " part.
std::string Text(const std::string &sBody) {
    size_t nAt = sBody.find(":  ");
    return nAt == std::string::npos ? sBody : sBody.substr(nAt + 3);
}

std::vector<std::string> Texts(const TraceCapture &trace) {
    std::vector<std::string> texts;
    for (const std::string &sBody : trace.Bodies()) texts.push_back(Text(sBody));
    return texts;
}

// The text fills the caller's 16 bytes, NUL-padded, and nothing past them.
TEST_F(Address, DottedTextRoundTrip) {
    for (const char *szAddress : {"10.0.0.1", "255.255.255.254"}) {
        SCOPED_TRACE(szAddress);
        TraceCapture trace;
        uint32_t dwIP = KelStrToIP(szAddress);
        char szText[20];
        memset(szText, 'x', sizeof szText);
        ASSERT_EQ(KEL_OK, KelIPToStr(dwIP, szText));
        EXPECT_EQ(std::string(szAddress) + std::string(16 - strlen(szAddress), '\0') + "xxxx",
                  std::string(szText, 20));
        char szHex[16];
        snprintf(szHex, sizeof szHex, "(0x%08X)", (unsigned)dwIP);
        const std::string sValue = std::to_string((int32_t)dwIP) + " " + szHex;
        EXPECT_EQ((std::vector<std::string>{std::string("KelStrToIP szString =  ") + szAddress,
                                            "  dwIP =  " + sValue, "KelIPToStr dwIP =  " + sValue,
                                            std::string("  szString =  ") + szAddress}),
                  Texts(trace));
        for (const std::string &sBody : trace.Bodies()) EXPECT_EQ(0u, sBody.find("KelConct at "));
    }
    EXPECT_EQ((Bytes{10, 0, 0, 1}), MemoryBytes(KelStrToIP("10.0.0.1")));
    char szText[17] = {0};
    ASSERT_EQ(KEL_OK, KelIPToStr(0xFFFFFFFFu, szText));
    EXPECT_STREQ("255.255.255.255", szText);
}

// 255.255.255.255 is the conversion's "no address": 0 like any other failure.
TEST_F(Address, TextThatIsNoUsableAddressGivesZero) {
    TraceCapture trace;
    EXPECT_EQ(0u, KelStrToIP("255.255.255.255"));
    EXPECT_EQ(
        (std::vector<std::string>{"KelStrToIP szString =  255.255.255.255", "  dwIP =  -1 (0xFFFFFFFF)"}),
        Texts(trace));
    EXPECT_EQ(0u, KelStrToIP("not.an.address"));
    EXPECT_EQ(0u, KelStrToIP("0.0.0.0"));
    EXPECT_EQ(0u, KelStrToIP(nullptr));
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    EXPECT_EQ(6u, trace.Lines().size()) << "two lines for each text, none for a null one";
    EXPECT_TRUE(trace.ErrorCodes().empty());
}

TEST_F(Address, PlatformWithoutTextGives3AndLeavesTheBuffer) {
    g_KelPlatform.pfnInetNtoa = [](uint32_t, char szText[16]) {
        memcpy(szText, "garbage", 8);
        return -1;
    };
    char szText[16];
    memset(szText, 'x', sizeof szText);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_SYSTEM, KelIPToStr(0x0100000A, szText));
    EXPECT_EQ(std::string(16, 'x'), std::string(szText, 16));
    EXPECT_EQ(std::vector<int>{KEL_ERR_SYSTEM}, trace.ErrorCodes());
}

TEST_F(Address, UnknownHostGivesZeroWithTheEntryLineOnly) {
    TraceCapture trace;
    EXPECT_EQ(0u, KelHostNameToIP("no-such-host.invalid"));
    EXPECT_EQ(std::vector<std::string>{"KelHostNameToIP szString =  no-such-host.invalid"}, Texts(trace));
}

TEST_F(Address, KnownNamesGiveTheirAddress) {
    TraceCapture trace;
    uint32_t dwIP = KelHostNameToIP("127.0.0.1");
    EXPECT_EQ((Bytes{127, 0, 0, 1}), MemoryBytes(dwIP));
    std::vector<std::string> texts = Texts(trace);
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ("KelHostNameToIP szString =  127.0.0.1", texts[0]);
    EXPECT_EQ("  dwIP =  16777343 (0x0100007F)", texts[1]);

    EXPECT_EQ(127, MemoryBytes(KelHostNameToIP("localhost"))[0]);
}

TEST(ByteOrder, DwordsAreReversedAndComeBack) {
    EXPECT_EQ(0x44332211u, KelDwordToNet(0x11223344u));
    EXPECT_EQ(0x44332211u, KelDwordToHost(0x11223344u));
    for (uint32_t dwValue : {0u, 1u, 0x80000000u, 0x0100007Fu, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(dwValue, KelDwordToHost(KelDwordToNet(dwValue)));
        Bytes wire = MemoryBytes(KelDwordToNet(dwValue));
        EXPECT_EQ((Bytes{(uint8_t)(dwValue >> 24), (uint8_t)(dwValue >> 16), (uint8_t)(dwValue >> 8),
                         (uint8_t)dwValue}),
                  wire)
            << "network order in memory on this little-endian machine";
    }
}

TEST(ByteOrder, WordsSwapAndComeBack) {
    EXPECT_EQ(0x3412, KelWordToNet(0x1234));
    EXPECT_EQ(0x3412, KelWordToHost(0x1234));
    uint32_t dwWide = KelWordToNet(0xFF00);
    EXPECT_EQ(0x000000FFu, dwWide);
    for (uint16_t wValue : {0, 1, 0x00FF, 0x0B4D, 0xFFFF})
        EXPECT_EQ(wValue, KelWordToHost(KelWordToNet(wValue)));
}

TEST(FieldCopy, CopiesLikeStrncpy) {
    char abField[10];
    memset(abField, '#', sizeof abField);
    EXPECT_EQ(abField, KelStrCopyToNetCP(abField, "abc", 8));
    EXPECT_EQ(0, memcmp(abField, "abc\0\0\0\0\0##", 10));

    memset(abField, '#', sizeof abField);
    EXPECT_EQ(abField, KelStrCopyToHostCP(abField, "abcdefgh", 8));
    EXPECT_EQ(0, memcmp(abField, "abcdefgh##", 10)) << "a full field gets no NUL";

    memset(abField, '#', sizeof abField);
    EXPECT_EQ(abField, KelStrCopyToNetCP(abField, "abcdefghij", 8));
    EXPECT_EQ(0, memcmp(abField, "abcdefgh##", 10));

    memset(abField, '#', sizeof abField);
    EXPECT_EQ(abField, KelStrCopyToHostCP(abField, "abc", 0));
    EXPECT_EQ(std::string(10, '#'), std::string(abField, 10));

    const char szHigh[] = "\xE4\xF6\xFC";
    memset(abField, '#', sizeof abField);
    KelStrCopyToNetCP(abField, szHigh, 4);
    EXPECT_EQ(0, memcmp(abField, "\xE4\xF6\xFC\0##", 6)) << "no code-page translation";
}

// Every code a function can return has a sentence of its own; any other
// value shares one text. The host's codes say that the host refused.
TEST(ResultText, EveryCodeHasItsOwnSentenceAndOthersShareOne) {
    const int32_t anCodes[] = {0,   1,   3,   4,   5,   100, 101, 102, 104, 105,
                               106, 107, 108, 109, 200, 201, 202, 203, 204, 205};
    const std::string sUnknown = KelResultText(-1);
    std::set<std::string> seen;
    for (int32_t nCode : anCodes) {
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

}  // namespace
