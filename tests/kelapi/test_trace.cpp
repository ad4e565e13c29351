// The trace: line format, the cost of a switched-off trace, start-up lines
// and the chain of "Error:" lines.
#include <cstring>
#include <thread>

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

TEST_F(Trace, LockOnBusyConnectionTracesEntryAndOneError) {
    HKELCONNECTION h = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h));
    ASSERT_EQ(KEL_OK, KelLock(h));
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_LOCKED, KelLock(h));
    std::vector<std::string> bodies = trace.Bodies();
    ASSERT_EQ(2u, bodies.size());
    EXPECT_NE(std::string::npos, bodies[0].find("KelLock hConnection =  "));
    EXPECT_NE(std::string::npos, bodies[1].find("Error: 109 (0x0000006D)"));
    EXPECT_EQ(KEL_OK, KelFreeConnection(h));
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

TEST_F(StartUp, RefusedArgumentsDoNotStartTheLibrary) {
    HKELCONNECTION h = nullptr;
    EXPECT_EQ(KEL_ERR_PARAM, KelAllocConnection(1, 0, nullptr, "p", nullptr, &h));
    EXPECT_EQ(0, g_Fake.nStartupCalls);
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));  // starts it all the same
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
