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

// "KEL_ERR_HOST_106" for 106; "unknown result" for a code the library does not use.
const char *ResultName(int result);

}  // namespace kelcli

#endif
