#include "session.h"

#include "results.h"

namespace kelcli {
namespace {

// After a time-out the server is not expected to answer the disconnect
// request; waiting for it as long again would only delay the exit.
const std::uint32_t kGoodbyeTimeoutMs = 200;

}  // namespace

Session::~Session() {
    if (system_) KelFreeHoxSystem(system_);  // the connection is ours: it stays
    if (!connection_) return;
    if (socketMayBeOpen_) {
        if (timedOut_) KelSetTimeout(connection_, kGoodbyeTimeoutMs);
        KelDisconnect(connection_);
    }
    KelFreeConnection(connection_);
}

Outcome Session::Open(const CliOptions &options) {
    int code = KelAllocConnectionByName(
        options.host.c_str(), options.port, options.user.c_str(), options.password.c_str(),
        options.hasPassword2 ? options.password2.c_str() : nullptr, &connection_);
    if (code == KEL_OK) code = KelSetTimeout(connection_, timeoutMs_);
    if (code == KEL_OK && options.hasTls)
        code =
            KelSetTls(connection_, options.tlsMode, options.tlsCA.empty() ? nullptr : options.tlsCA.c_str(),
                      options.tlsServerName.empty() ? nullptr : options.tlsServerName.c_str());
    if (code != KEL_OK) return Outcome{code, false, LastReason()};
    Outcome outcome = Run([this] { return KelAllocHoxSystemExt(connection_, &system_); });
    // A refused or timed-out TCP connect closes the socket; every later
    // failure leaves it open for KelDisconnect.
    socketMayBeOpen_ = outcome.code != KEL_ERR_NOT_CONNECTED;
    return outcome;
}

std::string LastReason() {
    char reason[512];
    return KelGetErrorText(reason, sizeof reason) == KEL_OK ? reason : "";
}

Outcome Session::Classify(int code, std::chrono::steady_clock::duration elapsed) {
    // A little short of the bound still counts: the system's timers and the
    // clock read here need not agree to the millisecond.
    auto bound = std::chrono::milliseconds(timeoutMs_ - timeoutMs_ / 10);
    bool timedOut = timeoutMs_ && (code == KEL_ERR_NOT_CONNECTED || code == KEL_ERR_COMM) && elapsed >= bound;
    timedOut_ = timedOut_ || timedOut;
    return Outcome{code, timedOut, code == KEL_OK ? "" : LastReason()};
}

std::string ServerName(const CliOptions &options) {
    bool bracket = options.host.find(':') != std::string::npos && options.host[0] != '[';
    return (bracket ? "[" + options.host + "]" : options.host) + ":" +
           std::to_string(options.port ? options.port : KEL_DEFAULT_PORT);
}

std::string OpenStep(const CliOptions &options, int code) {
    return (keltools::IsHostCode(code) ? "log on to " : "connect to ") + ServerName(options);
}

std::string FailureText(const std::string &step, const Outcome &outcome) {
    std::string text = step + ": " + keltools::ResultLine(outcome.code);
    return outcome.reason.empty() ? text : text + " Reason: " + outcome.reason;
}

}  // namespace kelcli
