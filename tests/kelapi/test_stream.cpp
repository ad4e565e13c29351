// The byte stream: what each KelSend hands to the socket, and how KelReceive
// assembles what the socket delivers.
#include "fake_platform.h"

namespace {

std::vector<size_t> SendSizes() {
    std::vector<size_t> sizes;
    for (const Bytes &send : g_Fake.sends) sizes.push_back(send.size());
    return sizes;
}

class Send : public OpenConnectionTest {
protected:
    // Puts n bytes in the buffer without a socket send.
    void Prefill(uint32_t n) {
        Bytes data = Pattern(n, 0x80);
        ASSERT_EQ(KEL_OK, KelSend(h, data.data(), n, &dwSent, 0));
        ASSERT_TRUE(g_Fake.sends.empty());
    }
    uint32_t dwSent = 0;
};

TEST_F(Send, SmallWriteWaitsInTheBuffer) {
    Bytes data = Pattern(5);
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 5, &dwSent, 0));
    EXPECT_EQ(5u, dwSent);
    EXPECT_EQ(5u, Con(h)->dwSendLen);
    EXPECT_TRUE(g_Fake.sends.empty());
}

TEST_F(Send, FlushSendsWaitingAndNewBytesInOneSend) {
    Prefill(5);
    Bytes data = Pattern(4);
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 4, &dwSent, 1));
    ASSERT_EQ(std::vector<size_t>{9}, SendSizes());
    EXPECT_EQ(Concat({Pattern(5, 0x80), Pattern(4)}), g_Fake.sends[0]);
    EXPECT_EQ(0u, Con(h)->dwSendLen);
}

TEST_F(Send, FillingTheBufferSendsItWithoutAFlush) {
    Prefill(1000);
    Bytes data = Pattern(24);
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 24, &dwSent, 0));
    EXPECT_EQ(std::vector<size_t>{1024}, SendSizes());
    EXPECT_EQ(0u, Con(h)->dwSendLen);
    EXPECT_EQ(24u, dwSent);
}

TEST_F(Send, OverflowSendsAFullBufferAndKeepsTheRest) {
    Prefill(1000);
    Bytes data = Pattern(500);
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 500, &dwSent, 0));
    EXPECT_EQ(500u, dwSent);
    ASSERT_EQ(std::vector<size_t>{1024}, SendSizes());
    EXPECT_EQ(Concat({Pattern(1000, 0x80), Bytes(data.begin(), data.begin() + 24)}), g_Fake.sends[0]);
    ASSERT_EQ(476u, Con(h)->dwSendLen);
    EXPECT_TRUE(std::equal(data.begin() + 24, data.end(), Con(h)->abSendBuf));
}

TEST_F(Send, LargeRestGoesStraightFromTheCallersMemory) {
    Prefill(1000);
    Bytes data = Pattern(2000);
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 2000, &dwSent, 0));
    EXPECT_EQ(2000u, dwSent);
    ASSERT_EQ((std::vector<size_t>{1024, 1976}), SendSizes());
    EXPECT_EQ(Bytes(data.begin() + 24, data.end()), g_Fake.sends[1]);
    EXPECT_EQ(0u, Con(h)->dwSendLen);
}

TEST_F(Send, FlushOfALargeWriteMakesTwoSends) {
    Bytes data = Pattern(1500);
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 1500, &dwSent, 1));
    EXPECT_EQ((std::vector<size_t>{1024, 476}), SendSizes());
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 1024), g_Fake.sends[0]);
    EXPECT_EQ(0u, Con(h)->dwSendLen);
}

TEST_F(Send, EmptyFlushMakesOneSendOfZeroBytes) {
    EXPECT_EQ(KEL_OK, KelSend(h, nullptr, 0, &dwSent, 1));
    EXPECT_EQ(std::vector<size_t>{0}, SendSizes());
    EXPECT_EQ(0u, dwSent);
}

TEST_F(Send, RefusedFullBufferIsKeptAndSentFirstNextTime) {
    Prefill(1000);
    Bytes data = Pattern(24);
    g_Fake.sendFail.nFailAt = 1;
    EXPECT_EQ(KEL_ERR_COMM, KelSend(h, data.data(), 24, &dwSent, 0));
    EXPECT_EQ(24u, dwSent);
    EXPECT_EQ(1024u, Con(h)->dwSendLen);
    Bytes more = Pattern(3, 0x40);
    EXPECT_EQ(KEL_OK, KelSend(h, more.data(), 3, &dwSent, 0));
    ASSERT_EQ((std::vector<size_t>{1024, 1024}), SendSizes());
    EXPECT_EQ(g_Fake.sends[0], g_Fake.sends[1]);
    EXPECT_EQ(3u, Con(h)->dwSendLen);
}

TEST_F(Send, ShortSendCountsAsFailure) {
    g_Fake.sendFail.nFailAt = 1;
    g_Fake.nShortSendBy = 1;
    Bytes data = Pattern(10);
    EXPECT_EQ(KEL_ERR_COMM, KelSend(h, data.data(), 10, &dwSent, 1));
    EXPECT_EQ(10u, Con(h)->dwSendLen);
    // A refused direct send loses nothing buffered and reports what was taken.
    g_Fake.sends.clear();
    g_Fake.sendFail = FailPlan{2, false, 0};
    Bytes big = Pattern(1500);
    EXPECT_EQ(KEL_ERR_COMM, KelSend(h, big.data(), 1500, &dwSent, 1));
    EXPECT_EQ(1014u, dwSent);
    EXPECT_EQ(0u, Con(h)->dwSendLen);
    EXPECT_EQ((std::vector<size_t>{1024, 486}), SendSizes());
}

TEST_F(Send, UnconnectedGives101AndBuffersNothing) {
    HKELCONNECTION hClosed = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &hClosed));
    Bytes data = Pattern(5);
    dwSent = 99;
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelSend(hClosed, data.data(), 5, &dwSent, 0));
    EXPECT_EQ(0u, dwSent);
    EXPECT_EQ(0u, Con(hClosed)->dwSendLen);
    uint32_t dwGot = 77;
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelReceive(hClosed, data.data(), 5, &dwGot, 1));
    EXPECT_EQ(77u, dwGot);
    EXPECT_EQ(KEL_ERR_PARAM, KelSend(h, data.data(), 5, nullptr, 0));
    EXPECT_EQ(KEL_OK, KelFreeConnection(hClosed));
}

class Receive : public Send {};

TEST_F(Receive, WaitAllAssemblesChunks) {
    Bytes data = Pattern(100);
    ScriptReceive(data, {30, 30, 40});
    Bytes buffer(100);
    uint32_t dwGot = 0;
    EXPECT_EQ(KEL_OK, KelReceive(h, buffer.data(), 100, &dwGot, 1));
    EXPECT_EQ(100u, dwGot);
    EXPECT_EQ(data, buffer);
    EXPECT_EQ((std::vector<int>{100, 70, 40}), g_Fake.recvAsked);
}

TEST_F(Receive, WithoutWaitAllReturnsAfterTheFirstReceive) {
    ScriptReceive(Pattern(100), {30, 30, 40});
    Bytes buffer(100);
    uint32_t dwGot = 0;
    EXPECT_EQ(KEL_OK, KelReceive(h, buffer.data(), 100, &dwGot, 0));
    EXPECT_EQ(30u, dwGot);
    EXPECT_EQ(1u, g_Fake.recvAsked.size());
}

TEST_F(Receive, PeerCloseKeepsWhatArrived) {
    Bytes data = Pattern(60);
    ScriptReceive(data, {60});
    Bytes buffer(100);
    uint32_t dwGot = 0;
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelReceive(h, buffer.data(), 100, &dwGot, 1));
    EXPECT_EQ(60u, dwGot);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
    EXPECT_EQ(std::vector<int>{102}, trace.ErrorCodes());
    g_Fake.nRecvErrorAfterScript = -1;  // an error reads the same
    EXPECT_EQ(KEL_ERR_COMM, KelReceive(h, buffer.data(), 1, &dwGot, 1));
}

TEST_F(Receive, ZeroBytesAsksTheSocketNothing) {
    uint32_t dwGot = 5;
    uint8_t b = 0;
    EXPECT_EQ(KEL_OK, KelReceive(h, &b, 0, &dwGot, 1));
    EXPECT_EQ(0u, dwGot);
    EXPECT_TRUE(g_Fake.recvAsked.empty());
}

}  // namespace
