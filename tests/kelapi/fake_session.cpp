// fake_session.cpp - a whole session over the fake seam and its checks.
#include "fake_session.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

const SessionPath kaSessionPaths[3] = {SessionPath::System, SessionPath::External, SessionPath::Direct};
const char *const kaSessionCredentials[3] = {"QzUsr7", "Pw9Kx8", "Zz8Vq6"};

const char *SessionPathName(SessionPath path) {
    switch (path) {
        case SessionPath::System:
            return "KelAllocHoxSystem";
        case SessionPath::External:
            return "KelAllocHoxSystemExt";
        case SessionPath::Direct:
            return "KelConnect";
    }
    return "?";
}

Bytes IdentifyBlock(uint32_t dwServerID) {
    Bytes block =
        Concat({BE32(dwServerID), BE32(0x00020003u), Bytes{'t', 'e', 's', 't', ' ', 'h', 'o', 's', 't'}});
    block.resize(88, 0);
    return block;
}

Bytes IdentifyReply(uint32_t dwServerID) {
    return WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0, 0, 88), IdentifyBlock(dwServerID));
}

Bytes LogonReply() { return WireRecord(Record(KEL_RSP_LOGON, 0, 0, 0, 1), {0x5A}); }

std::vector<Bytes> SoundHostReplies() {
    const Bytes ignore = WireRecord(Record(KEL_CMD_IGNORE, 0, 0, 0, 0, KEL_FLAG_NOSKIP));
    return {Concat({WireRecord(Record(0x00000777u, 0, 0, 0, 300), Pattern(300)), ignore, IdentifyReply()}),
            Concat({ignore, LogonReply()}),
            Concat({WireRecord(Record(0x20000001u, 0, 0, 0, 40, 0x20), Pattern(40, 9)),
                    WireRecord(Record(kEchoReply, 0x1234, 0, 0, 300), Pattern(300, 5))}),
            WireRecord(Record(KEL_RSP_DISCONNECT))};
}

std::vector<size_t> SessionRequestSizes(uint32_t dwExchangeLen) {
    return {97, 50, 13 + (size_t)dwExchangeLen, 5};
}

namespace {

const uint32_t kdwServerIP = 0x0100007F;
HKELHOXSYSTEM const kUnwritten = reinterpret_cast<HKELHOXSYSTEM>(0x5EED);

bool OneOf(int32_t nCode, std::initializer_list<int32_t> codes) {
    return std::find(codes.begin(), codes.end(), nCode) != codes.end();
}

// Documented results of a connect in a session (109 only where the
// application holds the flag) and of the exchange.
bool IsOpenCode(int32_t nCode, bool bLockHeld) {
    if (nCode == KEL_ERR_LOCKED) return bLockHeld;
    return OneOf(nCode, {KEL_OK, KEL_ERR_SYSTEM, KEL_ERR_NOT_CONNECTED, KEL_ERR_COMM, KEL_ERR_HOST_104,
                         KEL_ERR_PROTOCOL, KEL_ERR_HOST_106, KEL_ERR_HOST_107, KEL_ERR_HOST_108}) ||
           (nCode >= KEL_ERR_HOST_200 && nCode <= KEL_ERR_HOST_205);
}

KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }
bool HasSocket(HKELCONNECTION h) { return Con(h)->hSocket != KEL_INVALID_SOCKET; }

class Session {
public:
    Session(const SessionPlan &plan, SessionResult *lpResult) : plan_(plan), r_(*lpResult) {}

    void Run() {
        if (Open()) {
            if (hSystem_) CheckSystemInfo();
            Step(SessionStep::Exchange, Exchange());
        }
        Release();
        CheckNothingLeft();
    }

private:
    void Expect(bool bHeld, const std::string &what) {
        if (!bHeld) r_.violations.push_back(what);
    }
    void ExpectCode(int32_t nGot, int32_t nWanted, const char *szCall) {
        Expect(nGot == nWanted,
               std::string(szCall) + " gave " + std::to_string(nGot) + ", not " + std::to_string(nWanted));
    }
    // Records the first failure; true while the session goes on.
    bool Step(SessionStep step, int32_t nRc) {
        if (nRc == KEL_OK) return true;
        if (r_.failedStep == SessionStep::None) {
            r_.failedStep = step;
            r_.nFailure = nRc;
        }
        return false;
    }

    bool Open() {
        const char *const *c = kaSessionCredentials;
        int32_t nRc;
        if (plan_.path == SessionPath::System) {
            hSystem_ = kUnwritten;
            nRc = KelAllocHoxSystem(kdwServerIP, 0, c[0], c[1], c[2], &hSystem_);
            Expect(IsOpenCode(nRc, false), "KelAllocHoxSystem gave " + std::to_string(nRc));
            Expect((nRc == KEL_OK) == (hSystem_ != nullptr) && hSystem_ != kUnwritten,
                   "KelAllocHoxSystem's handle does not match its result");
            if (nRc != KEL_OK) hSystem_ = nullptr;
            if (hSystem_) ExpectCode(KelGetConnection(hSystem_, &hCon_), KEL_OK, "KelGetConnection");
            return Step(SessionStep::Open, nRc);
        }
        nRc = KelAllocConnection(kdwServerIP, 0, c[0], c[1], c[2], &hCon_);
        Expect(OneOf(nRc, {KEL_OK, KEL_ERR_SYSTEM}) && (nRc == KEL_OK) == (hCon_ != nullptr),
               "KelAllocConnection gave " + std::to_string(nRc));
        if (!Step(SessionStep::Alloc, nRc)) return false;
        if (plan_.bLockHeld) ExpectCode(KelLock(hCon_), KEL_OK, "KelLock");
        if (plan_.path == SessionPath::External) {
            hSystem_ = kUnwritten;
            nRc = KelAllocHoxSystemExt(hCon_, &hSystem_);
            Expect((nRc == KEL_OK) != (hSystem_ == kUnwritten), "KelAllocHoxSystemExt's handle");
            if (nRc != KEL_OK) hSystem_ = nullptr;
        } else {
            nRc = KelConnect(hCon_);
        }
        Expect(IsOpenCode(nRc, plan_.bLockHeld),
               std::string(SessionPathName(plan_.path)) + " gave " + std::to_string(nRc));
        if (nRc == KEL_OK)
            Expect(Con(hCon_)->dwLock == KEL_LOCK_FREE, "the busy flag is still set after a connect");
        else
            CheckFailedConnect(nRc);
        return Step(SessionStep::Open, nRc);
    }

    // A failed connect leaves the socket open from the bind on, the flag set
    // from the lock on; such a record refuses a connect and a free.
    void CheckFailedConnect(int32_t nRc) {
        r_.dwServerID = Con(hCon_)->dwServerID;
        bool bOpen = HasSocket(hCon_);
        Expect(bOpen == (g_Fake.nOpenSockets == 1), "the record and the system disagree on the socket");
        Expect(!bOpen || nRc != KEL_ERR_NOT_CONNECTED, "a refused connect left the socket open");
        bool bBindFailed = plan_.bindFail.nFailAt && g_Fake.bindFail.nCalls >= plan_.bindFail.nFailAt;
        bool bBusy = plan_.bLockHeld || (bOpen && !bBindFailed);
        Expect((Con(hCon_)->dwLock != KEL_LOCK_FREE) == bBusy, "the busy flag after a failed connect");
        if (g_Fake.nAllocs < g_Fake.allocFail.nCalls)  // an allocation was refused
            Expect(g_Fake.setup.empty(), "a connect without a system record");
        if (!bOpen) return;
        ExpectCode(KelConnect(hCon_), KEL_ERR_ALREADY_CONNECTED, "KelConnect on a half-open record");
        ExpectCode(KelFreeConnection(hCon_), KEL_ERR_CONNECTED, "KelFreeConnection on a half-open record");
    }

    void CheckSystemInfo() {
        KelSystemInfo info;
        ExpectCode(KelGetSystemInfo(hSystem_, &info), KEL_OK, "KelGetSystemInfo");
        Expect(info.dwServerID == (Con(hCon_)->dwServerID & 0x00FFFFFFu), "the system info's server id");
    }

    int32_t Exchange() {
        Bytes data = Pattern(plan_.dwExchangeLen, 3);
        KelCommand cmd = Record(kEchoCommand, 0x1234, 0, 0, plan_.dwExchangeLen);
        uint32_t dwCount = 0;
        int32_t nRc = KelSendCommand(hCon_, &cmd, 0);
        if (nRc == KEL_OK) nRc = KelSend(hCon_, data.data(), plan_.dwExchangeLen, &dwCount, 1);
        Expect(OneOf(nRc, {KEL_OK, KEL_ERR_COMM}), "sending the request gave " + std::to_string(nRc));
        if (nRc != KEL_OK) return nRc;
        nRc = KelWaitForResponse(hCon_, kEchoReply, &cmd);
        if (nRc == KEL_OK && cmd.dwDataLen <= 4096) {
            Bytes reply(cmd.dwDataLen);
            nRc = KelReceive(hCon_, reply.data(), cmd.dwDataLen, &dwCount, 1);
        } else if (nRc == KEL_OK) {
            nRc = KelDispatchCommand(hCon_, &cmd);
        }
        Expect(OneOf(nRc, {KEL_OK, KEL_ERR_COMM, KEL_ERR_PROTOCOL}), "the reply gave " + std::to_string(nRc));
        return nRc;
    }

    void Release() {
        if (hSystem_) {
            size_t nSends = g_Fake.sends.size();
            ExpectCode(KelFreeHoxSystem(hSystem_), KEL_OK, "KelFreeHoxSystem");
            // The caller's connection stays as it is, connected.
            if (plan_.path == SessionPath::External)
                Expect(HasSocket(hCon_) && g_Fake.sends.size() == nSends,
                       "KelFreeHoxSystem touched the caller's connection");
        }
        if (plan_.path == SessionPath::System || !hCon_) {
            r_.sends = Sizes(g_Fake.sends);
            return;
        }
        bool bOpen = HasSocket(hCon_);
        ExpectCode(KelDisconnect(hCon_), bOpen ? KEL_OK : KEL_ERR_NOT_CONNECTED, "KelDisconnect");
        r_.sends = Sizes(g_Fake.sends);
        Expect(!HasSocket(hCon_) && Con(hCon_)->dwLock == KEL_LOCK_FREE, "KelDisconnect left state behind");
        ConnectAgain();
        ExpectCode(KelFreeConnection(hCon_), KEL_OK, "KelFreeConnection");
    }

    // The record, disconnected, logs on to a sound server as a new one would:
    // nothing of the broken connection goes out.
    void ConnectAgain() {
        std::vector<Bytes> replies = SoundHostReplies();
        g_Fake.recvData.clear();
        g_Fake.recvChunks.clear();
        g_Fake.nRecvPos = 0;
        g_Fake.nRecvErrorAfterScript = 0;
        ScriptReceiveInChunks(Concat({replies[0], replies[1], replies[3]}), 0);
        g_Fake.socketFail = g_Fake.bindFail = g_Fake.connectFail = g_Fake.sendFail = FailPlan();
        g_Fake.nSendCut = SIZE_MAX;
        g_Fake.sends.clear();
        ExpectCode(KelConnect(hCon_), KEL_OK, "KelConnect once more");
        Expect(Sizes(g_Fake.sends) == std::vector<size_t>({97, 50}),
               "the next connect sent more than its requests");
        ExpectCode(KelDisconnect(hCon_), KEL_OK, "KelDisconnect once more");
    }

    void CheckNothingLeft() {
        Expect(g_Fake.nLiveBlocks == 0, std::to_string(g_Fake.nLiveBlocks) + " heap blocks left");
        Expect(g_Fake.nOpenSockets == 0, "a socket left open");
        Expect(g_Fake.nDirtyFrees == 0, "a record went back to the heap uncleared");
        Expect(g_Fake.nUnopenedUse == 0, "a socket used after its close");
        // Each reading call stops at the first receive that meets the end.
        Expect(g_Fake.nRecvPastEnd <= 3, std::to_string(g_Fake.nRecvPastEnd) + " receives past the end");
    }

    const SessionPlan &plan_;
    SessionResult &r_;
    HKELCONNECTION hCon_ = nullptr;
    HKELHOXSYSTEM hSystem_ = nullptr;
};

bool Contains(const std::string &text, const char *szPart) { return text.find(szPart) != std::string::npos; }

// No credential reaches the trace, unless the server itself sent its bytes.
void CheckCredentialsUntraced(const SessionPlan &plan, SessionResult *lpResult) {
    const std::string host(plan.host.begin(), plan.host.end());
    for (const char *szSecret : kaSessionCredentials) {
        if (Contains(host, szSecret)) continue;
        for (const std::string &line : lpResult->trace)
            if (Contains(line, szSecret))
                lpResult->violations.push_back("a credential in the trace: " + line);
    }
}

}  // namespace

SessionResult RunSession(const SessionPlan &plan) {
    InstallFakePlatform();
    g_dwKelStarted = 0xFFFFFFFFu;
    g_Fake.allocFail = plan.allocFail;
    g_Fake.socketFail = plan.socketFail;
    g_Fake.bindFail = plan.bindFail;
    g_Fake.connectFail = plan.connectFail;
    g_Fake.nSendCut = plan.nSendCut;
    g_Fake.bSendCutByReset = plan.bReset;
    g_Fake.nRecvErrorAfterScript = plan.bReset ? -1 : 0;
    size_t nDelivered = std::min(plan.nRecvCut, plan.host.size());
    ScriptReceiveInChunks(Bytes(plan.host.begin(), plan.host.begin() + (ptrdiff_t)nDelivered), plan.nChunk);

    SessionResult result;
    {
        TraceCapture trace;
        Session(plan, &result).Run();
        result.trace = trace.Lines();
    }
    CheckCredentialsUntraced(plan, &result);
    return result;
}
