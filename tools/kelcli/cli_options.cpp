#include "cli_options.h"

#include "text.h"

namespace kelcli {
namespace {

using keltools::ParseNumber;

// Which command an option belongs to; Any for the connection options.
enum class Scope { Any, Send };

struct OptionSpec {
    const char *shortName;
    const char *longName;
    bool takesValue;
    Scope scope;
};

const OptionSpec kOptions[] = {
    {"-h", "--help", false, Scope::Any},      {"-t", "--trace", false, Scope::Any},
    {"-p", "--port", true, Scope::Any},       {"-u", "--user", true, Scope::Any},
    {"-w", "--password", true, Scope::Any},   {"-W", "--password2", true, Scope::Any},
    {"-c", "--code", true, Scope::Send},      {nullptr, "--parm1", true, Scope::Send},
    {nullptr, "--parm3", true, Scope::Send},  {nullptr, "--flags", true, Scope::Send},
    {"-r", "--reply", true, Scope::Send},     {"-d", "--data", true, Scope::Send},
    {"-f", "--data-file", true, Scope::Send}, {nullptr, "--hex", false, Scope::Send},
};

const OptionSpec *FindOption(const std::string &name) {
    for (const OptionSpec &option : kOptions)
        if ((option.shortName && name == option.shortName) || name == option.longName) return &option;
    return nullptr;
}

bool ParseWord(const std::string &name, const std::string &text, std::uint32_t *word, std::string *error) {
    unsigned long long value = 0;
    if (!ParseNumber(text, 0xFFFFFFFFull, &value))
        return *error = name + " takes a 32-bit number, not '" + text + "'", false;
    *word = static_cast<std::uint32_t>(value);
    return true;
}

bool ApplyOption(const OptionSpec &option, const std::string &value, CliOptions *options,
                 std::string *error) {
    const std::string name = option.longName;
    unsigned long long number = 0;
    if (name == "--help") {
        options->help = true;
    } else if (name == "--trace") {
        options->trace = true;
    } else if (name == "--port") {
        if (!ParseNumber(value, 0xFFFF, &number)) return *error = "bad port '" + value + "'", false;
        options->port = static_cast<std::uint16_t>(number);
    } else if (name == "--user") {
        options->user = value;
    } else if (name == "--password") {
        options->hasPassword = true;
        options->password = value;
    } else if (name == "--password2") {
        options->hasPassword2 = true;
        options->password2 = value;
    } else if (name == "--code") {
        return ParseWord(name, value, &options->code, error);
    } else if (name == "--parm1") {
        return ParseWord(name, value, &options->parm1, error);
    } else if (name == "--parm3") {
        return ParseWord(name, value, &options->parm3, error);
    } else if (name == "--flags") {
        if (!ParseNumber(value, 0xFF, &number) || (number & 0x1F) != 0)
            return *error = "--flags takes the bits 0x20 to 0x80, not '" + value + "'", false;
        options->flags = static_cast<std::uint8_t>(number);
    } else if (name == "--reply") {
        options->hasReply = true;
        return ParseWord(name, value, &options->reply, error);
    } else if (name == "--data") {
        if (!options->dataFile.empty()) return *error = "--data and --data-file exclude each other", false;
        options->hasData = true;
        options->data = value;
    } else if (name == "--data-file") {
        if (options->hasData) return *error = "--data and --data-file exclude each other", false;
        if (value.empty()) return *error = "--data-file needs a file name", false;
        options->dataFile = value;
    } else if (name == "--hex") {
        options->hexDump = true;
    }
    return true;
}

bool ParseCommandName(const std::string &word, CliOptions *options, std::string *error) {
    if (word == "info")
        options->command = Command::Info;
    else if (word == "send")
        options->command = Command::Send;
    else
        return *error = "unknown command '" + word + "' (commands: info, send)", false;
    return true;
}

// Checks that the options given fit the command; --help skips this.
bool CheckComplete(const CliOptions &options, bool sawCode, std::string *error) {
    if (options.command == Command::None) return *error = "no command given (commands: info, send)", false;
    if (options.host.empty()) return *error = "no host given", false;
    if (options.user.empty()) return *error = "no user id given (--user)", false;
    if (options.command == Command::Send && !sawCode) return *error = "no command code given (--code)", false;
    return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char *const *argv, CliOptions *options, std::string *error) {
    *options = CliOptions();
    bool sawCode = false;
    bool sendOnlyOption = false;
    std::string firstSendOption;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.size() > 1 && word[0] == '-') {
            const OptionSpec *found = FindOption(word);
            if (!found) return *error = "unknown option '" + word + "' (see --help)", false;
            std::string value;
            if (found->takesValue) {
                if (i + 1 >= argc) return *error = "option '" + word + "' needs a value", false;
                value = argv[++i];
            }
            if (found->scope == Scope::Send && !sendOnlyOption) {
                sendOnlyOption = true;
                firstSendOption = word;
            }
            if (std::string(found->longName) == "--code") sawCode = true;
            if (!ApplyOption(*found, value, options, error)) return false;
        } else if (options->command == Command::None) {
            if (!ParseCommandName(word, options, error)) return false;
        } else if (options->host.empty()) {
            options->host = word;
        } else {
            return *error = "unexpected argument '" + word + "'", false;
        }
    }
    if (options->help) return true;
    if (sendOnlyOption && options->command != Command::Send)
        return *error = "option '" + firstSendOption + "' belongs to the send command", false;
    return CheckComplete(*options, sawCode, error);
}

std::string HelpText(Command command) {
    const std::string connection =
        "Connection options:\n"
        "  -u, --user ID          user id (at most 8 characters are used)\n"
        "  -w, --password PW      password; without it the environment variable\n"
        "                         KELCLI_PASSWORD is used, and an empty one without that\n"
        "  -W, --password2 PW     second password; without it KELCLI_PASSWORD2, if set\n"
        "  -p, --port N           server port (default 2893)\n"
        "  -t, --trace            write the library's trace lines to stderr\n"
        "  -h, --help             this text\n"
        "HOST is a host name or a dotted IPv4 address. Numbers are decimal or\n"
        "0x-hexadecimal.\n";
    const std::string exitCodes =
        "Exit code: 0 on success; the library's result code when a call fails (for\n"
        "example 101 no connection, 106 wrong password); 2 when the command line\n"
        "cannot be used (bad option, unknown host, unreadable data file).\n";
    switch (command) {
        case Command::Info:
            return "Usage: kelcli info [options] HOST\n"
                   "Connects and logs on, prints the server's identity (identifier without its\n"
                   "marker byte, version, description, logon data byte) and disconnects.\n\n" +
                   connection + "\n" + exitCodes;
        case Command::Send:
            return "Usage: kelcli send [options] --code CODE HOST\n"
                   "Connects and logs on, sends one application command, waits for its reply\n"
                   "(frames that arrive before it are skipped), prints the reply's fields and\n"
                   "data, and disconnects. A reply with a host return code ends with that code\n"
                   "in the library's numbering. The wait has no time-out: name a reply the\n"
                   "server sends (Ctrl+C ends the wait).\n\n"
                   "Command options:\n"
                   "  -c, --code CODE        command code, e.g. 0x80000100\n"
                   "      --parm1 N          first parameter word (default 0: not sent)\n"
                   "      --parm3 N          third parameter word (default 0: not sent)\n"
                   "      --flags N          extra frame flag bits 0x20 to 0x80\n"
                   "  -d, --data TEXT        the command's data, as given\n"
                   "  -f, --data-file FILE   the command's data, read from FILE (at most 16 MiB)\n"
                   "  -r, --reply CODE       reply code to wait for (default: CODE with bit 31\n"
                   "                         cleared and bit 30 set)\n"
                   "      --hex              show the reply data as a hex dump even if it is text\n\n" +
                   connection + "\n" + exitCodes;
        case Command::None:
            break;
    }
    return "Usage: kelcli COMMAND [options] HOST\n"
           "Command-line client of a Hox/Pym connector server, over kelapi.\n\n"
           "Commands:\n"
           "  info    show the server's identity\n"
           "  send    send one command and show its reply\n\n"
           "'kelcli COMMAND --help' describes a command and its options.\n\n" +
           exitCodes;
}

}  // namespace kelcli
