// text.h - number parsing and formatting shared by the command-line tools.
#ifndef KEL_TOOLS_TEXT_H
#define KEL_TOOLS_TEXT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kelapi.h"

namespace keltools {

// Decimal or 0x-hexadecimal, at most max. Signs and leading blanks, which
// strtoull would quietly accept, are refused.
inline bool ParseNumber(const std::string &text, unsigned long long max, unsigned long long *value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char *end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 0);
    return *end == '\0' && *value <= max;
}

// A 32-bit value as 0x and eight upper-case hexadecimal digits.
inline std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Splits "--name=value" into its two parts; false for any other word.
inline bool SplitLongOption(const std::string &word, std::string *name, std::string *value) {
    std::string::size_type equals = word.find('=');
    if (word.compare(0, 2, "--") != 0 || equals == std::string::npos || equals < 3) return false;
    *name = word.substr(0, equals);
    *value = word.substr(equals + 1);
    return true;
}

// "PROGRAM VERSION" for --version, with the version of the library's header.
inline std::string VersionLine(const char *program) {
    return std::string(program) + " " + std::to_string(KELAPI_VERSION_MAJOR) + "." +
           std::to_string(KELAPI_VERSION_MINOR) + "." + std::to_string(KELAPI_VERSION_PATCH);
}

}  // namespace keltools

#endif
