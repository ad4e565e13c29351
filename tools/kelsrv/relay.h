// What serves kelsrv's connections in place of its own host: a proxy to a
// real host that logs and records every frame (proxy.h), or a replay of
// recorded sessions (replay.h).
#ifndef KELSRV_RELAY_H
#define KELSRV_RELAY_H

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "frame_stream.h"
#include "netio.h"
#include "options.h"

namespace kelsrv {

class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;

    // Serves the connection on s, number counting from 1, until it is over,
    // on the connection's thread. The caller closes s.
    virtual void Serve(netio::Socket s, unsigned long number) = 0;

    // Called once by Server::Stop, which wakes every client's socket itself:
    // whatever else a Serve waits for must end soon.
    virtual void Stop() {}

    // The line that sums up the run when the program stops; "" for none.
    virtual std::string Summary() const { return ""; }

    // The program's exit code after a stop.
    virtual int ExitCode() const { return kExitStopped; }
};

// The handler that options ask for in *handler (--forward, --replay), or
// none for kelsrv's own host. False, with *error, when the record file
// cannot be written.
bool MakeConnectionHandler(const Options &options, std::unique_ptr<ConnectionHandler> *handler,
                           std::string *error);

// "forwarding to HOST:PORT (connect time-out 10 s), recording to FILE" or
// "replaying N session(s) of FILE", for the settings line; "" for kelsrv's own host.
std::string DescribeRelay(const Options &options);

// "HOST:PORT" of --forward, an IPv6 address in brackets.
std::string ForwardTarget(const Options &options);

// Parses --forward's "HOST[:PORT]" (an IPv6 address in brackets).
bool ParseForwardTarget(const std::string &text, std::string *host, std::uint16_t *port, std::string *error);

// "client -> host" or "host -> client" and one frame, for log lines.
std::string FrameLine(bool fromClient, const Frame &frame);

// "connection N: " lines through one sink from many threads, one whole
// line at a time.
class ConnectionLog {
public:
    explicit ConnectionLog(LogSink sink) : sink_(std::move(sink)) {}
    void operator()(unsigned long number, const std::string &event) const {
        Line("connection " + std::to_string(number) + ": " + event);
    }
    void Line(const std::string &line) const;

private:
    LogSink sink_;
    mutable std::mutex mutex_;
};

// Seconds since start, to the microsecond.
double SecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace kelsrv

#endif
