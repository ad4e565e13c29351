// kelcli: command-line client of a connector server. See --help.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli_options.h"
#include "commands.h"
#include "kelapi.h"
#include "terminal.h"
#include "text.h"

namespace {

// What was printed before a trace line is flushed first, so that the two
// streams keep their order when both go to one place.
void TraceToStderr(const char *line) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line);
}

// Passwords left off the command line come from the environment, so that
// they need not show in a process list.
void TakePasswordsFromEnvironment(kelcli::CliOptions *options) {
    if (!options->hasPassword) {
        const char *password = std::getenv("KELCLI_PASSWORD");
        options->password = password ? password : "";
        options->hasPassword = true;
    }
    if (!options->hasPassword2) {
        const char *password2 = std::getenv("KELCLI_PASSWORD2");
        if (password2) {
            options->password2 = password2;
            options->hasPassword2 = true;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    kelcli::CliOptions options;
    std::string error;
    if (!kelcli::ParseCommandLine(argc, argv, &options, &error)) {
        std::fprintf(stderr, "kelcli: %s\n", error.c_str());
        return kelcli::kExitUsage;
    }
    if (options.help) {
        std::fputs(kelcli::HelpText(options.command).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", keltools::VersionLine("kelcli").c_str());
        return 0;
    }
    TakePasswordsFromEnvironment(&options);
    if (options.trace) {
        fKelTraceFunc = TraceToStderr;
        bKelTraceOn = 1;
    }
    int result = 0;
    switch (options.command) {
        case kelcli::Command::Info:
            result = kelcli::RunInfo(options, stdout, stderr);
            break;
        case kelcli::Command::Send:
            result = kelcli::RunSend(options, stdout, stderr);
            break;
        default:
            result = kelcli::RunBench(options, kelcli::IsTerminal(stderr) && !options.trace, stdout, stderr);
            break;
    }
    std::fflush(stdout);
    return result;
}
