// fake_seam.cpp - the scripted platform seam.
#include "fake_seam.h"

#include "kelapi_address.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>

FakePlatformState g_Fake;
const Bytes kDisconnectFrame = {0x80, 0x00, 0x00, 0x03, 0x00};

namespace {

[[noreturn]] void Die(const char *szWhy) {
    fprintf(stderr, "fake seam: %s\n", szWhy);
    abort();
}

void CountUse() {
    if (!g_Fake.nOpenSockets) ++g_Fake.nUnopenedUse;
}

void RecordSend(const void *lpData, int nLen, int bMore) {
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    g_Fake.sends.emplace_back(lpBytes, lpBytes + nLen);
    g_Fake.sendMore.push_back(bMore);
}

// The bytes the peer takes of an nLen-byte send, or -1.
int PeerTakes(int nLen) {
    if (g_Fake.nSentTotal > g_Fake.nSendCut) return -1;  // cut before
    size_t nRoom = g_Fake.nSendCut - g_Fake.nSentTotal;
    if (nRoom >= (size_t)nLen) {
        g_Fake.nSentTotal += (size_t)nLen;
        return nLen;
    }
    g_Fake.nSentTotal = g_Fake.nSendCut + 1;
    return g_Fake.bSendCutByReset ? -1 : (int)nRoom;
}

int FakeSend(KelSocket, const void *lpData, int nLen, int bMore) {
    CountUse();
    RecordSend(lpData, nLen, bMore);
    int nTaken = PeerTakes(nLen);
    if (nTaken > 0 && g_Fake.peer) g_Fake.peer(static_cast<const uint8_t *>(lpData), (size_t)nTaken);
    if (nTaken != nLen) g_Fake.bSendFailed = true;
    return nTaken;
}

Bytes Joined(const void *lpFirst, int nFirst, const void *lpSecond, int nSecond) {
    const uint8_t *lpA = static_cast<const uint8_t *>(lpFirst), *lpB = static_cast<const uint8_t *>(lpSecond);
    Bytes joined(lpA, lpA + nFirst);
    joined.insert(joined.end(), lpB, lpB + nSecond);
    return joined;
}

// The peer sees one send of both parts.
int FakeSendPair(KelSocket hSocket, const void *lpFirst, int nFirst, const void *lpSecond, int nSecond) {
    Bytes joined = Joined(lpFirst, nFirst, lpSecond, nSecond);
    return FakeSend(hSocket, joined.data(), (int)joined.size(), 0);
}

int FakeRecv(KelSocket, void *lpBuffer, int nLen) {
    CountUse();
    g_Fake.recvAsked.push_back(nLen);
    if (g_Fake.bSendFailed) ++g_Fake.nRecvAfterFailedSend;
    if (g_Fake.recvChunks.empty()) {
        // A reader that goes on after the end would never stop.
        if (++g_Fake.nRecvPastEnd > 100)
            Die("100 receives past the end of the stream: a loop that never stops");
        return g_Fake.nRecvErrorAfterScript;
    }
    int nChunk = std::min(nLen, g_Fake.recvChunks.front());
    memcpy(lpBuffer, g_Fake.recvData.data() + g_Fake.nRecvPos, (size_t)nChunk);
    g_Fake.nRecvPos += (size_t)nChunk;
    if ((g_Fake.recvChunks.front() -= nChunk) == 0) g_Fake.recvChunks.pop_front();
    return nChunk;
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

// Records held credentials: every byte must be cleared before the memory goes back.
void FakeFree(void *lpMemory) {
    if (!lpMemory) return;
    --g_Fake.nLiveBlocks;
    auto found = g_Fake.blockSizes.find(lpMemory);
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpMemory);
    if (found != g_Fake.blockSizes.end() &&
        std::any_of(lpBytes, lpBytes + found->second, [](uint8_t b) { return b != 0; }))
        Die("a record went back to the heap uncleared");
    g_Fake.blockSizes.erase(lpMemory);
    free(lpMemory);
}

const char *FamilyName(int nFamily) { return nFamily == KEL_FAMILY_IPV6 ? "v6" : "v4"; }

KelSocket FakeSocket() {
    if (g_Fake.socketFail.ShouldFail()) return KEL_INVALID_SOCKET;
    ++g_Fake.nOpenSockets;
    return g_Fake.hNextSocket;
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
    KelPlatform &p = g_KelPlatform;
    p.pfnStartup = [] {
        ++g_Fake.nStartupCalls;
        return g_Fake.nStartupResult;
    };
    p.pfnSocket = FakeSocket;
    p.pfnBind = [](KelSocket, uint32_t, uint16_t) {
        g_Fake.setup.push_back("bind");
        return g_Fake.bindFail.ShouldFail() ? -1 : 0;
    };
    p.pfnConnect = [](KelSocket, uint32_t, uint16_t wPortNet, uint32_t dwTimeoutMs) {
        g_Fake.setup.push_back("connect " + std::to_string(KelWordToNet(wPortNet)) + " " +
                               std::to_string(dwTimeoutMs));
        return g_Fake.connectFail.ShouldFail() ? -1 : 0;
    };
    p.pfnResolve = [](const char *szHost, KelAddress *lpList, int nMax, char *szWhy, size_t nWhySize) {
        g_Fake.setup.push_back(std::string("resolve ") + szHost);
        snprintf(szWhy, nWhySize, "%s", g_Fake.resolveError.c_str());
        int nCount = std::min(nMax, (int)g_Fake.resolved.size());
        std::copy(g_Fake.resolved.begin(), g_Fake.resolved.begin() + nCount, lpList);
        return nCount ? nCount : -1;
    };
    p.pfnSocketFor = [](int nFamily) {
        g_Fake.setup.push_back(std::string("socket ") + FamilyName(nFamily));
        return FakeSocket();
    };
    p.pfnBindAny = [](KelSocket, int nFamily) {
        g_Fake.setup.push_back(std::string("bind ") + FamilyName(nFamily));
        return g_Fake.bindFail.ShouldFail() ? -1 : 0;
    };
    p.pfnConnectTo = [](KelSocket, const KelAddress *lpAddress, uint16_t wPortNet, uint32_t dwTimeoutMs) {
        char szAddress[KEL_ADDRESS_TEXT_SIZE];
        KelFormatAddress(lpAddress, KelWordToNet(wPortNet), szAddress, sizeof szAddress);
        g_Fake.setup.push_back(std::string("connect ") + szAddress + " " + std::to_string(dwTimeoutMs));
        return g_Fake.connectFail.ShouldFail() ? -1 : 0;
    };
    p.pfnLastError = [](char *szText, size_t nSize) {
        snprintf(szText, nSize, "%s", g_Fake.lastError.c_str());
        return g_Fake.bLastTimedOut ? 1 : 0;
    };
    p.pfnSetNoDelay = [](KelSocket) {
        g_Fake.setup.push_back("nodelay");
        return g_Fake.nNoDelayResult;
    };
    p.pfnSetTimeouts = [](KelSocket, uint32_t dwTimeoutMs) {
        g_Fake.setup.push_back("timeouts " + std::to_string(dwTimeoutMs));
        return 0;
    };
    p.pfnGetEnv = [](const char *, char *, size_t) { return -1; };  // the caller's environment ignored
    p.pfnSend = FakeSend;
    p.pfnSendPair = FakeSendPair;
    p.pfnRecv = FakeRecv;
    p.pfnClose = [](KelSocket hSocket) {
        CountUse();
        if (g_Fake.nOpenSockets) --g_Fake.nOpenSockets;
        g_Fake.closed.push_back(hSocket);
        return 0;
    };
    p.pfnAlloc = FakeAlloc;
    p.pfnFree = FakeFree;
    p.pfnTime = []() -> int64_t {
        ++g_Fake.nTimeReads;
        return g_Fake.nNow;
    };
    p.pfnLocalTime = [](int64_t, KelLocalTime *lpLocal) {
        *lpLocal = g_Fake.localTime;
        return 0;
    };
    p.pfnSeedRandom = [](uint32_t dwSeed) {
        ++g_Fake.nSeedCalls;
        g_Fake.dwSeed = dwSeed;
        KelSeedRandomDefault(dwSeed);
    };
}

void InstallTappedRealPlatform() {
    g_Fake = FakePlatformState();
    KelPlatformReset();
    g_dwKelStarted = 0;
    g_KelPlatform.pfnSend = [](KelSocket hSocket, const void *lpData, int nLen, int bMore) {
        RecordSend(lpData, nLen, bMore);
        return KelPlatformDefaults().pfnSend(hSocket, lpData, nLen, bMore);
    };
    g_KelPlatform.pfnSendPair = [](KelSocket hSocket, const void *lpFirst, int nFirst, const void *lpSecond,
                                   int nSecond) {
        Bytes joined = Joined(lpFirst, nFirst, lpSecond, nSecond);
        RecordSend(joined.data(), (int)joined.size(), 0);
        return KelPlatformDefaults().pfnSendPair(hSocket, lpFirst, nFirst, lpSecond, nSecond);
    };
}

void ScriptReceive(const Bytes &data, size_t nChunk) {
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

std::vector<std::string> TraceCapture::Texts() const {
    std::vector<std::string> texts;
    for (const std::string &line : g_TraceLines) texts.push_back(line.substr(line.find(":  ", 23) + 3));
    return texts;
}

std::vector<int> TraceCapture::ErrorCodes() const {
    std::vector<int> codes;
    for (const std::string &text : Texts())
        if (text.rfind("Error: ", 0) == 0) codes.push_back(atoi(text.c_str() + 7));
    return codes;
}

bool TraceCapture::Has(const std::string &part) const {
    return std::any_of(g_TraceLines.begin(), g_TraceLines.end(),
                       [&](const std::string &line) { return line.find(part) != std::string::npos; });
}

KelAddress V6(std::initializer_list<uint8_t> bytes, uint32_t dwScopeId) {
    KelAddress address = {KEL_FAMILY_IPV6, {0}, dwScopeId};
    std::copy(bytes.begin(), bytes.end(), address.abAddr);
    return address;
}

KelAddress V4(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4) {
    KelAddress address = {KEL_FAMILY_IPV4, {b1, b2, b3, b4}, 0};
    return address;
}

std::string Reason() {
    char szText[KEL_REASON_SIZE];
    KelGetErrorText(szText, sizeof szText);
    return szText;
}

void PlantReason(const char *szText) { KelSetReason(nullptr, 0, nullptr, "%s", szText); }

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
    return KelCommand{dwCommand, dwParm1, dwRetCode, dwParm3, dwDataLen, bFlags, {0, 0, 0}};
}

Bytes WireRecord(const KelCommand &cmd, const Bytes &data) {
    Bytes frame = Concat({BE32(cmd.dwCommand), Bytes{cmd.bFlags}});
    const uint32_t adwWords[] = {cmd.dwParm1, cmd.dwRetCode, cmd.dwParm3, cmd.dwDataLen};
    for (int i = 0; i < 4; ++i) {
        if (!adwWords[i]) continue;
        frame[4] |= (uint8_t)(1 << i);
        frame = Concat({frame, BE32(adwWords[i])});
    }
    return Concat({frame, data});
}
