#include "relay.h"

#include "log.h"
#include "proxy.h"
#include "replay.h"
#include "text.h"

namespace kelsrv {

bool MakeConnectionHandler(const Options &options, std::unique_ptr<ConnectionHandler> *handler,
                           std::string *error) {
    handler->reset();
    if (options.replay) {
        *handler = std::make_unique<Replay>(options);
    } else if (!options.forwardHost.empty()) {
        std::unique_ptr<RecordWriter> record;
        if (!options.recordPath.empty()) {
            record = std::make_unique<RecordWriter>();
            if (!record->Open(options.recordPath, ForwardTarget(options), error)) return false;
        }
        *handler = std::make_unique<Proxy>(options, std::move(record));
    }
    return true;
}

std::string DescribeRelay(const Options &options) {
    if (options.replay)
        return "replaying " + std::to_string(options.replay->sessions.size()) + " session(s) of " +
               options.replayPath;
    if (options.forwardHost.empty()) return "";
    return "forwarding to " + ForwardTarget(options) + " (connect time-out " +
           DurationText(options.connectTimeout) + ")" +
           (options.recordPath.empty() ? "" : ", recording to " + options.recordPath);
}

std::string ForwardTarget(const Options &options) {
    const bool ipv6 = options.forwardHost.find(':') != std::string::npos;
    return (ipv6 ? "[" + options.forwardHost + "]" : options.forwardHost) + ":" +
           std::to_string(options.forwardPort);
}

bool ParseForwardTarget(const std::string &text, std::string *host, std::uint16_t *port, std::string *error) {
    const std::string bad = "bad --forward '" + text + "': ";
    std::string rest;  // "" or ":PORT"
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return *error = bad + "an IPv6 address ends with ']'", false;
        *host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos)
            return *error = bad + "write an IPv6 address in brackets, [ADDRESS]:PORT", false;
        *host = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (host->empty()) return *error = bad + "no host", false;
    unsigned long long number = KEL_DEFAULT_PORT;
    if (!rest.empty() &&
        (rest[0] != ':' || !keltools::ParseNumber(rest.substr(1), 0xFFFF, &number) || number == 0))
        return *error = bad + "the port is 1 to 65535", false;
    *port = static_cast<std::uint16_t>(number);
    return true;
}

std::string FrameLine(bool fromClient, const Frame &frame) {
    return std::string(fromClient ? "client -> host " : "host -> client ") + DescribeFrame(frame);
}

void ConnectionLog::Line(const std::string &line) const {
    if (!sink_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    sink_(line);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count();
    return static_cast<double>(micros) / 1e6;
}

}  // namespace kelsrv
