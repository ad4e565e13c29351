#include "session.h"

#include <algorithm>

#include "protocol.h"
#include "text.h"

namespace kelsrv {

using keltools::Hex32;

Session::Session(const Options &options, netio::Socket s, unsigned long number)
    : options_(options), socket_(s), number_(number) {}

void Session::Run() {
    Log("opened from " + netio::PeerName(socket_));
    KelCommand request;
    while (ReadFrame(socket_, &request)) {
        if (!Handle(request)) return;
    }
    Log("closed by the client");
}

bool Session::Handle(const KelCommand &request) {
    switch (request.dwCommand) {
        case KEL_CMD_IDENTIFY:
            return HandleIdentify(request);
        case KEL_CMD_LOGON:
            return HandleLogon(request);
        case KEL_CMD_DISCONNECT:
            return HandleDisconnect(request);
        case KEL_CMD_IGNORE:
            return true;  // like a client, no data is read after an ignore frame
        default:
            break;
    }
    if (request.dwCommand != kCmdEcho && request.dwCommand != kCmdChatty) return HandleUnknown(request);
    if (!loggedOn_) {
        Log("command " + Hex32(request.dwCommand) + " before logon refused");
        return SkipData(request.dwDataLen) &&
               SendReply(MakeCommand(ReplyCodeFor(request.dwCommand), 0, kRcNotLoggedOn));
    }
    return request.dwCommand == kCmdEcho ? HandleEcho(request) : HandleChatty(request);
}

bool Session::HandleIdentify(const KelCommand &request) {
    if (request.dwDataLen != kIdentBlockLen) {
        Log("identify with data length " + std::to_string(request.dwDataLen) + " refused");
        return SkipData(request.dwDataLen) && SendReply(MakeCommand(KEL_RSP_IDENTIFY, 0, kRcBadRequest));
    }
    if (!SkipData(request.dwDataLen)) return false;
    std::uint32_t id = options_.serverId;
    if (options_.misbehaviour == Misbehaviour::WrongMarker) id = (kWrongMarker << 24) | (id & 0x00FFFFFFu);
    Bytes block = MakeIdentBlock(id, options_.serverVersion, options_.description);
    KelCommand reply = MakeCommand(KEL_RSP_IDENTIFY, kIdentBlockLen);
    if (options_.misbehaviour == Misbehaviour::IdentifyRetCode) reply.dwRetCode = kRcMisbehaviourIdentify;
    if (options_.misbehaviour == Misbehaviour::IdentifyLength) {
        block.resize(kDescriptionLen);
        reply.dwDataLen = kDescriptionLen;
    }
    Log("identified as " + Hex32(id));
    return SendReply(reply, block);
}

bool Session::HandleLogon(const KelCommand &request) {
    if (request.dwDataLen != kLogonBlockLen) {
        Log("logon with data length " + std::to_string(request.dwDataLen) + " refused");
        return SkipData(request.dwDataLen) && SendReply(MakeCommand(KEL_RSP_LOGON, 0, kRcBadRequest));
    }
    Bytes block;
    if (!ReadData(request.dwDataLen, &block)) return false;
    LogonRequest logon = DecodeLogonBlock(block.data());
    std::uint32_t code = CheckLogon(options_.users, logon);
    if (code != 0) {
        loggedOn_ = false;
        Log("logon of '" + logon.userId + "' refused with " + Hex32(code));
        return SendReply(MakeCommand(KEL_RSP_LOGON, 0, code));
    }
    loggedOn_ = true;
    userId_ = logon.userId;
    Log("logon of '" + userId_ + "' accepted");
    Bytes data(1, options_.logonData);
    if (options_.misbehaviour == Misbehaviour::LogonLength) data.push_back(0);
    return SendReply(MakeCommand(KEL_RSP_LOGON, static_cast<std::uint32_t>(data.size())), data);
}

bool Session::HandleDisconnect(const KelCommand &request) {
    if (SkipData(request.dwDataLen)) SendReply(MakeCommand(KEL_RSP_DISCONNECT));
    Log("disconnected");
    return false;
}

bool Session::HandleEcho(const KelCommand &request) {
    if (request.dwDataLen > kMaxEchoDataLen) {
        Log("echo of " + std::to_string(request.dwDataLen) + " bytes refused");
        return SkipData(request.dwDataLen) && SendReply(MakeCommand(kRspEcho, 0, kRcBadRequest));
    }
    Bytes data;
    if (!ReadData(request.dwDataLen, &data)) return false;
    KelCommand reply = MakeCommand(kRspEcho, request.dwDataLen);
    reply.dwParm1 = request.dwParm1;
    reply.dwParm3 = request.dwParm3;
    reply.bFlags = static_cast<std::uint8_t>(request.bFlags & 0xE0);
    return SendReply(reply, data);
}

bool Session::HandleChatty(const KelCommand &request) {
    std::uint32_t dataLen = request.dwParm1 ? request.dwParm1 : kChattyDefaultDataLen;
    std::uint32_t rounds = request.dwParm3 ? request.dwParm3 : 1;
    if (!SkipData(request.dwDataLen)) return false;
    if (dataLen > kChattyMaxDataLen || rounds > kChattyMaxRounds)
        return SendReply(MakeCommand(kRspChatty, 0, kRcBadRequest));
    Bytes pattern(dataLen);
    for (std::uint32_t i = 0; i < dataLen; ++i) pattern[i] = static_cast<std::uint8_t>(i);
    for (std::uint32_t round = 1; round <= rounds; ++round) {
        KelCommand note = MakeCommand(kNoteFrame, dataLen);
        note.dwParm1 = round;
        KelCommand ignore = MakeCommand(KEL_CMD_IGNORE);
        ignore.dwParm1 = round;
        if (!SendBytes(EncodeFrameWithData(note, pattern)) || !SendBytes(EncodeFrameWithData(ignore, {})))
            return false;
    }
    KelCommand reply = MakeCommand(kRspChatty);
    reply.dwParm1 = rounds;
    return SendReply(reply);
}

bool Session::HandleUnknown(const KelCommand &request) {
    Log("unknown command " + Hex32(request.dwCommand));
    return SkipData(request.dwDataLen) &&
           SendReply(MakeCommand(ReplyCodeFor(request.dwCommand), 0, kRcUnknownCommand));
}

bool Session::ReadData(std::uint32_t len, Bytes *data) {
    data->resize(len);
    if (len == 0 || netio::ReceiveExact(socket_, data->data(), len)) return true;
    Log("connection lost in the data of a request");
    return false;
}

bool Session::SkipData(std::uint32_t len) {
    std::uint8_t scratch[4096];
    while (len > 0) {
        std::uint32_t chunk = std::min<std::uint32_t>(len, sizeof scratch);
        if (!netio::ReceiveExact(socket_, scratch, chunk)) {
            Log("connection lost in the data of a request");
            return false;
        }
        len -= chunk;
    }
    return true;
}

// Frame and data go out in one send, as one piece of the stream.
bool Session::SendReply(const KelCommand &reply, const Bytes &data) {
    if (options_.misbehaviour == Misbehaviour::NoSkip) {
        KelCommand noSkip = MakeCommand(kNoSkipFrame);
        noSkip.bFlags = KEL_FLAG_NOSKIP;
        if (!SendBytes(EncodeFrameWithData(noSkip, {}))) return false;
    }
    return SendBytes(EncodeFrameWithData(reply, data));
}

bool Session::SendBytes(const Bytes &bytes) {
    std::size_t len = bytes.size();
    bool cut = false;
    if (options_.misbehaviour == Misbehaviour::CloseAfter && bytesSent_ + len >= options_.closeAfterBytes) {
        len = static_cast<std::size_t>(options_.closeAfterBytes - bytesSent_);
        cut = true;
    }
    if (len > 0 && !netio::SendAll(socket_, bytes.data(), len)) {
        Log("connection lost while sending");
        return false;
    }
    bytesSent_ += len;
    if (cut) Log("closing after " + std::to_string(bytesSent_) + " bytes sent (close-after)");
    return !cut;
}

void Session::Log(const std::string &event) const {
    if (options_.log) options_.log("connection " + std::to_string(number_) + ": " + event);
}

}  // namespace kelsrv
