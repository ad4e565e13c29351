// The kelsrv program: its listening line, --help, exit codes and signals.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "raw_client.h"

namespace kelsrv_test {
namespace {

// The program as a child: a shell prints its own pid and execs the program
// in its place, so pid, stdout and the exit status are the program's.
class Program {
public:
    // shell runs first, in the shell that then becomes the program.
    explicit Program(const std::string &args, const std::string &shell = "")
        : err_(::testing::TempDir() + "kelsrv_stderr_" + std::to_string(getpid()) + "_" +
               std::to_string(counter_++)),  // ctest runs test programs side by side
          pipe_(popen(("echo $$; " + shell + " exec '" KELSRV_PROGRAM "' " + args + " 2>" + err_).c_str(),
                      "r")) {
        pid_ = std::stoi(ReadLine());
    }
    ~Program() {
        if (pipe_) {  // a test that failed midway
            Signal(SIGKILL);
            Wait();
        }
        std::remove(err_.c_str());
    }
    std::string ReadLine(bool toEnd = false) {
        std::string text;
        for (int c; pipe_ && (c = std::fgetc(pipe_)) != EOF && (toEnd || c != '\n');)
            text += static_cast<char>(c);
        return text;
    }
    std::string Stdout() { return ReadLine(true); }
    std::string Stderr() {
        std::ostringstream all;
        all << std::ifstream(err_).rdbuf();
        return all.str();
    }
    void Signal(int signal) { kill(pid_, signal); }
    double CpuSeconds() {  // user and system time so far, from /proc/PID/stat
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after "PID (NAME) "
        std::string field;
        unsigned long long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i)  // utime and stime are fields 14 and 15
            if (i >= 14) ticks += std::stoull(field);
        return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    int Wait() {  // the exit code; -1 if killed
        int status = pclose(pipe_);
        pipe_ = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static inline int counter_ = 0;
    std::string err_;
    FILE *pipe_;
    pid_t pid_ = 0;
};

TEST(KelsrvProgram, PortZeroPrintsThePortServesLogsAndStopsOnSigterm) {
    Program program("-p 0 -u alice:secret --server-id 0x000042");
    const std::string line = program.ReadLine(), prefix = "kelsrv listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    auto port = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
    RawClient client(port);
    const Bytes identify = Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 88), {0x53, 0, 0, 0x42}),
                refused = FrameBytes(KEL_RSP_LOGON, 0x00010002u), accepted = FrameBytes(KEL_RSP_LOGON, 0, 1);
    EXPECT_EQ(client.Ask(IdentifyRequest(), identify), identify);
    EXPECT_EQ(client.Read(84).size(), 84u);
    EXPECT_EQ(client.Ask(client.LogonRequest("alice", "wrong"), refused), refused);
    EXPECT_EQ(client.Ask(client.LogonRequest("alice", "secret"), accepted), accepted);
    EXPECT_EQ(client.Read(1), Bytes{0}) << "the default logon data";
    // A port in use is an exit code of its own.
    Program second("--port=" + std::to_string(port));
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Stderr().find("cannot listen on 127.0.0.1:" + std::to_string(port) +
                                   ": Address already in use (98)"),
              std::string::npos)
        << second.Stderr();
    program.Signal(SIGTERM);  // with the client still connected
    EXPECT_TRUE(client.AtEnd());
    EXPECT_EQ(program.Stdout(), "") << "only the listening line goes to stdout";
    EXPECT_EQ(program.Wait(), 0);
    std::string log = program.Stderr();
    EXPECT_EQ(log.rfind("kelsrv: 1 user(s); misbehaviour none; at most 1024 clients; idle time-out 300 s; "
                        "listen backlog ",
                        0),
              0u)
        << log;
    EXPECT_NE(log.find("kelsrv: connection 1: logon of 'alice' refused with 0x00010002\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("kelsrv: connection 1: logon of 'alice' accepted\n"), std::string::npos) << log;
}

TEST(KelsrvProgram, HelpDocumentsEveryCodeOptionAndLimitAndVersionSaysWhichOne) {
    Program help("--help");
    std::string text = help.Stdout();
    EXPECT_EQ(help.Wait(), 0);
    for (const char *item : {"--user NAME:PASSWORD[:PASSWORD2[:CODE]]",
                             "--users-file",
                             "0x80000100 echo",
                             "0x80000101 chatty",
                             "wrong-marker",
                             "identify-retcode",
                             "identify-length",
                             "logon-length",
                             "noskip",
                             "close-after=N",
                             "kelsrv listening on <address>:<port>",
                             "0x00010001 -> 104:",
                             "0x00010002 -> 106:",
                             "0x00010003 -> 107:",
                             "0x00010004 -> 104:",
                             "0x00010005 -> 108:",
                             "0x00020001 -> 200:",
                             "0x00030001 -> 202:",
                             "0x00030002 -> 203:",
                             "0x00030003 -> 204:",
                             "0x00030004 -> 201:",
                             "0x00040001 -> 205:",
                             "0x00050001 -> 202:",
                             "0x00050002 -> 201:",
                             "0x00060001 -> 200:",
                             "--max-clients N",
                             "--idle-timeout SECONDS",
                             "--version",
                             "Exit codes:\n  0  stopped by SIGINT or SIGTERM",
                             "\n  1  cannot start",
                             "\n  2  the command line is wrong",
                             "\n  3  a users file cannot be used",
                             "holds at most 1048597 bytes"})
        EXPECT_NE(text.find(item), std::string::npos) << item;
    Program version("--version");
    EXPECT_EQ(version.Stdout().rfind("kelsrv 1.", 0), 0u);
    EXPECT_EQ(version.Wait(), 0);
}

// Whatever keeps the server from starting says why on stderr, with its exit
// code, and nothing listens: stdout stays empty.
TEST(KelsrvProgram, AServerThatCannotStartSaysWhyAndExitsWithItsCode) {
    const std::string empty = ::testing::TempDir() + "kelsrv_empty_users_" + std::to_string(getpid());
    std::ofstream(empty) << "# nobody\n";
    const struct {
        std::string args;
        int exitCode;
        std::string error;
    } cases[] = {
        {"--bogus", 2, "kelsrv: unknown option '--bogus' (see --help)\n"},
        {"--misbehave sulk", 2, "kelsrv: unknown --misbehave mode 'sulk'\n"},
        {"-p 0 --address 999.1.1.1", 2, "kelsrv: bad address '999.1.1.1'"},
        {"-p 0 --users-file " + empty, 3, "kelsrv: users file " + empty + " names no user"},
        {"-p 0 --users-file " + ::testing::TempDir(), 3, " is a directory\n"},
        {"-p 0 -a 192.0.2.1", 1,
         "kelsrv: cannot listen on 192.0.2.1:0: Cannot assign requested address (99)\n"},
    };
    for (const auto &c : cases) {
        Program program(c.args);
        EXPECT_EQ(program.Stdout(), "") << c.args;
        EXPECT_EQ(program.Wait(), c.exitCode) << c.args;
        EXPECT_NE(program.Stderr().find(c.error), std::string::npos) << program.Stderr();
    }
    std::remove(empty.c_str());
    Program open("-p 0 --quiet");
    EXPECT_EQ(open.ReadLine().rfind("kelsrv listening on 127.0.0.1:", 0), 0u);
    open.Signal(SIGINT);
    EXPECT_EQ(open.Wait(), 0);
    EXPECT_EQ(open.Stderr().rfind("kelsrv: open mode: any non-empty user id logs on with any password;", 0),
              0u)
        << open.Stderr();
}

// With no descriptor left, accept fails for as long as the clients stay: the
// server must neither spin nor flood its log, keep serving the clients it
// has, and take the waiting ones once descriptors come back.
TEST(KelsrvProgram, RunningOutOfDescriptorsNeitherSpinsNorFloodsTheLog) {
    Program program("-p 0", "ulimit -n 40;");
    const std::string line = program.ReadLine(), prefix = "kelsrv listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    auto port = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
    auto identifies = [](RawClient *client) {  // the reply's frame, then its 88 bytes
        const Bytes frame = FrameBytes(KEL_RSP_IDENTIFY, 0, 88);
        return client->Ask(IdentifyRequest(), frame) == frame && client->Read(88).size() == 88;
    };
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 60; ++i) clients.push_back(std::make_unique<RawClient>(port));
    EXPECT_TRUE(identifies(clients.front().get()));
    const double cpuBefore = program.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(program.CpuSeconds() - cpuBefore, 0.5) << "the accept loop spins";
    EXPECT_TRUE(identifies(clients.front().get())) << "a client it has is served";
    clients.erase(clients.begin(), clients.begin() + 40);
    EXPECT_TRUE(identifies(clients.back().get())) << "the last client waits for ever";
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    std::istringstream log(program.Stderr());
    int failureLines = 0;
    for (std::string logLine; std::getline(log, logLine);)
        if (logLine.find("accept failed") != std::string::npos) {
            ++failureLines;
            EXPECT_NE(logLine.find("Too many open files (24)"), std::string::npos) << logLine;
        }
    EXPECT_GE(failureLines, 1) << "the descriptor limit was never reached";
    EXPECT_LE(failureLines, 4) << "more than one line a second";
}

}  // namespace
}  // namespace kelsrv_test
