// Codes kelsrv uses on the wire beyond the ones every client knows
// (identify, logon, disconnect, ignore; see kelapi.h).
#ifndef KELSRV_PROTOCOL_H
#define KELSRV_PROTOCOL_H

#include <cstdint>

#include "codes.h"
#include "kelapi.h"

namespace kelsrv {

// Application commands. A reply's code is its request's code with bit 31
// cleared and bit 30 set (ReplyCodeFor).
using keltools::kCmdEcho;
using keltools::kRspEcho;
constexpr std::uint32_t kCmdChatty = 0x80000101u;
constexpr std::uint32_t kRspChatty = 0x40000101u;

// Unsolicited frames the server sends ahead of a reply.
constexpr std::uint32_t kNoteFrame = 0x20000001u;    // chatty: carries data
constexpr std::uint32_t kNoSkipFrame = 0x20000002u;  // misbehaviour: flag 0x10, no data

// Chatty defaults when the request leaves dwParm1 / dwParm3 at zero.
constexpr std::uint32_t kChattyDefaultDataLen = 300;
constexpr std::uint32_t kChattyMaxRounds = 100;
constexpr std::uint32_t kChattyMaxDataLen = 1u << 20;

// The largest echo request whose data is sent back; larger ones are refused.
constexpr std::uint32_t kMaxEchoDataLen = 1u << 20;

// Host return codes kelsrv raises itself.
constexpr std::uint32_t kRcUnknownUser = 0x00010001u;
constexpr std::uint32_t kRcWrongPassword = 0x00010002u;
constexpr std::uint32_t kRcWrongPassword2 = 0x00010003u;
constexpr std::uint32_t kRcEmptyUser = 0x00010004u;
constexpr std::uint32_t kRcUnknownCommand = 0x00030004u;
constexpr std::uint32_t kRcBadRequest = 0x00050002u;
constexpr std::uint32_t kRcNotLoggedOn = 0x00060001u;

// Return code of the identify reply in the identify-retcode misbehaviour.
constexpr std::uint32_t kRcMisbehaviourIdentify = 0x00010001u;

// The server identifier's top byte that clients insist on, and the one the
// wrong-marker misbehaviour puts there instead.
constexpr std::uint32_t kServerMarker = 0x53u;
constexpr std::uint32_t kWrongMarker = 0x43u;

using keltools::ReplyCodeFor;

// One row of the table of host return codes: what kelsrv means by it and
// the result code the client library turns it into.
struct ReturnCodeInfo {
    std::uint32_t code;
    int libraryResult;
    const char *meaning;
};

// Every host return code the client library knows, in ascending order.
extern const ReturnCodeInfo kReturnCodes[14];

}  // namespace kelsrv

#endif
