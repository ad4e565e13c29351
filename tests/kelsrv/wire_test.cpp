// Frame coding and logon-block decoding of kelsrv, against literal bytes.
#include "wire.h"

#include <gtest/gtest.h>

#include "raw_client.h"

namespace kelsrv_test {
namespace {

using kelsrv::Credential;

TEST(KelsrvWire, FrameWordsTravelOnlyWhenNonZeroInFixedOrder) {
  KelCommand cmd = kelsrv::MakeCommand(0x40000100u, 3, 0x00010002u);
  cmd.dwParm3 = 0x0A0B0C0D;
  Bytes out;
  kelsrv::AppendFrame(&out, cmd);
  EXPECT_EQ(out, (Bytes{0x40, 0, 1, 0, 0x0E, 0, 1, 0, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 3}));
}

TEST(KelsrvWire, CallerFlagBitsStayAndZeroFieldsAddNothing) {
  KelCommand cmd = kelsrv::MakeCommand(KEL_RSP_DISCONNECT);
  cmd.bFlags = 0xB0;
  EXPECT_EQ(kelsrv::EncodeFrameWithData(cmd, {}), (Bytes{0x40, 0, 0, 3, 0xB0}));
}

TEST(KelsrvWire, DecodeReadsOnlyAnnouncedWords) {
  const Bytes frame{0x80, 0, 0, 2, 0x0A, 0x00, 0x01, 0x00, 0x05, 0, 0, 0, 41};
  ASSERT_EQ(kelsrv::FrameLength(frame[4]), frame.size());
  KelCommand cmd = kelsrv::DecodeFrame(frame.data());
  EXPECT_EQ(cmd.dwCommand, KEL_CMD_LOGON);
  EXPECT_EQ(cmd.bFlags, 0x0A);
  EXPECT_EQ(cmd.dwParm1, 0u);
  EXPECT_EQ(cmd.dwRetCode, 0x00010005u);
  EXPECT_EQ(cmd.dwParm3, 0u);
  EXPECT_EQ(cmd.dwDataLen, 41u);
}

TEST(KelsrvWire, FrameLengthCountsOnlyTheFourWordBits) {
  EXPECT_EQ(kelsrv::FrameLength(0x00), 5u);
  EXPECT_EQ(kelsrv::FrameLength(0xF0), 5u);
  EXPECT_EQ(kelsrv::FrameLength(0x0F), 21u);
  EXPECT_EQ(kelsrv::FrameLength(0x14), 9u);
}

TEST(KelsrvWire, IdentBlockIsBigEndianWithPaddedDescription) {
  Bytes block = kelsrv::MakeIdentBlock(0x53010203u, 0x00040005u, "abc");
  ASSERT_EQ(block.size(), 88u);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 11), (Bytes{0x53, 1, 2, 3, 0, 4, 0, 5, 'a', 'b', 'c'}));
  EXPECT_EQ(Bytes(block.begin() + 11, block.end()), Bytes(77, 0));
}

TEST(KelsrvWire, UnscrambleUndoesAnyRandomBytes) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    Bytes scrambled = Scramble("pa\x01s\xFFwd", &rng);
    Credential expected{'p', 'a', 0x01, 's', 0xFF, 'w', 'd', 0};
    EXPECT_EQ(kelsrv::Unscramble(scrambled.data()), expected) << "seed " << seed;
  }
}

TEST(KelsrvWire, LogonBlockGivesUserAndBothPasswords) {
  std::mt19937 rng(7);
  Bytes block = LogonBlock("eightchr", "12345678", "x", &rng);
  kelsrv::LogonRequest request = kelsrv::DecodeLogonBlock(block.data());
  EXPECT_EQ(request.userId, "eightchr");
  EXPECT_EQ(request.password, kelsrv::MakeCredential("12345678"));
  EXPECT_TRUE(request.hasPassword2);
  EXPECT_EQ(request.password2, kelsrv::MakeCredential("x"));
}

TEST(KelsrvWire, ZeroSecondPasswordBytesMeanNoneEvenWithEmptyFirst) {
  std::mt19937 rng(9);
  Bytes block = LogonBlock("u", "", "", &rng);
  kelsrv::LogonRequest request = kelsrv::DecodeLogonBlock(block.data());
  EXPECT_EQ(request.userId, "u");
  EXPECT_EQ(request.password, Credential{});
  EXPECT_FALSE(request.hasPassword2);
}

TEST(KelsrvWire, UserIdFillingAllNineBytesIsTakenWhole) {
  Bytes block(41, 0);
  for (int i = 0; i < 9; ++i)
    block[i] = static_cast<std::uint8_t>('a' + i);
  EXPECT_EQ(kelsrv::DecodeLogonBlock(block.data()).userId, "abcdefghi");
}

} // namespace
} // namespace kelsrv_test
