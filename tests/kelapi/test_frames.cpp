// Command frames: the bytes KelSendCommand hands to the stream, what
// KelReceiveCommand makes of the bytes the socket delivers, how much of the
// stream KelDispatchCommand and KelWaitForResponse consume, and the mapping
// of host return codes.
#include <algorithm>
#include <cstring>

#include "fake_platform.h"

namespace {

const uint32_t kAppCommand = 0x00001234u;
const uint32_t kAppReply = 0x40001234u;

KelCommand Record(uint32_t dwCommand, uint32_t dwParm1 = 0, uint32_t dwRetCode = 0, uint32_t dwParm3 = 0,
                  uint32_t dwDataLen = 0, uint8_t bFlags = 0) {
    KelCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = dwCommand;
    cmd.dwParm1 = dwParm1;
    cmd.dwRetCode = dwRetCode;
    cmd.dwParm3 = dwParm3;
    cmd.dwDataLen = dwDataLen;
    cmd.bFlags = bFlags;
    return cmd;
}

// A frame as the host writes it: code, flag byte, then the words given.
Bytes WireFrame(uint32_t dwCommand, uint8_t bFlags, std::initializer_list<uint32_t> words = {}) {
    Bytes frame = BE32(dwCommand);
    frame.push_back(bFlags);
    for (uint32_t dwWord : words) frame = Concat({frame, BE32(dwWord)});
    return frame;
}

bool AllZero(const KelCommand &cmd) {
    const uint8_t *lpBytes = reinterpret_cast<const uint8_t *>(&cmd);
    return std::all_of(lpBytes, lpBytes + sizeof cmd, [](uint8_t b) { return b == 0; });
}

KelCommand Garbage() {
    KelCommand cmd;
    memset(&cmd, 0xAA, sizeof cmd);
    return cmd;
}

// A connection that holds the fake socket; the seam records its sends and
// scripts its receives.
class FrameTest : public OpenConnectionTest {
  protected:
    // The single socket send that KelSendCommand with flush makes of cmd.
    Bytes FlushedFrame(const KelCommand &cmd) {
        g_Fake.sends.clear();
        EXPECT_EQ(KEL_OK, KelSendCommand(h, &cmd, 1));
        EXPECT_EQ(1u, g_Fake.sends.size());
        return g_Fake.sends.empty() ? Bytes() : g_Fake.sends.back();
    }
};

// --- Encoding ---------------------------------------------------------------

using FrameEncode = FrameTest;

TEST_F(FrameEncode, EachNonZeroWordAddsItsBitAndFourBytesInFixedOrder) {
    struct Case {
        KelCommand cmd;
        Bytes expected;
    } cases[] = {
        {Record(0x12345678u), {0x12, 0x34, 0x56, 0x78, 0x00}},
        {Record(KEL_CMD_IDENTIFY, 0, 0, 0, 88), {0x80, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x58}},
        {Record(kAppCommand, 0, 0, 0xCAFEBABEu), WireFrame(kAppCommand, 0x04, {0xCAFEBABEu})},
        {Record(kAppCommand, 7, 0, 0, 300), WireFrame(kAppCommand, 0x09, {7, 300})},
        {Record(kAppCommand, 0, 0x00010001u, 3, 1), WireFrame(kAppCommand, 0x0E, {0x00010001u, 3, 1})},
        {Record(kAppCommand, 0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u),
         WireFrame(kAppCommand, 0x0F, {0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "flags of the expected frame 0x" << std::hex << (int)c.expected[4]);
        Bytes frame = FlushedFrame(c.cmd);
        EXPECT_EQ(c.expected, frame);
        EXPECT_EQ(0u, (frame.size() - 5) % 4);
    }
    // Spot checks of the two boundary layouts, byte by byte.
    Bytes only3 = FlushedFrame(Record(kAppCommand, 0, 0, 0xCAFEBABEu));
    ASSERT_EQ(9u, only3.size());
    EXPECT_EQ(0x04, only3[4]);
    EXPECT_EQ(BE32(0xCAFEBABEu), Bytes(only3.begin() + 5, only3.end()));
    Bytes all = FlushedFrame(Record(kAppCommand, 1, 2, 3, 4));
    ASSERT_EQ(21u, all.size());
    EXPECT_EQ(0x0F, all[4]);
}

TEST_F(FrameEncode, CallerBitsTravelUnchangedBesideThePresenceBits) {
    EXPECT_EQ(WireFrame(kAppCommand, 0x10), FlushedFrame(Record(kAppCommand, 0, 0, 0, 0, KEL_FLAG_NOSKIP)));
    EXPECT_EQ(WireFrame(kAppCommand, 0xE0), FlushedFrame(Record(kAppCommand, 0, 0, 0, 0, 0xE0)));
    EXPECT_EQ(WireFrame(kAppCommand, 0xFA, {0x11u, 0x22u}),
              FlushedFrame(Record(kAppCommand, 0, 0x11u, 0, 0x22u, 0xF0)));
}

TEST_F(FrameEncode, PresenceBitsFollowTheFieldsNotTheCallersFlagByte) {
    // A received record sent on after its return code was cleared: the flag
    // byte must not announce a word that is no longer sent.
    ScriptReceive(WireFrame(kAppReply, 0x2A, {0x00010001u, 12}), {13});
    KelCommand cmd;
    ASSERT_EQ(KEL_OK, KelReceiveCommand(h, &cmd));
    cmd.dwRetCode = 0;
    EXPECT_EQ(WireFrame(kAppReply, 0x28, {12}), FlushedFrame(cmd));
    EXPECT_EQ(WireFrame(kAppCommand, 0x00), FlushedFrame(Record(kAppCommand, 0, 0, 0, 0, 0x0F)));
    EXPECT_EQ(WireFrame(kAppCommand, 0x94, {3}), FlushedFrame(Record(kAppCommand, 0, 0, 3, 0, 0x99)));
}

TEST_F(FrameEncode, WithoutFlushTheFrameWaitsInTheBuffer) {
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 88);
    EXPECT_EQ(KEL_OK, KelSendCommand(h, &cmd, 0));
    EXPECT_TRUE(g_Fake.sends.empty());
    ASSERT_EQ(9u, Con(h)->dwSendLen);
    EXPECT_EQ(WireFrame(kAppCommand, 0x08, {88}), Bytes(Con(h)->abSendBuf, Con(h)->abSendBuf + 9));

    // The data that follows with flush leaves together with the frame.
    Bytes data = Pattern(88);
    uint32_t dwSent = 0;
    EXPECT_EQ(KEL_OK, KelSend(h, data.data(), 88, &dwSent, 1));
    ASSERT_EQ(1u, g_Fake.sends.size());
    EXPECT_EQ(Concat({WireFrame(kAppCommand, 0x08, {88}), data}), g_Fake.sends[0]);
}

TEST_F(FrameEncode, FlushPushesTheBareHeaderOutAfterWhatWasBuffered) {
    Bytes before = {0xA1, 0xA2, 0xA3};
    uint32_t dwSent = 0;
    ASSERT_EQ(KEL_OK, KelSend(h, before.data(), 3, &dwSent, 0));
    KelCommand cmd = Record(KEL_CMD_DISCONNECT);
    EXPECT_EQ(KEL_OK, KelSendCommand(h, &cmd, 1));
    ASSERT_EQ(1u, g_Fake.sends.size());
    EXPECT_EQ(Concat({before, Bytes{0x80, 0x00, 0x00, 0x03, 0x00}}), g_Fake.sends[0]);
    EXPECT_EQ(0u, Con(h)->dwSendLen);
}

TEST_F(FrameEncode, FailuresOfTheStreamArePassedOnAndTraced) {
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 4);
    {
        TraceCapture trace;
        g_Fake.sendFail.nFailAt = 1;
        EXPECT_EQ(KEL_ERR_COMM, KelSendCommand(h, &cmd, 1));
        EXPECT_EQ((std::vector<int>{KEL_ERR_COMM, KEL_ERR_COMM}), trace.ErrorCodes());
    }
    Con(h)->dwSendLen = 0;
    KelSocket hSocket = Con(h)->hSocket;
    Con(h)->hSocket = KEL_INVALID_SOCKET;
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelSendCommand(h, &cmd, 0));
    Con(h)->hSocket = hSocket;

    uint32_t dwWrongTag = 2;
    EXPECT_EQ(KEL_ERR_HANDLE, KelSendCommand(&dwWrongTag, &cmd, 0));
    EXPECT_EQ(KEL_ERR_PARAM, KelSendCommand(nullptr, &cmd, 0));
    EXPECT_EQ(KEL_ERR_PARAM, KelSendCommand(h, nullptr, 0));
}

// --- Decoding ---------------------------------------------------------------

using FrameDecode = FrameTest;

TEST_F(FrameDecode, FlagByteTellsWhichWordsFollowAndTheDataStaysUnread) {
    ScriptReceive(Concat({WireFrame(kAppReply, 0x0A, {0x00010001u, 3}), Bytes{9, 9, 9}}), {100});
    KelCommand cmd = Garbage();
    ASSERT_EQ(KEL_OK, KelReceiveCommand(h, &cmd));
    EXPECT_EQ(kAppReply, cmd.dwCommand);
    EXPECT_EQ(0x0A, cmd.bFlags);
    EXPECT_EQ(0u, cmd.dwParm1);
    EXPECT_EQ(0x00010001u, cmd.dwRetCode);
    EXPECT_EQ(0u, cmd.dwParm3);
    EXPECT_EQ(3u, cmd.dwDataLen);
    EXPECT_EQ(0, memcmp(cmd.abReserved, "\0\0\0", 3));
    EXPECT_EQ(13u, g_Fake.nRecvPos);
}

TEST_F(FrameDecode, AllFourWordsAndTheCallerBitsSurviveAByteByByteDelivery) {
    Bytes frame = WireFrame(kAppReply, 0xFF, {0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u});
    ScriptReceive(frame, std::initializer_list<int>{});
    for (size_t i = 0; i < frame.size(); ++i) g_Fake.recvChunks.push_back(1);
    KelCommand cmd;
    ASSERT_EQ(KEL_OK, KelReceiveCommand(h, &cmd));
    EXPECT_EQ(0xFF, cmd.bFlags);
    EXPECT_EQ(0x01020304u, cmd.dwParm1);
    EXPECT_EQ(0x05060708u, cmd.dwRetCode);
    EXPECT_EQ(0x090A0B0Cu, cmd.dwParm3);
    EXPECT_EQ(0x0D0E0F10u, cmd.dwDataLen);
    EXPECT_EQ(21u, g_Fake.nRecvPos);
}

TEST_F(FrameDecode, AnUnannouncedWordIsNotReadEvenWhenItsBitIsACallerBit) {
    // Bits 0x20 to 0x80 announce nothing: the next frame starts at byte 5.
    ScriptReceive(Concat({WireFrame(kAppReply, 0xE0), WireFrame(kAppCommand, 0x01, {5})}), {100});
    KelCommand cmd;
    ASSERT_EQ(KEL_OK, KelReceiveCommand(h, &cmd));
    EXPECT_EQ(0xE0, cmd.bFlags);
    ASSERT_EQ(KEL_OK, KelReceiveCommand(h, &cmd));
    EXPECT_EQ(kAppCommand, cmd.dwCommand);
    EXPECT_EQ(5u, cmd.dwParm1);
}

TEST_F(FrameDecode, PeerClosingInsideTheHeaderLeavesAnAllZeroRecord) {
    ScriptReceive({0x40, 0x00, 0x00}, {3});
    KelCommand cmd = Garbage();
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelReceiveCommand(h, &cmd));
    EXPECT_TRUE(AllZero(cmd));
    EXPECT_EQ((std::vector<int>{KEL_ERR_COMM, KEL_ERR_COMM}), trace.ErrorCodes());
}

TEST_F(FrameDecode, FailureAmongTheWordsKeepsTheWordsThatArrivedWhole) {
    // dwParm1 and dwRetCode arrive, two bytes of dwParm3, then the peer closes.
    Bytes frame = WireFrame(kAppReply, 0x0F, {0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u});
    ScriptReceive(frame, {5, 4, 4, 2});
    KelCommand cmd = Garbage();
    EXPECT_EQ(KEL_ERR_COMM, KelReceiveCommand(h, &cmd));
    EXPECT_EQ(kAppReply, cmd.dwCommand);
    EXPECT_EQ(0x0F, cmd.bFlags);
    EXPECT_EQ(0x11111111u, cmd.dwParm1);
    EXPECT_EQ(0x22222222u, cmd.dwRetCode);
    EXPECT_EQ(0u, cmd.dwParm3);
    EXPECT_EQ(0u, cmd.dwDataLen);
}

TEST_F(FrameDecode, SocketErrorAfterTheHeaderIsACommunicationFailure) {
    ScriptReceive(WireFrame(kAppReply, 0x08, {10}), {5});
    g_Fake.nRecvErrorAfterScript = -1;
    KelCommand cmd;
    EXPECT_EQ(KEL_ERR_COMM, KelReceiveCommand(h, &cmd));
    EXPECT_EQ(kAppReply, cmd.dwCommand);
    EXPECT_EQ(0u, cmd.dwDataLen);
    EXPECT_EQ(KEL_ERR_PARAM, KelReceiveCommand(h, nullptr));
    EXPECT_EQ(KEL_ERR_PARAM, KelReceiveCommand(nullptr, &cmd));
}

// --- Disposal of unexpected frames -------------------------------------------

using FrameDispatch = FrameTest;

TEST_F(FrameDispatch, DataIsDiscardedInChunksOfAtMost256Bytes) {
    struct Case {
        uint32_t dwDataLen;
        std::vector<int> reads;
    } cases[] = {
        {0, {}},
        {256, {256}},
        {257, {256, 1}},
        {600, {256, 256, 88}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dwDataLen);
        g_Fake.recvData.clear();
        g_Fake.recvChunks.clear();
        g_Fake.recvAsked.clear();
        g_Fake.nRecvPos = 0;
        // The data, then one byte of the next frame that must stay unread.
        ScriptReceive(Concat({Pattern(c.dwDataLen), Bytes{0xEE}}), {(int)c.dwDataLen + 1});
        KelCommand cmd = Record(kAppCommand, 0, 0, 0, c.dwDataLen);
        EXPECT_EQ(KEL_OK, KelDispatchCommand(h, &cmd));
        EXPECT_EQ(c.reads, g_Fake.recvAsked);
        EXPECT_EQ(c.dwDataLen, g_Fake.nRecvPos);
    }
}

TEST_F(FrameDispatch, AShortDeliveryIsCompletedWithinTheChunk) {
    ScriptReceive(Pattern(300), {100, 100, 100});
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 300);
    EXPECT_EQ(KEL_OK, KelDispatchCommand(h, &cmd));
    EXPECT_EQ(300u, g_Fake.nRecvPos);
}

TEST_F(FrameDispatch, TheDataLengthIsUnsigned) {
    // 0x80000010 bytes announced; the peer closes after 16: a reader that
    // took the length as signed would report success here.
    ScriptReceive(Pattern(16), {16});
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 0x80000010u);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelDispatchCommand(h, &cmd));
    EXPECT_EQ((std::vector<int>{KEL_ERR_COMM, KEL_ERR_COMM}), trace.ErrorCodes());
}

TEST_F(FrameDispatch, AnIgnoreFrameIsSkippedWithoutReadingAnything) {
    KelCommand withData = Record(KEL_CMD_IGNORE, 0, 0, 0, 500);
    EXPECT_EQ(KEL_OK, KelDispatchCommand(h, &withData));
    KelCommand noSkip = Record(KEL_CMD_IGNORE, 0, 0, 0, 500, KEL_FLAG_NOSKIP);
    EXPECT_EQ(KEL_OK, KelDispatchCommand(h, &noSkip));
    EXPECT_TRUE(g_Fake.recvAsked.empty());
}

TEST_F(FrameDispatch, ANoSkipFrameIsRefusedAndItsDataLeftUnread) {
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 40, KEL_FLAG_NOSKIP);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_PROTOCOL, KelDispatchCommand(h, &cmd));
    EXPECT_TRUE(g_Fake.recvAsked.empty());
    EXPECT_EQ(std::vector<int>{KEL_ERR_PROTOCOL}, trace.ErrorCodes());
    EXPECT_EQ(KEL_ERR_PARAM, KelDispatchCommand(h, nullptr));
    EXPECT_EQ(KEL_ERR_PARAM, KelDispatchCommand(nullptr, &cmd));
}

// --- Waiting for a reply ------------------------------------------------------

using FrameWait = FrameTest;

TEST_F(FrameWait, OtherFramesAreDisposedOfAndTheReplysDataIsLeftUnread) {
    Bytes stream = Concat({WireFrame(kAppCommand, 0x08, {300}), Pattern(300), WireFrame(KEL_CMD_IGNORE, 0x00),
                           WireFrame(kAppReply, 0x0B, {9, 0x00010001u, 4}), Bytes{0xD1, 0xD2, 0xD3, 0xD4}});
    ScriptReceive(stream, {(int)stream.size()});
    KelCommand cmd;
    ASSERT_EQ(KEL_OK, KelWaitForResponse(h, kAppReply, &cmd));
    // Only the code is compared: the host's return code is the caller's to judge.
    EXPECT_EQ(kAppReply, cmd.dwCommand);
    EXPECT_EQ(9u, cmd.dwParm1);
    EXPECT_EQ(0x00010001u, cmd.dwRetCode);
    EXPECT_EQ(4u, cmd.dwDataLen);
    EXPECT_EQ(stream.size() - 4, g_Fake.nRecvPos);
    Bytes data(4);
    uint32_t dwGot = 0;
    ASSERT_EQ(KEL_OK, KelReceive(h, data.data(), 4, &dwGot, 1));
    EXPECT_EQ((Bytes{0xD1, 0xD2, 0xD3, 0xD4}), data);
}

TEST_F(FrameWait, ANoSkipFrameEndsTheWaitWithAProtocolError) {
    ScriptReceive(Concat({WireFrame(kAppCommand, 0x18, {2}), Bytes{1, 2}, WireFrame(kAppReply, 0x00)}),
                  {100});
    KelCommand cmd;
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_PROTOCOL, KelWaitForResponse(h, kAppReply, &cmd));
    EXPECT_EQ(kAppCommand, cmd.dwCommand);
    EXPECT_EQ(9u, g_Fake.nRecvPos);
    EXPECT_EQ((std::vector<int>{KEL_ERR_PROTOCOL, KEL_ERR_PROTOCOL}), trace.ErrorCodes());
}

TEST_F(FrameWait, ALostConnectionEndsTheWait) {
    ScriptReceive(Concat({WireFrame(kAppCommand, 0x08, {10}), Pattern(4)}), {13});
    KelCommand cmd;
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelWaitForResponse(h, kAppReply, &cmd));
    EXPECT_EQ((std::vector<int>{KEL_ERR_COMM, KEL_ERR_COMM, KEL_ERR_COMM}), trace.ErrorCodes());
    EXPECT_EQ(KEL_ERR_PARAM, KelWaitForResponse(h, kAppReply, nullptr));
    EXPECT_EQ(KEL_ERR_PARAM, KelWaitForResponse(nullptr, kAppReply, &cmd));
}

// --- Host return codes ---------------------------------------------------------

TEST(CmdErrToKelErr, MapsEveryKnownHostCodeAndAnythingElseToSystemError) {
    const struct {
        uint32_t dwHostCode;
        int32_t nResult;
    } table[] = {
        {0x00000000u, KEL_OK},
        {0x00010001u, KEL_ERR_HOST_104},
        {0x00010002u, KEL_ERR_HOST_106},
        {0x00010003u, KEL_ERR_HOST_107},
        {0x00010004u, KEL_ERR_HOST_104},
        {0x00010005u, KEL_ERR_HOST_108},
        {0x00020001u, KEL_ERR_HOST_200},
        {0x00030001u, KEL_ERR_HOST_202},
        {0x00030002u, KEL_ERR_HOST_203},
        {0x00030003u, KEL_ERR_HOST_204},
        {0x00030004u, KEL_ERR_HOST_201},
        {0x00040001u, KEL_ERR_HOST_205},
        {0x00050001u, KEL_ERR_HOST_202},
        {0x00050002u, KEL_ERR_HOST_201},
        {0x00060001u, KEL_ERR_HOST_200},
        // Unknown codes, among them neighbours of known ones.
        {0x00050003u, KEL_ERR_SYSTEM},
        {0x00000001u, KEL_ERR_SYSTEM},
        {0x00010000u, KEL_ERR_SYSTEM},
        {0x00010006u, KEL_ERR_SYSTEM},
        {0x00070001u, KEL_ERR_SYSTEM},
        {0x01010001u, KEL_ERR_SYSTEM},
        {0xFFFFFFFFu, KEL_ERR_SYSTEM},
    };
    InstallFakePlatform();
    TraceCapture trace;
    for (const auto &row : table)
        EXPECT_EQ(row.nResult, KelCmdErrToKelErr(row.dwHostCode)) << std::hex << "0x" << row.dwHostCode;
    EXPECT_TRUE(trace.Lines().empty());
    KelPlatformReset();
}

}  // namespace
