// kelapi_blocks.h - the data blocks of the identify and logon exchanges.
#ifndef KELAPI_BLOCKS_H
#define KELAPI_BLOCKS_H

#include "kelapi_internal.h"

const uint32_t kIdentBlockSize = 88;
const uint32_t kLogonBlockSize = 41;

// The library's own identify block: id "C" 1.1.0, version 1.1, its description.
void KelFillClientIdent(uint8_t abBlock[kIdentBlockSize]);

// Stores the server's identity from its identify block; the description is
// cut to 79 characters so that it always ends in a NUL.
void KelStoreServerIdent(KelConnection *lpCon, const uint8_t abBlock[kIdentBlockSize]);

// The logon block: user id, then both passwords scrambled; an empty second
// password is sent as 16 zero bytes. The password scratch area is cleared.
void KelBuildLogonBlock(const KelConnection *lpCon, uint8_t abBlock[kLogonBlockSize]);

#endif
