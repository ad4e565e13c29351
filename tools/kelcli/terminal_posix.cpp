#include <unistd.h>

#include "terminal.h"

namespace kelcli {

bool IsTerminal(std::FILE *stream) { return isatty(fileno(stream)) == 1; }

}  // namespace kelcli
