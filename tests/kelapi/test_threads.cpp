// 32 threads, each allocating, connecting, exchanging with and freeing host
// systems over and over against one kelsrv engine, with the trace on. The
// library shares nothing between threads but the start-up, which they all
// race for here, and the trace callback, which all of them call at once.
// Under the thread sanitizer any data race fails the test. And two threads
// that fail at once, each with a reason of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_session.h"
#include "server.h"
#include "silent_peer.h"

namespace {

const int kThreads = 32;
const uint32_t kdwTimeoutMs = 30000;  // a watchdog: a lost reply fails the cycle instead of hanging it

std::atomic<long> g_nLines{0}, g_nBadLines{0};

// Thread-safe, as the trace's callback must be: it only counts. A line is
// whole and its own: a time stamp, a module and a line number.
void CountLine(const char *szLine) {
    g_nLines.fetch_add(1, std::memory_order_relaxed);
    size_t nLen = strlen(szLine);
    bool bWhole = nLen > 25 && nLen < 400 && szLine[2] == ':' && strstr(szLine, " - Kel") == szLine + 20 &&
                  strstr(szLine, " at ") != nullptr;
    if (!bWhole) g_nBadLines.fetch_add(1, std::memory_order_relaxed);
}

// An echo of nLen bytes of this thread's own pattern comes back whole.
std::string Echo(HKELCONNECTION h, uint32_t dwLen, uint8_t bSeed) {
    std::vector<uint8_t> data(dwLen), echoed(dwLen);
    for (uint32_t i = 0; i < dwLen; ++i) data[i] = (uint8_t)(bSeed + i);
    KelCommand cmd = {kEchoCommand, 0, 0, 0, dwLen, 0, {0, 0, 0}};
    uint32_t dwCount = 0;
    int32_t nRc = KelSendCommand(h, &cmd, 0);
    if (nRc == KEL_OK) nRc = KelSend(h, data.data(), dwLen, &dwCount, 1);
    if (nRc == KEL_OK) nRc = KelWaitForResponse(h, kEchoReply, &cmd);
    if (nRc != KEL_OK) return "echo failed with " + std::to_string(nRc);
    if (cmd.dwDataLen != dwLen) return "echo of " + std::to_string(cmd.dwDataLen) + " bytes";
    nRc = KelReceive(h, echoed.data(), dwLen, &dwCount, 1);
    if (nRc != KEL_OK || echoed != data) return "echoed data lost or changed";
    return "";
}

// One cycle, through KelAllocHoxSystem or through the caller's own
// connection with a time-out; "" when everything went as it should.
std::string Cycle(uint16_t wPort, int nThread, int nCycle) {
    HKELHOXSYSTEM hSystem = nullptr;
    HKELCONNECTION hOwn = nullptr, hCon = nullptr;
    int32_t nRc;
    if (nCycle % 2 == 0) {
        nRc = KelAllocHoxSystem(kel_test::LoopbackIP(), wPort, "user", "pw", nullptr, &hSystem);
    } else {
        nRc = KelAllocConnection(kel_test::LoopbackIP(), wPort, "user", "pw", "pw2", &hOwn);
        if (nRc == KEL_OK) nRc = KelSetTimeout(hOwn, kdwTimeoutMs);
        if (nRc == KEL_OK) nRc = KelAllocHoxSystemExt(hOwn, &hSystem);
    }
    if (nRc != KEL_OK) return "connect failed with " + std::to_string(nRc);
    std::string failure =
        KelGetConnection(hSystem, &hCon) == KEL_OK
            ? Echo(hCon, 1 + (uint32_t)(nThread * 97 + nCycle * 31) % 3000, (uint8_t)nThread)
            : "no connection";
    if (KelFreeHoxSystem(hSystem) != KEL_OK) failure += " free failed";
    if (hOwn && (KelDisconnect(hOwn) != KEL_OK || KelFreeConnection(hOwn) != KEL_OK))
        failure += " release failed";
    return failure;
}

TEST(ThreadStress, ThirtyTwoThreadsRunWholeSessionsAtOnceWithTheTraceOn) {
    ASSERT_TRUE(netio::Startup());
    KelPlatformReset();
    g_dwKelStarted = 0;  // every thread's first allocation may run the start-up
    kelsrv::Server server;
    kelsrv::Options options;
    options.port = 0;
    std::string error;
    ASSERT_TRUE(server.Start(options, &error)) << error;

    g_nLines = g_nBadLines = 0;
    fKelTraceFunc = CountLine;
    bKelTraceOn = 1;
    std::mutex failureMutex;
    std::string firstFailure;
    std::atomic<int> nFailedThreads{0};
    std::vector<std::thread> threads;
    for (int nThread = 0; nThread < kThreads; ++nThread) {
        threads.emplace_back([&, nThread] {
            for (int nCycle = 0; nCycle < KEL_STRESS_CYCLES; ++nCycle) {
                std::string failure = Cycle(server.Port(), nThread, nCycle);
                if (failure.empty()) continue;
                std::lock_guard<std::mutex> lock(failureMutex);
                if (firstFailure.empty())
                    firstFailure = "thread " + std::to_string(nThread) + ", cycle " + std::to_string(nCycle) +
                                   ": " + failure;
                ++nFailedThreads;
                return;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    bKelTraceOn = 0;
    fKelTraceFunc = nullptr;
    server.Stop();

    EXPECT_EQ(0, nFailedThreads.load()) << firstFailure;
    EXPECT_EQ(0, g_nBadLines.load());
    EXPECT_GE(g_nLines.load(), (long)kThreads * KEL_STRESS_CYCLES * 20);
    EXPECT_EQ(0xFFFFFFFFu, g_dwKelStarted.load());
}

// Two threads fail differently, then each waits until the other has failed
// as well before it reads its reason: each reads its own.
TEST(ThreadReasons, TwoThreadsThatFailAtOnceEachReadTheirOwnReason) {
    ASSERT_TRUE(netio::Startup());
    KelPlatformReset();
    const std::uint16_t wPort = kel_test::ClosedPort();
    std::atomic<int> nFailed{0};
    std::string asReasons[2];
    auto fail = [&](int nThread) {
        HKELCONNECTION h = nullptr;
        if (KelAllocConnection(kel_test::LoopbackIP(), wPort, "u", "p", nullptr, &h) != KEL_OK) return;
        if (nThread == 0) {
            KelConnect(h);  // refused
        } else {
            KelLock(h);
            KelLock(h);  // busy
        }
        nFailed.fetch_add(1);
        while (nFailed.load() < 2) std::this_thread::yield();
        char szText[KEL_REASON_SIZE];
        KelGetErrorText(szText, sizeof szText);
        asReasons[nThread] = szText;
        KelFreeConnection(h);
    };
    std::thread refused(fail, 0), busy(fail, 1);
    refused.join();
    busy.join();
    EXPECT_EQ(0u, asReasons[0].find("connect to 127.0.0.1:" + std::to_string(wPort) + ": ")) << asReasons[0];
    EXPECT_EQ("KelLock: the connection's busy flag is already set", asReasons[1]);
}

}  // namespace
