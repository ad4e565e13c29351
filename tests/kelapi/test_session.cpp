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

// What a session must give: the step that fails and its code, and where
// given, the socket sends up to the release.
struct Expected {
    SessionStep step;
    int32_t nCode;
    std::vector<size_t> sends = {};
    bool bSends = false;
};

size_t Sum(const std::vector<size_t> &sizes, size_t nCount) {
    size_t nSum = 0;
    for (size_t i = 0; i < nCount && i < sizes.size(); ++i) nSum += sizes[i];
    return nSum;
}

// Every session of the sweeps, on every path:
// - the sound session cut after byte k, for every k, of what the server sends
//   (its replies end there) or of what the client sends (the server then has
//   answered the requests that reached it whole), by a close or a reset (its
//   bytes arriving in small pieces). The request or reply that the cut falls
//   into fails its step with 102 (a disconnect's failure shows only in the trace);
// - the Nth allocation refused, once or from then on: the system path
//   allocates its connection and record inside KelAllocHoxSystem, the others
//   the connection in KelAllocConnection and (External) the record in KelAllocHoxSystemExt;
// - a connect that the system or the server fails, with the sends that leaves:
//   the requests, and the disconnect frame wherever the socket is open (the
//   busy flag held by the application only where the caller has the connection).
void ForEachSession(const std::function<void(const SessionPlan &, const Expected &)> &visit) {
    const std::vector<Bytes> replies = SoundHostReplies();
    auto plan = [&](SessionPath path, const Bytes &identify, const Bytes &logon) {
        SessionPlan p;
        p.path = path;
        p.host = Concat({identify, logon, replies[2], replies[3]});
        return p;
    };
    const SessionStep kaSteps[] = {SessionStep::Open, SessionStep::Open, SessionStep::Exchange,
                                   SessionStep::None};
    const std::vector<size_t> replySizes = Sizes(replies), requestSizes = SessionRequestSizes(1100);
    for (SessionPath path : kaSessionPaths) {
        for (int nWay = 0; nWay < 4; ++nWay) {
            bool bClientSide = nWay & 1, bReset = nWay & 2;
            const std::vector<size_t> &sizes = bClientSide ? requestSizes : replySizes;
            for (size_t k = 0, nPart = 0; k <= Sum(sizes, 4); ++k) {
                while (nPart < 4 && k >= Sum(sizes, nPart + 1)) ++nPart;
                SessionPlan cut = plan(path, replies[0], replies[1]);
                cut.bReset = bReset;
                cut.nChunk = bReset ? 7 : 0;
                if (bClientSide) cut.nSendCut = k;
                cut.nRecvCut = bClientSide ? Sum(replySizes, nPart) : k;
                SessionStep step = nPart < 4 ? kaSteps[nPart] : SessionStep::None;
                visit(cut, {step, step == SessionStep::None ? KEL_OK : KEL_ERR_COMM});
            }
        }
    }
    const struct {
        SessionPath path;
        int nFailAt;
        Expected expected;
    } allocs[] = {
        {SessionPath::System, 1, {SessionStep::Open, KEL_ERR_SYSTEM}},
        {SessionPath::System, 2, {SessionStep::Open, KEL_ERR_SYSTEM}},
        {SessionPath::System, 3, {SessionStep::None, KEL_OK}},
        {SessionPath::External, 1, {SessionStep::Alloc, KEL_ERR_SYSTEM}},
        {SessionPath::External, 2, {SessionStep::Open, KEL_ERR_SYSTEM}},
        {SessionPath::External, 3, {SessionStep::None, KEL_OK}},
        {SessionPath::Direct, 1, {SessionStep::Alloc, KEL_ERR_SYSTEM}},
        {SessionPath::Direct, 2, {SessionStep::None, KEL_OK}},
    };
    for (const auto &c : allocs) {
        for (bool bFromThenOn : {false, true}) {
            SessionPlan refused = plan(c.path, replies[0], replies[1]);
            refused.allocFail = FailPlan{c.nFailAt, bFromThenOn, 0};
            visit(refused, c.expected);
        }
    }
    auto logon = [](uint32_t dwRetCode, const Bytes &data) {
        return WireRecord(Record(KEL_RSP_LOGON, 0, dwRetCode, 0, (uint32_t)data.size()), data);
    };
    // The same code as a logon refusal, on the identify reply: a protocol fault.
    const Bytes coded =
        WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0x00010001u, 0, 88), IdentifyBlock(0x53000001u));
    const Bytes short80 = WireRecord(Record(KEL_RSP_IDENTIFY, 0, 0, 0, 80), Bytes(80, 0x53));
    const Bytes noSkip = Concat({WireRecord(Record(0x777u, 0, 0, 0, 0, KEL_FLAG_NOSKIP)), IdentifyReply()});
    const Bytes &ident = replies[0], &logged = replies[1];
    const std::vector<size_t> identifyOnly = {97, 5}, both = {97, 50, 5};
    const struct {
        FailPlan SessionPlan::*fail;  // the seam entry whose first call fails, if any
        Bytes identify, logon;        // the server's replies
        int32_t nExpected;
        std::vector<size_t> sends;
    } connects[] = {
        {&SessionPlan::socketFail, ident, logged, KEL_ERR_SYSTEM, {}},
        {&SessionPlan::bindFail, ident, logged, KEL_ERR_SYSTEM, {5}},
        {&SessionPlan::connectFail, ident, logged, KEL_ERR_NOT_CONNECTED, {}},
        {nullptr, ident, logged, KEL_ERR_LOCKED, {5}},
        {nullptr, coded, logged, KEL_ERR_PROTOCOL, identifyOnly},
        {nullptr, short80, logged, KEL_ERR_PROTOCOL, identifyOnly},
        {nullptr, IdentifyReply(0x43123456u), logged, KEL_ERR_PROTOCOL, identifyOnly},  // no marker
        {nullptr, noSkip, logged, KEL_ERR_PROTOCOL, identifyOnly},
        {nullptr, ident, logon(0x00010001u, {}), KEL_ERR_HOST_104, both},
        {nullptr, ident, logon(0x00030003u, {}), KEL_ERR_HOST_204, both},
        {nullptr, ident, logon(0x00050003u, {1}), KEL_ERR_SYSTEM, both},
        {nullptr, ident, logon(0, {}), KEL_ERR_PROTOCOL, both},
        {nullptr, ident, logon(0, {1, 2}), KEL_ERR_PROTOCOL, both},
    };
    for (const auto &c : connects) {
        for (SessionPath path : kaSessionPaths) {
            SessionPlan failed = plan(path, c.identify, c.logon);
            failed.bLockHeld = c.nExpected == KEL_ERR_LOCKED;
            if (failed.bLockHeld && path == SessionPath::System) continue;
            if (c.fail) (failed.*c.fail).nFailAt = 1;
            visit(failed, {SessionStep::Open, c.nExpected, c.sends, true});
        }
    }
}

// Each gives its code and leaves the state that fake_session.cpp checks:
// half-open records refuse a connect and a free until KelDisconnect, which
// then succeeds and the record connects again; an owned connection is
// disconnected and freed; nothing is left allocated or open.
TEST(SessionSweep, EveryFaultGivesItsDocumentedCodeAndLeavesNothingBehind) {
    int nSessions = 0, nFailed = 0;
    ForEachSession([&](const SessionPlan &plan, const Expected &expected) {
        ++nSessions;
        SessionResult r = RunSession(plan);
        if (nFailed < 5 && (!r.violations.empty() || r.failedStep != expected.step ||
                            r.nFailure != expected.nCode || (expected.bSends && r.sends != expected.sends))) {
            ++nFailed;
            std::string why;
            for (const std::string &violation : r.violations) why += "\n  " + violation;
            ADD_FAILURE() << "path " << (int)plan.path << ", server's bytes cut after " << plan.nRecvCut
                          << ", client's after " << plan.nSendCut << (plan.bReset ? " by a reset" : "")
                          << ", allocation " << plan.allocFail.nFailAt
                          << (plan.allocFail.bFromThenOn ? " on" : "") << ", busy " << plan.bLockHeld
                          << ": step " << (int)r.failedStep << " failed with " << r.nFailure
                          << ", expected step " << (int)expected.step << " with " << expected.nCode << ", "
                          << r.sends.size() << " sends" << why;
        }
    });
    KelPlatformReset();
    EXPECT_GT(nSessions, 10000);
}

// ---- Refused arguments and handles

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
    KelCommand cmd = Record(1), withData = Record(1, 0, 0, 0, 8);
    KelSystemInfo info;
    std::string sLongHost = std::string(256, 'h');  // one character more than a host may have
};

// A refused call, named as it is written.
#define REFUSED(call, nExpected, nLines)           \
  {                                                \
#    call, [=] { return call; }, nExpected, nLines \
  }

std::vector<RefusedCall> Refusals::Calls() {
    void *const hSys = &system, *const hCon = hUnconnected;
    const char *const p = "p";
    // KelSend clears the count before it checks the handle and the socket,
    // and an unconnected connection buffers nothing.
    auto send = [=](void *x) {
        uint32_t dwSent = 99;
        int32_t nRc = KelSend(x, "x", 1, &dwSent, 1);
        return dwSent == 0 && static_cast<KelConnection *>(hCon)->dwSendLen == 0 ? nRc : -1;
    };
    const char *const szLongHost = sLongHost.c_str();
    // KelExchange clears its count once its pointers pass, and sends nothing.
    auto exchange = [=](void *x) {
        uint32_t dwGot = 99;
        KelCommand reply;
        int32_t nRc = KelExchange(x, &cmd, abData, 1, &reply, abData, sizeof abData, &dwGot);
        return dwGot == 0 ? nRc : -1;
    };
    return {
        REFUSED(KelAllocConnection(1, 0, nullptr, p, p, &hOut), 1, 2),
        REFUSED(KelAllocConnectionByName(nullptr, 0, p, p, p, &hOut), 1, 2),
        REFUSED(KelAllocConnectionByName(szLongHost, 0, p, p, p, &hOut), 1, 2),
        REFUSED(KelAllocConnectionByName("h", 0, p, nullptr, p, &hOut), 1, 2),
        REFUSED(KelAllocConnection(1, 0, p, nullptr, p, &hOut), 1, 2),
        REFUSED(KelAllocConnection(1, 0, p, p, p, nullptr), 1, 2),
        REFUSED(KelAllocHoxSystem(1, 0, nullptr, p, p, &hKeep), 1, 2),
        REFUSED(KelAllocHoxSystem(1, 0, p, nullptr, p, &hKeep), 1, 2),
        REFUSED(KelAllocHoxSystem(1, 0, p, p, p, nullptr), 1, 2),
        REFUSED(KelAllocHoxSystemExt(nullptr, &hKeep), 1, 2),
        REFUSED(KelAllocHoxSystemExt(hCon, nullptr), 1, 2),
        REFUSED(KelAllocHoxSystemExt(hOpen, &hKeep), 100, 4),
        REFUSED(KelFreeConnection(nullptr), 1, 1),
        REFUSED(KelFreeConnection(hSys), 4, 2),
        REFUSED(KelFreeConnection(hOpen), 5, 2),
        REFUSED(KelLock(nullptr), 1, 1),
        REFUSED(KelLock(hSys), 4, 2),
        REFUSED(KelLock(hOpen), 109, 2),
        REFUSED(KelUnLock(nullptr), 1, 1),
        REFUSED(KelUnLock(hSys), 4, 2),
        REFUSED(KelSetTimeout(nullptr, 1), 1, 1),
        REFUSED(KelSetTimeout(hSys, 1), 4, 2),
        REFUSED(KelConnect(nullptr), 1, 1),
        REFUSED(KelConnect(hSys), 4, 2),
        REFUSED(KelConnect(hOpen), 100, 2),
        REFUSED(KelDisconnect(nullptr), 1, 1),
        REFUSED(KelDisconnect(hSys), 4, 2),
        REFUSED(KelDisconnect(hCon), 101, 2),
        REFUSED(KelSend(nullptr, abData, 1, &dwCount, 1), 1, 1),
        REFUSED(KelSend(hOpen, abData, 1, nullptr, 1), 1, 1),
        REFUSED(send(hSys), 4, 1),
        REFUSED(send(hCon), 101, 1),
        REFUSED(KelReceive(nullptr, abData, 1, &dwCount, 1), 1, 1),
        REFUSED(KelReceive(hSys, abData, 1, &dwCount, 1), 4, 1),
        REFUSED(KelReceive(hCon, abData, 1, &dwCount, 1), 101, 1),
        REFUSED(KelSendCommand(nullptr, &cmd, 1), 1, 1),
        REFUSED(KelSendCommand(hOpen, nullptr, 1), 1, 1),
        REFUSED(KelSendCommand(hSys, &cmd, 1), 4, 2),
        REFUSED(KelSendCommand(hCon, &cmd, 1), 101, 2),
        REFUSED(KelReceiveCommand(nullptr, &cmd), 1, 1),
        REFUSED(KelReceiveCommand(hOpen, nullptr), 1, 1),
        REFUSED(KelReceiveCommand(hSys, &cmd), 4, 2),
        REFUSED(KelDispatchCommand(nullptr, &cmd), 1, 1),
        REFUSED(KelDispatchCommand(hOpen, nullptr), 1, 1),
        REFUSED(KelWaitForResponse(nullptr, 1, &cmd), 1, 1),
        REFUSED(KelWaitForResponse(hOpen, 1, nullptr), 1, 1),
        REFUSED(KelWaitForResponse(hSys, 1, &cmd), 4, 3),
        REFUSED(KelExchange(nullptr, &cmd, abData, 1, &cmd, abData, 8, &dwCount), 1, 1),
        REFUSED(KelExchange(hOpen, nullptr, abData, 1, &cmd, abData, 8, &dwCount), 1, 1),
        REFUSED(KelExchange(hOpen, &cmd, abData, 1, nullptr, abData, 8, &dwCount), 1, 1),
        REFUSED(KelExchange(hOpen, &cmd, abData, 1, &cmd, abData, 8, nullptr), 1, 1),
        REFUSED(KelExchange(hOpen, &withData, nullptr, 1, &cmd, abData, 8, &dwCount), 1, 1),
        REFUSED(KelExchange(hOpen, &cmd, abData, 1, &cmd, nullptr, 8, &dwCount), 1, 1),
        REFUSED(exchange(hSys), 4, 3),
        REFUSED(exchange(hCon), 101, 3),
        REFUSED(KelGetSystemInfo(nullptr, &info), 1, 1),
        REFUSED(KelGetSystemInfo(hSys, nullptr), 1, 1),
        REFUSED(KelGetSystemInfo(hCon, &info), 4, 2),
        REFUSED(KelGetSystemInfo(&unconnected, &info), 3, 2),
        REFUSED(KelGetConnection(nullptr, &hOut), 1, 1),
        REFUSED(KelGetConnection(hSys, nullptr), 1, 1),
        REFUSED(KelGetConnection(hCon, &hOut), 4, 2),
        REFUSED(KelSetConnection(nullptr, hCon), 1, 1),
        REFUSED(KelSetConnection(hSys, nullptr), 1, 1),
        REFUSED(KelSetConnection(hCon, hCon), 4, 2),
        // KelGetSystemInfo would read a connection record past the end of the system's.
        REFUSED(KelSetConnection(hSys, hSys), 4, 2),
        REFUSED(KelFreeHoxSystem(nullptr), 1, 1),
        REFUSED(KelFreeHoxSystem(hCon), 4, 2),
        REFUSED(KelIPToStr(1, nullptr), 1, 1),
        REFUSED(KelScramble(nullptr, 1, abData), 1, 1),
    };
}

class RefusedCalls : public SeamTest {};

// Each refusal gives its code and changes nothing: no record, no handle
// variable of the caller, no allocation left, no socket call. It says why
// in a reason of its own ("STEP: DETAIL").
TEST_F(RefusedCalls, NullPointersAndHandlesOfTheOtherKindChangeNothing) {
    Refusals refusals;
    const Bytes open(static_cast<uint8_t *>(refusals.hOpen),
                     static_cast<uint8_t *>(refusals.hOpen) + sizeof(KelConnection));
    const KelHoxSystem system = refusals.system;
    for (const RefusedCall &c : refusals.Calls()) {
        TraceCapture trace;
        PlantReason("planted");
        EXPECT_EQ(c.nExpected, c.call()) << c.szCall;
        EXPECT_NE(std::string::npos, Reason().find(": ")) << c.szCall << ": " << Reason();
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

// ---- One statement per trace location

// The library's sources as the trace sees them: which file names each
// module, and the reporting statements on each line of each file ("Error:"
// for KEL_FAIL, else the text literal of a KEL_TRACE_*).
struct SourceTable {
    std::map<std::string, std::vector<std::string>> moduleFiles;
    std::map<std::string, std::map<int, std::vector<std::string>>> statements;  // by file, then line
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
        }
    }
    return table;
}

// Each module is one source file; only the module files report, one
// statement per line at most (the test below finds any site whose line
// names no statement, as a writer called without the macros would).
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
    ForEachSession([&](const SessionPlan &plan, const Expected &) { collect(RunSession(plan).trace); });
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
