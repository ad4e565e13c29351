// codes.h - the rule that pairs a request code with its reply code, shared
// by the tools: the server answers with it, the clients wait for it.
#ifndef KEL_TOOLS_CODES_H
#define KEL_TOOLS_CODES_H

#include <cstdint>

namespace keltools {

// The reply code of a request code: bit 31 cleared, bit 30 set.
constexpr std::uint32_t ReplyCodeFor(std::uint32_t request) { return (request & 0x3FFFFFFFu) | 0x40000000u; }

}  // namespace keltools

#endif
