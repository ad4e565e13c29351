// What a kelcli command line asks for. Parsing only: nothing here touches
// the network, the library or the environment.
#ifndef KELCLI_CLI_OPTIONS_H
#define KELCLI_CLI_OPTIONS_H

#include <cstdint>
#include <string>

#include "codes.h"
#include "kelapi.h"

namespace kelcli {

// Exit code of a command line that cannot be carried out as given (bad
// option, unreadable data file). The library's result codes never take
// this value.
constexpr int kExitUsage = 2;

// The echo command of the reference server, the default of bench.
constexpr std::uint32_t kEchoCode = keltools::kCmdEcho;

// The largest data block kelcli holds in memory, sent or received.
constexpr std::uint32_t kMaxData = 16u << 20;

enum class Command { None, Info, Send, Bench };

struct CliOptions {
    Command command = Command::None;
    bool help = false;
    bool version = false;
    bool trace = false;

    // Connection.
    std::string host;
    std::uint16_t port = 0;  // 0: the library's default port
    std::string user;
    bool hasPassword = false;
    std::string password;
    bool hasPassword2 = false;
    std::string password2;
    std::uint32_t timeoutSeconds = 10;  // bound of each blocking step; 0: none
    bool hasTls = false;                // --tls given: it decides, not the environment
    std::uint32_t tlsMode = 0;          // KEL_TLS_...
    std::string tlsCA;                  // empty: the system's trust store
    std::string tlsServerName;          // empty: the host as given

    // send: the request and the reply to wait for.
    std::uint32_t code = 0;
    std::uint32_t parm1 = 0;
    std::uint32_t parm3 = 0;
    std::uint8_t flags = 0;
    bool hasReply = false;
    std::uint32_t reply = 0;
    bool hasData = false;
    std::string data;      // --data TEXT
    std::string dataFile;  // --data-file FILE
    bool hexDump = false;  // --hex: dump the reply data in hexadecimal even if it is text

    // bench: how many clients send what, for how long.
    std::uint32_t clients = 1;
    std::uint32_t requests = 1000;  // per client, unless seconds is set
    std::uint32_t seconds = 0;      // non-zero: send for this long instead of a count
    std::uint32_t size = 16;        // data bytes per request
    std::uint32_t benchCode = kEchoCode;
};

// Parses argv (argv[0] is the program). False with *error set if the line
// is wrong; --help or --version anywhere makes it succeed with the flag set.
bool ParseCommandLine(int argc, const char *const *argv, CliOptions *options, std::string *error);

// The help text of a command, or the overview for Command::None.
std::string HelpText(Command command);

using keltools::ReplyCodeFor;

}  // namespace kelcli

#endif
