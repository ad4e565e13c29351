// Whether a stream goes to a terminal, where a progress line makes sense.
#ifndef KELCLI_TERMINAL_H
#define KELCLI_TERMINAL_H

#include <cstdio>

namespace kelcli {

bool IsTerminal(std::FILE *stream);

}  // namespace kelcli

#endif
