// What a kelsrv server is told: where to listen, who it is, whom it lets
// in and how it misbehaves; and the command line that sets it.
#ifndef KELSRV_OPTIONS_H
#define KELSRV_OPTIONS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "users.h"

namespace kelsrv {

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
    LogSink log;                        // empty: no log
};

// Parses the command line (argv[0] is the program). On success *help says
// whether --help was asked for; on failure *error says what is wrong.
bool ParseCommandLine(int argc, const char *const *argv, Options *options, bool *help, std::string *error);

// The --help text: options, users, return codes, commands and misbehaviours.
std::string HelpText();

// "none", "wrong-marker", ... "close-after=N" as on the command line.
std::string MisbehaviourName(const Options &options);

}  // namespace kelsrv

#endif
