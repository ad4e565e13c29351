#include "clients.h"

#include <cstring>
#include <string>

#include "platform.h"
#include "protocol.h"
#include "raw_tls.h"
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

LibraryClient::LibraryClient(std::uint16_t port, const char *tlsCA) : port_(port), tlsCA_(tlsCA) {}

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
    if (tlsCA_) KelSetTls(connection, KEL_TLS_VERIFY_FULL, tlsCA_, nullptr);
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

// ---- over a plain socket or OpenSSL directly

namespace {

bool SendAll(const RawClient::Link &link, const Bytes &bytes) {
    return link.ssl ? RawTls::SendAll(link.ssl, bytes.data(), bytes.size())
                    : netio::SendAll(link.socket, bytes.data(), bytes.size());
}

bool ReceiveExact(const RawClient::Link &link, std::uint8_t *buffer, std::size_t len) {
    return link.ssl ? RawTls::ReceiveExact(link.ssl, buffer, len) : netio::ReceiveExact(link.socket, buffer, len);
}

}  // namespace

RawClient::~RawClient() { Close(&link_); }

void RawClient::Close(Link *link) {
    RawTls::Close(link->ssl);
    netio::Close(link->socket);
    *link = Link();
}

bool RawClient::ReceiveAndCompare(const Link &link, const Bytes &expected) {
    received_.resize(expected.size());
    return ReceiveExact(link, received_.data(), received_.size()) && received_ == expected;
}

// Connects (with TLS, and its handshake) and logs on; false with nothing
// left open. Only the reply frames are compared: the server's identity
// block is its own.
bool RawClient::Logon(Link *link) {
    static const Bytes identify = IdentifyRequest(), logon = LogonRequest();
    static const Bytes identifyReply = Frame(KEL_RSP_IDENTIFY, 0, kIdentLen);
    static const Bytes logonReply = Frame(KEL_RSP_LOGON, 0, 1);
    link->socket = netio::Connect("127.0.0.1", port_);
    if (link->socket == netio::kInvalidSocket) return false;
    netio::SetReceiveTimeout(link->socket, kStepTimeoutMs);
    if (tls_ && !(link->ssl = tls_->Open(link->socket))) {
        Close(link);
        return false;
    }
    Bytes block(kIdentLen + 1);
    bool ok = SendAll(*link, identify) && ReceiveAndCompare(*link, identifyReply) &&
              ReceiveExact(*link, block.data(), kIdentLen) && SendAll(*link, logon) &&
              ReceiveAndCompare(*link, logonReply) && ReceiveExact(*link, block.data(), 1);
    if (!ok) Close(link);
    return ok;
}

bool RawClient::Open() { return Logon(&link_); }

bool RawClient::Echo() {
    const std::uint32_t length = static_cast<std::uint32_t>(echoData_.size());
    if (echoReply_.empty()) {
        echoRequest_ = Frame(kEchoCode, 0, length, echoData_);
        echoHeader_ = Frame(ReplyCodeFor(kEchoCode), 0, length);
        echoReply_.resize(echoHeader_.size() + length);
    }
    if (libraryCalls_) return EchoAsTheLibrary();
    return SendAll(link_, echoRequest_) && ReceiveExact(link_, echoReply_.data(), echoReply_.size()) &&
           std::memcmp(echoReply_.data(), echoHeader_.data(), echoHeader_.size()) == 0;
}

// The library's own platform entries are the plainest portable way to the
// system's send with its hold-back flag; the real ones, never the counting ones.
bool RawClient::EchoAsTheLibrary() {
    const KelPlatform &system = KelPlatformDefaults();
    const KelSocket s = static_cast<KelSocket>(link_.socket);
    const netio::Socket socket = link_.socket;
    const int length = static_cast<int>(echoRequest_.size());
    const int first = length > 1024 ? 1024 : length;
    if (system.pfnSend(s, echoRequest_.data(), first, first < length) != first) return false;
    if (first < length && system.pfnSend(s, echoRequest_.data() + first, length - first, 0) != length - first)
        return false;
    return netio::ReceiveExact(socket, echoReply_.data(), 5) &&
           netio::ReceiveExact(socket, echoReply_.data() + 5, 4) &&
           std::memcmp(echoReply_.data(), echoHeader_.data(), echoHeader_.size()) == 0 &&
           netio::ReceiveExact(socket, echoReply_.data() + 9, echoReply_.size() - 9);
}

bool RawClient::Stream(std::uint32_t chunk, std::uint32_t count, bool) {
    // The frame leaves with the first chunk, as the library's buffer sends it.
    Bytes first = Frame(kSinkCode, 0, chunk * count, Bytes(chunk, 0x5A));
    streamData_.resize(chunk, 0x5A);
    if (!SendAll(link_, first)) return false;
    for (std::uint32_t i = 1; i < count; ++i)
        if (!SendAll(link_, streamData_)) return false;
    static const Bytes refusal = Frame(ReplyCodeFor(kSinkCode), 0x00030004u, 0);
    return ReceiveAndCompare(link_, refusal);
}

bool RawClient::Cycle() {
    static const Bytes disconnect = Frame(KEL_CMD_DISCONNECT, 0, 0);
    static const Bytes disconnectReply = Frame(KEL_RSP_DISCONNECT, 0, 0);
    Link link;
    if (!Logon(&link)) return false;
    bool ok = SendAll(link, disconnect) && ReceiveAndCompare(link, disconnectReply);
    Close(&link);
    return ok;
}

}  // namespace kelbench
