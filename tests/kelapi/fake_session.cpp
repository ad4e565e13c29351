// fake_session.cpp - a whole session over the fake seam and its checks.
#include "fake_session.h"

#include <algorithm>

const SessionPath kaSessionPaths[3] = {SessionPath::System, SessionPath::External, SessionPath::Direct};

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

const char *const kaCredentials[3] = {"QzUsr7", "Pw9Kx8", "Zz8Vq6"};
HKELHOXSYSTEM const kUnwritten = reinterpret_cast<HKELHOXSYSTEM>(0x5EED);

bool OneOf(int32_t nCode, std::initializer_list<int32_t> codes) {
    return std::find(codes.begin(), codes.end(), nCode) != codes.end();
}

// The documented results of a connect (109 only where the application holds the flag).
bool IsOpenCode(int32_t nCode, bool bLockHeld) {
    return (nCode == KEL_ERR_LOCKED && bLockHeld) ||
           (nCode >= KEL_ERR_HOST_200 && nCode <= KEL_ERR_HOST_205) ||
           OneOf(nCode, {KEL_OK, KEL_ERR_SYSTEM, KEL_ERR_NOT_CONNECTED, KEL_ERR_COMM, KEL_ERR_HOST_104,
                         KEL_ERR_PROTOCOL, KEL_ERR_HOST_106, KEL_ERR_HOST_107, KEL_ERR_HOST_108});
}

KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }
bool HasSocket(HKELCONNECTION h) { return Con(h)->hSocket != KEL_INVALID_SOCKET; }

class Session {
public:
    Session(const SessionPlan &plan, SessionResult *lpResult) : plan_(plan), r_(*lpResult) {}

    void Run() {
        if (Open()) {
            if (hSystem_) {
                KelSystemInfo info;
                ExpectCode(KelGetSystemInfo(hSystem_, &info), KEL_OK, "KelGetSystemInfo");
                Expect(info.dwServerID == (Con(hCon_)->dwServerID & 0x00FFFFFFu),
                       "the system info's server id");
            }
            Step(SessionStep::Exchange, Exchange());
        }
        Release();
        Expect(g_Fake.nLiveBlocks == 0, std::to_string(g_Fake.nLiveBlocks) + " heap blocks left");
        Expect(g_Fake.nOpenSockets == 0, "a socket left open");
        Expect(g_Fake.nUnopenedUse == 0, "a socket used after its close");
        // Each reading call stops at the first receive that meets the end, and
        // after a failed send (a disconnect's frame among them) nothing waits for a reply.
        Expect(g_Fake.nRecvPastEnd <= 3, std::to_string(g_Fake.nRecvPastEnd) + " receives past the end");
        Expect(g_Fake.nRecvAfterFailedSend == 0, "a receive after a failed send");
    }

private:
    void Expect(bool bHeld, const std::string &what) {
        if (!bHeld) r_.violations.push_back(what);
    }
    // A call of the session: one that fails writes a reason of its own, one
    // that succeeds leaves the thread's reason as it was (disconnects and
    // clean-ups included, whatever they meet on the way).
    template <class Call>
    int32_t Checked(const char *szCall, Call call) {
        PlantReason("planted");
        int32_t nRc = call();
        const std::string reason = Reason();
        if (nRc == KEL_OK)
            Expect(reason == "planted",
                   std::string(szCall) + " succeeded and wrote the reason '" + reason + "'");
        else
            Expect(reason != "planted" && reason.find(": ") != std::string::npos,
                   std::string(szCall) + " failed without a reason: '" + reason + "'");
        return nRc;
    }
#define CHECKED(call) Checked(#call, [&] { return call; })

    void ExpectCode(int32_t nGot, int32_t nWanted, const std::string &call) {
        Expect(nGot == nWanted, call + " gave " + std::to_string(nGot) + ", not " + std::to_string(nWanted));
    }
    // Records the first failure; true while the session goes on.
    bool Step(SessionStep step, int32_t nRc) {
        if (nRc != KEL_OK && r_.failedStep == SessionStep::None) {
            r_.failedStep = step;
            r_.nFailure = nRc;
        }
        return nRc == KEL_OK;
    }

    bool Open() {
        const char *const *c = kaCredentials;
        int32_t nRc;
        if (plan_.path == SessionPath::System) {
            hSystem_ = kUnwritten;
            nRc = CHECKED(KelAllocHoxSystem(0x0100007F, 0, c[0], c[1], c[2], &hSystem_));
            Expect(IsOpenCode(nRc, false), "KelAllocHoxSystem gave " + std::to_string(nRc));
            Expect((nRc == KEL_OK) == (hSystem_ != nullptr) && hSystem_ != kUnwritten,
                   "KelAllocHoxSystem's handle");
            if (nRc != KEL_OK) hSystem_ = nullptr;
            if (hSystem_) ExpectCode(KelGetConnection(hSystem_, &hCon_), KEL_OK, "KelGetConnection");
            return Step(SessionStep::Open, nRc);
        }
        nRc = CHECKED(KelAllocConnection(0x0100007F, 0, c[0], c[1], c[2], &hCon_));
        Expect(OneOf(nRc, {KEL_OK, KEL_ERR_SYSTEM}) && (nRc == KEL_OK) == (hCon_ != nullptr),
               "KelAllocConnection gave " + std::to_string(nRc));
        if (!Step(SessionStep::Alloc, nRc)) return false;
        if (plan_.bLockHeld) ExpectCode(KelLock(hCon_), KEL_OK, "KelLock");
        if (plan_.path == SessionPath::External) {
            hSystem_ = kUnwritten;
            nRc = CHECKED(KelAllocHoxSystemExt(hCon_, &hSystem_));
            Expect((nRc == KEL_OK) != (hSystem_ == kUnwritten), "KelAllocHoxSystemExt's handle");
            if (nRc != KEL_OK) hSystem_ = nullptr;
        } else {
            nRc = CHECKED(KelConnect(hCon_));
        }
        Expect(IsOpenCode(nRc, plan_.bLockHeld), "the connect gave " + std::to_string(nRc));
        if (nRc == KEL_OK)
            Expect(Con(hCon_)->dwLock == KEL_LOCK_FREE, "the busy flag is still set after a connect");
        if (nRc != KEL_OK) CheckFailedConnect(nRc);
        return Step(SessionStep::Open, nRc);
    }

    // A failed connect leaves the socket open from the bind on, the flag set
    // from the lock on; such a record refuses a connect and a free.
    void CheckFailedConnect(int32_t nRc) {
        bool bOpen = HasSocket(hCon_);
        Expect(bOpen == (g_Fake.nOpenSockets == 1), "the record and the system disagree on the socket");
        Expect(!bOpen || nRc != KEL_ERR_NOT_CONNECTED, "a refused connect left the socket open");
        bool bBindFailed = plan_.bindFail.nFailAt && g_Fake.bindFail.nCalls >= plan_.bindFail.nFailAt;
        bool bBusy = plan_.bLockHeld || (bOpen && !bBindFailed);
        Expect((Con(hCon_)->dwLock != KEL_LOCK_FREE) == bBusy, "the busy flag after a failed connect");
        if (g_Fake.nAllocs < g_Fake.allocFail.nCalls)
            Expect(g_Fake.setup.empty(), "a connect without a system record");
        if (!bOpen) return;
        ExpectCode(CHECKED(KelConnect(hCon_)), KEL_ERR_ALREADY_CONNECTED, "KelConnect on a half-open record");
        ExpectCode(CHECKED(KelFreeConnection(hCon_)), KEL_ERR_CONNECTED,
                   "KelFreeConnection on a half-open record");
    }

    // The separate calls, or on the direct path the one call that makes them.
    int32_t Exchange() {
        Bytes data = Pattern(plan_.dwExchangeLen, 3);
        KelCommand cmd = Record(kEchoCommand, 0x1234, 0, 0, plan_.dwExchangeLen);
        uint32_t dwCount = 0;
        if (plan_.path == SessionPath::Direct) {
            Bytes reply(4096);
            int32_t nRc =
                CHECKED(KelExchange(hCon_, &cmd, data.data(), kEchoReply, &cmd, reply.data(), 4096, &dwCount));
            if (nRc == KEL_OK && cmd.dwDataLen > 4096) nRc = CHECKED(KelDispatchCommand(hCon_, &cmd));
            Expect(OneOf(nRc, {KEL_OK, KEL_ERR_COMM, KEL_ERR_PROTOCOL}),
                   "the exchange gave " + std::to_string(nRc));
            return nRc;
        }
        int32_t nRc = CHECKED(KelSendCommand(hCon_, &cmd, 0));
        if (nRc == KEL_OK) nRc = CHECKED(KelSend(hCon_, data.data(), plan_.dwExchangeLen, &dwCount, 1));
        Expect(OneOf(nRc, {KEL_OK, KEL_ERR_COMM}), "sending the request gave " + std::to_string(nRc));
        if (nRc != KEL_OK) return nRc;
        nRc = CHECKED(KelWaitForResponse(hCon_, kEchoReply, &cmd));
        if (nRc == KEL_OK && cmd.dwDataLen <= 4096) {
            Bytes reply(cmd.dwDataLen);
            nRc = CHECKED(KelReceive(hCon_, reply.data(), cmd.dwDataLen, &dwCount, 1));
        } else if (nRc == KEL_OK) {
            nRc = CHECKED(KelDispatchCommand(hCon_, &cmd));
        }
        Expect(OneOf(nRc, {KEL_OK, KEL_ERR_COMM, KEL_ERR_PROTOCOL}), "the reply gave " + std::to_string(nRc));
        return nRc;
    }

    void Release() {
        if (hSystem_) {
            size_t nSends = g_Fake.sends.size();
            ExpectCode(CHECKED(KelFreeHoxSystem(hSystem_)), KEL_OK, "KelFreeHoxSystem");
            if (plan_.path == SessionPath::External)
                Expect(HasSocket(hCon_) && g_Fake.sends.size() == nSends,
                       "KelFreeHoxSystem touched the caller's connection");
        }
        r_.sends = Sizes(g_Fake.sends);
        if (plan_.path == SessionPath::System || !hCon_) return;
        int32_t nExpected = HasSocket(hCon_) ? KEL_OK : KEL_ERR_NOT_CONNECTED;
        ExpectCode(CHECKED(KelDisconnect(hCon_)), nExpected, "KelDisconnect");
        r_.sends = Sizes(g_Fake.sends);
        Expect(!HasSocket(hCon_) && Con(hCon_)->dwLock == KEL_LOCK_FREE, "KelDisconnect left state behind");
        ConnectAgain();
        ExpectCode(CHECKED(KelFreeConnection(hCon_)), KEL_OK, "KelFreeConnection");
    }

    // The record, disconnected, logs on to a sound server as a new one would:
    // nothing of the broken connection goes out.
    void ConnectAgain() {
        std::vector<Bytes> replies = SoundHostReplies();
        FakePlatformState &f = g_Fake;
        f.recvData.clear();
        f.recvChunks.clear();
        f.nRecvPos = 0;
        f.nRecvErrorAfterScript = 0;
        ScriptReceive(Concat({replies[0], replies[1], replies[3]}));
        f.socketFail = f.bindFail = f.connectFail = FailPlan();
        f.nSendCut = SIZE_MAX;
        f.bSendFailed = false;
        f.sends.clear();
        ExpectCode(CHECKED(KelConnect(hCon_)), KEL_OK, "KelConnect once more");
        Expect(Sizes(f.sends) == std::vector<size_t>({97, 50}),
               "the next connect sent more than its requests");
        ExpectCode(CHECKED(KelDisconnect(hCon_)), KEL_OK, "KelDisconnect once more");
    }

    const SessionPlan &plan_;
    SessionResult &r_;
    HKELCONNECTION hCon_ = nullptr;
    HKELHOXSYSTEM hSystem_ = nullptr;
};

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
    ScriptReceive(
        Bytes(plan.host.begin(), plan.host.begin() + (ptrdiff_t)std::min(plan.nRecvCut, plan.host.size())),
        plan.nChunk);
    SessionResult result;
    {
        TraceCapture trace;
        Session(plan, &result).Run();
        result.trace = trace.Lines();
    }
    // No credential reaches the trace, unless the server itself sent its bytes.
    const std::string host(plan.host.begin(), plan.host.end());
    for (const char *szSecret : kaCredentials)
        for (const std::string &line : result.trace)
            if (host.find(szSecret) == std::string::npos && line.find(szSecret) != std::string::npos)
                result.violations.push_back("a credential in the trace: " + line);
    return result;
}
