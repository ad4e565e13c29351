// fake_seam.cpp - the scripted platform seam.
#include "fake_seam.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>

FakePlatformState g_Fake;
const Bytes kDisconnectFrame = {0x80, 0x00, 0x00, 0x03, 0x00};

namespace {

const int kRecvPastEndLimit = 100;

int FakeStartup(void) {
    ++g_Fake.nStartupCalls;
    return g_Fake.nStartupResult;
}

KelSocket FakeSocket(void) {
    if (g_Fake.socketFail.ShouldFail()) return KEL_INVALID_SOCKET;
    ++g_Fake.nOpenSockets;
    return g_Fake.hNextSocket;
}

void CountUse(void) {
    if (!g_Fake.nOpenSockets) ++g_Fake.nUnopenedUse;
}

// The part of an nLen-byte send that the peer takes before the cut, or -1.
int TakenBeforeCut(int nLen) {
    if (g_Fake.nSentTotal > g_Fake.nSendCut) return -1;  // cut before
    size_t nRoom = g_Fake.nSendCut - g_Fake.nSentTotal;
    if (nRoom >= (size_t)nLen) {
        g_Fake.nSentTotal += (size_t)nLen;
        return nLen;
    }
    g_Fake.nSentTotal = g_Fake.nSendCut + 1;
    return g_Fake.bSendCutByReset ? -1 : (int)nRoom;
}
int FakeBind(KelSocket, uint32_t, uint16_t) {
    g_Fake.setup.push_back("bind");
    return g_Fake.bindFail.ShouldFail() ? -1 : 0;
}
int FakeConnect(KelSocket, uint32_t, uint16_t, uint32_t dwTimeoutMs) {
    g_Fake.setup.push_back("connect " + std::to_string(dwTimeoutMs));
    return g_Fake.connectFail.ShouldFail() ? -1 : 0;
}
int FakeSetNoDelay(KelSocket) {
    g_Fake.setup.push_back("nodelay");
    return g_Fake.nNoDelayResult;
}
int FakeSetTimeouts(KelSocket, uint32_t dwTimeoutMs) {
    g_Fake.setup.push_back("timeouts " + std::to_string(dwTimeoutMs));
    return 0;
}

// An environment without variables: the tests do not depend on the caller's.
int FakeGetEnv(const char *, char *, size_t) { return -1; }

int FakeSend(KelSocket, const void *lpData, int nLen, int bMore) {
    CountUse();
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    g_Fake.sends.emplace_back(lpBytes, lpBytes + nLen);
    g_Fake.sendMore.push_back(bMore);
    if (g_Fake.sendFail.ShouldFail())
        return g_Fake.nShortSendBy ? std::max(0, nLen - g_Fake.nShortSendBy) : -1;
    return TakenBeforeCut(nLen);
}

int FakeRecv(KelSocket, void *lpBuffer, int nLen) {
    CountUse();
    g_Fake.recvAsked.push_back(nLen);
    if (g_Fake.recvChunks.empty()) {
        // A caller that reads on after the end would never stop: end the
        // process rather than hang it.
        if (++g_Fake.nRecvPastEnd > kRecvPastEndLimit) {
            fprintf(stderr, "fake seam: %d receives past the end of the stream: a loop that never stops\n",
                    g_Fake.nRecvPastEnd);
            abort();
        }
        return g_Fake.nRecvErrorAfterScript;
    }
    int nChunk = std::min(nLen, g_Fake.recvChunks.front());
    memcpy(lpBuffer, g_Fake.recvData.data() + g_Fake.nRecvPos, (size_t)nChunk);
    g_Fake.nRecvPos += (size_t)nChunk;
    if ((g_Fake.recvChunks.front() -= nChunk) == 0) g_Fake.recvChunks.pop_front();
    return nChunk;
}

int FakeClose(KelSocket hSocket) {
    CountUse();
    if (g_Fake.nOpenSockets) --g_Fake.nOpenSockets;
    g_Fake.closed.push_back(hSocket);
    return 0;
}

void *FakeAlloc(size_t nSize) {
    if (g_Fake.allocFail.ShouldFail()) return nullptr;
    void *lpMemory = malloc(nSize);
    if (!lpMemory) return nullptr;
    ++g_Fake.nAllocs;
    ++g_Fake.nLiveBlocks;
    memset(lpMemory, 0xA5, nSize);  // nothing is zero by chance
    g_Fake.blockSizes[lpMemory] = nSize;
    return lpMemory;
}

// Checks, before the memory goes back, that the library cleared all of it.
void FakeFree(void *lpMemory) {
    if (!lpMemory) return;
    --g_Fake.nLiveBlocks;
    auto found = g_Fake.blockSizes.find(lpMemory);
    if (found != g_Fake.blockSizes.end()) {
        const uint8_t *lpBytes = static_cast<const uint8_t *>(lpMemory);
        if (std::any_of(lpBytes, lpBytes + found->second, [](uint8_t b) { return b != 0; }))
            ++g_Fake.nDirtyFrees;
        g_Fake.blockSizes.erase(found);
    }
    free(lpMemory);
}

int64_t FakeTime(void) {
    ++g_Fake.nTimeReads;
    return g_Fake.nNow;
}

int FakeLocalTime(int64_t, KelLocalTime *lpLocal) {
    *lpLocal = g_Fake.localTime;
    return 0;
}

void FakeSeedRandom(uint32_t dwSeed) {
    ++g_Fake.nSeedCalls;
    g_Fake.dwSeed = dwSeed;
    KelSeedRandomDefault(dwSeed);
}

std::vector<std::string> g_TraceLines;
std::mutex g_TraceMutex;

void CaptureLine(const char *szLine) {
    std::lock_guard<std::mutex> lock(g_TraceMutex);
    g_TraceLines.emplace_back(szLine);
}

}  // namespace

void InstallFakePlatform() {
    g_Fake = FakePlatformState();
    KelPlatformReset();
    g_KelPlatform.pfnStartup = FakeStartup;
    g_KelPlatform.pfnSocket = FakeSocket;
    g_KelPlatform.pfnBind = FakeBind;
    g_KelPlatform.pfnConnect = FakeConnect;
    g_KelPlatform.pfnSetNoDelay = FakeSetNoDelay;
    g_KelPlatform.pfnSetTimeouts = FakeSetTimeouts;
    g_KelPlatform.pfnGetEnv = FakeGetEnv;
    g_KelPlatform.pfnSend = FakeSend;
    g_KelPlatform.pfnRecv = FakeRecv;
    g_KelPlatform.pfnClose = FakeClose;
    g_KelPlatform.pfnAlloc = FakeAlloc;
    g_KelPlatform.pfnFree = FakeFree;
    g_KelPlatform.pfnTime = FakeTime;
    g_KelPlatform.pfnLocalTime = FakeLocalTime;
    g_KelPlatform.pfnSeedRandom = FakeSeedRandom;
}

void ScriptReceive(const Bytes &data, std::initializer_list<int> chunks) {
    g_Fake.recvData.insert(g_Fake.recvData.end(), data.begin(), data.end());
    for (int nChunk : chunks) g_Fake.recvChunks.push_back(nChunk);
}

void ScriptReceiveInChunks(const Bytes &data, size_t nChunk) {
    g_Fake.recvData.insert(g_Fake.recvData.end(), data.begin(), data.end());
    if (!nChunk) nChunk = data.size();
    for (size_t nAt = 0; nAt < data.size(); nAt += nChunk)
        g_Fake.recvChunks.push_back((int)std::min(nChunk, data.size() - nAt));
}

TraceCapture::TraceCapture() {
    g_TraceLines.clear();
    fKelTraceFunc = CaptureLine;
    bKelTraceOn = 1;
}

TraceCapture::~TraceCapture() {
    bKelTraceOn = 0;
    fKelTraceFunc = nullptr;
}

const std::vector<std::string> &TraceCapture::Lines() const { return g_TraceLines; }

std::vector<std::string> TraceCapture::Bodies() const {
    std::vector<std::string> bodies;
    for (const std::string &line : g_TraceLines) {
        size_t nDash = line.find(" - ");
        bodies.push_back(nDash == std::string::npos ? line : line.substr(nDash + 3));
    }
    return bodies;
}

std::vector<int> TraceCapture::ErrorCodes() const {
    std::vector<int> codes;
    for (const std::string &line : g_TraceLines) {
        size_t nAt = line.find("Error: ");
        if (nAt != std::string::npos) codes.push_back(atoi(line.c_str() + nAt + 7));
    }
    return codes;
}

Bytes BE32(uint32_t dwValue) {
    return {(uint8_t)(dwValue >> 24), (uint8_t)(dwValue >> 16), (uint8_t)(dwValue >> 8), (uint8_t)dwValue};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Pattern(size_t nLen, uint8_t bStart) {
    Bytes data(nLen);
    std::iota(data.begin(), data.end(), bStart);
    return data;
}

std::vector<size_t> Sizes(const std::vector<Bytes> &sends) {
    std::vector<size_t> sizes;
    for (const Bytes &send : sends) sizes.push_back(send.size());
    return sizes;
}

KelCommand Record(uint32_t dwCommand, uint32_t dwParm1, uint32_t dwRetCode, uint32_t dwParm3,
                  uint32_t dwDataLen, uint8_t bFlags) {
    KelCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.dwCommand = dwCommand;
    cmd.dwParm1 = dwParm1;
    cmd.dwRetCode = dwRetCode;
    cmd.dwParm3 = dwParm3;
    cmd.dwDataLen = dwDataLen;
    cmd.bFlags = bFlags;
    return cmd;
}

Bytes WireRecord(const KelCommand &cmd, const Bytes &data) {
    Bytes frame = BE32(cmd.dwCommand);
    frame.push_back(cmd.bFlags);
    const uint32_t adwWords[] = {cmd.dwParm1, cmd.dwRetCode, cmd.dwParm3, cmd.dwDataLen};
    for (int i = 0; i < 4; ++i) {
        if (!adwWords[i]) continue;
        frame[4] |= (uint8_t)(1 << i);
        frame = Concat({frame, BE32(adwWords[i])});
    }
    return Concat({frame, data});
}
