#include <io.h>

#include "terminal.h"

namespace kelcli {

bool IsTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace kelcli
