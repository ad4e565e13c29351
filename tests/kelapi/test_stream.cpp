// The byte stream: what each KelSend hands to the socket and keeps when a
// send fails, how KelReceive assembles what the socket delivers; and over a
// real loopback pair, a peer that has gone away and signals during a send
// or receive that blocks.
#include <atomic>
#include <chrono>
#include <thread>

#if !defined(_WIN32)
#  include <pthread.h>
#  include <signal.h>
#  include <sys/socket.h>
#endif

#include "netio.h"
#include "seam_test.h"

namespace {

class Stream : public SeamTest {
protected:
    // Puts n bytes in the buffer without a socket send.
    void Prefill(uint32_t n) {
        Bytes data = Pattern(n, 0x80);
        ASSERT_EQ(KEL_OK, KelSend(h, data.data(), n, &dwSent, 0));
        ASSERT_TRUE(g_Fake.sends.empty());
    }
    uint32_t dwSent = 0;
};

// What each KelSend hands to the socket, with the hold-back flag of each
// send: only a full buffer that a direct send follows in the same call
// carries it. Whatever the split, the bytes leave in order and what is left
// waits at the start of the buffer. A send that fails or comes short (the
// peer gone after nCutAt bytes) is 102 with the bytes taken counted: the
// buffer's stay and go first with the next flush, a direct send's are gone.
// Bytes that have left do not stay in the record (a logon's scrambled block
// would otherwise sit there for the life of the connection).
TEST_F(Stream, EachWriteLeavesInTheFewestSendsAndOnlyAFollowedBufferIsHeldBack) {
    const struct {
        uint32_t nWaiting, nLen;
        int32_t bFlush;
        std::vector<size_t> sizes;
        std::vector<int> more;
        uint32_t nLeft;  // dwSendLen afterwards
        int nCutAt = -1;
        bool bReset = false;
        uint32_t dwSent = 0;  // of a failed call
    } cases[] = {
        {0, 5, 0, {}, {}, 5},                           // small write waits
        {5, 4, 1, {9}, {0}, 0},                         // flush: waiting and new bytes in one send
        {1000, 24, 0, {1024}, {0}, 0},                  // a filled buffer goes without a flush
        {1000, 500, 0, {1024}, {0}, 476},               // overflow: the rest waits
        {1000, 2000, 0, {1024, 1976}, {1, 0}, 0},       // a large rest goes straight from the caller
        {1000, 1048, 0, {1024, 1024}, {1, 0}, 0},       // a rest of exactly one buffer goes straight too
        {1000, 1047, 0, {1024}, {0}, 1023},             // one byte less waits
        {0, 1500, 1, {1024, 476}, {1, 0}, 0},           // a flushed large write: two sends
        {0, 1024, 1, {1024}, {0}, 0},                   // exactly one buffer, flushed
        {0, 1024, 0, {1024}, {0}, 0},                   // exactly one buffer fills it
        {0, 65536, 1, {1024, 64512}, {1, 0}, 0},        // bulk
        {0, 0, 1, {0}, {0}, 0},                         // an empty flush is one send of 0 bytes
        {9, 0, 1, {9}, {0}, 0},                         // a flush of what waits
        {1000, 24, 0, {1024}, {0}, 1024, 0, true, 24},  // a refused full buffer
        {0, 10, 1, {10}, {0}, 10, 9, false, 10},        // one byte short
        {10, 1500, 1, {1024, 486}, {1, 0}, 0, 1024, true, 1014},  // the direct send after the buffer refused
        {0, 3000, 0, {1024}, {1}, 1024, 0, true, 1024},  // the buffer refused: no direct send after it
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.nWaiting << " waiting, " << c.nLen << " bytes, flush "
                                        << c.bFlush << ", cut at " << c.nCutAt);
        Reopen();
        Prefill(c.nWaiting);
        g_Fake.nSendCut = c.nCutAt < 0 ? SIZE_MAX : (size_t)c.nCutAt;
        g_Fake.bSendCutByReset = c.bReset;
        Bytes data = Pattern(c.nLen);
        TraceCapture trace;
        EXPECT_EQ(c.nCutAt < 0 ? KEL_OK : KEL_ERR_COMM, KelSend(h, data.data(), c.nLen, &dwSent, c.bFlush));
        EXPECT_EQ(c.nCutAt < 0 ? std::vector<int>() : std::vector<int>{KEL_ERR_COMM}, trace.ErrorCodes());
        EXPECT_EQ(c.nCutAt < 0 ? c.nLen : c.dwSent, dwSent);
        EXPECT_EQ(c.sizes, Sizes(g_Fake.sends));
        EXPECT_EQ(c.more, g_Fake.sendMore);
        ASSERT_EQ(c.nLeft, Con(h)->dwSendLen);
        EXPECT_EQ(Bytes(KEL_SEND_BUFFER_SIZE - c.nLeft, 0),
                  Bytes(Con(h)->abSendBuf + c.nLeft, Con(h)->abSendBuf + KEL_SEND_BUFFER_SIZE));
        if (c.nCutAt >= 0) {
            g_Fake.nSendCut = SIZE_MAX;
            EXPECT_EQ(KEL_OK, KelSend(h, nullptr, 0, &dwSent, 1));
            EXPECT_EQ(c.nLeft ? g_Fake.sends[0] : Bytes(), g_Fake.sends.back());
            continue;
        }
        Bytes stream;
        for (const Bytes &send : g_Fake.sends) stream.insert(stream.end(), send.begin(), send.end());
        stream.insert(stream.end(), Con(h)->abSendBuf, Con(h)->abSendBuf + c.nLeft);
        EXPECT_EQ(Concat({Pattern(c.nWaiting, 0x80), data}), stream);
    }
}

TEST_F(Stream, ReceiveWithWaitAllAssemblesChunksAndKeepsWhatArrivedBeforeTheEnd) {
    const struct {
        std::deque<int> chunks;
        uint32_t dwLen;
        int32_t bWaitAll;
        int nAtEnd;  // 0: the peer closes, -1: an error
        int32_t nExpected;
        uint32_t dwGot;
        std::vector<int> asked;
    } cases[] = {
        {{30, 30, 40}, 100, 1, 0, KEL_OK, 100, {100, 70, 40}},
        {{30, 30, 40}, 100, 0, 0, KEL_OK, 30, {100}},
        {{60}, 100, 1, 0, KEL_ERR_COMM, 60, {100, 40}},
        {{60}, 100, 1, -1, KEL_ERR_COMM, 60, {100, 40}},
        {{}, 0, 1, 0, KEL_OK, 0, {}},  // a receive of 0 would read as a close: none is made
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.dwLen << " bytes, wait all " << c.bWaitAll << ", end " << c.nAtEnd);
        Reopen();
        const Bytes data = Pattern(100);
        g_Fake.recvData = data;
        g_Fake.recvChunks = c.chunks;
        g_Fake.nRecvErrorAfterScript = c.nAtEnd;
        Bytes buffer(100);
        uint32_t dwGot = 99;
        TraceCapture trace;
        EXPECT_EQ(c.nExpected, KelReceive(h, buffer.data(), c.dwLen, &dwGot, c.bWaitAll));
        EXPECT_EQ(c.dwGot, dwGot);
        EXPECT_EQ(c.asked, g_Fake.recvAsked);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + c.dwGot, buffer.begin()));
        EXPECT_EQ(c.nExpected ? std::vector<int>{c.nExpected} : std::vector<int>(), trace.ErrorCodes());
    }
}

// ---- Over a real loopback pair, with the real platform

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        KelPlatformReset();
        ASSERT_TRUE(netio::Startup());
        ASSERT_TRUE(netio::MakeLoopbackPair(&pair));
        ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "u", "p", nullptr, &h));
        static_cast<KelConnection *>(h)->hSocket = (KelSocket)pair.client;
    }
    void TearDown() override {
        static_cast<KelConnection *>(h)->hSocket = KEL_INVALID_SOCKET;
        KelFreeConnection(h);
        netio::ClosePair(&pair);
    }
    netio::LoopbackPair pair;
    HKELCONNECTION h = nullptr;
};

// A send to a peer that has gone away fails with 102; it must not end the
// process (as a broken-pipe signal would).
TEST_F(Loopback, SendToAClosedPeerFailsWithoutEndingTheProcess) {
    netio::Close(pair.server);
    pair.server = netio::kInvalidSocket;
    std::string sBlock(1024, 'x');
    uint32_t dwSent = 0;
    int32_t nRc = KEL_OK;
    for (int i = 0; i < 1000 && nRc == KEL_OK; ++i) nRc = KelSend(h, sBlock.data(), 1024, &dwSent, 1);
    EXPECT_EQ(KEL_ERR_COMM, nRc);
    char b = 0;
    EXPECT_EQ(KEL_ERR_COMM, KelReceive(h, &b, 1, &dwSent, 1));
}

#if !defined(_WIN32)
std::atomic<int> g_nSignals{0};

// Fills the client's send direction, both ends' buffers kept small so that
// they do not grow, until the system takes no more: a send after it blocks
// before it has moved a byte. The bytes it holds, for the peer to read.
size_t FillSendDirection(const netio::LoopbackPair &pair) {
    int nSmall = 8192;
    setsockopt((int)pair.client, SOL_SOCKET, SO_SNDBUF, &nSmall, sizeof nSmall);
    setsockopt((int)pair.server, SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
    std::string sChunk(65536, 'f');
    size_t nFilled = 0, nRound = 1;
    for (int nRounds = 0; nRound && nRounds < 50; ++nRounds) {
        nRound = 0;
        for (ssize_t n;
             (n = send((int)pair.client, sChunk.data(), sChunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
            nRound += (size_t)n;
        nFilled += nRound;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nFilled;
}

// A signal handled while a receive or a send blocks interrupts the system
// call: before the send has moved a byte, or part-way through a large one.
// Either goes on and moves all its bytes, with and without a time-out.
TEST_F(Loopback, SignalDuringABlockingReceiveOrSendDoesNotFailIt) {
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) { ++g_nSignals; };  // no SA_RESTART: the call is interrupted
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    enum Call { kReceive, kSend, kSendOnAFullSocket };
    for (Call call : {kReceive, kSend, kSendOnAFullSocket}) {
        for (uint32_t dwTimeout : {0u, 5000u}) {
            SCOPED_TRACE(testing::Message() << "call " << call << ", " << dwTimeout << " ms");
            ASSERT_EQ(KEL_OK, KelSetTimeout(h, dwTimeout));
            g_nSignals = 0;
            pthread_t caller = pthread_self();
            size_t nFilled = call == kSendOnAFullSocket ? FillSendDirection(pair) : 0;
            // The bulk send is far more than the socket buffers hold.
            std::string sData(call == kReceive ? 4 : call == kSend ? 16u << 20 : 65536, 'p');
            std::string sGot(nFilled + sData.size(), '\0');
            std::thread peer([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                pthread_kill(caller, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                netio::SetReceiveTimeout(pair.server, 3000);  // fail, not hang, on a short send
                if (call == kReceive)
                    netio::SendAll(pair.server, sData.data(), sData.size());
                else
                    netio::ReceiveExact(pair.server, &sGot[0], sGot.size());
            });
            uint32_t dwCount = 0;
            EXPECT_EQ(KEL_OK, call == kReceive
                                  ? KelReceive(h, &sGot[0], 4, &dwCount, 1)
                                  : KelSend(h, sData.data(), (uint32_t)sData.size(), &dwCount, 1));
            peer.join();
            EXPECT_EQ(sData.size(), dwCount);
            EXPECT_TRUE(sData == sGot.substr(nFilled));
            EXPECT_EQ(1, g_nSignals.load());
        }
    }
    sigaction(SIGUSR1, &previous, nullptr);
}
#endif

}  // namespace
