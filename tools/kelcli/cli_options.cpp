#include "cli_options.h"

#include "text.h"

namespace kelcli {
namespace {

using keltools::ParseNumber;

// Which command an option belongs to; Any for the connection options.
enum class Scope { Any, Send, Bench };

struct OptionEntry {
    const char *shortName;
    const char *longName;
    bool takesValue;
    Scope scope;
};

const OptionEntry kOptions[] = {
    {"-h", "--help", false, Scope::Any},        {nullptr, "--version", false, Scope::Any},
    {"-t", "--trace", false, Scope::Any},       {"-p", "--port", true, Scope::Any},
    {"-u", "--user", true, Scope::Any},         {"-w", "--password", true, Scope::Any},
    {"-W", "--password2", true, Scope::Any},    {nullptr, "--timeout", true, Scope::Any},
    {"-c", "--code", true, Scope::Send},        {nullptr, "--parm1", true, Scope::Send},
    {nullptr, "--parm3", true, Scope::Send},    {nullptr, "--flags", true, Scope::Send},
    {"-r", "--reply", true, Scope::Send},       {"-d", "--data", true, Scope::Send},
    {"-f", "--data-file", true, Scope::Send},   {nullptr, "--hex", false, Scope::Send},
    {nullptr, "--clients", true, Scope::Bench}, {nullptr, "--requests", true, Scope::Bench},
    {nullptr, "--seconds", true, Scope::Bench}, {nullptr, "--size", true, Scope::Bench},
    {nullptr, "--command", true, Scope::Bench}, {nullptr, "--tls", true, Scope::Any},
    {nullptr, "--tls-ca", true, Scope::Any},    {nullptr, "--tls-server-name", true, Scope::Any},
};

// The TLS modes by the names KELAPI_TLS takes.
const struct {
    const char *name;
    std::uint32_t mode;
} kTlsModes[] = {{"off", KEL_TLS_OFF},
                 {"require", KEL_TLS_REQUIRE},
                 {"verify-ca", KEL_TLS_VERIFY_CA},
                 {"verify-full", KEL_TLS_VERIFY_FULL}};

bool ParseTlsMode(const std::string &value, CliOptions *options, std::string *error) {
    for (const auto &entry : kTlsModes) {
        if (value != entry.name) continue;
        options->hasTls = true;
        options->tlsMode = entry.mode;
        return true;
    }
    return *error = "--tls takes off, require, verify-ca or verify-full, not '" + value + "'", false;
}

// The largest time-out whose milliseconds still fit the library's signed range.
const std::uint32_t kMaxTimeoutSeconds = 2147483;

const OptionEntry *FindOption(const std::string &name) {
    for (const OptionEntry &option : kOptions)
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

bool ParseCount(const std::string &name, const std::string &text, std::uint32_t min, std::uint32_t max,
                std::uint32_t *count, std::string *error) {
    unsigned long long value = 0;
    if (!ParseNumber(text, max, &value) || value < min)
        return *error = name + " takes " + std::to_string(min) + " to " + std::to_string(max) + ", not '" +
                        text + "'",
               false;
    *count = static_cast<std::uint32_t>(value);
    return true;
}

bool ApplyBenchOption(const std::string &name, const std::string &value, CliOptions *options,
                      std::string *error) {
    if (name == "--clients") return ParseCount(name, value, 1, 1000, &options->clients, error);
    if (name == "--requests") return ParseCount(name, value, 1, 1000000000, &options->requests, error);
    if (name == "--seconds") return ParseCount(name, value, 1, 86400, &options->seconds, error);
    if (name == "--size") return ParseCount(name, value, 0, kMaxData, &options->size, error);
    return ParseWord(name, value, &options->benchCode, error);  // --command
}

bool ApplyOption(const OptionEntry &option, const std::string &value, CliOptions *options,
                 std::string *error) {
    const std::string name = option.longName;
    unsigned long long number = 0;
    if (option.scope == Scope::Bench) return ApplyBenchOption(name, value, options, error);
    if (name == "--help") {
        options->help = true;
    } else if (name == "--version") {
        options->version = true;
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
    } else if (name == "--timeout") {
        return ParseCount(name, value, 0, kMaxTimeoutSeconds, &options->timeoutSeconds, error);
    } else if (name == "--tls") {
        return ParseTlsMode(value, options, error);
    } else if (name == "--tls-ca") {
        if (value.empty()) return *error = "--tls-ca needs a file name", false;
        options->tlsCA = value;
    } else if (name == "--tls-server-name") {
        if (value.empty()) return *error = "--tls-server-name needs a name", false;
        options->tlsServerName = value;
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

const char kCommandList[] = "(commands: info, send, bench)";

bool ParseCommandName(const std::string &word, CliOptions *options, std::string *error) {
    if (word == "info")
        options->command = Command::Info;
    else if (word == "send")
        options->command = Command::Send;
    else if (word == "bench")
        options->command = Command::Bench;
    else
        return *error = "unknown command '" + word + "' " + kCommandList, false;
    return true;
}

// Checks that the options given fit the command; --help skips this.
bool CheckComplete(const CliOptions &options, bool sawCode, bool sawRequests, std::string *error) {
    if (options.command == Command::None)
        return *error = std::string("no command given ") + kCommandList, false;
    if (options.host.empty()) return *error = "no host given", false;
    if (!options.hasTls && (!options.tlsCA.empty() || !options.tlsServerName.empty()))
        return *error = "--tls-ca and --tls-server-name go with --tls", false;
    if (options.user.empty()) return *error = "no user id given (--user)", false;
    if (options.command == Command::Send && !sawCode) return *error = "no command code given (--code)", false;
    if (sawRequests && options.seconds) return *error = "--requests and --seconds exclude each other", false;
    return true;
}

// The first option of each command-bound scope, as typed, to check against the command.
struct ScopedOptions {
    std::string send;
    std::string bench;

    void Note(Scope scope, const std::string &typed) {
        std::string *first = scope == Scope::Send ? &send : scope == Scope::Bench ? &bench : nullptr;
        if (first && first->empty()) *first = typed;
    }

    bool Fit(Command command, std::string *error) const {
        if (!send.empty() && command != Command::Send)
            return *error = "option '" + send + "' belongs to the send command", false;
        if (!bench.empty() && command != Command::Bench)
            return *error = "option '" + bench + "' belongs to the bench command", false;
        return true;
    }
};

// One option word, "--name=value" included: the option it names and its value.
bool TakeOption(int argc, const char *const *argv, int *i, std::string *name, const OptionEntry **found,
                std::string *value, std::string *error) {
    const std::string word = argv[*i];
    *name = word;
    bool inlineValue = keltools::SplitLongOption(word, name, value);
    *found = FindOption(*name);
    if (!*found) return *error = "unknown option '" + *name + "' (see --help)", false;
    if (!(*found)->takesValue) {
        if (inlineValue) return *error = "option '" + *name + "' takes no value", false;
    } else if (!inlineValue) {
        if (*i + 1 >= argc) return *error = "option '" + word + "' needs a value", false;
        *value = argv[++*i];
    }
    return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char *const *argv, CliOptions *options, std::string *error) {
    *options = CliOptions();
    bool sawCode = false;
    bool sawRequests = false;
    ScopedOptions scoped;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.size() > 1 && word[0] == '-') {
            const OptionEntry *found = nullptr;
            std::string typed, value;
            if (!TakeOption(argc, argv, &i, &typed, &found, &value, error)) return false;
            scoped.Note(found->scope, typed);
            const std::string name = found->longName;
            sawCode = sawCode || name == "--code";
            sawRequests = sawRequests || name == "--requests";
            if (!ApplyOption(*found, value, options, error)) return false;
        } else if (options->command == Command::None) {
            if (!ParseCommandName(word, options, error)) return false;
        } else if (options->host.empty()) {
            options->host = word;
        } else {
            return *error = "unexpected argument '" + word + "'", false;
        }
    }
    if (options->help || options->version) return true;
    if (!scoped.Fit(options->command, error)) return false;
    return CheckComplete(*options, sawCode, sawRequests, error);
}

std::string HelpText(Command command) {
    const std::string connection =
        "Connection options:\n"
        "  -u, --user ID          user id (at most 8 characters are used)\n"
        "  -w, --password PW      password; without it the environment variable\n"
        "                         KELCLI_PASSWORD is used, and an empty one without that\n"
        "  -W, --password2 PW     second password; without it KELCLI_PASSWORD2, if set\n"
        "  -p, --port N           server port (default 2893)\n"
        "      --timeout SECONDS  longest wait for the server in each step: the TCP\n"
        "                         connect, each send and each receive (default 10;\n"
        "                         0 waits without a bound)\n"
        "      --tls MODE         TLS to the server (or to a TLS terminator in front\n"
        "                         of it): off, require (encrypted, the certificate not\n"
        "                         checked: no defence against an active attacker),\n"
        "                         verify-ca (the chain ends at a trusted CA),\n"
        "                         verify-full (that, and the certificate names the\n"
        "                         server: use this). Without it the environment\n"
        "                         variables KELAPI_TLS, KELAPI_TLS_CA and\n"
        "                         KELAPI_TLS_SERVER_NAME decide (default off)\n"
        "      --tls-ca FILE      PEM file of the CAs to trust (default: the system's)\n"
        "      --tls-server-name NAME\n"
        "                         the name the certificate must carry (default: HOST)\n"
        "  -t, --trace            write the library's trace lines to stderr\n"
        "  -h, --help             this text\n"
        "      --version          the version of kelcli and of the library it was built with\n"
        "HOST is a host name, a dotted IPv4 address or an IPv6 address (::1 or\n"
        "[::1]); a name is resolved at each connect and its addresses are tried in\n"
        "turn. Numbers are decimal or 0x-hexadecimal. A long option takes its value\n"
        "as --name VALUE or --name=VALUE.\n";
    const std::string exitCodes =
        "Exit code: 0 on success; the library's result code when a call fails (for\n"
        "example 101 no connection or unknown host, 102 connection lost or time-out\n"
        "ran out, 106 wrong password); 2 when the command line cannot be used (bad\n"
        "option, unreadable data file). A failure prints one line on stderr: the\n"
        "step, the result code, its name and what it means, and the library's reason\n"
        "(\"Reason: connect to [::1]:2893: Connection refused ...\").\n";
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
                   "in the library's numbering. Name a reply the server sends: frames are\n"
                   "skipped as long as they come, and the wait ends when --timeout passes\n"
                   "without one.\n\n"
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
        case Command::Bench:
            return "Usage: kelcli bench [options] HOST\n"
                   "Load test: C clients, each on a connection and a thread of its own, connect\n"
                   "and log on all at the same moment, then send requests one after the other,\n"
                   "each awaiting its reply. An echo reply must bring the request's data back.\n"
                   "Prints the exchanges per second, the latency of one exchange and of the\n"
                   "connect and logon (median, 90th and 99th percentile, maximum) and the\n"
                   "failures by step and result code. A client whose connection fails stops;\n"
                   "a request the host refuses counts as a failure and the client goes on. On\n"
                   "a terminal a progress line shows on stderr.\n\n"
                   "Bench options:\n"
                   "      --clients C        clients at once, 1 to 1000 (default 1)\n"
                   "      --requests N       requests each client sends (default 1000)\n"
                   "      --seconds S        send for S seconds instead of a number of requests\n"
                   "      --size B           data bytes per request, at most 16 MiB (default 16)\n"
                   "      --command CODE     request code (default 0x80000100, echo); the reply\n"
                   "                         awaited is CODE with bit 31 cleared and bit 30 set\n\n" +
                   connection +
                   "\nExit code: 0 when every request was answered without a failure; else the\n"
                   "result code of the most frequent failure (105 for an echo whose data came\n"
                   "back wrong); 2 when the command line cannot be used.\n";
        case Command::None:
            break;
    }
    return "Usage: kelcli COMMAND [options] HOST\n"
           "Command-line client of a Hox/Pym connector server, over kelapi.\n\n"
           "Commands:\n"
           "  info    show the server's identity\n"
           "  send    send one command and show its reply\n"
           "  bench   load test: many clients, many requests, rate and latency\n\n"
           "'kelcli COMMAND --help' describes a command and its options.\n"
           "'kelcli --version' shows the version.\n\n" +
           exitCodes;
}

}  // namespace kelcli
