// What a kelcli command line asks for. Parsing only: nothing here touches
// the network, the library or the environment.
#ifndef KELCLI_CLI_OPTIONS_H
#define KELCLI_CLI_OPTIONS_H

#include <cstdint>
#include <string>

namespace kelcli {

// Exit code of a command line that cannot be carried out as given (bad
// option, unknown host, unreadable data file). The library's result codes
// never take this value.
constexpr int kExitUsage = 2;

enum class Command { None, Info, Send };

struct CliOptions {
    Command command = Command::None;
    bool help = false;
    bool trace = false;

    // Connection.
    std::string host;
    std::uint16_t port = 0;  // 0: the library's default port
    std::string user;
    bool hasPassword = false;
    std::string password;
    bool hasPassword2 = false;
    std::string password2;

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
};

// Parses argv (argv[0] is the program). False with *error set if the line
// is wrong; --help anywhere makes it succeed with options->help set.
bool ParseCommandLine(int argc, const char *const *argv, CliOptions *options, std::string *error);

// The help text of a command, or the overview for Command::None.
std::string HelpText(Command command);

}  // namespace kelcli

#endif
