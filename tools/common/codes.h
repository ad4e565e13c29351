// codes.h - codes the tools share: the rule that pairs a request code with
// its reply code, and the reference server's echo, which the clients use.
#ifndef KEL_TOOLS_CODES_H
#define KEL_TOOLS_CODES_H

#include <cstdint>

namespace keltools {

// The reply code of a request code: bit 31 cleared, bit 30 set.
constexpr std::uint32_t ReplyCodeFor(std::uint32_t request) { return (request & 0x3FFFFFFFu) | 0x40000000u; }

// kelsrv's echo: the reply carries the request's data back.
constexpr std::uint32_t kCmdEcho = 0x80000100u;
constexpr std::uint32_t kRspEcho = ReplyCodeFor(kCmdEcho);

}  // namespace keltools

#endif
