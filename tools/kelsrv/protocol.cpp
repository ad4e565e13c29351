#include "protocol.h"

namespace kelsrv {

const ReturnCodeInfo kReturnCodes[14] = {
    {0x00010001u, 104, "unknown user id"},
    {0x00010002u, 106, "wrong password"},
    {0x00010003u, 107, "wrong or missing second password"},
    {0x00010004u, 104, "empty user id"},
    {0x00010005u, 108, "(per-user refusal only) e.g. account disabled"},
    {0x00020001u, 200, "(per-user refusal only)"},
    {0x00030001u, 202, "(per-user refusal only)"},
    {0x00030002u, 203, "(per-user refusal only)"},
    {0x00030003u, 204, "(per-user refusal only)"},
    {0x00030004u, 201, "unknown command"},
    {0x00040001u, 205, "(per-user refusal only)"},
    {0x00050001u, 202, "(per-user refusal only)"},
    {0x00050002u, 201, "malformed request (wrong data length)"},
    {0x00060001u, 200, "application command before a successful logon"},
};

}  // namespace kelsrv
