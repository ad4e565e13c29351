// kelapi_blocks.cpp - the identify and logon blocks as they travel. Nothing
// here writes a trace line: the connect code reports every failure itself.
#include "kelapi_blocks.h"

#include <string.h>

namespace {
const uint32_t kPasswordFieldSize = 8;
}  // namespace

void KelFillClientIdent(uint8_t abBlock[kIdentBlockSize]) {
    static const char kszDescription[] = "Hox/Pym Connector API";
    memset(abBlock, 0, kIdentBlockSize);
    KelPutBE32(abBlock, 0x43010100u);
    KelPutBE32(abBlock + 4, 0x00010001u);
    memcpy(abBlock + 8, kszDescription, sizeof kszDescription);
}

void KelStoreServerIdent(KelConnection *lpCon, const uint8_t abBlock[kIdentBlockSize]) {
    lpCon->dwServerID = KelGetBE32(abBlock);
    lpCon->dwServerVersion = KelGetBE32(abBlock + 4);
    memset(lpCon->szServerDescription, 0, KEL_DESCRIPTION_SIZE);
    const uint8_t *lpText = abBlock + 8;
    size_t nLen = 0;
    while (nLen < KEL_DESCRIPTION_SIZE - 1 && lpText[nLen]) ++nLen;
    memcpy(lpCon->szServerDescription, lpText, nLen);
}

// Scrambles one password, NUL-filled to 8 bytes, into 16 bytes of the block.
static void KelScramblePassword(const char *szPassword, uint8_t *lpOut) {
    char szField[kPasswordFieldSize + 1] = {0};
    memcpy(szField, szPassword, strnlen(szPassword, kPasswordFieldSize));
    KelScramble(reinterpret_cast<const uint8_t *>(szField), kPasswordFieldSize, lpOut);
    KelSecureZero(szField, sizeof szField);
}

void KelBuildLogonBlock(const KelConnection *lpCon, uint8_t abBlock[kLogonBlockSize]) {
    memset(abBlock, 0, kLogonBlockSize);
    memcpy(abBlock, lpCon->szUserID, strlen(lpCon->szUserID) + 1);
    KelScramblePassword(lpCon->szPassword, abBlock + 9);
    if (lpCon->szPassword2[0]) KelScramblePassword(lpCon->szPassword2, abBlock + 25);
}
