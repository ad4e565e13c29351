// Whole sessions over the fake seam under every fault: the connection cut
// after every byte either way, by a close or a reset; every allocation
// refused, once or from then on; the system and the server failing at each
// step of the connect. Each gives its documented code and leaves nothing
// behind (fake_session.cpp checks what must always hold). And the trace of
// all of them: a module and a line name exactly one statement.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "fake_platform.h"
#include "fake_session.h"

namespace {

struct Expected {
    SessionStep step;
    int32_t nCode;
};

using SessionVisitor = std::function<void(const SessionPlan &, const Expected &)>;

std::string Describe(const SessionPlan &plan) {
    std::string text = SessionPathName(plan.path);
    if (plan.nRecvCut != SIZE_MAX) text += ", server's bytes cut after " + std::to_string(plan.nRecvCut);
    if (plan.nSendCut != SIZE_MAX) text += ", client's bytes cut after " + std::to_string(plan.nSendCut);
    if (plan.allocFail.nFailAt)
        text += ", allocation " + std::to_string(plan.allocFail.nFailAt) +
                (plan.allocFail.bFromThenOn ? " and later fail" : " fails");
    return text + (plan.bReset ? ", by a reset" : "");
}

size_t Sum(const std::vector<size_t> &sizes, size_t nCount) {
    size_t nSum = 0;
    for (size_t i = 0; i < nCount && i < sizes.size(); ++i) nSum += sizes[i];
    return nSum;
}

// The step each request and its reply belong to: identify, logon, echo, disconnect.
// A failed disconnect shows only in the trace.
const SessionStep kaRequestSteps[] = {SessionStep::Open, SessionStep::Open, SessionStep::Exchange,
                                      SessionStep::None};

// The sound session cut after byte k, for every k, of what the server sends
// (its replies end there) or of what the client sends (the server then has
// answered the requests that reached it whole), by a close or a reset; the
// reset's bytes arrive in small pieces. The request or reply that the cut
// falls into fails its step with 102.
void ForEachCut(const SessionVisitor &visit) {
    const std::vector<Bytes> replies = SoundHostReplies();
    const std::vector<size_t> replySizes = Sizes(replies);
    const std::vector<size_t> requestSizes = SessionRequestSizes(SessionPlan().dwExchangeLen);
    for (SessionPath path : kaSessionPaths) {
        for (bool bClientSide : {false, true}) {
            const std::vector<size_t> &sizes = bClientSide ? requestSizes : replySizes;
            for (bool bReset : {false, true}) {
                for (size_t k = 0, nPart = 0; k <= Sum(sizes, 4); ++k) {
                    while (nPart < 4 && k >= Sum(sizes, nPart + 1)) ++nPart;
                    SessionPlan plan;
                    plan.path = path;
                    plan.host = Concat({replies[0], replies[1], replies[2], replies[3]});
                    plan.bReset = bReset;
                    plan.nChunk = bReset ? 7 : 0;
                    if (bClientSide) plan.nSendCut = k;
                    plan.nRecvCut = bClientSide ? Sum(replySizes, nPart) : k;
                    SessionStep step = nPart < 4 ? kaRequestSteps[nPart] : SessionStep::None;
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
    const std::vector<Bytes> replies = SoundHostReplies();
    for (const auto &c : cases) {
        for (bool bFromThenOn : {false, true}) {
            SessionPlan plan;
            plan.path = c.path;
            plan.host = Concat({replies[0], replies[1], replies[2], replies[3]});
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
    const Bytes noSkip = WireRecord(Record(0x00000777u, 0, 0, 0, 0, KEL_FLAG_NOSKIP));
    auto logon = [](uint32_t dwRetCode, const Bytes &data) {
        return WireRecord(Record(KEL_RSP_LOGON, 0, dwRetCode, 0, (uint32_t)data.size()), data);
    };
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
            bool bLockHeld = c.nExpected == KEL_ERR_LOCKED;
            if (bLockHeld && path == SessionPath::System) continue;
            SessionPlan plan;
            plan.path = path;
            plan.bLockHeld = bLockHeld;
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
        ADD_FAILURE() << Describe(plan) << ": step " << (int)result.failedStep << " failed with "
                      << result.nFailure << ", expected step " << (int)expected.step << " with "
                      << expected.nCode << why;
    }
    if (lpResult) *lpResult = result;
    return bAsExpected;
}

class SessionSweep : public FakePlatformTest {};

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
// disconnected, its frame on the open socket, and freed.
TEST_F(SessionSweep, ConnectFailsWithTheCodeOfTheFailingStepOnEveryPath) {
    ForEachConnectFailure([](const SessionPlan &plan, const ConnectFailure &c) {
        SCOPED_TRACE(c.szName);
        SessionResult result;
        if (!RunAsExpected(plan, {SessionStep::Open, c.nExpected}, &result)) return;
        EXPECT_EQ(c.sends, result.sends);
        if (plan.path != SessionPath::System && c.identify == IdentifyReply(0x43123456u)) {
            EXPECT_EQ(0x43123456u, result.dwServerID) << "the refused server's identity stays";
        }
    });
}

// --- One statement per trace location ----------------------------------------

struct Statement {
    bool bError;       // KEL_FAIL; else a KEL_TRACE_* with its text
    std::string text;  // the text literal
};

// The library's sources as the trace sees them: which file each module is,
// and the reporting statements on each line of each file.
struct SourceTable {
    std::map<std::string, std::vector<std::string>> moduleFiles;
    std::map<std::string, std::map<int, std::vector<Statement>>> statements;  // by file, then line
    std::map<std::string, std::vector<std::string>> directWriters;  // writer calls outside the macros
};

// A line without its // comment (none of the library's strings holds "//").
std::string Code(const std::string &line) {
    size_t nAt = line.find("//");
    return nAt == std::string::npos ? line : line.substr(0, nAt);
}

std::string FirstLiteral(const std::string &code, size_t nFrom) {
    size_t nOpen = code.find('"', nFrom), nClose = code.find('"', nOpen + 1);
    return nOpen == std::string::npos || nClose == std::string::npos
               ? ""
               : code.substr(nOpen + 1, nClose - nOpen - 1);
}

SourceTable ReadLibrarySources() {
    SourceTable table;
    for (const auto &entry : std::filesystem::directory_iterator(KEL_LIBRARY_SOURCE_DIR)) {
        const std::string file = entry.path().filename().string();
        std::ifstream in(entry.path());
        std::string line;
        for (int nLine = 1; std::getline(in, line); ++nLine) {
            const std::string code = Code(line);
            size_t nModule = code.find("kszModule[] = ");
            if (nModule != std::string::npos) table.moduleFiles[FirstLiteral(code, nModule)].push_back(file);
            if (code.find("#") == code.find_first_not_of(" ")) continue;  // the macros' definitions
            for (const char *szMacro : {"KEL_TRACE_MSG(", "KEL_TRACE_STR(", "KEL_TRACE_VAL(", "KEL_FAIL("}) {
                for (size_t nAt = code.find(szMacro); nAt != std::string::npos;
                     nAt = code.find(szMacro, nAt + 1)) {
                    bool bError = std::string(szMacro) == "KEL_FAIL(";
                    table.statements[file][nLine].push_back({bError, bError ? "" : FirstLiteral(code, nAt)});
                }
            }
            for (const char *szWriter : {"KelTraceMsg(", "KelTraceStr(", "KelTraceVal(", "KelTraceErr("})
                if (code.find(szWriter) != std::string::npos) table.directWriters[file].push_back(line);
        }
    }
    return table;
}

// Each module is one source file; only the module files report, through the
// macros that carry the statement's line, one statement per line at most.
TEST(TraceSites, EachModuleIsOneFileAndEachLineHoldsOneReportingStatement) {
    SourceTable table = ReadLibrarySources();
    std::set<std::string> modules;
    for (const auto &module : table.moduleFiles) {
        modules.insert(module.first);
        EXPECT_EQ(1u, module.second.size()) << module.first << " is named by more than one file";
    }
    EXPECT_EQ((std::set<std::string>{"KelConct", "KelSystm", "KelUtils"}), modules);
    for (const auto &file : table.statements) {
        bool bModule = false;
        for (const auto &module : table.moduleFiles) bModule |= module.second[0] == file.first;
        EXPECT_TRUE(bModule) << file.first << " reports without a module of its own";
        for (const auto &line : file.second)
            EXPECT_EQ(1u, line.second.size()) << file.first << ":" << line.first << " holds two statements";
    }
    for (const auto &file : table.directWriters)
        if (file.first != "KelUtils.cpp" && file.first != "kelapi_internal.h")
            ADD_FAILURE() << file.first << " calls a trace writer without the macros: " << file.second[0];
}

// A trace line's "module at N:  text", its text cut after the first "= "
// (the values follow) or to "Error:".
struct Site {
    std::string module;
    int nLine = 0;
    std::string text;
    bool operator<(const Site &other) const {
        return std::tie(module, nLine, text) < std::tie(other.module, other.nLine, other.text);
    }
};

bool ParseSite(const std::string &line, Site *lpSite) {
    size_t nDash = line.find(" - "), nAt = line.find(" at ", nDash), nColon = line.find(":  ", nAt);
    if (nDash == std::string::npos || nAt == std::string::npos || nColon == std::string::npos) return false;
    lpSite->module = line.substr(nDash + 3, nAt - nDash - 3);
    lpSite->nLine = atoi(line.c_str() + nAt + 4);
    std::string text = line.substr(nColon + 3);
    size_t nEquals = text.find("= ");
    lpSite->text = text.rfind("Error: ", 0) == 0  ? "Error:"
                   : nEquals == std::string::npos ? text
                                                  : text.substr(0, nEquals + 2);
    return true;
}

// --- Refused arguments and handles ---------------------------------------------

// A call that the library refuses, the code it gives and the number of trace
// lines it writes: the "Error:" lines of its chain, after an entry line
// where the function writes that before its checks or the check that fails
// comes after the pointer checks.
struct RefusedCall {
    const char *szCall;
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
    ~Refusals() {
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
    return {
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
        {"KelFreeConnection(null)", [] { return KelFreeConnection(nullptr); }, 1, 1},
        {"KelFreeConnection(system)", [=] { return KelFreeConnection(hSys); }, 4, 2},
        {"KelFreeConnection on an open connection", [=] { return KelFreeConnection(hOpen); }, 5, 2},
        {"KelLock(null)", [] { return KelLock(nullptr); }, 1, 1},
        {"KelLock(system)", [=] { return KelLock(hSys); }, 4, 2},
        {"KelLock on a busy connection", [=] { return KelLock(hOpen); }, 109, 2},
        {"KelUnLock(null)", [] { return KelUnLock(nullptr); }, 1, 1},
        {"KelUnLock(system)", [=] { return KelUnLock(hSys); }, 4, 2},
        {"KelSetTimeout(null)", [] { return KelSetTimeout(nullptr, 1); }, 1, 1},
        {"KelSetTimeout(system)", [=] { return KelSetTimeout(hSys, 1); }, 4, 2},
        {"KelConnect(null)", [] { return KelConnect(nullptr); }, 1, 1},
        {"KelConnect(system)", [=] { return KelConnect(hSys); }, 4, 2},
        {"KelConnect on an open connection", [=] { return KelConnect(hOpen); }, 100, 2},
        {"KelDisconnect(null)", [] { return KelDisconnect(nullptr); }, 1, 1},
        {"KelDisconnect(system)", [=] { return KelDisconnect(hSys); }, 4, 2},
        {"KelDisconnect unconnected", [=] { return KelDisconnect(hCon); }, 101, 2},
        {"KelSend(null)", [this] { return KelSend(nullptr, abData, 1, &dwCount, 1); }, 1, 1},
        {"KelSend without a count", [=] { return KelSend(hOpen, abData, 1, nullptr, 1); }, 1, 1},
        // KelSend clears the count before it checks the handle; KelReceive does not.
        {"KelSend(system)",
         [=] {
             uint32_t dwSent = 99;
             int32_t nRc = KelSend(hSys, abData, 1, &dwSent, 1);
             return dwSent == 0 ? nRc : -1;
         },
         4, 1},
        {"KelSend unconnected",
         [=] {
             uint32_t dwSent = 99;
             int32_t nRc = KelSend(hCon, abData, 1, &dwSent, 1);
             return dwSent == 0 && static_cast<KelConnection *>(hCon)->dwSendLen == 0 ? nRc : -1;
         },
         101, 1},
        {"KelReceive(null)", [this] { return KelReceive(nullptr, abData, 1, &dwCount, 1); }, 1, 1},
        {"KelReceive(system)", [=] { return KelReceive(hSys, abData, 1, &dwCount, 1); }, 4, 1},
        {"KelReceive unconnected", [=] { return KelReceive(hCon, abData, 1, &dwCount, 1); }, 101, 1},
        {"KelSendCommand(null)", [this] { return KelSendCommand(nullptr, &cmd, 1); }, 1, 1},
        {"KelSendCommand without a command", [=] { return KelSendCommand(hOpen, nullptr, 1); }, 1, 1},
        {"KelSendCommand(system)", [=] { return KelSendCommand(hSys, &cmd, 1); }, 4, 2},
        {"KelSendCommand unconnected", [=] { return KelSendCommand(hCon, &cmd, 1); }, 101, 2},
        {"KelReceiveCommand(null)", [this] { return KelReceiveCommand(nullptr, &cmd); }, 1, 1},
        {"KelReceiveCommand without a command", [=] { return KelReceiveCommand(hOpen, nullptr); }, 1, 1},
        {"KelReceiveCommand(system)", [=] { return KelReceiveCommand(hSys, &cmd); }, 4, 2},
        {"KelDispatchCommand(null)", [this] { return KelDispatchCommand(nullptr, &cmd); }, 1, 1},
        {"KelDispatchCommand without a command", [=] { return KelDispatchCommand(hOpen, nullptr); }, 1, 1},
        {"KelWaitForResponse(null)", [this] { return KelWaitForResponse(nullptr, 1, &cmd); }, 1, 1},
        {"KelWaitForResponse without a command", [=] { return KelWaitForResponse(hOpen, 1, nullptr); }, 1, 1},
        {"KelWaitForResponse(system)", [=] { return KelWaitForResponse(hSys, 1, &cmd); }, 4, 3},
        {"KelGetSystemInfo(null)", [this] { return KelGetSystemInfo(nullptr, &info); }, 1, 1},
        {"KelGetSystemInfo without a record", [=] { return KelGetSystemInfo(hSys, nullptr); }, 1, 1},
        {"KelGetSystemInfo(connection)", [=] { return KelGetSystemInfo(hCon, &info); }, 4, 2},
        {"KelGetSystemInfo without a connection", [this] { return KelGetSystemInfo(&unconnected, &info); }, 3,
         2},
        {"KelGetConnection(null)", [this] { return KelGetConnection(nullptr, &hOut); }, 1, 1},
        {"KelGetConnection without a handle", [=] { return KelGetConnection(hSys, nullptr); }, 1, 1},
        {"KelGetConnection(connection)", [=] { return KelGetConnection(hCon, &hOut); }, 4, 2},
        {"KelSetConnection(null)", [=] { return KelSetConnection(nullptr, hCon); }, 1, 1},
        {"KelSetConnection without a connection", [=] { return KelSetConnection(hSys, nullptr); }, 1, 1},
        {"KelSetConnection(connection)", [=] { return KelSetConnection(hCon, hCon); }, 4, 2},
        // KelGetSystemInfo would read a connection record past the end of the system's.
        {"KelSetConnection to a system", [=] { return KelSetConnection(hSys, hSys); }, 4, 2},
        {"KelFreeHoxSystem(null)", [] { return KelFreeHoxSystem(nullptr); }, 1, 1},
        {"KelFreeHoxSystem(connection)", [=] { return KelFreeHoxSystem(hCon); }, 4, 2},
        {"KelIPToStr without a buffer", [] { return KelIPToStr(1, nullptr); }, 1, 1},
        {"KelScramble without its bytes", [this] { return KelScramble(nullptr, 1, abData); }, 1, 1},
    };
}

class RefusedCalls : public FakePlatformTest {};

// Each refusal gives its code and changes nothing: no record, no handle
// variable of the caller, no allocation left, no socket call.
TEST_F(RefusedCalls, NullPointersAndHandlesOfTheOtherKindChangeNothing) {
    Refusals refusals;
    const std::vector<uint8_t> open(reinterpret_cast<uint8_t *>(refusals.hOpen),
                                    reinterpret_cast<uint8_t *>(refusals.hOpen) + sizeof(KelConnection));
    const KelHoxSystem system = refusals.system;
    for (const RefusedCall &c : refusals.Calls()) {
        TraceCapture trace;
        EXPECT_EQ(c.nExpected, c.call()) << c.szCall;
        std::vector<int> codes = trace.ErrorCodes();
        EXPECT_EQ(c.nLines, trace.Lines().size()) << c.szCall;
        EXPECT_TRUE(!codes.empty() && codes.back() == c.nExpected) << c.szCall;
    }
    EXPECT_EQ(0, memcmp(open.data(), refusals.hOpen, open.size())) << "the open connection changed";
    EXPECT_EQ(0, memcmp(&system, &refusals.system, sizeof system));
    EXPECT_EQ(reinterpret_cast<HKELHOXSYSTEM>(0x1234), refusals.hKeep);
    EXPECT_EQ(reinterpret_cast<HKELCONNECTION>(0x5678), refusals.hOut);
    EXPECT_EQ(99u, refusals.dwCount);
    EXPECT_EQ(2, g_Fake.nLiveBlocks) << "only the two connections";
    EXPECT_TRUE(g_Fake.setup.empty() && g_Fake.sends.empty() && g_Fake.recvAsked.empty());
}

// Lines that no session writes: the refusals, the start-up, the address helpers.
std::vector<std::string> TraceOfTheOtherCalls() {
    InstallFakePlatform();
    g_dwKelStarted = 0;
    TraceCapture trace;
    EXPECT_EQ(0u, KelHostNameToIP(nullptr));
    char szText[16];
    KelIPToStr(KelStrToIP("10.0.0.1"), szText);
    {
        Refusals refusals;
        for (const RefusedCall &c : refusals.Calls()) c.call();
    }
    KelPlatformReset();
    return trace.Lines();
}

// Every line of the sessions above and of the other calls comes from one
// statement: its module's file holds exactly one reporting statement on that
// line, of the line's kind and with its text.
TEST(TraceSites, EveryTracedModuleAndLineNamesOneStatementOfThatText) {
    std::set<Site> sites;
    auto collect = [&](const std::vector<std::string> &lines) {
        for (const std::string &line : lines) {
            Site site;
            if (ParseSite(line, &site))
                sites.insert(site);
            else
                ADD_FAILURE() << "not a trace line: " << line;
        }
    };
    auto run = [&](const SessionPlan &plan) { collect(RunSession(plan).trace); };
    ForEachCut([&](const SessionPlan &plan, const Expected &) { run(plan); });
    ForEachAllocFailure([&](const SessionPlan &plan, const Expected &) { run(plan); });
    ForEachConnectFailure([&](const SessionPlan &plan, const ConnectFailure &) { run(plan); });
    collect(TraceOfTheOtherCalls());
    KelPlatformReset();

    const SourceTable table = ReadLibrarySources();
    std::map<std::pair<std::string, int>, std::string> textAt;
    for (const Site &site : sites) {
        SCOPED_TRACE(site.module + " at " + std::to_string(site.nLine) + ": " + site.text);
        auto known = textAt.emplace(std::make_pair(site.module, site.nLine), site.text);
        EXPECT_EQ(known.first->second, site.text) << "two statements report at one place";
        auto files = table.moduleFiles.find(site.module);
        ASSERT_TRUE(files != table.moduleFiles.end()) << "no source file names this module";
        const auto &lines = table.statements.at(files->second[0]);
        auto statements = lines.find(site.nLine);
        ASSERT_TRUE(statements != lines.end()) << "no reporting statement at this line";
        ASSERT_EQ(1u, statements->second.size());
        const Statement &statement = statements->second[0];
        EXPECT_EQ(site.text == "Error:", statement.bError);
        if (!statement.bError) {
            EXPECT_EQ(statement.text, site.text);
        }
    }
    EXPECT_GT(sites.size(), 60u);
}

}  // namespace
