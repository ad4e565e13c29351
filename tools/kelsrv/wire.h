// Frame encoding and the identify and logon blocks, as kelsrv reads and
// writes them. Frames: 4-byte code, flag byte, then for flag bits 0x01,
// 0x02, 0x04, 0x08 in this order a word each; all big-endian.
#ifndef KELSRV_WIRE_H
#define KELSRV_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelapi.h"

namespace kelsrv {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFrameHeaderLen = 5;
// The longest frame header: code, flag byte and all four words.
constexpr std::size_t kMaxFrameHeaderLen = kFrameHeaderLen + 16;
constexpr std::size_t kIdentBlockLen = 88;
constexpr std::size_t kDescriptionLen = 80;
constexpr std::size_t kLogonBlockLen = 41;
constexpr std::size_t kCredentialLen = 8;

using Credential = std::array<std::uint8_t, kCredentialLen>;

void PutBigEndian32(std::uint8_t *out, std::uint32_t value);
std::uint32_t GetBigEndian32(const std::uint8_t *in);

// A record with only the code and the given words set.
KelCommand MakeCommand(std::uint32_t code, std::uint32_t dataLen = 0, std::uint32_t retCode = 0);

// Appends the frame of cmd: a word for every non-zero field, its bit ORed
// into the caller's flag byte. The data is the caller's to append.
void AppendFrame(Bytes *out, const KelCommand &cmd);

// The frame of cmd followed by data; dwDataLen is left as the caller set it,
// so a frame may announce a length that differs from the data sent.
Bytes EncodeFrameWithData(const KelCommand &cmd, const Bytes &data);

// Length of a frame with this flag byte: 5 + 4 per word bit.
std::size_t FrameLength(std::uint8_t flags);

// Decodes one whole frame from bytes (at least FrameLength(bytes[4]) long).
KelCommand DecodeFrame(const std::uint8_t *bytes);

// The 88-byte identify block: id and version big-endian, the description
// NUL-padded to 80 bytes (cut at 80).
Bytes MakeIdentBlock(std::uint32_t id, std::uint32_t version, const std::string &description);

// An 8-byte password field: the first 8 bytes of text, zero filled.
Credential MakeCredential(const std::string &text);

// Recovers 8 bytes from their 16 scrambled bytes: each input byte travels as
// (previous input ^ r, r ^ input), so input = second ^ first ^ previous.
Credential Unscramble(const std::uint8_t *scrambled);

// A decoded logon block.
struct LogonRequest {
    std::string userId;     // up to the first NUL of the 9-byte field
    Credential password{};  // un-scrambled, zero filled
    bool hasPassword2 = false;
    Credential password2{};  // all zero when not given
};

// Decodes the 41-byte logon block; bytes 25..40 all zero mean no second password.
LogonRequest DecodeLogonBlock(const std::uint8_t *block);

}  // namespace kelsrv

#endif
