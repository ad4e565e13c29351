// One connection to the server through the library, as every kelcli command
// uses it: the time-out is set before the connect, and the object
// disconnects and frees what it opened.
#ifndef KELCLI_SESSION_H
#define KELCLI_SESSION_H

#include <chrono>
#include <cstdint>
#include <string>

#include "cli_options.h"
#include "kelapi.h"

namespace kelcli {

// How a library call ended: its result code, the library's reason for a
// failure (KelGetErrorText), and whether the time-out that kelcli set ran
// out, which the time the call took tells.
struct Outcome {
    int code = KEL_OK;
    bool timedOut = false;
    std::string reason;  // empty for a success and for failures kelcli finds itself
};

class Session {
public:
    explicit Session(std::uint32_t timeoutSeconds) : timeoutMs_(timeoutSeconds * 1000u) {}
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Allocates the connection to the host as given (a name, an IPv4 or an
    // IPv6 address: the library resolves it), bounds its steps by the
    // time-out, connects and logs on. Call it once.
    Outcome Open(const CliOptions &options);

    // Runs one library call that returns a result code, and times it.
    template <class Call>
    Outcome Run(Call call) {
        auto start = std::chrono::steady_clock::now();
        int code = call();
        return Classify(code, std::chrono::steady_clock::now() - start);
    }

    HKELHOXSYSTEM System() const { return system_; }
    HKELCONNECTION Connection() const { return connection_; }

private:
    Outcome Classify(int code, std::chrono::steady_clock::duration elapsed);

    std::uint32_t timeoutMs_;
    HKELCONNECTION connection_ = nullptr;
    HKELHOXSYSTEM system_ = nullptr;
    bool socketMayBeOpen_ = false;
    bool timedOut_ = false;  // the server went quiet: the goodbye is not waited for long
};

// "HOST:PORT" as the user gave it, with the default port filled in and an
// IPv6 address in brackets.
std::string ServerName(const CliOptions &options);

// The step that KelAllocHoxSystemExt failed in: "log on to HOST:PORT" for a
// host's refusal, else "connect to HOST:PORT".
std::string OpenStep(const CliOptions &options, int code);

// "STEP: result C (NAME): TEXT[ Reason: REASON]"
std::string FailureText(const std::string &step, const Outcome &outcome);

// What KelGetErrorText says now on this thread.
std::string LastReason();

}  // namespace kelcli

#endif
