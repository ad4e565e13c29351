// The kelcli commands, over kelapi's public interface only.
#ifndef KELCLI_COMMANDS_H
#define KELCLI_COMMANDS_H

#include <cstdio>

#include "cli_options.h"

namespace kelcli {

// Each prints its result to out and one "kelcli: ..." line to err on
// failure, and returns the exit code: 0, a library result code or kExitUsage.
int RunInfo(const CliOptions &options, std::FILE *out, std::FILE *err);
int RunSend(const CliOptions &options, std::FILE *out, std::FILE *err);
// Progress, when wanted, goes to err as one line rewritten in place.
int RunBench(const CliOptions &options, bool showProgress, std::FILE *out, std::FILE *err);

}  // namespace kelcli

#endif
