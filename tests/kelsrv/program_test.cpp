// The kelsrv program: its listening line, --help, exit codes and signals.
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "raw_client.h"

namespace kelsrv_test {
namespace {

// The program running as a child process with stdout and stderr on pipes.
class Program {
public:
  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), KELSRV_PROGRAM);
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      std::vector<char *> argv;
      for (std::string &arg : args)
        argv.push_back(&arg[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~Program() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // One line of stdout without its newline ("" at end of output).
  std::string ReadLine() {
    std::string line;
    char c;
    while (read(out_, &c, 1) == 1 && c != '\n')
      line += c;
    return line;
  }

  static std::string ReadAll(int fd) {
    std::string all;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
      all.append(chunk, static_cast<std::size_t>(n));
    return all;
  }
  std::string Stdout() { return ReadAll(out_); }
  std::string Stderr() { return ReadAll(err_); }

  void Signal(int signal) { kill(pid_, signal); }

  // The exit code, or -1 if the program did not exit normally.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
    return status_ == 1000 ? -1 : status_;
  }

  bool Started() const { return pid_ > 0; }

private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  int status_ = -1;
};

std::uint16_t ListeningPort(const std::string &line) {
  std::smatch match;
  static const std::regex form("kelsrv listening on 127\\.0\\.0\\.1:([0-9]+)");
  return std::regex_match(line, match, form) ? static_cast<std::uint16_t>(std::stoi(match[1])) : 0;
}

TEST(KelsrvProgram, PortZeroPrintsThePortServesAndStopsOnSigterm) {
  Program program({"-p", "0", "-u", "alice:secret", "--server-id", "0x000042"});
  ASSERT_TRUE(program.Started());
  std::string line = program.ReadLine();
  std::uint16_t port = ListeningPort(line);
  ASSERT_NE(port, 0) << line;
  {
    RawClient client(port);
    Bytes block;
    EXPECT_EQ(client.Identify(&block), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{0x53, 0, 0, 0x42}));
    EXPECT_EQ(client.Logon("alice", "secret"), ReplyBytes(KEL_RSP_LOGON, 0, 1));
    EXPECT_EQ(client.Logon("alice", "wrong"), ReplyBytes(KEL_RSP_LOGON, 0x00010002u));
    EXPECT_EQ(client.Exchange(Request(KEL_CMD_DISCONNECT)), ReplyBytes(KEL_RSP_DISCONNECT));
    EXPECT_TRUE(client.AtEnd());
  }
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(), 0);
  std::string log = program.Stderr();
  EXPECT_NE(log.find("kelsrv: connection 1: logon of 'alice' accepted\n"), std::string::npos) << log;
  EXPECT_NE(log.find("kelsrv: connection 1: logon of 'alice' refused with 0x00010002\n"), std::string::npos) << log;
  EXPECT_EQ(program.Stdout(), "") << "only the listening line goes to stdout";
}

TEST(KelsrvProgram, SigintStopsItWithOpenConnections) {
  Program program({"--port", "0", "--quiet"});
  std::uint16_t port = ListeningPort(program.ReadLine());
  ASSERT_NE(port, 0);
  RawClient idle(port);
  ASSERT_TRUE(idle.Connected());
  EXPECT_EQ(idle.Identify(), ReplyBytes(KEL_RSP_IDENTIFY, 0, 88));
  program.Signal(SIGINT);
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_TRUE(idle.AtEnd());
  EXPECT_EQ(program.Stderr(), "") << "--quiet logs nothing";
}

TEST(KelsrvProgram, HelpDocumentsCodesCommandsAndModes) {
  Program program({"--help"});
  std::string help = program.Stdout();
  EXPECT_EQ(program.Wait(), 0);
  for (const char *text : {"--port", "--user NAME:PASSWORD[:PASSWORD2[:CODE]]", "--users-file", "--misbehave",
                           "0x00010001 -> 104", "0x00060001 -> 200", "echo", "chatty", "close-after=N",
                           "kelsrv listening on"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
}

TEST(KelsrvProgram, BadCommandLineExitsWithTwoAndSaysWhy) {
  Program program({"--misbehave", "sulk"});
  EXPECT_EQ(program.Wait(), 2);
  EXPECT_NE(program.Stderr().find("unknown --misbehave mode 'sulk'"), std::string::npos);
  EXPECT_EQ(program.Stdout(), "");
}

TEST(KelsrvProgram, PortInUseExitsWithOne) {
  Program first({"-p", "0", "-q"});
  std::uint16_t port = ListeningPort(first.ReadLine());
  ASSERT_NE(port, 0);
  Program second({"-p", std::to_string(port)});
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.Stderr().find("cannot listen"), std::string::npos);
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
}

} // namespace
} // namespace kelsrv_test
