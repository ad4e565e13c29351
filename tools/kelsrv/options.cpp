#include "options.h"

#include <sstream>

#include "log.h"
#include "netio.h"
#include "protocol.h"
#include "record.h"
#include "relay.h"
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
    if (!value.empty() && !netio::IsIPAddress(value))
        return *error = "bad address '" + value +
                        "': an IPv4 or IPv6 address such as 127.0.0.1 or ::1 (0.0.0.0 or :: = all)",
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

bool ApplyForward(const std::string &value, Options *options, std::string *error) {
    return ParseForwardTarget(value, &options->forwardHost, &options->forwardPort, error);
}

bool ApplyRecord(const std::string &value, Options *options, std::string *error) {
    if (value.empty()) return *error = "--record needs a file name", false;
    options->recordPath = value;
    return true;
}

bool ApplyReplay(const std::string &value, Options *options, std::string *error) {
    auto recording = std::make_shared<Recording>();
    if (!LoadRecording(value, recording.get(), error)) return false;
    options->replayPath = value;
    options->replay = std::move(recording);
    return true;
}

bool ApplyConnectTimeout(const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    if (!Number(value, 0, kMaxConnectSeconds, &number))
        return *error = "--connect-timeout takes 0 to " + std::to_string(kMaxConnectSeconds) + " seconds",
               false;
    options->connectTimeout = std::chrono::seconds(number);
    return true;
}

// What kelsrv's own host answers with: meaningless when another host answers.
const char *const kOwnHostOptions[] = {"--server-id", "--server-version", "--description", "--logon-data",
                                       "--user",      "--users-file",     "--misbehave"};

// The combinations a command line must not ask for.
std::string CheckRelayOptions(const Options &options, const std::string &ownHostOption) {
    if (!options.forwardHost.empty() && options.replay) return "--forward and --replay exclude each other";
    if (!options.recordPath.empty() && options.forwardHost.empty()) return "--record needs --forward";
    if ((!options.forwardHost.empty() || options.replay) && !ownHostOption.empty())
        return ownHostOption + " is for kelsrv's own host; with " +
               (options.replay ? "--replay the recording" : "--forward the host") + " answers";
    return "";
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
    {"", "--forward", ApplyForward},
    {"", "--record", ApplyRecord},
    {"", "--replay", ApplyReplay},
    {"", "--connect-timeout", ApplyConnectTimeout},
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
    std::string ownHostOption;
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
            return Refused(error, option->apply == ApplyUsersFile ? kExitUsersFile
                                  : option->apply == ApplyReplay  ? kExitRecordFile
                                                                  : kExitUsage);
        for (const char *own : kOwnHostOptions)
            if (option->longName == std::string(own)) ownHostOption = own;
    }
    if (options->tlsCertFile.empty() != options->tlsKeyFile.empty())
        return Refused("--tls-cert and --tls-key go together");
    if (!options->tlsCertFile.empty() && (!options->forwardHost.empty() || options->replay))
        return Refused("--tls-cert is for kelsrv's own host, not with --forward or --replay");
    const std::string conflict = CheckRelayOptions(*options, ownHostOption);
    return conflict.empty() ? result : Refused(conflict);
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
           "  -a, --address IP          listen address, IPv4 or IPv6 (default 127.0.0.1;\n"
           "                            0.0.0.0 = all IPv4 addresses, :: = all IPv6 ones)\n"
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
           "      --forward HOST[:PORT] be a proxy: pass each connection on to the host at\n"
           "                            HOST (a name, an IPv4 address or [IPv6]; port 2893\n"
           "                            if none), every byte unchanged, and log each frame\n"
           "      --record FILE         with --forward: write every frame to FILE (JSON\n"
           "                            Lines; password fields as zeros)\n"
           "      --connect-timeout SECONDS\n"
           "                            how long --forward waits for the host (default 10;\n"
           "                            0 = as long as the system tries)\n"
           "      --replay FILE         be the host of a record: serve each connection from\n"
           "                            the next recorded session of FILE\n"
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
           "  3  a users file cannot be used: unreadable, a directory, a bad line, no user;\n"
           "     or a record: --replay's unreadable or damaged, --record's not writable\n"
           "  4  --replay: a client's session differed from the recorded one\n"
           "  5  the TLS certificate or key cannot be used (the reason follows), or this\n"
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
           "Proxy and replay: with --forward each connection gets its own connection to\n"
           "the host, and each frame one log line: direction, code and name, flags,\n"
           "words, data length and the first 16 data bytes. A logon block shows its user\n"
           "id; its password fields show as \"scrambled, 16 bytes\" and are recorded as\n"
           "zeros. A stream that stops making sense is passed on undecoded, said once.\n"
           "With --replay a client's frame must match the recorded one (code, flags,\n"
           "words and data; not the identify block, not the password fields); then the\n"
           "host's frames that followed it are sent. The first frame that differs is\n"
           "logged with the recorded one and closes that connection. At the stop a line\n"
           "says how many sessions were replayed in full and how many differed.\n"
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
    const std::string limits = "at most " + std::to_string(options.maxClients) + " clients; " + idle;
    const std::string tls = options.tlsCertFile.empty() ? "" : "; TLS with " + options.tlsCertFile;
    const std::string relay = DescribeRelay(options);
    return relay.empty() ? users + "; misbehaviour " + MisbehaviourName(options) + "; " + limits + tls
                         : relay + "; " + limits;
}

}  // namespace kelsrv
