// Command frames: the bytes KelSendCommand hands to the stream, what
// KelReceiveCommand makes of the bytes the socket delivers, how
// KelDispatchCommand drops data, the "Error:" lines of each level, and the
// mapping of host return codes. KelWaitForResponse and the frames to dispose
// of before a reply run in every session of test_session.cpp.
#include <cstring>

#include "seam_test.h"

namespace {

const uint32_t kAppCommand = 0x00001234u, kAppReply = 0x40001234u;
const std::vector<int> kComm2 = {KEL_ERR_COMM, KEL_ERR_COMM};

// A frame as the host writes it: code, flag byte, then the words given.
Bytes Frame(uint32_t dwCommand, uint8_t bFlags, std::initializer_list<uint32_t> words = {}) {
    Bytes frame = Concat({BE32(dwCommand), Bytes{bFlags}});
    for (uint32_t dwWord : words) frame = Concat({frame, BE32(dwWord)});
    return frame;
}

bool Same(const KelCommand &a, const KelCommand &b) { return memcmp(&a, &b, sizeof a) == 0; }

class Frames : public SeamTest {
protected:
    // The stream's first nDelivered bytes arrive in chunks of nChunk (0: at once), then it ends.
    void Deliver(const Bytes &stream, size_t nDelivered = SIZE_MAX, size_t nChunk = 0) {
        Reopen();
        ScriptReceive(Bytes(stream.begin(), stream.begin() + (ptrdiff_t)std::min(nDelivered, stream.size())),
                      nChunk);
    }
};

TEST_F(Frames, EncodeSetsAPresenceBitPerNonZeroWordAndCarriesTheCallerBits) {
    const struct {
        KelCommand cmd;
        Bytes expected;
    } cases[] = {
        {Record(0x12345678u), {0x12, 0x34, 0x56, 0x78, 0x00}},
        {Record(kAppCommand, 0, 0, 0xCAFEBABEu), Frame(kAppCommand, 0x04, {0xCAFEBABEu})},
        {Record(kAppCommand, 7, 0, 0, 300), Frame(kAppCommand, 0x09, {7, 300})},
        {Record(kAppCommand, 0, 0x00010001u, 3, 1), Frame(kAppCommand, 0x0E, {0x00010001u, 3, 1})},
        {Record(kAppCommand, 0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u),
         Frame(kAppCommand, 0x0F, {0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u})},
        // Caller bits 0x10-0x80 travel unchanged; presence bits follow the fields alone.
        {Record(kAppCommand, 0, 0x11u, 0, 0x22u, 0xF0), Frame(kAppCommand, 0xFA, {0x11u, 0x22u})},
        {Record(kAppCommand, 0, 0, 0, 0, 0x0F), Frame(kAppCommand, 0x00)},
        {Record(kAppCommand, 0, 0, 3, 0, 0x99), Frame(kAppCommand, 0x94, {3})},
    };
    Reopen();
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << (int)c.expected[4]);
        g_Fake.sends.clear();
        EXPECT_EQ(KEL_OK, KelSendCommand(h, &c.cmd, 1));
        EXPECT_EQ(std::vector<Bytes>{c.expected}, g_Fake.sends);
    }
    // A failed send is reported by KelSend and by KelSendCommand.
    TraceCapture trace;
    g_Fake.nSendCut = 0;
    EXPECT_EQ(KEL_ERR_COMM, KelSendCommand(h, &cases[0].cmd, 1));
    EXPECT_EQ(kComm2, trace.ErrorCodes());
}

// Only the announced words are read, the data after them is left; a frame
// cut short keeps the words that arrived whole and fails at both levels.
TEST_F(Frames, DecodeReadsTheAnnouncedWordsOnlyAndKeepsOnlyWhatArrivedWhole) {
    const Bytes all = Frame(kAppReply, 0x0F, {0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u});
    const struct {
        const char *szName;
        Bytes stream;
        size_t nDelivered, nChunk;
        int nAtEnd;  // 0: the peer closes, -1: a socket error
        KelCommand expected;
        size_t nRead;
    } cases[] = {
        {"flags 0x0A, data follows", Concat({Frame(kAppReply, 0x0A, {0x00010001u, 3}), Bytes{9, 9, 9}}),
         SIZE_MAX, 0, 0, Record(kAppReply, 0, 0x00010001u, 0, 3, 0x0A), 13},
        {"all four words and caller bits, byte by byte",
         Frame(kAppReply, 0xFF, {0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u}), SIZE_MAX, 1, 0,
         Record(kAppReply, 0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u, 0xFF), 21},
        // Bits 0x20 to 0x80 announce nothing: the next frame starts at byte 5.
        {"caller bits only", Concat({Frame(kAppReply, 0xE0), Frame(kAppCommand, 0x01, {5})}), SIZE_MAX, 0, 0,
         Record(kAppReply, 0, 0, 0, 0, 0xE0), 5},
        {"peer closes after 3 header bytes", all, 3, 0, 0, Record(0), 3},
        {"socket error after the header", all, 5, 0, -1, Record(kAppReply, 0, 0, 0, 0, 0x0F), 5},
        {"peer closes inside the third word", all, 15, 4, 0,
         Record(kAppReply, 0x11111111u, 0x22222222u, 0, 0, 0x0F), 15},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szName);
        Deliver(c.stream, c.nDelivered, c.nChunk);
        g_Fake.nRecvErrorAfterScript = c.nAtEnd;
        KelCommand cmd;
        memset(&cmd, 0xAA, sizeof cmd);
        TraceCapture trace;
        EXPECT_EQ(c.nDelivered == SIZE_MAX ? KEL_OK : KEL_ERR_COMM, KelReceiveCommand(h, &cmd));
        EXPECT_TRUE(Same(c.expected, cmd));
        EXPECT_EQ(c.nRead, g_Fake.nRecvPos);
        EXPECT_EQ(c.nDelivered == SIZE_MAX ? std::vector<int>() : kComm2, trace.ErrorCodes());
    }
}

// The data of a frame that was not awaited is read and dropped in chunks of
// at most 256 bytes (short deliveries completed within the chunk), its
// length taken as unsigned. (Ignore and no-skip frames: in the session sweeps.)
TEST_F(Frames, DispatchDropsTheDataInChunksOfAtMost256Bytes) {
    const struct {
        uint32_t dwDataLen;
        size_t nAvailable, nChunk;  // the stream's bytes and how they arrive
        std::vector<int> asked;
    } cases[] = {
        {0, 1, 0, {}},
        {256, 257, 0, {256}},
        {257, 258, 0, {256, 1}},
        {600, 601, 0, {256, 256, 88}},
        {300, 301, 100, {256, 156, 56, 44}},
        {0x80000010u, 16, 0, {256, 240}},  // a reader that took the length as signed would succeed
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dwDataLen << " bytes in chunks of " << c.nChunk);
        Deliver(Pattern(c.nAvailable), SIZE_MAX, c.nChunk);
        KelCommand cmd = Record(kAppCommand, 0, 0, 0, c.dwDataLen);
        TraceCapture trace;
        bool bWhole = c.nAvailable > c.dwDataLen;
        EXPECT_EQ(bWhole ? KEL_OK : KEL_ERR_COMM, KelDispatchCommand(h, &cmd));
        EXPECT_EQ(c.asked, g_Fake.recvAsked);
        EXPECT_EQ(bWhole ? std::vector<int>() : kComm2, trace.ErrorCodes());
        EXPECT_EQ(std::min<size_t>(c.dwDataLen, c.nAvailable), g_Fake.nRecvPos);
    }
}

// KelExchange against the separate calls in their documented order, on the
// same bytes: the same socket sends and receives, reply, data and codes
// (its own "Error:" line after theirs), nothing allocated; data longer than
// the buffer stays in the stream for the caller.
TEST_F(Frames, ExchangeMakesTheSocketCallsOfTheSeparateCallsAndLeavesLongerDataInTheStream) {
    const Bytes chatter = Concat({WireRecord(Record(0x20000001u, 0, 0, 0, 40), Pattern(40, 9)),
                                  WireRecord(Record(KEL_CMD_IGNORE, 0, 0, 0, 0, KEL_FLAG_NOSKIP))});
    const Bytes reply300 = WireRecord(Record(kAppReply, 5, 0x00030004u, 6, 300, 0x20), Pattern(300, 7));
    const struct {
        const char *szName;
        uint32_t dwRequestLen, dwBufferSize;
        Bytes host;
        size_t nHostCut, nSendCut;  // the server's and the client's bytes end after this many
        int32_t nExpected;
        size_t nLeft;  // the server's bytes left unread
        bool bSameRecord;
    } cases[] = {
        {"no data either way", 0, 0, WireRecord(Record(kAppReply)), SIZE_MAX, SIZE_MAX, KEL_OK, 0, false},
        {"16 bytes each way into a 16-byte buffer", 16, 16,
         WireRecord(Record(kAppReply, 0, 0, 0, 16), Pattern(16)), SIZE_MAX, SIZE_MAX, KEL_OK, 0, true},
        {"frames to dispose of first, 1100 bytes out", 1100, 4096, Concat({chatter, reply300}), SIZE_MAX,
         SIZE_MAX, KEL_OK, 0, false},
        {"data longer than the buffer", 16, 299, reply300, SIZE_MAX, SIZE_MAX, KEL_OK, 300, true},
        {"data cut short", 16, 4096, reply300, 100, SIZE_MAX, KEL_ERR_COMM, 0, false},
        {"a no-skip frame first", 0, 64, WireRecord(Record(0x777u, 0, 0, 0, 3, KEL_FLAG_NOSKIP), {1, 2, 3}),
         SIZE_MAX, SIZE_MAX, KEL_ERR_PROTOCOL, 3, false},
        {"the request cut", 16, 64, reply300, SIZE_MAX, 20, KEL_ERR_COMM, reply300.size(), false},
    };
    struct Outcome {
        int32_t nRc;
        std::vector<Bytes> sends;
        std::vector<int> asked, errors;
        KelCommand reply;
        Bytes data;
        uint32_t dwReceived;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.szName);
        const Bytes data = Pattern(c.dwRequestLen, 3);
        auto run = [&](bool bExchange) {
            Deliver(c.host, c.nHostCut);
            g_Fake.nSendCut = c.nSendCut;
            int nAllocs = g_Fake.nAllocs;
            KelCommand request = Record(kAppCommand, 1, 0, 2, c.dwRequestLen, 0x40), other;
            KelCommand *lpReply = c.bSameRecord ? &request : &other;
            Outcome o{};
            o.data.assign(c.dwBufferSize, 0);
            TraceCapture trace;
            if (bExchange) {
                o.nRc = KelExchange(h, &request, data.data(), kAppReply, lpReply, o.data.data(),
                                    c.dwBufferSize, &o.dwReceived);
            } else {
                uint32_t dwSent = 0;
                o.nRc = KelSendCommand(h, &request, c.dwRequestLen ? 0 : 1);
                if (!o.nRc && c.dwRequestLen) o.nRc = KelSend(h, data.data(), c.dwRequestLen, &dwSent, 1);
                if (!o.nRc) o.nRc = KelWaitForResponse(h, kAppReply, lpReply);
                if (!o.nRc && lpReply->dwDataLen && lpReply->dwDataLen <= c.dwBufferSize)
                    o.nRc = KelReceive(h, o.data.data(), lpReply->dwDataLen, &o.dwReceived, 1);
                if (o.nRc) o.errors.push_back(o.nRc);  // the exchange's own line
            }
            EXPECT_EQ(nAllocs, g_Fake.nAllocs);
            EXPECT_EQ(c.nLeft, std::min(c.host.size(), c.nHostCut) - g_Fake.nRecvPos);
            o.sends = g_Fake.sends;
            o.asked = g_Fake.recvAsked;
            std::vector<int> codes = trace.ErrorCodes();
            o.errors.insert(o.errors.begin(), codes.begin(), codes.end());
            o.reply = *lpReply;
            return o;
        };
        const Outcome separate = run(false), exchange = run(true);
        EXPECT_EQ(c.nExpected, exchange.nRc);
        EXPECT_EQ(separate.nRc, exchange.nRc);
        EXPECT_EQ(separate.sends, exchange.sends);
        EXPECT_EQ(separate.asked, exchange.asked);
        EXPECT_EQ(separate.errors, exchange.errors);
        EXPECT_TRUE(Same(separate.reply, exchange.reply));
        EXPECT_EQ(separate.data, exchange.data);
        EXPECT_EQ(separate.dwReceived, exchange.dwReceived);
    }
}

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
