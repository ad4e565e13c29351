// The kelsrv program: its listening line, --help, exit codes and signals.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

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
    explicit Program(const std::string &args)
        : err_(::testing::TempDir() + "kelsrv_stderr_" + std::to_string(getpid()) + "_" +
               std::to_string(counter_++)),  // ctest runs test programs side by side
          pipe_(popen(("echo $$; exec '" KELSRV_PROGRAM "' " + args + " 2>" + err_).c_str(), "r")) {
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
    Program second("-p " + std::to_string(port));
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Stderr().find("cannot listen"), std::string::npos);
    program.Signal(SIGTERM);  // with the client still connected
    EXPECT_TRUE(client.AtEnd());
    EXPECT_EQ(program.Stdout(), "") << "only the listening line goes to stdout";
    EXPECT_EQ(program.Wait(), 0);
    std::string log = program.Stderr();
    EXPECT_NE(log.find("kelsrv: connection 1: logon of 'alice' refused with 0x00010002\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("kelsrv: connection 1: logon of 'alice' accepted\n"), std::string::npos) << log;
}

TEST(KelsrvProgram, HelpDocumentsCodesAndCommandsAndABadCommandLineExitsWithTwo) {
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
                             "0x00060001 -> 200:"})
        EXPECT_NE(text.find(item), std::string::npos) << item;
    Program bad("--misbehave sulk");
    EXPECT_EQ(bad.Stdout(), "");
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_NE(bad.Stderr().find("unknown --misbehave mode 'sulk'"), std::string::npos);
}

}  // namespace
}  // namespace kelsrv_test
