#include "clients.h"

#include <cstring>
#include <string>

#include "platform.h"
#include "protocol.h"
#include "wire.h"

namespace kelbench {
namespace {

const char kUser[] = "bench";
const char kPassword[] = "bench";
const std::uint32_t kIdentLen = kelsrv::kIdentBlockLen;
const std::uint32_t kLogonLen = kelsrv::kLogonBlockLen;

using keltools::ReplyCodeFor;

// A frame as the library encodes it (code, flag byte, the non-zero words),
// followed by data; encoded by the reference server's wire code.
Bytes Frame(std::uint32_t code, std::uint32_t retCode, std::uint32_t dataLen, const Bytes &data = {}) {
    return kelsrv::EncodeFrameWithData(kelsrv::MakeCommand(code, dataLen, retCode), data);
}

// The identify and logon requests the library sends. The logon block is the
// user id and two password fields of zero bytes scrambled with zero, which a
// server without a user list accepts like any other.
Bytes IdentifyRequest() {
    return Frame(KEL_CMD_IDENTIFY, 0, kIdentLen,
                 kelsrv::MakeIdentBlock(0x43010100u, 0x00010001u, "Hox/Pym Connector API"));
}

Bytes LogonRequest() {
    Bytes block(kLogonLen, 0);
    std::memcpy(block.data(), kUser, sizeof kUser - 1);
    return Frame(KEL_CMD_LOGON, 0, kLogonLen, block);
}

}  // namespace

void Client::SetEcho(const Bytes &data) {
    echoData_ = data;
    echoReply_.clear();
}

bool Client::CheckedEcho() {
    if (!Echo()) return false;
    return std::memcmp(EchoReplyData(), echoData_.data(), echoData_.size()) == 0;
}

// ---- through the library

LibraryClient::LibraryClient(std::uint16_t port) : port_(port) {}

LibraryClient::~LibraryClient() {
    for (HKELCONNECTION connection : {connection_, cycleConnection_}) {
        if (!connection) continue;
        KelDisconnect(connection);
        KelFreeConnection(connection);
    }
}

HKELCONNECTION LibraryClient::NewConnection() const {
    HKELCONNECTION connection = nullptr;
    if (KelAllocConnection(KelStrToIP("127.0.0.1"), port_, kUser, kPassword, nullptr, &connection) != KEL_OK)
        return nullptr;
    KelSetTimeout(connection, kStepTimeoutMs);
    return connection;
}

bool LibraryClient::Connect(HKELCONNECTION connection) { return KelConnect(connection) == KEL_OK; }
bool LibraryClient::Disconnect(HKELCONNECTION connection) { return KelDisconnect(connection) == KEL_OK; }

bool LibraryClient::Open() {
    connection_ = NewConnection();
    cycleConnection_ = NewConnection();
    return connection_ && cycleConnection_ && Connect(connection_);
}

bool LibraryClient::Echo() {
    KelCommand command;
    std::memset(&command, 0, sizeof command);
    command.dwCommand = kEchoCode;
    command.dwDataLen = static_cast<std::uint32_t>(echoData_.size());
    echoReply_.resize(echoData_.size());
    std::uint32_t moved = 0;
    if (KelSendCommand(connection_, &command, 0) != KEL_OK ||
        KelSend(connection_, echoData_.data(), command.dwDataLen, &moved, 1) != KEL_OK ||
        KelWaitForResponse(connection_, ReplyCodeFor(kEchoCode), &command) != KEL_OK ||
        command.dwDataLen != echoData_.size())
        return false;
    return KelReceive(connection_, echoReply_.data(), command.dwDataLen, &moved, 1) == KEL_OK;
}

bool LibraryClient::Stream(std::uint32_t chunk, std::uint32_t count, bool flush) {
    streamData_.resize(chunk, 0x5A);
    KelCommand command;
    std::memset(&command, 0, sizeof command);
    command.dwCommand = kSinkCode;
    command.dwDataLen = chunk * count;
    std::uint32_t sent = 0;
    if (KelSendCommand(connection_, &command, 0) != KEL_OK) return false;
    for (std::uint32_t i = 0; i < count; ++i)
        if (KelSend(connection_, streamData_.data(), chunk, &sent, flush) != KEL_OK) return false;
    if (!flush && KelSend(connection_, streamData_.data(), 0, &sent, 1) != KEL_OK) return false;
    return KelWaitForResponse(connection_, ReplyCodeFor(kSinkCode), &command) == KEL_OK &&
           command.dwRetCode != 0 && command.dwDataLen == 0;
}

bool LibraryClient::Cycle() { return Connect(cycleConnection_) && Disconnect(cycleConnection_); }

// ---- over a plain socket

RawClient::~RawClient() { netio::Close(socket_); }

bool RawClient::ReceiveAndCompare(netio::Socket s, const Bytes &expected) {
    received_.resize(expected.size());
    return netio::ReceiveExact(s, received_.data(), received_.size()) && received_ == expected;
}

// Connects and logs on; the socket, or kInvalidSocket. Only the reply
// frames are compared: the server's identity block is its own.
netio::Socket RawClient::Logon() {
    static const Bytes identify = IdentifyRequest(), logon = LogonRequest();
    static const Bytes identifyReply = Frame(KEL_RSP_IDENTIFY, 0, kIdentLen);
    static const Bytes logonReply = Frame(KEL_RSP_LOGON, 0, 1);
    netio::Socket s = netio::Connect("127.0.0.1", port_);
    if (s == netio::kInvalidSocket) return s;
    netio::SetReceiveTimeout(s, kStepTimeoutMs);
    Bytes block(kIdentLen + 1);
    bool ok = netio::SendAll(s, identify.data(), identify.size()) && ReceiveAndCompare(s, identifyReply) &&
              netio::ReceiveExact(s, block.data(), kIdentLen) &&
              netio::SendAll(s, logon.data(), logon.size()) && ReceiveAndCompare(s, logonReply) &&
              netio::ReceiveExact(s, block.data(), 1);
    if (ok) return s;
    netio::Close(s);
    return netio::kInvalidSocket;
}

bool RawClient::Open() {
    socket_ = Logon();
    return socket_ != netio::kInvalidSocket;
}

bool RawClient::Echo() {
    const std::uint32_t length = static_cast<std::uint32_t>(echoData_.size());
    if (echoReply_.empty()) {
        echoRequest_ = Frame(kEchoCode, 0, length, echoData_);
        echoHeader_ = Frame(ReplyCodeFor(kEchoCode), 0, length);
        echoReply_.resize(echoHeader_.size() + length);
    }
    if (libraryCalls_) return EchoAsTheLibrary();
    return netio::SendAll(socket_, echoRequest_.data(), echoRequest_.size()) &&
           netio::ReceiveExact(socket_, echoReply_.data(), echoReply_.size()) &&
           std::memcmp(echoReply_.data(), echoHeader_.data(), echoHeader_.size()) == 0;
}

// The library's own platform entries are the plainest portable way to the
// system's send with its hold-back flag; the real ones, never the counting ones.
bool RawClient::EchoAsTheLibrary() {
    const KelPlatform &system = KelPlatformDefaults();
    const KelSocket s = static_cast<KelSocket>(socket_);
    const int length = static_cast<int>(echoRequest_.size());
    const int first = length > 1024 ? 1024 : length;
    if (system.pfnSend(s, echoRequest_.data(), first, first < length) != first) return false;
    if (first < length && system.pfnSend(s, echoRequest_.data() + first, length - first, 0) != length - first)
        return false;
    return netio::ReceiveExact(socket_, echoReply_.data(), 5) &&
           netio::ReceiveExact(socket_, echoReply_.data() + 5, 4) &&
           std::memcmp(echoReply_.data(), echoHeader_.data(), echoHeader_.size()) == 0 &&
           netio::ReceiveExact(socket_, echoReply_.data() + 9, echoReply_.size() - 9);
}

bool RawClient::Stream(std::uint32_t chunk, std::uint32_t count, bool) {
    // The frame leaves with the first chunk, as the library's buffer sends it.
    Bytes first = Frame(kSinkCode, 0, chunk * count, Bytes(chunk, 0x5A));
    streamData_.resize(chunk, 0x5A);
    if (!netio::SendAll(socket_, first.data(), first.size())) return false;
    for (std::uint32_t i = 1; i < count; ++i)
        if (!netio::SendAll(socket_, streamData_.data(), chunk)) return false;
    static const Bytes refusal = Frame(ReplyCodeFor(kSinkCode), 0x00030004u, 0);
    return ReceiveAndCompare(socket_, refusal);
}

bool RawClient::Cycle() {
    static const Bytes disconnect = Frame(KEL_CMD_DISCONNECT, 0, 0);
    static const Bytes disconnectReply = Frame(KEL_RSP_DISCONNECT, 0, 0);
    netio::Socket s = Logon();
    if (s == netio::kInvalidSocket) return false;
    bool ok =
        netio::SendAll(s, disconnect.data(), disconnect.size()) && ReceiveAndCompare(s, disconnectReply);
    netio::Close(s);
    return ok;
}

}  // namespace kelbench
