#include "seam_counter.h"

#include "platform.h"

namespace kelbench {
namespace {

SeamCounts g_Counts;
KelPlatform g_Real;

KelSocket CountSocket(void) {
    ++g_Counts.sockets;
    return g_Real.pfnSocket();
}
int CountBind(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet) {
    ++g_Counts.binds;
    return g_Real.pfnBind(hSocket, dwIP, wPortNet);
}
int CountConnect(KelSocket hSocket, uint32_t dwIP, uint16_t wPortNet, uint32_t dwTimeoutMs) {
    ++g_Counts.connects;
    return g_Real.pfnConnect(hSocket, dwIP, wPortNet, dwTimeoutMs);
}
int CountNoDelay(KelSocket hSocket) {
    ++g_Counts.noDelays;
    return g_Real.pfnSetNoDelay(hSocket);
}
int CountTimeouts(KelSocket hSocket, uint32_t dwTimeoutMs) {
    ++g_Counts.timeouts;
    return g_Real.pfnSetTimeouts(hSocket, dwTimeoutMs);
}
int CountSend(KelSocket hSocket, const void *lpData, int nLen, int bMore) {
    g_Counts.sends.push_back(nLen);
    g_Counts.sendMore.push_back(bMore);
    return g_Real.pfnSend(hSocket, lpData, nLen, bMore);
}
int CountSendPair(KelSocket hSocket, const void *lpFirst, int nFirst, const void *lpSecond, int nSecond) {
    g_Counts.sends.push_back(nFirst + nSecond);
    g_Counts.sendMore.push_back(0);
    return g_Real.pfnSendPair(hSocket, lpFirst, nFirst, lpSecond, nSecond);
}
int CountRecv(KelSocket hSocket, void *lpBuffer, int nLen) {
    int nGot = g_Real.pfnRecv(hSocket, lpBuffer, nLen);
    g_Counts.receives.push_back(nGot);
    return nGot;
}
int CountClose(KelSocket hSocket) {
    ++g_Counts.closes;
    return g_Real.pfnClose(hSocket);
}
void *CountAlloc(size_t nSize) {
    ++g_Counts.allocations;
    return g_Real.pfnAlloc(nSize);
}
void CountFree(void *lpMemory) {
    ++g_Counts.frees;
    g_Real.pfnFree(lpMemory);
}
int64_t CountTime(void) {
    ++g_Counts.clockReads;
    return g_Real.pfnTime();
}
int CountLocalTime(int64_t nTime, KelLocalTime *lpLocal) {
    ++g_Counts.clockReads;
    return g_Real.pfnLocalTime(nTime, lpLocal);
}

std::string Join(const std::vector<int> &values, const std::vector<int> *marks) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text += ", ";
        text += std::to_string(values[i]);
        if (marks && (*marks)[i]) text += " (more)";
    }
    return text.empty() ? "none" : text;
}

}  // namespace

std::string SeamCounts::SendList() const { return Join(sends, &sendMore); }
std::string SeamCounts::ReceiveList() const { return Join(receives, nullptr); }

std::string SeamCounts::SetupList() const {
    const struct {
        const char *name;
        int count;
    } calls[] = {{"socket", sockets},   {"nodelay", noDelays},  {"bind", binds},
                 {"connect", connects}, {"timeouts", timeouts}, {"close", closes}};
    std::string text;
    for (const auto &call : calls) {
        if (!call.count) continue;
        if (!text.empty()) text += ", ";
        text += std::string(call.name) + " " + std::to_string(call.count);
    }
    return text.empty() ? "none" : text;
}

SeamCounter::SeamCounter() {
    g_Real = g_KelPlatform;
    g_Counts = SeamCounts();
    g_KelPlatform.pfnSocket = CountSocket;
    g_KelPlatform.pfnBind = CountBind;
    g_KelPlatform.pfnConnect = CountConnect;
    g_KelPlatform.pfnSetNoDelay = CountNoDelay;
    g_KelPlatform.pfnSetTimeouts = CountTimeouts;
    g_KelPlatform.pfnSend = CountSend;
    g_KelPlatform.pfnSendPair = CountSendPair;
    g_KelPlatform.pfnRecv = CountRecv;
    g_KelPlatform.pfnClose = CountClose;
    g_KelPlatform.pfnAlloc = CountAlloc;
    g_KelPlatform.pfnFree = CountFree;
    g_KelPlatform.pfnTime = CountTime;
    g_KelPlatform.pfnLocalTime = CountLocalTime;
}

SeamCounter::~SeamCounter() { g_KelPlatform = g_Real; }

const SeamCounts &SeamCounter::Counts() const { return g_Counts; }

void SeamCounter::Clear() { g_Counts = SeamCounts(); }

}  // namespace kelbench
