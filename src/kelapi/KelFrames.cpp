// KelFrames.cpp - command frames on the connection's byte stream.
//
// A frame is the command code (4 bytes, big-endian), a flag byte, and one
// big-endian word for each of dwParm1, dwRetCode, dwParm3 and dwDataLen that
// is non-zero, in that order. dwDataLen bytes of data follow the frame.
#include <string.h>

#include "kelapi_internal.h"

static const char kszModule[] = "KelConct";

namespace {

const uint32_t kFrameHeaderSize = 5;
const uint32_t kDiscardChunk = 256;
const uint8_t kPresenceBits = KEL_FLAG_PARM1 | KEL_FLAG_RETCODE | KEL_FLAG_PARM3 | KEL_FLAG_DATALEN;

struct KelOptionalWord {
    uint8_t bFlag;
    uint32_t KelCommand::*pField;
};

// The optional words in the order they travel.
const KelOptionalWord kaOptionalWords[] = {
    {KEL_FLAG_PARM1, &KelCommand::dwParm1},
    {KEL_FLAG_RETCODE, &KelCommand::dwRetCode},
    {KEL_FLAG_PARM3, &KelCommand::dwParm3},
    {KEL_FLAG_DATALEN, &KelCommand::dwDataLen},
};

}  // namespace

int32_t KELAPI_CALL KelSendCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand, int32_t bFlush) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KEL_ERR_PARAM);
    uint8_t abHeader[kFrameHeaderSize];
    uint8_t abWords[4 * 4];
    uint32_t dwWordsLen = 0;
    KelPutBE32(abHeader, lpCommand->dwCommand);
    // The presence bits come from the fields alone: a bit left over in the
    // caller's flag byte (say from a received record whose word was cleared)
    // would announce a word that is not sent and break the framing for the
    // peer. The bits 0x10 to 0x80 are the caller's and travel unchanged.
    abHeader[4] = (uint8_t)(lpCommand->bFlags & ~kPresenceBits);
    for (const KelOptionalWord &word : kaOptionalWords) {
        uint32_t dwValue = lpCommand->*word.pField;
        if (!dwValue) continue;
        KelPutBE32(abWords + dwWordsLen, dwValue);
        dwWordsLen += 4;
        abHeader[4] |= word.bFlag;
    }
    // The header waits in the buffer; the words go with the caller's flush,
    // even when there are none, so that a flush always pushes the frame out.
    int32_t nRc = KelSendExact(hConnection, abHeader, kFrameHeaderSize, 0);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    nRc = KelSendExact(hConnection, abWords, dwWordsLen, bFlush);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    return KEL_OK;
}

// The optional words are read with one exact receive; on a failure part-way
// the record keeps the words that arrived whole, as a word-by-word read would.
int32_t KELAPI_CALL KelReceiveCommand(HKELCONNECTION hConnection, KelCommand *lpCommand) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KEL_ERR_PARAM);
    memset(lpCommand, 0, sizeof *lpCommand);
    uint8_t abHeader[kFrameHeaderSize];
    int32_t nRc = KelReceiveExact(hConnection, abHeader, kFrameHeaderSize);
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    lpCommand->dwCommand = KelGetBE32(abHeader);
    lpCommand->bFlags = abHeader[4];

    uint32_t dwWordsLen = 0;
    for (const KelOptionalWord &word : kaOptionalWords)
        if (lpCommand->bFlags & word.bFlag) dwWordsLen += 4;
    uint8_t abWords[4 * 4];
    uint32_t dwReceived = 0;
    nRc = dwWordsLen ? KelReceive(hConnection, abWords, dwWordsLen, &dwReceived, 1) : KEL_OK;
    uint32_t dwOffset = 0;
    for (const KelOptionalWord &word : kaOptionalWords) {
        if (!(lpCommand->bFlags & word.bFlag)) continue;
        if (dwOffset + 4 > dwReceived) break;
        lpCommand->*word.pField = KelGetBE32(abWords + dwOffset);
        dwOffset += 4;
    }
    if (nRc != KEL_OK) return KEL_FAIL(nRc);
    if (dwReceived != dwWordsLen) return KEL_FAIL(KEL_ERR_COMM);
    return KEL_OK;
}

int32_t KELAPI_CALL KelDispatchCommand(HKELCONNECTION hConnection, const KelCommand *lpCommand) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KEL_ERR_PARAM);
    if (lpCommand->dwCommand == KEL_CMD_IGNORE) return KEL_OK;
    if (lpCommand->bFlags & KEL_FLAG_NOSKIP) return KEL_FAIL(KEL_ERR_PROTOCOL);
    uint8_t abScratch[kDiscardChunk];
    for (uint32_t dwLeft = lpCommand->dwDataLen; dwLeft;) {
        uint32_t dwChunk = dwLeft < kDiscardChunk ? dwLeft : kDiscardChunk;
        int32_t nRc = KelReceiveExact(hConnection, abScratch, dwChunk);
        if (nRc != KEL_OK) return KEL_FAIL(nRc);
        dwLeft -= dwChunk;
    }
    return KEL_OK;
}

int32_t KELAPI_CALL KelWaitForResponse(HKELCONNECTION hConnection, uint32_t dwExpected,
                                       KelCommand *lpCommand) {
    if (!hConnection || !lpCommand) return KEL_FAIL(KEL_ERR_PARAM);
    for (;;) {
        int32_t nRc = KelReceiveCommand(hConnection, lpCommand);
        if (nRc != KEL_OK) return KEL_FAIL(nRc);
        if (lpCommand->dwCommand == dwExpected) return KEL_OK;
        nRc = KelDispatchCommand(hConnection, lpCommand);
        if (nRc != KEL_OK) return KEL_FAIL(nRc);
    }
}

int32_t KELAPI_CALL KelCmdErrToKelErr(uint32_t dwRetCode) {
    static const struct {
        uint32_t dwHostCode;
        int32_t nResult;
    } kaTable[] = {
        {0x00000000u, KEL_OK},           {0x00010001u, KEL_ERR_HOST_104}, {0x00010002u, KEL_ERR_HOST_106},
        {0x00010003u, KEL_ERR_HOST_107}, {0x00010004u, KEL_ERR_HOST_104}, {0x00010005u, KEL_ERR_HOST_108},
        {0x00020001u, KEL_ERR_HOST_200}, {0x00030001u, KEL_ERR_HOST_202}, {0x00030002u, KEL_ERR_HOST_203},
        {0x00030003u, KEL_ERR_HOST_204}, {0x00030004u, KEL_ERR_HOST_201}, {0x00040001u, KEL_ERR_HOST_205},
        {0x00050001u, KEL_ERR_HOST_202}, {0x00050002u, KEL_ERR_HOST_201}, {0x00060001u, KEL_ERR_HOST_200},
    };
    for (const auto &entry : kaTable)
        if (entry.dwHostCode == dwRetCode) return entry.nResult;
    return KEL_ERR_SYSTEM;
}
