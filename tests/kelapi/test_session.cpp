// Whole sessions over the fake seam under every fault: the connection cut
// after every byte either way, by a close or a reset; every allocation
// refused, once or from then on; the system and the server failing at each
// step of the connect. Each gives its documented code and leaves nothing
// behind (fake_session.cpp checks what must always hold). Every refused
// argument and handle. And the trace of all of them: a module and a line
// name exactly one statement.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "fake_session.h"
#include "seam_test.h"

namespace {

struct Expected {
    SessionStep step;
    int32_t nCode;
};

using SessionVisitor = std::function<void(const SessionPlan &, const Expected &)>;

SessionPlan SoundPlan(SessionPath path) {
    const std::vector<Bytes> replies = SoundHostReplies();
    SessionPlan plan;
    plan.path = path;
    plan.host = Concat({replies[0], replies[1], replies[2], replies[3]});
    return plan;
}

size_t Sum(const std::vector<size_t> &sizes, size_t nCount) {
    size_t nSum = 0;
    for (size_t i = 0; i < nCount && i < sizes.size(); ++i) nSum += sizes[i];
    return nSum;
}

// The sound session cut after byte k, for every k, of what the server sends
// (its replies end there) or of what the client sends (the server then has
// answered the requests that reached it whole), by a close or a reset; the
// reset's bytes arrive in small pieces. The request or reply that the cut
// falls into fails its step (identify and logon: the open; the echo: the
// exchange; a disconnect's failure shows only in the trace) with 102.
void ForEachCut(const SessionVisitor &visit) {
    const SessionStep kaSteps[] = {SessionStep::Open, SessionStep::Open, SessionStep::Exchange,
                                   SessionStep::None};
    const std::vector<size_t> replySizes = Sizes(SoundHostReplies());
    const std::vector<size_t> requestSizes = SessionRequestSizes(SessionPlan().dwExchangeLen);
    for (SessionPath path : kaSessionPaths) {
        for (bool bClientSide : {false, true}) {
            const std::vector<size_t> &sizes = bClientSide ? requestSizes : replySizes;
            for (bool bReset : {false, true}) {
                for (size_t k = 0, nPart = 0; k <= Sum(sizes, 4); ++k) {
                    while (nPart < 4 && k >= Sum(sizes, nPart + 1)) ++nPart;
                    SessionPlan plan = SoundPlan(path);
                    plan.bReset = bReset;
                    plan.nChunk = bReset ? 7 : 0;
                    if (bClientSide) plan.nSendCut = k;
                    plan.nRecvCut = bClientSide ? Sum(replySizes, nPart) : k;
                    SessionStep step = nPart < 4 ? kaSteps[nPart] : SessionStep::None;
                    visit(plan, {step, step == SessionStep::None ? KEL_OK : KEL_ERR_COMM});
                }
            }
        }
    }
}

// The Nth allocation of the session refused, once or from then on: the
// system path allocates its connection and its record inside
// KelAllocHoxSystem, the others the connection in KelAllocConnection and
// (External) the record in KelAllocHoxSystemExt.
void ForEachAllocFailure(const SessionVisitor &visit) {
    const struct {
        SessionPath path;
        int nFailAt;
        Expected expected;
    } cases[] = {
        {SessionPath::System, 1, {SessionStep::Open, KEL_ERR_SYSTEM}},
        {SessionPath::System, 2, {SessionStep::Open, KEL_ERR_SYSTEM}},
        {SessionPath::System, 3, {SessionStep::None, KEL_OK}},
        {SessionPath::External, 1, {SessionStep::Alloc, KEL_ERR_SYSTEM}},
        {SessionPath::External, 2, {SessionStep::Open, KEL_ERR_SYSTEM}},
        {SessionPath::External, 3, {SessionStep::None, KEL_OK}},
        {SessionPath::Direct, 1, {SessionStep::Alloc, KEL_ERR_SYSTEM}},
        {SessionPath::Direct, 2, {SessionStep::None, KEL_OK}},
    };
    for (const auto &c : cases) {
        for (bool bFromThenOn : {false, true}) {
            SessionPlan plan = SoundPlan(c.path);
            plan.allocFail = FailPlan{c.nFailAt, bFromThenOn, 0};
            visit(plan, c.expected);
        }
    }
}

// A connect that the system or the server fails, on every path (the busy
// flag held by the application only where the caller has the connection).
struct ConnectFailure {
    const char *szName;
    FailPlan SessionPlan::*fail;  // the seam entry whose first call fails, if any
    Bytes identify, logon;        // the server's replies, if not the sound ones
    int32_t nExpected;
    std::vector<size_t> sends;  // up to the release: requests and the disconnect frame on an open socket
};

std::vector<ConnectFailure> ConnectFailures() {
    auto logon = [](uint32_t dwRetCode, const Bytes &data) {
        return WireRecord(Record(KEL_RSP_LOGON, 0, dwRetCode, 0, (uint32_t)data.size()), data);
    };
    const Bytes noSkip = WireRecord(Record(0x00000777u, 0, 0, 0, 0, KEL_FLAG_NOSKIP));
    const std::vector<size_t> identifyOnly = {97, 5}, both = {97, 50, 5};
    return {
        {"socket creation fails", &SessionPlan::socketFail, {}, {}, KEL_ERR_SYSTEM, {}},
        {"bind fails", &SessionPlan::bindFail, {}, {}, KEL_ERR_SYSTEM, {5}},
        {"connect fails", &SessionPlan::connectFail, {}, {}, KEL_ERR_NOT_CONNECTED, {}},
        {"application holds the flag", nullptr, {}, {}, KEL_ERR_LOCKED, {5}},
        // Not mapped like a logon refusal: the same code on the logon gives 104.
        {"identify reply with a return code",
         nullptr,
         WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0x00010001u, 0, 88), IdentifyBlock(0x53000001u)),
         {},
         KEL_ERR_PROTOCOL,
         identifyOnly},
        {"identify reply of 80 bytes",
         nullptr,
         WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0, 0, 80), Bytes(80, 0x53)),
         {},
         KEL_ERR_PROTOCOL,
         identifyOnly},
        {"server without its marker",
         nullptr,
         IdentifyReply(0x43123456u),
         {},
         KEL_ERR_PROTOCOL,
         identifyOnly},
        {"no-skip frame before the identify reply",
         nullptr,
         Concat({noSkip, IdentifyReply()}),
         {},
         KEL_ERR_PROTOCOL,
         identifyOnly},
        {"logon refused with 0x00010001", nullptr, {}, logon(0x00010001u, {}), KEL_ERR_HOST_104, both},
        {"logon refused with 0x00030003", nullptr, {}, logon(0x00030003u, {}), KEL_ERR_HOST_204, both},
        {"logon refused with 0x00050003", nullptr, {}, logon(0x00050003u, {1}), KEL_ERR_SYSTEM, both},
        {"logon reply without its data byte", nullptr, {}, logon(0, {}), KEL_ERR_PROTOCOL, both},
        {"logon reply with two data bytes", nullptr, {}, logon(0, {1, 2}), KEL_ERR_PROTOCOL, both},
    };
}

void ForEachConnectFailure(const std::function<void(const SessionPlan &, const ConnectFailure &)> &visit) {
    const std::vector<Bytes> replies = SoundHostReplies();
    for (const ConnectFailure &c : ConnectFailures()) {
        for (SessionPath path : kaSessionPaths) {
            SessionPlan plan = SoundPlan(path);
            plan.bLockHeld = c.nExpected == KEL_ERR_LOCKED;
            if (plan.bLockHeld && path == SessionPath::System) continue;
            if (c.fail) (plan.*c.fail).nFailAt = 1;
            plan.host = Concat({c.identify.empty() ? replies[0] : c.identify,
                                c.logon.empty() ? replies[1] : c.logon, replies[2], replies[3]});
            visit(plan, c);
        }
    }
}

// Runs one session; false, with the reasons, where it went another way.
bool RunAsExpected(const SessionPlan &plan, const Expected &expected, SessionResult *lpResult = nullptr) {
    SessionResult result = RunSession(plan);
    bool bAsExpected =
        result.violations.empty() && result.failedStep == expected.step && result.nFailure == expected.nCode;
    if (!bAsExpected) {
        std::string why;
        for (const std::string &violation : result.violations) why += "\n  " + violation;
        ADD_FAILURE() << "path " << (int)plan.path << ", server's bytes cut after " << plan.nRecvCut
                      << ", client's after " << plan.nSendCut << (plan.bReset ? " by a reset" : "")
                      << ", allocation " << plan.allocFail.nFailAt
                      << (plan.allocFail.bFromThenOn ? " on" : "") << " refused: step "
                      << (int)result.failedStep << " failed with " << result.nFailure << ", expected step "
                      << (int)expected.step << " with " << expected.nCode << why;
    }
    if (lpResult) *lpResult = result;
    return bAsExpected;
}

class SessionSweep : public SeamTest {};

TEST_F(SessionSweep, ConnectionCutAfterEveryByteEitherWayByCloseOrReset) {
    int nSessions = 0, nFailed = 0;
    ForEachCut([&](const SessionPlan &plan, const Expected &expected) {
        ++nSessions;
        if (nFailed < 5 && !RunAsExpected(plan, expected)) ++nFailed;
    });
    EXPECT_GT(nSessions, 10000);
}

TEST_F(SessionSweep, TheNthAllocationRefusedOnceOrFromThenOn) {
    ForEachAllocFailure(
        [](const SessionPlan &plan, const Expected &expected) { RunAsExpected(plan, expected); });
}

// Each failure of the connect leaves the state described in fake_session.cpp
// (half-open records refuse a connect and a free until KelDisconnect, which
// then succeeds and the record connects again); an owned connection is
// disconnected, its frame on the open socket, and freed. A refused server's
// identity stays in the record.
TEST_F(SessionSweep, ConnectFailsWithTheCodeOfTheFailingStepOnEveryPath) {
    ForEachConnectFailure([](const SessionPlan &plan, const ConnectFailure &c) {
        SCOPED_TRACE(c.szName);
        SessionResult result;
        if (!RunAsExpected(plan, {SessionStep::Open, c.nExpected}, &result)) return;
        EXPECT_EQ(c.sends, result.sends);
        if (plan.path != SessionPath::System && c.identify == IdentifyReply(0x43123456u)) {
            EXPECT_EQ(0x43123456u, result.dwServerID);
        }
    });
}

// ---- Refused arguments and handles

// A call that the library refuses, the code it gives and the number of trace
// lines it writes: the "Error:" lines of its chain, after an entry line
// where the function writes that before its checks or the check that fails
// comes after the pointer checks.
struct RefusedCall {
    std::string name;
    std::function<int32_t()> call;
    int32_t nExpected;
    size_t nLines;
};

// Records to refuse: an unconnected and an open, busy connection, a system, a
// system without a connection; and the caller's variables, which a refused
// call leaves as they were.
struct Refusals {
    Refusals() {
        EXPECT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &hUnconnected));
        EXPECT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &hOpen));
        static_cast<KelConnection *>(hOpen)->hSocket = g_Fake.hNextSocket;
        static_cast<KelConnection *>(hOpen)->dwLock = KEL_LOCK_BUSY;
        system.hConnection = static_cast<KelConnection *>(hOpen);
    }
    ~Refusals() {  // a free does not look at the busy flag
        static_cast<KelConnection *>(hOpen)->hSocket = KEL_INVALID_SOCKET;
        EXPECT_EQ(KEL_OK, KelFreeConnection(hOpen));
        EXPECT_EQ(KEL_OK, KelFreeConnection(hUnconnected));
    }
    std::vector<RefusedCall> Calls();

    HKELCONNECTION hUnconnected = nullptr, hOpen = nullptr;
    KelHoxSystem system = {KEL_TYPE_HOXSYSTEM, nullptr, 0xFFFFFFFFu},
                 unconnected = {KEL_TYPE_HOXSYSTEM, nullptr, 0};
    HKELHOXSYSTEM hKeep = reinterpret_cast<HKELHOXSYSTEM>(0x1234);
    HKELCONNECTION hOut = reinterpret_cast<HKELCONNECTION>(0x5678);
    uint32_t dwCount = 99;
    uint8_t abData[8] = {0};
    KelCommand cmd = Record(1);
    KelSystemInfo info;
};

std::vector<RefusedCall> Refusals::Calls() {
    void *const hSys = &system, *const hCon = hUnconnected;
    const char *const p = "p";
    // The functions of one handle: null gives 1 with its "Error:" line alone,
    // the other kind 4 with nOtherLines lines.
    const struct {
        const char *szName;
        std::function<int32_t(void *)> call;
        void *hOther;
        size_t nOtherLines;
    } handles[] = {
        {"KelFreeConnection", [](void *x) { return KelFreeConnection(x); }, hSys, 2},
        {"KelLock", [](void *x) { return KelLock(x); }, hSys, 2},
        {"KelUnLock", [](void *x) { return KelUnLock(x); }, hSys, 2},
        {"KelSetTimeout", [](void *x) { return KelSetTimeout(x, 1); }, hSys, 2},
        {"KelConnect", [](void *x) { return KelConnect(x); }, hSys, 2},
        {"KelDisconnect", [](void *x) { return KelDisconnect(x); }, hSys, 2},
        {"KelReceive", [this](void *x) { return KelReceive(x, abData, 1, &dwCount, 1); }, hSys, 1},
        {"KelSendCommand", [this](void *x) { return KelSendCommand(x, &cmd, 1); }, hSys, 2},
        {"KelReceiveCommand", [this](void *x) { return KelReceiveCommand(x, &cmd); }, hSys, 2},
        {"KelWaitForResponse", [this](void *x) { return KelWaitForResponse(x, 1, &cmd); }, hSys, 3},
        {"KelGetSystemInfo", [this](void *x) { return KelGetSystemInfo(x, &info); }, hCon, 2},
        {"KelGetConnection", [this](void *x) { return KelGetConnection(x, &hOut); }, hCon, 2},
        {"KelSetConnection", [=](void *x) { return KelSetConnection(x, hCon); }, hCon, 2},
        {"KelFreeHoxSystem", [](void *x) { return KelFreeHoxSystem(x); }, hCon, 2},
    };
    std::vector<RefusedCall> calls;
    for (const auto &f : handles) {
        calls.push_back(
            {std::string(f.szName) + "(null)", [=] { return f.call(nullptr); }, KEL_ERR_PARAM, 1});
        calls.push_back({std::string(f.szName) + "(other kind)", [=] { return f.call(f.hOther); },
                         KEL_ERR_HANDLE, f.nOtherLines});
    }
    // KelSend clears the count before it checks the handle and the socket.
    auto sendClears = [=](void *x) {
        uint32_t dwSent = 99;
        int32_t nRc = KelSend(x, "x", 1, &dwSent, 1);
        return dwSent == 0 && (x != hCon || static_cast<KelConnection *>(x)->dwSendLen == 0) ? nRc : -1;
    };
    std::vector<RefusedCall> others = {
        {"KelAllocConnection without a user", [=] { return KelAllocConnection(1, 0, nullptr, p, p, &hOut); },
         1, 2},
        {"KelAllocConnection without a password",
         [=] { return KelAllocConnection(1, 0, p, nullptr, p, &hOut); }, 1, 2},
        {"KelAllocConnection without a handle", [=] { return KelAllocConnection(1, 0, p, p, p, nullptr); }, 1,
         2},
        {"KelAllocHoxSystem without a user", [=] { return KelAllocHoxSystem(1, 0, nullptr, p, p, &hKeep); },
         1, 2},
        {"KelAllocHoxSystem without a password",
         [=] { return KelAllocHoxSystem(1, 0, p, nullptr, p, &hKeep); }, 1, 2},
        {"KelAllocHoxSystem without a handle", [=] { return KelAllocHoxSystem(1, 0, p, p, p, nullptr); }, 1,
         2},
        {"KelAllocHoxSystemExt without a connection", [=] { return KelAllocHoxSystemExt(nullptr, &hKeep); },
         1, 2},
        {"KelAllocHoxSystemExt without a handle", [=] { return KelAllocHoxSystemExt(hCon, nullptr); }, 1, 2},
        {"KelAllocHoxSystemExt on a connected connection",
         [=] { return KelAllocHoxSystemExt(hOpen, &hKeep); }, 100, 4},
        {"KelFreeConnection on an open connection", [=] { return KelFreeConnection(hOpen); }, 5, 2},
        {"KelLock on a busy connection", [=] { return KelLock(hOpen); }, 109, 2},
        {"KelConnect on an open connection", [=] { return KelConnect(hOpen); }, 100, 2},
        {"KelDisconnect unconnected", [=] { return KelDisconnect(hCon); }, 101, 2},
        {"KelSend(null)", [this] { return KelSend(nullptr, abData, 1, &dwCount, 1); }, 1, 1},
        {"KelSend without a count", [=] { return KelSend(hOpen, abData, 1, nullptr, 1); }, 1, 1},
        {"KelSend(system)", [=] { return sendClears(hSys); }, 4, 1},
        {"KelSend unconnected", [=] { return sendClears(hCon); }, 101, 1},
        {"KelReceive unconnected", [=] { return KelReceive(hCon, abData, 1, &dwCount, 1); }, 101, 1},
        {"KelSendCommand without a command", [=] { return KelSendCommand(hOpen, nullptr, 1); }, 1, 1},
        {"KelSendCommand unconnected", [=] { return KelSendCommand(hCon, &cmd, 1); }, 101, 2},
        {"KelReceiveCommand without a command", [=] { return KelReceiveCommand(hOpen, nullptr); }, 1, 1},
        {"KelDispatchCommand(null)", [this] { return KelDispatchCommand(nullptr, &cmd); }, 1, 1},
        {"KelDispatchCommand without a command", [=] { return KelDispatchCommand(hOpen, nullptr); }, 1, 1},
        {"KelWaitForResponse without a command", [=] { return KelWaitForResponse(hOpen, 1, nullptr); }, 1, 1},
        {"KelGetSystemInfo without a record", [=] { return KelGetSystemInfo(hSys, nullptr); }, 1, 1},
        {"KelGetSystemInfo without a connection", [this] { return KelGetSystemInfo(&unconnected, &info); }, 3,
         2},
        {"KelGetConnection without a handle", [=] { return KelGetConnection(hSys, nullptr); }, 1, 1},
        {"KelSetConnection without a connection", [=] { return KelSetConnection(hSys, nullptr); }, 1, 1},
        // KelGetSystemInfo would read a connection record past the end of the system's.
        {"KelSetConnection to a system", [=] { return KelSetConnection(hSys, hSys); }, 4, 2},
        {"KelIPToStr without a buffer", [] { return KelIPToStr(1, nullptr); }, 1, 1},
        {"KelScramble without its bytes", [this] { return KelScramble(nullptr, 1, abData); }, 1, 1},
    };
    calls.insert(calls.end(), others.begin(), others.end());
    return calls;
}

class RefusedCalls : public SeamTest {};

// Each refusal gives its code and changes nothing: no record, no handle
// variable of the caller, no allocation left, no socket call.
TEST_F(RefusedCalls, NullPointersAndHandlesOfTheOtherKindChangeNothing) {
    Refusals refusals;
    const Bytes open(static_cast<uint8_t *>(refusals.hOpen),
                     static_cast<uint8_t *>(refusals.hOpen) + sizeof(KelConnection));
    const KelHoxSystem system = refusals.system;
    for (const RefusedCall &c : refusals.Calls()) {
        TraceCapture trace;
        EXPECT_EQ(c.nExpected, c.call()) << c.name;
        std::vector<int> codes = trace.ErrorCodes();
        EXPECT_EQ(c.nLines, trace.Lines().size()) << c.name;
        EXPECT_TRUE(!codes.empty() && codes.back() == c.nExpected) << c.name;
    }
    EXPECT_EQ(0, memcmp(open.data(), refusals.hOpen, open.size())) << "the open connection changed";
    EXPECT_EQ(0, memcmp(&system, &refusals.system, sizeof system));
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), refusals.hKeep);
    EXPECT_EQ(reinterpret_cast<HKELCONNECTION>(0x5678), refusals.hOut);
    EXPECT_EQ(99u, refusals.dwCount);
    EXPECT_EQ(2, g_Fake.nLiveBlocks) << "only the two connections";
    EXPECT_TRUE(g_Fake.setup.empty() && g_Fake.sends.empty() && g_Fake.recvAsked.empty());
}

// ---- One statement per trace location

// The library's sources as the trace sees them: which file names each
// module, and the reporting statements on each line of each file ("Error:"
// for KEL_FAIL, else the text literal of a KEL_TRACE_*).
struct SourceTable {
    std::map<std::string, std::vector<std::string>> moduleFiles;
    std::map<std::string, std::map<int, std::vector<std::string>>> statements;  // by file, then line
    std::vector<std::string> directWriters;  // writer calls outside the macros
};

std::string Literal(const std::string &code, size_t nFrom) {
    size_t nOpen = code.find('"', nFrom), nClose = code.find('"', nOpen + 1);
    return nClose == std::string::npos ? "" : code.substr(nOpen + 1, nClose - nOpen - 1);
}

SourceTable ReadLibrarySources() {
    SourceTable table;
    for (const auto &entry : std::filesystem::directory_iterator(KEL_LIBRARY_SOURCE_DIR)) {
        const std::string file = entry.path().filename().string();
        std::ifstream in(entry.path());
        std::string line;
        for (int nLine = 1; std::getline(in, line); ++nLine) {
            const std::string code = line.substr(0, line.find("//"));  // no string of the library holds "//"
            size_t nAt = code.find("kszModule[] = ");
            if (nAt != std::string::npos) table.moduleFiles[Literal(code, nAt)].push_back(file);
            if (code.find('#') == code.find_first_not_of(' ')) continue;  // the macros' definitions
            for (const char *szMacro : {"KEL_TRACE_MSG(", "KEL_TRACE_STR(", "KEL_TRACE_VAL(", "KEL_FAIL("})
                for (nAt = code.find(szMacro); nAt != std::string::npos; nAt = code.find(szMacro, nAt + 1))
                    table.statements[file][nLine].push_back(szMacro[4] == 'F' ? "Error:"
                                                                              : Literal(code, nAt));
            for (const char *szWriter : {"KelTraceMsg(", "KelTraceStr(", "KelTraceVal(", "KelTraceErr("})
                if (code.find(szWriter) != std::string::npos && file != "KelUtils.cpp" &&
                    file != "kelapi_internal.h")
                    table.directWriters.push_back(file + ": " + line);
        }
    }
    return table;
}

// Each module is one source file; only the module files report, through the
// macros that carry the statement's line, one statement per line at most.
TEST(TraceSites, EachModuleIsOneFileAndEachLineHoldsOneReportingStatement) {
    const SourceTable table = ReadLibrarySources();
    std::set<std::string> modules, files;
    for (const auto &module : table.moduleFiles) {
        modules.insert(module.first);
        files.insert(module.second.begin(), module.second.end());
        EXPECT_EQ(1u, module.second.size()) << module.first << " is named by more than one file";
    }
    EXPECT_EQ((std::set<std::string>{"KelConct", "KelSystm", "KelUtils"}), modules);
    for (const auto &file : table.statements) {
        EXPECT_EQ(1u, files.count(file.first)) << file.first << " reports without a module of its own";
        for (const auto &line : file.second)
            EXPECT_EQ(1u, line.second.size()) << file.first << ":" << line.first << " holds two statements";
    }
    EXPECT_EQ(std::vector<std::string>(), table.directWriters);
}

// Every line of the sessions above and of the other calls (the refusals, the
// start-up, the address helpers) comes from one statement: its module's
// file holds exactly one reporting statement on that line, of the line's
// text up to its first "= " (the values follow), or "Error:".
TEST(TraceSites, EveryTracedModuleAndLineNamesOneStatementOfThatText) {
    std::map<std::pair<std::string, int>, std::set<std::string>> seen;
    auto collect = [&](const std::vector<std::string> &lines) {
        for (const std::string &line : lines) {
            size_t nAt = line.find(" at ", 23), nColon = line.find(":  ", nAt);
            if (line.size() < 23 || line.compare(20, 3, " - ") || nColon == std::string::npos) {
                ADD_FAILURE() << "not a trace line: " << line;
                continue;
            }
            std::string text = line.substr(nColon + 3);
            size_t nEquals = text.find("= ");
            text = text.rfind("Error: ", 0) == 0  ? "Error:"
                   : nEquals == std::string::npos ? text
                                                  : text.substr(0, nEquals + 2);
            seen[{line.substr(23, nAt - 23), atoi(line.c_str() + nAt + 4)}].insert(text);
        }
    };
    auto run = [&](const SessionPlan &plan) { collect(RunSession(plan).trace); };
    ForEachCut([&](const SessionPlan &plan, const Expected &) { run(plan); });
    ForEachAllocFailure([&](const SessionPlan &plan, const Expected &) { run(plan); });
    ForEachConnectFailure([&](const SessionPlan &plan, const ConnectFailure &) { run(plan); });
    InstallFakePlatform();
    g_dwKelStarted = 0;
    {
        TraceCapture trace;
        EXPECT_EQ(0u, KelHostNameToIP(nullptr));
        char szText[16];
        KelIPToStr(KelStrToIP("10.0.0.1"), szText);
        Refusals refusals;
        for (const RefusedCall &c : refusals.Calls()) c.call();
        collect(trace.Lines());
    }
    KelPlatformReset();

    const SourceTable table = ReadLibrarySources();
    for (const auto &site : seen) {
        SCOPED_TRACE(site.first.first + " at " + std::to_string(site.first.second) + ": " +
                     *site.second.begin());
        EXPECT_EQ(1u, site.second.size()) << "two statements report at one place";
        auto files = table.moduleFiles.find(site.first.first);
        ASSERT_TRUE(files != table.moduleFiles.end()) << "no source file names this module";
        auto lines = table.statements.find(files->second[0]);
        ASSERT_TRUE(lines != table.statements.end() && lines->second.count(site.first.second))
            << "no reporting statement at this line";
        const std::vector<std::string> &statements = lines->second.at(site.first.second);
        EXPECT_EQ(std::set<std::string>(statements.begin(), statements.end()), site.second);
    }
    EXPECT_GT(seen.size(), 60u);
}

}  // namespace
