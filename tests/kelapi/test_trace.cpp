// The trace: line format, the cost of a switched-off trace, start-up lines
// and the chain of "Error:" lines.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "fake_platform.h"

namespace {

class Trace : public FakePlatformTest {};

TEST_F(Trace, LineStartsWithLocalTimeStampAndModule) {
    TraceCapture trace;
    KelTraceMsg("hello", "KelConct", 42);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ("08:05:09  03.01.2000 - KelConct at 42:  hello", trace.Lines()[0]);
}

TEST_F(Trace, ValuesShowAsSignedDecimalAndEightHexDigits) {
    TraceCapture trace;
    KelTraceVal("v = ", 255, "KelUtils", 7);
    KelTraceVal("v = ", 0xFFFFFFFFu, "KelUtils", 8);
    KelTraceStr("s = ", "text", "KelSystm", 9);
    int32_t nCode = KelTraceErr(109, "KelConct", 10);
    EXPECT_EQ(109, nCode);
    std::vector<std::string> bodies = trace.Bodies();
    ASSERT_EQ(4u, bodies.size());
    EXPECT_EQ("KelUtils at 7:  v =  255 (0x000000FF)", bodies[0]);
    EXPECT_EQ("KelUtils at 8:  v =  -1 (0xFFFFFFFF)", bodies[1]);
    EXPECT_EQ("KelSystm at 9:  s =  text", bodies[2]);
    EXPECT_EQ("KelConct at 10:  Error: 109 (0x0000006D)", bodies[3]);
}

TEST_F(Trace, OverlongLineIsCutAt399Characters) {
    TraceCapture trace;
    std::string sLong(1000, 'x');
    KelTraceStr("KelStrToIP szString = ", sLong.c_str(), "KelConct", 1);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ(399u, trace.Lines()[0].size());
    EXPECT_EQ('x', trace.Lines()[0].back());
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
void *FixedRecordAlloc(size_t) { return std::exchange(g_lpFixedRecord, nullptr); }
void FixedRecordFree(void *) {}

bool HasBody(const TraceCapture &trace, const std::string &body) {
    std::vector<std::string> bodies = trace.Bodies();
    return std::any_of(bodies.begin(), bodies.end(),
                       [&](const std::string &line) { return line.find(body) != std::string::npos; });
}

// A 64-bit handle or socket shows its low 32 bits; the library keeps and uses
// the whole value. Where no memory can be had at such an address (a 32-bit
// process, a range already taken) only the conversion is checked.
TEST_F(Trace, HandlesAndSocketsAbove4GiBShowTheirLow32Bits) {
    const struct {
        uint64_t qwValue;
        const char *szShown;
    } cases[] = {{0x0000001000010000ull, "65536 (0x00010000)"},
                 {0x00000012F0000000ull, "-268435456 (0xF0000000)"},
                 {0x0000123400000000ull, "0 (0x00000000)"}};
    const size_t nBlock = 0x10000;
    int nMapped = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szShown);
        InstallFakePlatform();
        TraceCapture trace;
        HKELCONNECTION h = nullptr;
        ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h));
        g_Fake.hNextSocket = (KelSocket)c.qwValue;
        g_Fake.connectFail.nFailAt = 1;
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
        EXPECT_TRUE(HasBody(trace, std::string("KelConnect hSocket =  ") + c.szShown));
        EXPECT_EQ(std::vector<KelSocket>{(KelSocket)c.qwValue}, g_Fake.closed);
        g_Fake.closed.clear();
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));

        void *lpBlock = MapFixedBlock(c.qwValue, nBlock);
        if (!lpBlock) {
            EXPECT_EQ((uint32_t)c.qwValue, KelTraceHandle(reinterpret_cast<void *>((uintptr_t)c.qwValue)));
            continue;
        }
        ++nMapped;
        g_lpFixedRecord = lpBlock;
        g_KelPlatform.pfnAlloc = FixedRecordAlloc;
        g_KelPlatform.pfnFree = FixedRecordFree;
        ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h));
        EXPECT_EQ(lpBlock, h);
        EXPECT_EQ(KEL_OK, KelLock(h));
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        EXPECT_TRUE(HasBody(trace, std::string("KelAllocConnection lpCon =  ") + c.szShown));
        EXPECT_TRUE(HasBody(trace, std::string("KelLock hConnection =  ") + c.szShown));
        EXPECT_TRUE(HasBody(trace, std::string("KelFreeConnection hConnection =  ") + c.szShown));
        UnmapFixedBlock(lpBlock, nBlock);
    }
    // Where no memory above 4 GiB can be had (32-bit processes, the thread
    // sanitizer), the socket lines and the conversion were checked alone.
    if (!nMapped) std::printf("no memory above 4 GiB here: handle lines not checked\n");
}

class StartUp : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        g_dwKelStarted = 0;
    }
    void TearDown() override {
        g_dwKelStarted = 0xFFFFFFFFu;
        FakePlatformTest::TearDown();
    }
};

TEST_F(StartUp, FirstAllocationStartsTheLibraryOnce) {
    TraceCapture trace;
    HKELCONNECTION h1 = nullptr, h2 = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h1));
    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h2));
    std::vector<std::string> bodies = trace.Bodies();
    ASSERT_EQ(6u, bodies.size());
    EXPECT_NE(std::string::npos, bodies[0].find("KelAllocConnection dwIP = "));
    EXPECT_NE(std::string::npos, bodies[1].find(":  KelInitialize"));
    EXPECT_NE(std::string::npos, bodies[2].find(":    WSAStartup rc =  0 (0x00000000)"));
    EXPECT_NE(std::string::npos, bodies[3].find("KelAllocConnection lpCon = "));
    EXPECT_NE(std::string::npos, bodies[4].find("KelAllocConnection dwIP = "));
    EXPECT_NE(std::string::npos, bodies[5].find("KelAllocConnection lpCon = "));
    EXPECT_EQ(1, g_Fake.nStartupCalls);
    EXPECT_EQ(1, g_Fake.nSeedCalls);
    EXPECT_EQ((uint32_t)g_Fake.nNow, g_Fake.dwSeed);
    KelFreeConnection(h1);
    KelFreeConnection(h2);
}

TEST_F(StartUp, FailedStartUpIsRetriedByTheNextCall) {
    g_Fake.nStartupResult = 10091;
    TraceCapture trace;
    HKELCONNECTION h = nullptr;
    EXPECT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h));
    EXPECT_NE(nullptr, h);
    EXPECT_EQ(0u, g_dwKelStarted.load());
    EXPECT_TRUE(trace.ErrorCodes().empty());  // the rc line is the only trace of it
    EXPECT_EQ(0, g_Fake.nSeedCalls);
    g_Fake.nStartupResult = 0;
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    EXPECT_EQ(2, g_Fake.nStartupCalls);
    EXPECT_EQ(0xFFFFFFFFu, g_dwKelStarted.load());
    KelFreeConnection(h);
}

// Only an allocation that passes its checks and a name lookup, even of a
// null name, start the library.
TEST_F(StartUp, OnlyAnAllocationOrANameLookupStartsTheLibrary) {
    HKELCONNECTION h = nullptr;
    char szText[16];
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocConnection(1, 0, nullptr, "p", nullptr, &h));
    EXPECT_EQ(0x0100000Au, KelStrToIP("10.0.0.1"));
    EXPECT_EQ(KEL_OK, KelIPToStr(1, szText));
    EXPECT_EQ(0, g_Fake.nStartupCalls);
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    EXPECT_EQ(1, g_Fake.nStartupCalls);
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    EXPECT_EQ(1, g_Fake.nStartupCalls);
}

TEST(TraceThreads, RandomStateIsPerThreadAndUnseededThreadsStartFromOne) {
    KelSeedRandomDefault(12345);
    uint32_t dwMain = KelRandomDefault();
    uint32_t dwOther = 0, dwSeededOne = 0;
    std::thread([&] { dwOther = KelRandomDefault(); }).join();
    std::thread([&] {
        KelSeedRandomDefault(1);
        dwSeededOne = KelRandomDefault();
    }).join();
    EXPECT_EQ(dwSeededOne, dwOther);
    KelSeedRandomDefault(12345);
    EXPECT_EQ(dwMain, KelRandomDefault());
}

}  // namespace

namespace {

// Noon UTC on 15 June 2000 is 15 June 2000 in every time zone.
TEST(TraceClock, RealLocalTimeGivesMonthFromOneAndFourDigitYear) {
    KelLocalTime local = {};
    ASSERT_EQ(0, KelPlatformDefaults().pfnLocalTime(961070400, &local));
    EXPECT_EQ(2000, local.nYear);
    EXPECT_EQ(6, local.nMonth);
    EXPECT_EQ(15, local.nDay);
}

}  // namespace
