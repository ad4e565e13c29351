// The trace: line format, the cost of a switched-off trace, 64-bit handles,
// the start-up and its lines, and the per-thread random source and real
// local time that the start-up and the time stamp use.
#include <cstdio>
#include <thread>
#include <utility>

#include "seam_test.h"

namespace {

class Trace : public SeamTest {};

TEST_F(Trace, LineIsTimeStampModuleLineAndTextWithValuesInDecimalAndHexCutAt399) {
    TraceCapture trace;
    KelTraceMsg("hello", "KelConct", 42);
    KelTraceVal("v = ", 255, "KelUtils", 7);
    KelTraceVal("v = ", 0xFFFFFFFFu, "KelUtils", 8);
    KelTraceStr("s = ", "text", "KelSystm", 9);
    EXPECT_EQ(109, KelTraceErr(109, "KelConct", 10));
    const std::string sLong(1000, 'x'), stamp = "08:05:09  03.01.2000 - ";
    KelTraceStr("s = ", sLong.c_str(), "KelConct", 1);
    EXPECT_EQ((std::vector<std::string>{
                  stamp + "KelConct at 42:  hello", stamp + "KelUtils at 7:  v =  255 (0x000000FF)",
                  stamp + "KelUtils at 8:  v =  -1 (0xFFFFFFFF)", stamp + "KelSystm at 9:  s =  text",
                  stamp + "KelConct at 10:  Error: 109 (0x0000006D)",
                  (stamp + "KelConct at 1:  s =  " + sLong).substr(0, 399)}),
              trace.Lines());
}

TEST_F(Trace, SwitchedOffCostsNoClockReadAndNoCall) {
    TraceCapture trace;
    bKelTraceOn = 0;
    EXPECT_EQ(5, KelTraceErr(5, "KelConct", 1));
    KelTraceMsg("x", "KelConct", 1);
    bKelTraceOn = 1;
    fKelTraceFunc = nullptr;
    EXPECT_EQ(101, KelTraceErr(101, "KelConct", 1));
    KelTraceVal("x", 1, "KelConct", 1);
    EXPECT_EQ(0, g_Fake.nTimeReads);
    EXPECT_TRUE(trace.Lines().empty());
}

// A record handed out once by the seam's allocator, at an address of the test's choosing.
void *g_lpFixedRecord = nullptr;

// A 64-bit handle or socket shows its low 32 bits; the library keeps and uses
// the whole value. Where no memory can be had at such an address (a 32-bit
// process, the thread sanitizer, a range already taken) only the socket lines
// and the conversion are checked.
TEST_F(Trace, HandlesAndSocketsAbove4GiBShowTheirLow32Bits) {
    const struct {
        uint64_t qwValue;
        const char *szShown;
    } cases[] = {{0x0000001000010000ull, "65536 (0x00010000)"},
                 {0x00000012F0000000ull, "-268435456 (0xF0000000)"},
                 {0x0000123400000000ull, "0 (0x00000000)"}};
    const size_t nBlock = 0x10000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szShown);
        InstallFakePlatform();
        TraceCapture trace;
        HKELCONNECTION hCon = nullptr;
        ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &hCon));
        g_Fake.hNextSocket = (KelSocket)c.qwValue;
        g_Fake.connectFail.nFailAt = 1;
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(hCon));
        EXPECT_TRUE(trace.Has(std::string("KelConnect hSocket =  ") + c.szShown));
        EXPECT_EQ(std::vector<KelSocket>{(KelSocket)c.qwValue}, g_Fake.closed);
        EXPECT_EQ(KEL_OK, KelFreeConnection(hCon));

        void *lpBlock = MapFixedBlock(c.qwValue, nBlock);
        if (!lpBlock) {
            std::printf("no memory at 0x%llx here: handle lines not checked\n",
                        (unsigned long long)c.qwValue);
            EXPECT_EQ((uint32_t)c.qwValue, KelTraceHandle(reinterpret_cast<void *>((uintptr_t)c.qwValue)));
            continue;
        }
        g_lpFixedRecord = lpBlock;
        g_KelPlatform.pfnAlloc = [](size_t) { return std::exchange(g_lpFixedRecord, nullptr); };
        g_KelPlatform.pfnFree = [](void *) {};
        ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &hCon));
        EXPECT_EQ(lpBlock, hCon);
        EXPECT_EQ(KEL_OK, KelLock(hCon));
        EXPECT_EQ(KEL_OK, KelFreeConnection(hCon));
        for (const char *szLine :
             {"KelAllocConnection lpCon =  ", "KelLock hConnection =  ", "KelFreeConnection hConnection =  "})
            EXPECT_TRUE(trace.Has(szLine + std::string(c.szShown))) << szLine;
        UnmapFixedBlock(lpBlock, nBlock);
    }
}

// Neither a refused allocation nor the address conversions start the
// library; the first allocation does, and a failed start-up (its rc line is
// its only trace) is tried again by the next trigger, a lookup of even a null name.
TEST_F(Trace, StartUpRunsOnceOnTheFirstAllocationOrLookupAndAgainAfterAFailure) {
    g_dwKelStarted = 0;
    g_Fake.nStartupResult = 10091;
    HKELCONNECTION h1 = nullptr, h2 = nullptr;
    char szText[16];
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocConnection(1, 0, nullptr, "p", nullptr, &h1));
    EXPECT_EQ(KEL_OK, KelIPToStr(KelStrToIP("10.0.0.1"), szText));
    EXPECT_EQ(0, g_Fake.nStartupCalls);
    {
        TraceCapture trace;
        ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h1));
        std::vector<std::string> texts = trace.Texts();
        ASSERT_EQ(4u, texts.size());
        EXPECT_EQ((std::vector<std::string>{"KelAllocConnection dwIP =  1 (0x00000001)", "KelInitialize",
                                            "  WSAStartup rc =  10091 (0x0000276B)"}),
                  std::vector<std::string>(texts.begin(), texts.begin() + 3));
        EXPECT_EQ(0u, texts[3].rfind("KelAllocConnection lpCon =  ", 0));
    }
    EXPECT_EQ(0u, g_dwKelStarted.load());
    EXPECT_EQ(0, g_Fake.nSeedCalls);
    g_Fake.nStartupResult = 0;
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h2));
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    EXPECT_EQ(2, g_Fake.nStartupCalls);
    EXPECT_EQ(1, g_Fake.nSeedCalls);
    EXPECT_EQ((uint32_t)g_Fake.nNow, g_Fake.dwSeed);
    EXPECT_EQ(0xFFFFFFFFu, g_dwKelStarted.load());
    EXPECT_EQ(KEL_OK, KelFreeConnection(h1));
    EXPECT_EQ(KEL_OK, KelFreeConnection(h2));
}

TEST(TraceRandom, StateIsPerThreadAndUnseededThreadsStartFromOne) {
    KelSeedRandomDefault(12345);
    uint32_t dwMain = KelRandomDefault(), dwOther = 0, dwSeededOne = 0;
    std::thread([&] { dwOther = KelRandomDefault(); }).join();
    std::thread([&] {
        KelSeedRandomDefault(1);
        dwSeededOne = KelRandomDefault();
    }).join();
    EXPECT_EQ(dwSeededOne, dwOther);
    KelSeedRandomDefault(12345);
    EXPECT_EQ(dwMain, KelRandomDefault());
}

// Noon UTC on 15 June 2000 is 15 June 2000 in every time zone.
TEST(TraceClock, RealLocalTimeGivesMonthFromOneAndFourDigitYear) {
    KelLocalTime local = {};
    ASSERT_EQ(0, KelPlatformDefaults().pfnLocalTime(961070400, &local));
    EXPECT_EQ(2000, local.nYear);
    EXPECT_EQ(6, local.nMonth);
    EXPECT_EQ(15, local.nDay);
}

}  // namespace
