// One client connection of kelsrv: identify, logon, application commands
// and disconnect, until the client leaves or the connection fails.
#ifndef KELSRV_SESSION_H
#define KELSRV_SESSION_H

#include <cstdint>
#include <string>

#include "netio.h"
#include "options.h"
#include "wire.h"

namespace kelsrv {

class Session {
public:
    // The session reads and writes s but leaves closing it to the caller.
    Session(const Options &options, netio::Socket s, unsigned long number);

    // Serves requests until the client disconnects or the connection ends.
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

    bool ReadData(std::uint32_t len, Bytes *data);
    bool SkipData(std::uint32_t len);
    bool SendReply(const KelCommand &reply, const Bytes &data = {});
    bool SendBytes(const Bytes &bytes);
    void Log(const std::string &event) const;

    const Options &options_;
    netio::Socket socket_;
    unsigned long number_;
    std::uint64_t bytesSent_ = 0;
    bool loggedOn_ = false;
    std::string userId_;
};

}  // namespace kelsrv

#endif
