#include "options.h"

#include <sstream>

#include "log.h"
#include "netio.h"
#include "protocol.h"
#include "session.h"
#include "text.h"
#include "tls_server.h"

namespace kelsrv {
namespace {

using keltools::Hex32;
using keltools::ParseNumber;

struct MisbehaviourEntry {
    Misbehaviour mode;
    const char *name;
    const char *meaning;
};

const MisbehaviourEntry kMisbehaviours[] = {
    {Misbehaviour::WrongMarker, "wrong-marker", "identify reply identifier with top byte 0x43, not 0x53"},
    {Misbehaviour::IdentifyRetCode, "identify-retcode", "identify reply with return code 0x00010001"},
    {Misbehaviour::IdentifyLength, "identify-length", "identify reply with data length 80 (80 bytes sent)"},
    {Misbehaviour::LogonLength, "logon-length", "accepted logon reply with data length 2 (2 bytes sent)"},
    {Misbehaviour::NoSkip, "noskip", "a frame 0x20000002 with flag 0x10 (no data) before every reply"},
    {Misbehaviour::CloseAfter, "close-after=N",
     "close each connection once N bytes were sent on it (a frame may be cut)"},
};

bool ParseMisbehaviour(const std::string &text, Options *options) {
    const std::string closeAfter = "close-after=";
    if (text.compare(0, closeAfter.size(), closeAfter) == 0) {
        unsigned long long bytes = 0;
        if (!ParseNumber(text.substr(closeAfter.size()), 0xFFFFFFFFull, &bytes)) return false;
        options->misbehaviour = Misbehaviour::CloseAfter;
        options->closeAfterBytes = static_cast<std::uint32_t>(bytes);
        return true;
    }
    for (const auto &entry : kMisbehaviours) {
        if (text == entry.name && entry.mode != Misbehaviour::CloseAfter) {
            options->misbehaviour = entry.mode;
            return true;
        }
    }
    if (text != "none") return false;
    options->misbehaviour = Misbehaviour::None;
    return true;
}

// Each option that takes a value, and what it does with it: false with
// *error set if the value is bad.
using ApplyValue = bool (*)(const std::string &value, Options *options, std::string *error);

bool Number(const std::string &value, unsigned long long min, unsigned long long max,
            unsigned long long *number) {
    return ParseNumber(value, max, number) && *number >= min;
}

bool ApplyAddress(const std::string &value, Options *options, std::string *error) {
    if (!value.empty() && !netio::IsIPv4Address(value))
        return *error =
                   "bad address '" + value + "': a dotted IPv4 address such as 127.0.0.1 (0.0.0.0 = all)",
               false;
    options->address = value;
    return true;
}

bool ApplyPort(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 0, 0xFFFF, &number)) return *error = "bad port '" + value + "'", false;
    options->port = static_cast<std::uint16_t>(number);
    return true;
}

bool ApplyServerId(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 0, 0xFFFFFF, &number))
        return *error = "--server-id takes the low 24 bits (0 to 0xFFFFFF)", false;
    options->serverId = (kServerMarker << 24) | static_cast<std::uint32_t>(number);
    return true;
}

bool ApplyServerVersion(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 0, 0xFFFFFFFFull, &number))
        return *error = "bad --server-version '" + value + "'", false;
    options->serverVersion = static_cast<std::uint32_t>(number);
    return true;
}

bool ApplyDescription(const std::string &value, Options *options, std::string *error) {
    if (value.size() > kDescriptionLen) return *error = "--description is longer than 80 bytes", false;
    options->description = value;
    return true;
}

bool ApplyLogonData(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 0, 0xFF, &number)) return *error = "--logon-data takes 0 to 255", false;
    options->logonData = static_cast<std::uint8_t>(number);
    return true;
}

bool ApplyUser(const std::string &value, Options *options, std::string *error) {
    User user;
    if (!ParseUserOption(value, &user, error)) return false;
    options->users.push_back(user);
    return true;
}

bool ApplyUsersFile(const std::string &value, Options *options, std::string *error) {
    return LoadUsersFile(value, &options->users, error);
}

bool ApplyMisbehaviour(const std::string &value, Options *options, std::string *error) {
    if (!ParseMisbehaviour(value, options)) return *error = "unknown --misbehave mode '" + value + "'", false;
    return true;
}

bool ApplyMaxClients(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 1, kMaxMaxClients, &number))
        return *error = "--max-clients takes 1 to " + std::to_string(kMaxMaxClients), false;
    options->maxClients = static_cast<std::size_t>(number);
    return true;
}

bool ApplyIdleTimeout(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 0, kMaxIdleSeconds, &number))
        return *error = "--idle-timeout takes 0 to " + std::to_string(kMaxIdleSeconds) + " seconds", false;
    options->idleTimeout = std::chrono::seconds(number);
    return true;
}

bool ApplyTlsCert(const std::string &value, Options *options, std::string *) {
    options->tlsCertFile = value;
    return true;
}

bool ApplyTlsKey(const std::string &value, Options *options, std::string *) {
    options->tlsKeyFile = value;
    return true;
}

struct ValueOption {
    const char *shortName;  // "" if none
    const char *longName;
    ApplyValue apply;
};

const ValueOption kValueOptions[] = {
    {"-a", "--address", ApplyAddress},
    {"-p", "--port", ApplyPort},
    {"", "--server-id", ApplyServerId},
    {"", "--server-version", ApplyServerVersion},
    {"", "--description", ApplyDescription},
    {"", "--logon-data", ApplyLogonData},
    {"-u", "--user", ApplyUser},
    {"", "--users-file", ApplyUsersFile},
    {"", "--misbehave", ApplyMisbehaviour},
    {"", "--max-clients", ApplyMaxClients},
    {"", "--idle-timeout", ApplyIdleTimeout},
    {"", "--tls-cert", ApplyTlsCert},
    {"", "--tls-key", ApplyTlsKey},
};

const ValueOption *FindValueOption(const std::string &name) {
    for (const ValueOption &option : kValueOptions)
        if (name == option.longName || (*option.shortName && name == option.shortName)) return &option;
    return nullptr;
}

// Applies a flag (an option without a value); false if name is none.
bool ApplyFlag(const std::string &name, Options *options, CommandLine *result) {
    if (name == "-h" || name == "--help")
        result->action = Action::Help;
    else if (name == "--version")
        result->action = Action::Version;
    else if (name == "-q" || name == "--quiet")  // the program sets its log sink before parsing
        options->log = nullptr;
    else
        return false;
    return true;
}

CommandLine Refused(const std::string &error, int exitCode = kExitUsage) {
    CommandLine result;
    result.exitCode = exitCode;
    result.error = error;
    return result;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char *const *argv, Options *options) {
    CommandLine result;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        std::string name = word, value;
        const bool inlineValue = keltools::SplitLongOption(word, &name, &value);
        if (ApplyFlag(name, options, &result)) {
            if (inlineValue) return Refused("option '" + name + "' takes no value");
            continue;
        }
        const ValueOption *option = FindValueOption(name);
        if (!option)
            return Refused(word.compare(0, 1, "-") == 0 ? "unknown option '" + name + "' (see --help)"
                                                        : "unexpected argument '" + word + "'");
        if (!inlineValue) {
            if (i + 1 >= argc) return Refused("option '" + name + "' needs a value");
            value = argv[++i];
        }
        std::string error;
        if (!option->apply(value, options, &error))
            return Refused(error, option->apply == ApplyUsersFile ? kExitUsersFile : kExitUsage);
    }
    if (options->tlsCertFile.empty() != options->tlsKeyFile.empty())
        return Refused("--tls-cert and --tls-key go together");
    return result;
}

std::string MisbehaviourName(const Options &options) {
    if (options.misbehaviour == Misbehaviour::CloseAfter)
        return "close-after=" + std::to_string(options.closeAfterBytes);
    for (const auto &entry : kMisbehaviours)
        if (entry.mode == options.misbehaviour) return entry.name;
    return "none";
}

std::string HelpText() {
    std::ostringstream out;
    out << "Usage: kelsrv [options]\n"
           "Reference connector server for testing and demonstrating kelapi clients.\n"
           "It keeps no state beyond one connection's session and stores nothing.\n"
           "\n"
           "Options (--name=value works as well as --name value):\n"
           "  -a, --address IP          listen address (default 127.0.0.1; 0.0.0.0 = all)\n"
           "  -p, --port N              listen port (default 2893; 0 = any free port)\n"
           "      --server-id N         low 24 bits of the server identifier; its top\n"
           "                            byte is always 0x53 (default 0x000001)\n"
           "      --server-version N    server version (default 0x00010000)\n"
           "      --description TEXT    server description, at most 80 bytes\n"
           "      --logon-data N        data byte of an accepted logon (default 0)\n"
           "  -u, --user NAME:PASSWORD[:PASSWORD2[:CODE]]\n"
           "                            add a user (repeatable); CODE refuses every logon\n"
           "                            of that user with that host return code\n"
           "      --users-file FILE     add users, one per line: NAME PASSWORD [PASSWORD2 [CODE]]\n"
           "                            ('-' = empty password, '#' starts a comment line)\n"
           "      --max-clients N       connections served at once (default 1024;\n"
           "                            1 to "
        << kMaxMaxClients
        << ")\n"
           "      --idle-timeout SECONDS\n"
           "                            close a connection from which no byte arrives, or\n"
           "                            that takes no byte of a reply, for that long\n"
           "                            (default 300; 0 = never)\n"
           "      --misbehave MODE      deliberate protocol fault, see below\n"
        << TlsHelpText()
        << "  -q, --quiet               no connection log on stderr\n"
           "  -h, --help                this text\n"
           "      --version             the version, then stop\n"
           "Numbers are decimal or 0x-hexadecimal.\n"
           "\n"
           "Output: the first line on stdout is always\n"
           "  kelsrv listening on <address>:<port>\n"
           "with the port actually in use. On stderr one line says what the server runs\n"
           "with (its users or the open mode, the limits); then, unless --quiet, one line\n"
           "per connection event. Text a client sent shows in single quotes, control\n"
           "characters and bytes beyond ASCII escaped (\\n, \\x1b), cut after 32 bytes.\n"
           "SIGINT or SIGTERM stops the server.\n"
           "\n"
           "Exit codes:\n"
           "  0  stopped by SIGINT or SIGTERM; also after --help and --version\n"
           "  1  cannot start: cannot listen on the address and port (the reason follows),\n"
           "     or no thread to accept connections with\n"
           "  2  the command line is wrong: unknown option, missing or bad value\n"
           "  3  a users file cannot be used: unreadable, a directory, a bad line, no user\n"
           "  4  the TLS certificate or key cannot be used (the reason follows), or this\n"
           "     build has no TLS\n"
           "\n"
           "Limits: the listen backlog is the largest the system allows. A connection\n"
           "beyond --max-clients is closed at once, with one log line. Each connection\n"
           "has a thread with a "
        << kConnectionStackBytes / 1024 << " KiB stack and holds at most " << kMaxBufferedBytes
        << " bytes of a\n"
           "request or reply (an echo of 1 MiB and its frame); the data of a larger\n"
           "request is read in pieces of 4 KiB, dropped and refused with 0x00050002.\n"
           "When a connection cannot be accepted (no descriptor left) or gets no thread,\n"
           "the server keeps serving the others and retries; such failures are logged\n"
           "at most once a second as\n"
           "  accept failed N times in T s: REASON\n"
           "\n"
           "Users: user ids and passwords have at most 8 characters and are compared\n"
           "exactly. Only when no --user and no --users-file is given does the server run\n"
           "in open mode, letting every non-empty user id in with any password. A users\n"
           "file that yields no user is an error. A user without PASSWORD2 must send no\n"
           "second password.\n"
           "\n"
           "Host return codes (code -> kelapi result: meaning in kelsrv):\n";
    for (const ReturnCodeInfo &info : kReturnCodes)
        out << "  " << Hex32(info.code) << " -> " << info.libraryResult << ": " << info.meaning << "\n";
    out << "An accepted logon replies with return code 0 and one data byte.\n"
           "\n"
           "Application commands (after a logon; reply code = request code with bit 31\n"
           "cleared and bit 30 set):\n"
           "  "
        << Hex32(kCmdEcho) << " echo    reply " << Hex32(kRspEcho)
        << " with the request's dwParm1, dwParm3, flag bits\n"
           "                      0x20-0x80 and data (at most 1 MiB, else 0x00050002)\n"
           "  "
        << Hex32(kCmdChatty) << " chatty  dwParm1 = data length L (0: 300), dwParm3 = rounds R\n"
        << "                      (0: 1, at most 100). Each round sends a frame " << Hex32(kNoteFrame) << "\n"
        << "                      with dwParm1 = round and L data bytes (byte i = i & 0xFF),\n"
           "                      then a KEL_CMD_IGNORE frame with dwParm1 = round and no\n"
           "                      data; then the reply "
        << Hex32(kRspChatty)
        << " with dwParm1 = R, no data.\n"
           "  any other code        reply with return code 0x00030004, no data (request data\n"
           "                      skipped); KEL_CMD_IGNORE from a client gets no reply.\n"
           "Application commands before a logon: reply with return code 0x00060001.\n"
           "Identify and logon requests whose data length is not 88 and 41 get their reply\n"
           "with return code 0x00050002 and no data. The disconnect request is answered\n"
           "with KEL_RSP_DISCONNECT (no data) and the connection is closed.\n"
           "\n"
           "Misbehaviour modes (--misbehave):\n";
    for (const auto &entry : kMisbehaviours) {
        std::string name = entry.name;
        out << "  " << name << std::string(name.size() < 18 ? 18 - name.size() : 1, ' ') << entry.meaning
            << "\n";
    }
    out << "  none              (default)\n";
    return out.str();
}

std::string DescribeSettings(const Options &options) {
    std::string users = options.users.empty() ? "open mode: any non-empty user id logs on with any password"
                                              : std::to_string(options.users.size()) + " user(s)";
    std::string idle = options.idleTimeout.count() == 0
                           ? "no idle time-out"
                           : "idle time-out " + DurationText(options.idleTimeout);
    std::string tls = options.tlsCertFile.empty() ? "" : "; TLS with " + options.tlsCertFile;
    return users + "; misbehaviour " + MisbehaviourName(options) + "; at most " +
           std::to_string(options.maxClients) + " clients; " + idle + tls;
}

}  // namespace kelsrv
