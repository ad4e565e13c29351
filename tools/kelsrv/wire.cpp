#include "wire.h"

#include <algorithm>

namespace kelsrv {
namespace {

// The optional words in their wire order, with the bit announcing each.
struct WordSlot {
    std::uint8_t bit;
    std::uint32_t KelCommand::*field;
};
constexpr WordSlot kWordSlots[] = {
    {KEL_FLAG_PARM1, &KelCommand::dwParm1},
    {KEL_FLAG_RETCODE, &KelCommand::dwRetCode},
    {KEL_FLAG_PARM3, &KelCommand::dwParm3},
    {KEL_FLAG_DATALEN, &KelCommand::dwDataLen},
};

}  // namespace

void PutBigEndian32(std::uint8_t *out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t GetBigEndian32(const std::uint8_t *in) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
           std::uint32_t{in[3]};
}

KelCommand MakeCommand(std::uint32_t code, std::uint32_t dataLen, std::uint32_t retCode) {
    KelCommand cmd{};
    cmd.dwCommand = code;
    cmd.dwDataLen = dataLen;
    cmd.dwRetCode = retCode;
    return cmd;
}

void AppendFrame(Bytes *out, const KelCommand &cmd) {
    std::size_t start = out->size();
    out->resize(start + kFrameHeaderLen);
    PutBigEndian32(out->data() + start, cmd.dwCommand);
    std::uint8_t flags = cmd.bFlags;
    for (const WordSlot &slot : kWordSlots) {
        std::uint32_t value = cmd.*slot.field;
        if (value == 0) continue;
        flags |= slot.bit;
        std::size_t at = out->size();
        out->resize(at + 4);
        PutBigEndian32(out->data() + at, value);
    }
    (*out)[start + 4] = flags;
}

Bytes EncodeFrameWithData(const KelCommand &cmd, const Bytes &data) {
    Bytes out;
    AppendFrame(&out, cmd);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::size_t FrameLength(std::uint8_t flags) {
    std::size_t len = kFrameHeaderLen;
    for (const WordSlot &slot : kWordSlots)
        if (flags & slot.bit) len += 4;
    return len;
}

KelCommand DecodeFrame(const std::uint8_t *bytes) {
    KelCommand cmd{};
    cmd.dwCommand = GetBigEndian32(bytes);
    cmd.bFlags = bytes[4];
    const std::uint8_t *word = bytes + kFrameHeaderLen;
    for (const WordSlot &slot : kWordSlots) {
        if (cmd.bFlags & slot.bit) {
            cmd.*slot.field = GetBigEndian32(word);
            word += 4;
        }
    }
    return cmd;
}

Bytes MakeIdentBlock(std::uint32_t id, std::uint32_t version, const std::string &description) {
    Bytes block(kIdentBlockLen, 0);
    PutBigEndian32(block.data(), id);
    PutBigEndian32(block.data() + 4, version);
    std::copy_n(description.begin(), std::min(description.size(), kDescriptionLen), block.begin() + 8);
    return block;
}

Credential MakeCredential(const std::string &text) {
    Credential field{};
    std::copy_n(text.begin(), std::min(text.size(), kCredentialLen), field.begin());
    return field;
}

Credential Unscramble(const std::uint8_t *scrambled) {
    Credential plain{};
    std::uint8_t previous = 0;
    for (std::size_t i = 0; i < kCredentialLen; ++i) {
        plain[i] = static_cast<std::uint8_t>(scrambled[2 * i + 1] ^ scrambled[2 * i] ^ previous);
        previous = plain[i];
    }
    return plain;
}

LogonRequest DecodeLogonBlock(const std::uint8_t *block) {
    LogonRequest request;
    const char *user = reinterpret_cast<const char *>(block);
    request.userId.assign(user, std::find(user, user + 9, '\0'));
    request.password = Unscramble(block + 9);
    const std::uint8_t *second = block + 25;
    request.hasPassword2 = std::any_of(second, second + 16, [](std::uint8_t b) { return b != 0; });
    if (request.hasPassword2) request.password2 = Unscramble(second);
    return request;
}

}  // namespace kelsrv
