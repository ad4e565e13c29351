// One client connection of kelsrv: identify, logon, application commands
// and disconnect, until the client leaves, goes quiet or the connection fails.
#ifndef KELSRV_SESSION_H
#define KELSRV_SESSION_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "netio.h"
#include "options.h"
#include "protocol.h"
#include "wire.h"

namespace kelsrv {

class TlsStream;

// The most a session holds of a request or reply at any time: the frame of
// an echo with the largest data it sends back, or of a chatty note with the
// largest data. Larger request data is skipped in small pieces.
constexpr std::size_t kMaxBufferedBytes = kMaxFrameHeaderLen + kMaxEchoDataLen;
static_assert(kChattyMaxDataLen <= kMaxEchoDataLen, "a chatty note fits the same bound");

class Session {
public:
    // The session reads and writes s but leaves closing it to the caller.
    Session(const Options &options, netio::Socket s, unsigned long number);
    ~Session();

    // Serves requests until the client disconnects, the connection ends or
    // stays idle for options.idleTimeout; the last log line says which.
    void Run();

private:
    // Each handler returns false when the session is over.
    bool Handle(const KelCommand &request);
    bool HandleIdentify(const KelCommand &request);
    bool HandleLogon(const KelCommand &request);
    bool HandleDisconnect(const KelCommand &request);
    bool HandleEcho(const KelCommand &request);
    bool HandleChatty(const KelCommand &request);
    bool HandleUnknown(const KelCommand &request);

    // Reads the next frame, its data or len bytes of it; false, with the
    // reason logged, if the connection ended, went quiet or failed first.
    // With options.tls, the handshake; false, with the reason logged, if it failed.
    bool StartTls();
    bool ReadRequest(KelCommand *request);
    bool ReadData(void *buffer, std::size_t len);
    bool SkipData(std::uint32_t len);
    // Reads exactly len bytes, adding what arrived to *got; false, with end_
    // set, when the connection ends first.
    bool Receive(void *buffer, std::size_t len, std::size_t *got = nullptr);
    void LogEnd(bool inRequest);
    bool SendReply(const KelCommand &reply, const Bytes &data = {});
    bool SendFrame(const Bytes &frame);  // an encoded frame and its data
    bool SendBytes(const Bytes &bytes);
    void Log(const std::string &event) const;

    // How the last receive that failed ended.
    enum class End { Closed, Idle, Failed };

    const Options &options_;
    netio::Socket socket_;
    unsigned long number_;
    std::uint64_t bytesSent_ = 0;
    bool loggedOn_ = false;
    End end_ = End::Closed;
    std::string failure_;  // the socket error of End::Failed
    std::unique_ptr<TlsStream> tls_;  // the session's TLS, when it has one
};

}  // namespace kelsrv

#endif
