#include "options.h"

#include <sstream>

#include "netio.h"
#include "protocol.h"
#include "text.h"

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

// Applies one option and its value; false with *error set if either is bad.
bool ApplyOption(const std::string &name, const std::string &value, Options *options, std::string *error) {
    unsigned long long number = 0;
    std::string dummy;
    if (name == "-a" || name == "--address") {
        options->address = value;
        return true;
    }
    if (name == "-p" || name == "--port") {
        if (!ParseNumber(value, 0xFFFF, &number)) return *error = "bad port '" + value + "'", false;
        options->port = static_cast<std::uint16_t>(number);
    } else if (name == "--server-id") {
        if (!ParseNumber(value, 0xFFFFFF, &number))
            return *error = "--server-id takes the low 24 bits (0 to 0xFFFFFF)", false;
        options->serverId = (kServerMarker << 24) | static_cast<std::uint32_t>(number);
    } else if (name == "--server-version") {
        if (!ParseNumber(value, 0xFFFFFFFFull, &number))
            return *error = "bad --server-version '" + value + "'", false;
        options->serverVersion = static_cast<std::uint32_t>(number);
    } else if (name == "--description") {
        if (value.size() > kDescriptionLen) return *error = "--description is longer than 80 bytes", false;
        options->description = value;
    } else if (name == "--logon-data") {
        if (!ParseNumber(value, 0xFF, &number)) return *error = "--logon-data takes 0 to 255", false;
        options->logonData = static_cast<std::uint8_t>(number);
    } else if (name == "-u" || name == "--user") {
        User user;
        if (!ParseUserSpec(value, &user, error)) return false;
        options->users.push_back(user);
    } else if (name == "--users-file") {
        return LoadUsersFile(value, &options->users, error);
    } else if (name == "--misbehave") {
        if (!ParseMisbehaviour(value, options))
            return *error = "unknown --misbehave mode '" + value + "'", false;
    } else {
        return *error = "unknown option '" + name + "' (see --help)", false;
    }
    return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char *const *argv, Options *options, bool *help, std::string *error) {
    *help = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-h" || name == "--help") {
            *help = true;
            continue;
        }
        if (name == "-q" || name == "--quiet") {  // the program sets its log sink before parsing
            options->log = nullptr;
            continue;
        }
        if (i + 1 >= argc) {
            *error = name.compare(0, 1, "-") == 0 ? "option '" + name + "' needs a value"
                                                  : "unexpected argument '" + name + "'";
            return false;
        }
        if (!ApplyOption(name, argv[++i], options, error)) return false;
    }
    return true;
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
           "Options:\n"
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
           "      --misbehave MODE      deliberate protocol fault, see below\n"
           "  -q, --quiet               no connection log on stderr\n"
           "  -h, --help                this text\n"
           "Numbers are decimal or 0x-hexadecimal.\n"
           "\n"
           "Output: the first line on stdout is always\n"
           "  kelsrv listening on <address>:<port>\n"
           "with the port actually in use; then one line per connection event on stderr.\n"
           "SIGINT or SIGTERM stops the server (exit code 0).\n"
           "\n"
           "Users: user ids and passwords have at most 8 characters and are compared\n"
           "exactly. Without any --user or --users-file every non-empty user id is let in\n"
           "with any password. A user without PASSWORD2 must send no second password.\n"
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

}  // namespace kelsrv
