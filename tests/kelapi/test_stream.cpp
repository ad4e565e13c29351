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

// What each KelSend hands to the socket, with the hold-back flag of each
// send: only a full buffer that a direct send follows in the same call
// carries it. Whatever the split, the bytes leave in order and what is left
// waits at the start of the buffer.
TEST_F(Send, EachWriteLeavesInTheFewestSendsAndOnlyAFollowedBufferIsHeldBack) {
    const struct {
        uint32_t nWaiting, nLen;
        int32_t bFlush;
        std::vector<size_t> sizes;
        std::vector<int> more;
        uint32_t nLeft;  // dwSendLen afterwards
    } cases[] = {
        {0, 5, 0, {}, {}, 5},                      // small write waits
        {5, 4, 1, {9}, {0}, 0},                    // flush: waiting and new bytes in one send
        {1000, 24, 0, {1024}, {0}, 0},             // a filled buffer goes without a flush
        {1000, 500, 0, {1024}, {0}, 476},          // overflow: the rest waits
        {1000, 2000, 0, {1024, 1976}, {1, 0}, 0},  // a large rest goes straight from the caller
        {1000, 1048, 0, {1024, 1024}, {1, 0}, 0},  // a rest of exactly one buffer goes straight too
        {1000, 1047, 0, {1024}, {0}, 1023},        // one byte less waits
        {0, 1500, 1, {1024, 476}, {1, 0}, 0},      // a flushed large write: two sends
        {0, 1024, 1, {1024}, {0}, 0},              // exactly one buffer, flushed
        {0, 1024, 0, {1024}, {0}, 0},              // exactly one buffer fills it
        {0, 65536, 1, {1024, 64512}, {1, 0}, 0},   // bulk
        {0, 0, 1, {0}, {0}, 0},                    // an empty flush is one send of 0 bytes
        {9, 0, 1, {9}, {0}, 0},                    // a flush of what waits
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.nWaiting << " waiting, " << c.nLen << " bytes, flush " << c.bFlush);
        FreeOpen(h);
        InstallFakePlatform();
        h = NewOpenConnection();
        Prefill(c.nWaiting);
        Bytes data = Pattern(c.nLen);
        EXPECT_EQ(KEL_OK, KelSend(h, data.data(), c.nLen, &dwSent, c.bFlush));
        EXPECT_EQ(c.nLen, dwSent);
        EXPECT_EQ(c.sizes, SendSizes());
        EXPECT_EQ(c.more, g_Fake.sendMore);
        ASSERT_EQ(c.nLeft, Con(h)->dwSendLen);
        Bytes stream;
        for (const Bytes &send : g_Fake.sends) stream.insert(stream.end(), send.begin(), send.end());
        stream.insert(stream.end(), Con(h)->abSendBuf, Con(h)->abSendBuf + c.nLeft);
        EXPECT_EQ(Concat({Pattern(c.nWaiting, 0x80), data}), stream);
    }
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
