// The stream over a real loopback TCP connection, with the real platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#if !defined(_WIN32)
#  include <pthread.h>
#  include <signal.h>
#  include <sys/socket.h>
#endif

#include "kelapi_internal.h"
#include "netio.h"

namespace {

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

TEST_F(Loopback, BufferedBytesArriveInOrderWithTheFlushedOnes) {
    uint32_t dwCount = 0;
    ASSERT_EQ(KEL_OK, KelSend(h, "head-", 5, &dwCount, 0));
    ASSERT_EQ(KEL_OK, KelSend(h, "tail", 4, &dwCount, 1));
    char szGot[10] = {0};
    ASSERT_TRUE(netio::ReceiveExact(pair.server, szGot, 9));
    EXPECT_STREQ("head-tail", szGot);

    std::string sReply(3000, 'r');
    ASSERT_TRUE(netio::SendAll(pair.server, sReply.data(), sReply.size()));
    std::string sRead(3000, '\0');
    ASSERT_EQ(KEL_OK, KelReceive(h, &sRead[0], 3000, &dwCount, 1));
    EXPECT_EQ(3000u, dwCount);
    EXPECT_EQ(sReply, sRead);
}

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
void CountSignal(int) { ++g_nSignals; }

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
    action.sa_handler = CountSignal;  // no SA_RESTART: the call is interrupted
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    const uint32_t kBulk = 16u << 20;  // far more than the socket buffers hold
    enum Call { kReceive, kSend, kSendOnAFullSocket };
    for (Call call : {kReceive, kSend, kSendOnAFullSocket}) {
        for (uint32_t dwTimeout : {0u, 5000u}) {
            SCOPED_TRACE(testing::Message() << "call " << call << ", " << dwTimeout << " ms");
            ASSERT_EQ(KEL_OK, KelSetTimeout(h, dwTimeout));
            g_nSignals = 0;
            pthread_t caller = pthread_self();
            size_t nFilled = call == kSendOnAFullSocket ? FillSendDirection(pair) : 0;
            std::string sData(call == kReceive ? 4
                              : call == kSend  ? kBulk
                                               : 65536,
                              'p'),
                sGot(nFilled + sData.size(), '\0');
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
