// What a kelsrv server is told: where to listen, who it is, whom it lets
// in and how it misbehaves; and the command line that sets it.
#ifndef KELSRV_OPTIONS_H
#define KELSRV_OPTIONS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "users.h"

namespace kelsrv {

class TlsContext;
struct Recording;

// Deliberate protocol faults, one per server, for testing clients.
enum class Misbehaviour {
    None,
    WrongMarker,      // identify reply id has top byte 0x43 instead of 0x53
    IdentifyRetCode,  // identify reply carries return code 0x00010001
    IdentifyLength,   // identify reply announces and sends 80 bytes, not 88
    LogonLength,      // accepted logon reply announces and sends 2 bytes, not 1
    NoSkip,           // a frame with flag 0x10 precedes every reply
    CloseAfter,       // the connection is closed after closeAfterBytes bytes sent
};

// One line of the connection log, without its newline; called from the
// connection threads, one call at a time.
using LogSink = std::function<void(const std::string &line)>;

struct Options {
    std::string address = "127.0.0.1";
    std::uint16_t port = KEL_DEFAULT_PORT;
    std::uint32_t serverId = 0x53000001u;  // top byte must stay 0x53
    std::uint32_t serverVersion = 0x00010000u;
    std::string description = "kelsrv reference connector server";  // at most 80 bytes
    std::uint8_t logonData = 0;                                     // the data byte of an accepted logon
    std::vector<User> users;                                        // empty: any non-empty user id is let in
    Misbehaviour misbehaviour = Misbehaviour::None;
    std::uint32_t closeAfterBytes = 0;  // for Misbehaviour::CloseAfter
    std::size_t maxClients = 1024;      // connections served at once; more are refused
    // A connection from which no byte arrives, or that takes no byte of a
    // reply, for this long is closed; zero: never.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(300);
    LogSink log;  // empty: no log
    // In place of kelsrv's own host (relay.h): a proxy to forwardHost that
    // records to recordPath, or a replay of the record read from replayPath.
    std::string forwardHost;  // empty: no proxy
    std::uint16_t forwardPort = KEL_DEFAULT_PORT;
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(10);  // zero: the system's
    std::string recordPath;                                               // empty: no record
    std::string replayPath;
    std::shared_ptr<const Recording> replay;  // null: no replay
    // Serve TLS with this certificate chain and key (both or neither); tls
    // is what LoadTls made of them, null for plain TCP.
    std::string tlsCertFile, tlsKeyFile;
    std::shared_ptr<const TlsContext> tls;
};

// The bounds of --max-clients and --idle-timeout.
constexpr unsigned long long kMaxMaxClients = 100000;
constexpr unsigned long long kMaxIdleSeconds = 1000000;
constexpr unsigned long long kMaxConnectSeconds = 3600;

// The stack each connection's thread reserves; the session's own buffers
// come on top (kMaxBufferedBytes).
constexpr std::size_t kConnectionStackBytes = 256 * 1024;

// The program's exit codes, as --help documents them.
constexpr int kExitStopped = 0;      // stopped by a signal; also after --help and --version
constexpr int kExitCannotStart = 1;  // cannot listen, or no thread to accept with
constexpr int kExitUsage = 2;        // the command line is wrong
constexpr int kExitUsersFile = 3;    // a users file is unreadable, a directory, wrong or has no user
// Those of a proxy or a replay (relay.h).
constexpr int kExitRecordFile = 3;      // a record cannot be read (--replay) or written (--record)
constexpr int kExitReplayDiffered = 4;  // --replay: a client's session differed from the recording
constexpr int kExitTls = 5;  // the TLS certificate or key cannot be used, or the build has no TLS

// What a command line asks for: to serve, or to print a text and stop.
enum class Action { Serve, Help, Version };

struct CommandLine {
    Action action = Action::Serve;
    int exitCode = kExitStopped;  // kExitUsage or kExitUsersFile when the line was refused
    std::string error;            // why it was refused
};

// Parses the command line (argv[0] is the program) into *options.
CommandLine ParseCommandLine(int argc, const char *const *argv, Options *options);

// The --help text: options, limits, users, exit codes, return codes,
// commands and misbehaviours.
std::string HelpText();

// What the server runs with, for the line the program logs at start-up:
// the users (or the open mode), the misbehaviour and the limits.
std::string DescribeSettings(const Options &options);

// "none", "wrong-marker", ... "close-after=N" as on the command line.
std::string MisbehaviourName(const Options &options);

}  // namespace kelsrv

#endif
