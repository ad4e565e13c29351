#include "frame_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "text.h"

namespace kelsrv {
namespace {

// The logon block: the user id, then the two scrambled password fields.
constexpr std::size_t kUserIdLen = 9;
constexpr std::size_t kScrambledLen = 16;

// The data bytes a line shows at most.
constexpr std::size_t kShownDataBytes = 16;

std::string HexBytes(const Bytes &data, std::size_t count) {
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < count && i < data.size(); ++i) {
        std::snprintf(hex, sizeof hex, " %02x", data[i]);
        text += hex;
    }
    return text;
}

// "user 'demo', password scrambled, 16 bytes, password2 none (zeros)".
std::string DescribeLogonBlock(const Bytes &data) {
    const std::size_t idLen = std::min(data.size(), kUserIdLen);
    const char *id = reinterpret_cast<const char *>(data.data());
    std::string text = "user " + Quoted(std::string(id, std::find(id, id + idLen, '\0')));
    if (data.size() != kLogonBlockLen)
        return text + ", " + std::to_string(data.size() - idLen) + " more bytes not shown";
    const std::uint8_t *second = data.data() + kUserIdLen + kScrambledLen;
    const bool none = std::all_of(second, second + kScrambledLen, [](std::uint8_t b) { return b == 0; });
    return text + ", password scrambled, 16 bytes, password2 " +
           (none ? "none (zeros)" : "scrambled, 16 bytes");
}

}  // namespace

std::uint32_t DataFollowing(const KelCommand &header) {
    const bool announced = (header.bFlags & KEL_FLAG_DATALEN) != 0;
    return announced && header.dwCommand != KEL_CMD_IGNORE ? header.dwDataLen : 0;
}

Bytes EncodeExactly(const Frame &frame) {
    const KelCommand &h = frame.header;
    Bytes out(kFrameHeaderLen);
    PutBigEndian32(out.data(), h.dwCommand);
    out[4] = h.bFlags;
    const struct {
        std::uint8_t bit;
        std::uint32_t value;
    } kWords[] = {{KEL_FLAG_PARM1, h.dwParm1},
                  {KEL_FLAG_RETCODE, h.dwRetCode},
                  {KEL_FLAG_PARM3, h.dwParm3},
                  {KEL_FLAG_DATALEN, h.dwDataLen}};
    for (const auto &word : kWords) {
        if (!(h.bFlags & word.bit)) continue;
        out.resize(out.size() + 4);
        PutBigEndian32(out.data() + out.size() - 4, word.value);
    }
    out.insert(out.end(), frame.data.begin(), frame.data.end());
    return out;
}

const char *CodeName(std::uint32_t code) {
    switch (code) {
        case KEL_CMD_IDENTIFY:
            return "KEL_CMD_IDENTIFY";
        case KEL_RSP_IDENTIFY:
            return "KEL_RSP_IDENTIFY";
        case KEL_CMD_LOGON:
            return "KEL_CMD_LOGON";
        case KEL_RSP_LOGON:
            return "KEL_RSP_LOGON";
        case KEL_CMD_DISCONNECT:
            return "KEL_CMD_DISCONNECT";
        case KEL_RSP_DISCONNECT:
            return "KEL_RSP_DISCONNECT";
        case KEL_CMD_IGNORE:
            return "KEL_CMD_IGNORE";
        default:
            return "";
    }
}

std::string DescribeFrame(const Frame &frame) {
    const KelCommand &h = frame.header;
    std::string text = keltools::Hex32(h.dwCommand);
    if (*CodeName(h.dwCommand)) text += std::string(" ") + CodeName(h.dwCommand);
    char flags[8];
    std::snprintf(flags, sizeof flags, "0x%02X", h.bFlags);
    text += std::string(" flags ") + flags;
    if (h.bFlags & KEL_FLAG_PARM1) text += " parm1 " + keltools::Hex32(h.dwParm1);
    if (h.bFlags & KEL_FLAG_RETCODE) text += " retcode " + keltools::Hex32(h.dwRetCode);
    if (h.bFlags & KEL_FLAG_PARM3) text += " parm3 " + keltools::Hex32(h.dwParm3);
    text += " data " + std::to_string(h.bFlags & KEL_FLAG_DATALEN ? h.dwDataLen : 0);
    if (h.dwCommand == KEL_CMD_IGNORE && h.dwDataLen != 0)
        return text + " (announced; an ignore frame carries none)";
    if (frame.data.empty()) return text;
    if (h.dwCommand == KEL_CMD_LOGON) return text + ": " + DescribeLogonBlock(frame.data);
    text += ":" + HexBytes(frame.data, kShownDataBytes);
    return frame.data.size() > kShownDataBytes ? text + " ..." : text;
}

void ClearPasswords(Frame *frame) {
    if (frame->header.dwCommand != KEL_CMD_LOGON || frame->data.size() <= kUserIdLen) return;
    std::fill(frame->data.begin() + kUserIdLen, frame->data.end(), 0);
}

void FrameScanner::Feed(const std::uint8_t *bytes, std::size_t len, const FrameSink &onFrame) {
    while (!Lost()) {
        if (!headerDone_) {
            const std::size_t want = headerGot_ < kFrameHeaderLen ? kFrameHeaderLen : FrameLength(header_[4]);
            const std::size_t take = std::min(want - headerGot_, len);
            std::memcpy(header_ + headerGot_, bytes, take);
            headerGot_ += take, bytes += take, len -= take;
            if (headerGot_ < kFrameHeaderLen || headerGot_ < FrameLength(header_[4])) {
                if (len == 0) return;
                continue;
            }
            frame_.header = DecodeFrame(header_);
            frame_.data.clear();
            if (DataFollowing(frame_.header) > kMaxDecodedDataLen) {
                lostReason_ = "a frame " + keltools::Hex32(frame_.header.dwCommand) + " announces " +
                              std::to_string(frame_.header.dwDataLen) + " bytes of data";
                return;
            }
            headerDone_ = true;
        }
        const std::size_t take =
            std::min<std::size_t>(DataFollowing(frame_.header) - frame_.data.size(), len);
        frame_.data.insert(frame_.data.end(), bytes, bytes + take);
        bytes += take, len -= take;
        if (frame_.data.size() < DataFollowing(frame_.header)) return;
        onFrame(frame_);
        frame_.data.clear();
        headerGot_ = 0;
        headerDone_ = false;
        if (len == 0) return;
    }
}

}  // namespace kelsrv
