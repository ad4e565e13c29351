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
const std::vector<int> kComm2 = {KEL_ERR_COMM, KEL_ERR_COMM};

// A frame as the host writes it: code, flag byte, then the words given.
Bytes WireFrame(uint32_t dwCommand, uint8_t bFlags, std::initializer_list<uint32_t> words = {}) {
    Bytes frame = BE32(dwCommand);
    frame.push_back(bFlags);
    for (uint32_t dwWord : words) frame = Concat({frame, BE32(dwWord)});
    return frame;
}

KelCommand Garbage() {
    KelCommand cmd;
    memset(&cmd, 0xAA, sizeof cmd);
    return cmd;
}

class FrameTest : public OpenConnectionTest {
protected:
    // The single socket send that KelSendCommand with flush makes of cmd.
    Bytes FlushedFrame(const KelCommand &cmd) {
        g_Fake.sends.clear();
        EXPECT_EQ(KEL_OK, KelSendCommand(h, &cmd, 1));
        EXPECT_EQ(1u, g_Fake.sends.size());
        return g_Fake.sends.empty() ? Bytes() : g_Fake.sends.back();
    }
    void ScriptWhole(const Bytes &stream) { ScriptReceive(stream, {(int)stream.size()}); }
};

// --- Encoding ---------------------------------------------------------------

TEST_F(FrameTest, EncodeSetsAPresenceBitPerNonZeroWordAndCarriesTheCallerBits) {
    const struct {
        KelCommand cmd;
        Bytes expected;
    } cases[] = {
        {Record(0x12345678u), {0x12, 0x34, 0x56, 0x78, 0x00}},  // 5 bytes
        {Record(KEL_CMD_IDENTIFY, 0, 0, 0, 88), {0x80, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x58}},
        {Record(kAppCommand, 0, 0, 0xCAFEBABEu), WireFrame(kAppCommand, 0x04, {0xCAFEBABEu})},
        {Record(kAppCommand, 7, 0, 0, 300), WireFrame(kAppCommand, 0x09, {7, 300})},                     // 13
        {Record(kAppCommand, 0, 0x00010001u, 3, 1), WireFrame(kAppCommand, 0x0E, {0x00010001u, 3, 1})},  // 17
        {Record(kAppCommand, 0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u),                        // 21
         WireFrame(kAppCommand, 0x0F, {0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u})},
        // Caller bits 0x10-0x80 travel unchanged.
        {Record(kAppCommand, 0, 0, 0, 0, KEL_FLAG_NOSKIP), WireFrame(kAppCommand, 0x10)},
        {Record(kAppCommand, 0, 0, 0, 0, 0xE0), WireFrame(kAppCommand, 0xE0)},
        {Record(kAppCommand, 0, 0x11u, 0, 0x22u, 0xF0), WireFrame(kAppCommand, 0xFA, {0x11u, 0x22u})},
        // Presence bits follow the fields, not the caller's flag byte.
        {Record(kAppCommand, 0, 0, 0, 0, 0x0F), WireFrame(kAppCommand, 0x00)},
        {Record(kAppCommand, 0, 0, 3, 0, 0x99), WireFrame(kAppCommand, 0x94, {3})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "expected flags 0x" << std::hex << (int)c.expected[4] << ", "
                                        << std::dec << c.expected.size() << " bytes");
        EXPECT_EQ(c.expected, FlushedFrame(c.cmd));
    }
}

TEST_F(FrameTest, WithoutFlushFramesWaitAndAFlushSendsEverythingInOneCall) {
    Bytes before = {0xA1, 0xA2, 0xA3};
    uint32_t dwSent = 0;
    ASSERT_EQ(KEL_OK, KelSend(h, before.data(), 3, &dwSent, 0));
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 88);
    EXPECT_EQ(KEL_OK, KelSendCommand(h, &cmd, 0));
    EXPECT_TRUE(g_Fake.sends.empty());
    KelCommand disconnect = Record(KEL_CMD_DISCONNECT);
    EXPECT_EQ(KEL_OK, KelSendCommand(h, &disconnect, 1));
    ASSERT_EQ(1u, g_Fake.sends.size());
    EXPECT_EQ(Concat({before, WireFrame(kAppCommand, 0x08, {88}), kDisconnectFrame}), g_Fake.sends[0]);
    EXPECT_EQ(0u, Con(h)->dwSendLen);
}

TEST_F(FrameTest, SendFailuresArePassedOnAndTraced) {
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 4);
    {
        TraceCapture trace;
        g_Fake.sendFail.nFailAt = 1;
        EXPECT_EQ(KEL_ERR_COMM, KelSendCommand(h, &cmd, 1));
        EXPECT_EQ(kComm2, trace.ErrorCodes());
    }
    Con(h)->dwSendLen = 0;
}

// --- Decoding ---------------------------------------------------------------

TEST_F(FrameTest, DecodeReadsTheAnnouncedWordsOnlyAndLeavesTheRestUnread) {
    const struct {
        const char *szName;
        Bytes stream;
        bool bByteByByte;
        KelCommand expected;
        size_t nRead;
    } cases[] = {
        {"flags 0x0A, data follows", Concat({WireFrame(kAppReply, 0x0A, {0x00010001u, 3}), Bytes{9, 9, 9}}),
         false, Record(kAppReply, 0, 0x00010001u, 0, 3, 0x0A), 13},
        {"all four words and caller bits, byte by byte",
         WireFrame(kAppReply, 0xFF, {0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u}), true,
         Record(kAppReply, 0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u, 0xFF), 21},
        // Bits 0x20 to 0x80 announce nothing: the next frame starts at byte 5.
        {"caller bits only", Concat({WireFrame(kAppReply, 0xE0), WireFrame(kAppCommand, 0x01, {5})}), false,
         Record(kAppReply, 0, 0, 0, 0, 0xE0), 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szName);
        InstallFakePlatform();
        ScriptReceive(c.stream, {});
        g_Fake.recvChunks.assign(c.bByteByByte ? c.stream.size() : 1,
                                 c.bByteByByte ? 1 : (int)c.stream.size());
        KelCommand cmd = Garbage();
        ASSERT_EQ(KEL_OK, KelReceiveCommand(h, &cmd));
        EXPECT_EQ(0, memcmp(&c.expected, &cmd, sizeof cmd));
        EXPECT_EQ(c.nRead, g_Fake.nRecvPos);
    }
}

TEST_F(FrameTest, DecodeFailuresKeepOnlyWhatArrivedWhole) {
    const Bytes frame = WireFrame(kAppReply, 0x0F, {0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u});
    const struct {
        const char *szName;
        std::vector<int> chunks;
        int nAfterScript;  // 0: the peer closes, -1: a socket error
        KelCommand expected;
    } cases[] = {{"peer closes after 3 header bytes", {3}, 0, Record(0)},
                 {"socket error after the header", {5}, -1, Record(kAppReply, 0, 0, 0, 0, 0x0F)},
                 {"peer closes inside the third word",
                  {5, 4, 4, 2},
                  0,
                  Record(kAppReply, 0x11111111u, 0x22222222u, 0, 0, 0x0F)}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szName);
        InstallFakePlatform();
        ScriptReceive(frame, {});
        g_Fake.recvChunks.assign(c.chunks.begin(), c.chunks.end());
        g_Fake.nRecvErrorAfterScript = c.nAfterScript;
        KelCommand cmd = Garbage();
        TraceCapture trace;
        EXPECT_EQ(KEL_ERR_COMM, KelReceiveCommand(h, &cmd));
        EXPECT_EQ(0, memcmp(&c.expected, &cmd, sizeof cmd));
        EXPECT_EQ(kComm2, trace.ErrorCodes());
    }
}

// --- Disposal of unexpected frames -------------------------------------------

TEST_F(FrameTest, DispatchDiscardsTheDataInChunksOfAtMost256Bytes) {
    const struct {
        uint32_t dwDataLen;
        std::vector<int> delivered;  // empty: all at once
        std::vector<int> asked;
    } cases[] = {{0, {}, {}},
                 {256, {}, {256}},
                 {257, {}, {256, 1}},
                 {600, {}, {256, 256, 88}},
                 {300, {100, 100, 101}, {256, 156, 56, 44}}};  // short deliveries completed within the chunk
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.dwDataLen << " bytes in " << c.delivered.size() << " deliveries");
        InstallFakePlatform();
        // The data, then one byte of the next frame that must stay unread.
        ScriptReceive(Concat({Pattern(c.dwDataLen), Bytes{0xEE}}), {});
        if (c.delivered.empty()) g_Fake.recvChunks.push_back((int)c.dwDataLen + 1);
        for (int nChunk : c.delivered) g_Fake.recvChunks.push_back(nChunk);
        KelCommand cmd = Record(kAppCommand, 0, 0, 0, c.dwDataLen);
        EXPECT_EQ(KEL_OK, KelDispatchCommand(h, &cmd));
        EXPECT_EQ(c.asked, g_Fake.recvAsked);
        EXPECT_EQ(c.dwDataLen, g_Fake.nRecvPos);
    }
}

TEST_F(FrameTest, DispatchTakesTheDataLengthAsUnsigned) {
    // 0x80000010 bytes announced; the peer closes after 16: a reader that
    // took the length as signed would report success here.
    ScriptWhole(Pattern(16));
    KelCommand cmd = Record(kAppCommand, 0, 0, 0, 0x80000010u);
    TraceCapture trace;
    EXPECT_EQ(KEL_ERR_COMM, KelDispatchCommand(h, &cmd));
    EXPECT_EQ(kComm2, trace.ErrorCodes());
}

TEST_F(FrameTest, DispatchReadsNothingOfAnIgnoreFrameAndRefusesANoSkipFrame) {
    const struct {
        uint32_t dwCommand;
        uint8_t bFlags;
        int32_t nExpected;
    } cases[] = {{KEL_CMD_IGNORE, 0, KEL_OK},
                 {KEL_CMD_IGNORE, KEL_FLAG_NOSKIP, KEL_OK},
                 {kAppCommand, KEL_FLAG_NOSKIP, KEL_ERR_PROTOCOL}};
    ScriptWhole(Pattern(600));
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.dwCommand << " flags 0x" << (int)c.bFlags);
        KelCommand cmd = Record(c.dwCommand, 0, 0, 0, 500, c.bFlags);
        TraceCapture trace;
        EXPECT_EQ(c.nExpected, KelDispatchCommand(h, &cmd));
        EXPECT_EQ(c.nExpected ? std::vector<int>{c.nExpected} : std::vector<int>(), trace.ErrorCodes());
    }
    EXPECT_TRUE(g_Fake.recvAsked.empty());
}

// --- Waiting for a reply ------------------------------------------------------

TEST_F(FrameTest, WaitDisposesOfOtherFramesUntilTheReplyAndLeavesItsDataUnread) {
    const Bytes reply =
        Concat({WireFrame(kAppReply, 0x0B, {9, 0x00010001u, 4}), Bytes{0xD1, 0xD2, 0xD3, 0xD4}});
    const struct {
        const char *szName;
        Bytes stream;
        int32_t nExpected;
        size_t nRead;
        std::vector<int> trace;
    } cases[] = {
        {"a 300-byte frame and an ignore frame first",
         Concat({WireFrame(kAppCommand, 0x08, {300}), Pattern(300), WireFrame(KEL_CMD_IGNORE, 0x00), reply}),
         KEL_OK,
         9 + 300 + 5 + 17,
         {}},
        {"a no-skip frame first",
         Concat({WireFrame(kAppCommand, 0x18, {2}), Bytes{1, 2}, reply}),
         KEL_ERR_PROTOCOL,
         9,
         {KEL_ERR_PROTOCOL, KEL_ERR_PROTOCOL}},
        {"lost inside a frame's data",
         Concat({WireFrame(kAppCommand, 0x08, {10}), Pattern(4)}),
         KEL_ERR_COMM,
         13,
         {KEL_ERR_COMM, KEL_ERR_COMM, KEL_ERR_COMM}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szName);
        InstallFakePlatform();
        ScriptWhole(c.stream);
        KelCommand cmd;
        TraceCapture trace;
        EXPECT_EQ(c.nExpected, KelWaitForResponse(h, kAppReply, &cmd));
        EXPECT_EQ(c.nRead, g_Fake.nRecvPos);
        EXPECT_EQ(c.trace, trace.ErrorCodes());
        // Only the code is compared: the host's return code is the caller's to judge.
        KelCommand expected = Record(kAppReply, 9, 0x00010001u, 0, 4, 0x0B);
        EXPECT_TRUE(c.nExpected || !memcmp(&expected, &cmd, sizeof cmd));
    }
}

// --- Host return codes ---------------------------------------------------------

// Unknown codes, among them neighbours of known ones, are system errors.
TEST(CmdErrToKelErr, MapsEveryKnownHostCodeAndAnythingElseToSystemError) {
    const struct {
        uint32_t dwHostCode;
        int32_t nResult;
    } table[] = {
        {0x00000000u, KEL_OK},           {0x00010001u, KEL_ERR_HOST_104}, {0x00010002u, KEL_ERR_HOST_106},
        {0x00010003u, KEL_ERR_HOST_107}, {0x00010004u, KEL_ERR_HOST_104}, {0x00010005u, KEL_ERR_HOST_108},
        {0x00020001u, KEL_ERR_HOST_200}, {0x00030001u, KEL_ERR_HOST_202}, {0x00030002u, KEL_ERR_HOST_203},
        {0x00030003u, KEL_ERR_HOST_204}, {0x00030004u, KEL_ERR_HOST_201}, {0x00040001u, KEL_ERR_HOST_205},
        {0x00050001u, KEL_ERR_HOST_202}, {0x00050002u, KEL_ERR_HOST_201}, {0x00060001u, KEL_ERR_HOST_200},
        {0x00050003u, KEL_ERR_SYSTEM},   {0x00000001u, KEL_ERR_SYSTEM},   {0x00010000u, KEL_ERR_SYSTEM},
        {0x00010006u, KEL_ERR_SYSTEM},   {0x00070001u, KEL_ERR_SYSTEM},   {0x01010001u, KEL_ERR_SYSTEM},
        {0xFFFFFFFFu, KEL_ERR_SYSTEM}};
    InstallFakePlatform();
    TraceCapture trace;
    for (const auto &row : table)
        EXPECT_EQ(row.nResult, KelCmdErrToKelErr(row.dwHostCode)) << std::hex << "0x" << row.dwHostCode;
    EXPECT_TRUE(trace.Lines().empty());
    KelPlatformReset();
}

}  // namespace
