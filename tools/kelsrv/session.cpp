#include "session.h"

#include <algorithm>

#include "log.h"
#include "text.h"
#include "tls_server.h"

namespace kelsrv {

using keltools::Hex32;

Session::Session(const Options &options, netio::Socket s, unsigned long number)
    : options_(options), socket_(s), number_(number) {}

Session::~Session() = default;

void Session::Run() {
    Log("opened from " + netio::PeerName(socket_));
    if (options_.idleTimeout.count() > 0) {
        const auto milliseconds = static_cast<unsigned>(options_.idleTimeout.count());
        netio::SetReceiveTimeout(socket_, milliseconds);
        netio::SetSendTimeout(socket_, milliseconds);
    }
    if (options_.tls && !StartTls()) return;
    KelCommand request;
    while (ReadRequest(&request) && Handle(request)) {
    }
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
    std::uint8_t block[kLogonBlockLen];
    if (!ReadData(block, kLogonBlockLen)) return false;
    LogonRequest logon = DecodeLogonBlock(block);
    std::uint32_t code = CheckLogon(options_.users, logon);
    loggedOn_ = code == 0;
    if (!loggedOn_) {
        Log("logon of " + Quoted(logon.userId) + " refused with " + Hex32(code));
        return SendReply(MakeCommand(KEL_RSP_LOGON, 0, code));
    }
    Log("logon of " + Quoted(logon.userId) + " accepted");
    // The data byte; the misbehaving server announces and sends a second one.
    Bytes data(options_.misbehaviour == Misbehaviour::LogonLength ? 2 : 1, 0);
    data[0] = options_.logonData;
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
    KelCommand reply = MakeCommand(kRspEcho, request.dwDataLen);
    reply.dwParm1 = request.dwParm1;
    reply.dwParm3 = request.dwParm3;
    reply.bFlags = static_cast<std::uint8_t>(request.bFlags & 0xE0);
    // The data goes straight behind the reply's frame: one buffer, one send.
    Bytes frame;
    AppendFrame(&frame, reply);
    const std::size_t at = frame.size();
    frame.resize(at + request.dwDataLen);
    return ReadData(frame.data() + at, request.dwDataLen) && SendFrame(frame);
}

bool Session::HandleChatty(const KelCommand &request) {
    std::uint32_t dataLen = request.dwParm1 ? request.dwParm1 : kChattyDefaultDataLen;
    std::uint32_t rounds = request.dwParm3 ? request.dwParm3 : 1;
    if (!SkipData(request.dwDataLen)) return false;
    if (dataLen > kChattyMaxDataLen || rounds > kChattyMaxRounds)
        return SendReply(MakeCommand(kRspChatty, 0, kRcBadRequest));
    // One note frame serves every round: only its dwParm1 changes, the first
    // word after the flag byte (the round is never 0, so the word is there).
    KelCommand note = MakeCommand(kNoteFrame, dataLen);
    note.dwParm1 = 1;
    Bytes noteFrame;
    AppendFrame(&noteFrame, note);
    const std::size_t at = noteFrame.size();
    noteFrame.resize(at + dataLen);
    for (std::uint32_t i = 0; i < dataLen; ++i) noteFrame[at + i] = static_cast<std::uint8_t>(i);
    for (std::uint32_t round = 1; round <= rounds; ++round) {
        PutBigEndian32(noteFrame.data() + kFrameHeaderLen, round);
        KelCommand ignore = MakeCommand(KEL_CMD_IGNORE);
        ignore.dwParm1 = round;
        if (!SendBytes(noteFrame) || !SendBytes(EncodeFrameWithData(ignore, {}))) return false;
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

bool Session::StartTls() {
    std::string why;
    tls_ = TlsStream::Accept(*options_.tls, socket_, &why);
    if (!tls_) {
        Log("TLS handshake failed: " + why);
        return false;
    }
    Log("TLS handshake done, " + tls_->Version());
    return true;
}

bool Session::ReadRequest(KelCommand *request) {
    std::uint8_t frame[kMaxFrameHeaderLen];
    std::size_t got = 0;
    if (!Receive(frame, kFrameHeaderLen, &got) ||
        !Receive(frame + kFrameHeaderLen, FrameLength(frame[4]) - kFrameHeaderLen, &got)) {
        // Only a close before the first byte of a frame is a client's orderly goodbye.
        LogEnd(got > 0);
        return false;
    }
    *request = DecodeFrame(frame);
    return true;
}

bool Session::ReadData(void *buffer, std::size_t len) {
    if (Receive(buffer, len)) return true;
    LogEnd(true);
    return false;
}

bool Session::SkipData(std::uint32_t len) {
    std::uint8_t scratch[4096];
    while (len > 0) {
        std::uint32_t chunk = std::min<std::uint32_t>(len, sizeof scratch);
        if (!ReadData(scratch, chunk)) return false;
        len -= chunk;
    }
    return true;
}

bool Session::Receive(void *buffer, std::size_t len, std::size_t *got) {
    auto *p = static_cast<std::uint8_t *>(buffer);
    for (std::size_t left = len; left > 0;) {
        long n = tls_ ? tls_->ReceiveSome(p, left) : netio::ReceiveSome(socket_, p, left);
        if (n <= 0) {
            end_ = n == 0 ? End::Closed : netio::TimedOut() ? End::Idle : End::Failed;
            if (end_ == End::Failed) failure_ = netio::LastError();
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
        if (got) *got += static_cast<std::size_t>(n);
    }
    return true;
}

void Session::LogEnd(bool inRequest) {
    if (end_ == End::Idle)
        Log("no byte for " + DurationText(options_.idleTimeout) + ": closed");
    else if (end_ == End::Failed)
        Log("connection lost: " + failure_);
    else
        Log(inRequest ? "connection lost in the middle of a request" : "closed by the client");
}

// Frame and data go out in one send, as one piece of the stream.
bool Session::SendReply(const KelCommand &reply, const Bytes &data) {
    return SendFrame(EncodeFrameWithData(reply, data));
}

bool Session::SendFrame(const Bytes &frame) {
    if (options_.misbehaviour == Misbehaviour::NoSkip) {
        KelCommand noSkip = MakeCommand(kNoSkipFrame);
        noSkip.bFlags = KEL_FLAG_NOSKIP;
        if (!SendBytes(EncodeFrameWithData(noSkip, {}))) return false;
    }
    return SendBytes(frame);
}

bool Session::SendBytes(const Bytes &bytes) {
    std::size_t len = bytes.size();
    bool cut = false;
    if (options_.misbehaviour == Misbehaviour::CloseAfter && bytesSent_ + len >= options_.closeAfterBytes) {
        len = static_cast<std::size_t>(options_.closeAfterBytes - bytesSent_);
        cut = true;
    }
    if (len > 0 && !(tls_ ? tls_->SendAll(bytes.data(), len) : netio::SendAll(socket_, bytes.data(), len))) {
        Log(netio::TimedOut()
                ? "took no byte of a reply for " + DurationText(options_.idleTimeout) + ": closed"
                : "connection lost while sending");
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
