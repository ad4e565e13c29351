// The parts of kelsrv that need no socket: the user table, the command line,
// the help text and the pieces of log lines (the logon check itself is
// tested over the wire in server_test).
#include <cstdio>
#include <fstream>
#include <istream>
#include <sstream>
#include <streambuf>

#include <gtest/gtest.h>

#include "kelapi.h"
#include "log.h"
#include "options.h"
#include "protocol.h"
#include "users.h"

namespace kelsrv_test {
namespace {

TEST(KelsrvUsers, UsersThatCouldNeverLogOnAreRejectedAndNoUsersLetsAnyoneIn) {
    kelsrv::User user;
    std::string error;
    for (const char *entry : {"", "onlyname", ":pw", "ninechars:pw", "a:ninechars", "a:b:ninechars",
                              "a:b:c:zz", "a:b:c:1:extra"}) {
        error.clear();
        EXPECT_FALSE(kelsrv::ParseUserOption(entry, &user, &error)) << entry;
        EXPECT_FALSE(error.empty()) << entry;
    }
    ASSERT_TRUE(kelsrv::ParseUserOption("nopw:", &user, &error)) << error;
    EXPECT_EQ(user.password, "");
    kelsrv::LogonRequest request;
    request.userId = "anyone";
    request.hasPassword2 = true;
    EXPECT_EQ(kelsrv::CheckLogon({}, request), 0u);
    request.userId = "";
    EXPECT_EQ(kelsrv::CheckLogon({}, request), kelsrv::kRcEmptyUser);
}

// Serves text, then fails the read as a disk or a network share can.
class FailingReadBuffer : public std::streambuf {
public:
    explicit FailingReadBuffer(std::string text) : text_(std::move(text)) {
        setg(&text_[0], &text_[0], &text_[0] + text_.size());
    }

protected:
    int_type underflow() override { throw std::ios_base::failure("read error (test)"); }

private:
    std::string text_;
};

TEST(KelsrvUsers, UsersFileSkipsCommentsAndAnythingButUsersIsAnError) {
    const std::string path = ::testing::TempDir() + "kelsrv_users_test.txt";
    std::ofstream(path) << "# users\n\nalice secret\n  bob - second 0x00020001\n";
    std::vector<kelsrv::User> users;
    std::string error;
    ASSERT_TRUE(kelsrv::LoadUsersFile(path, &users, &error)) << error;
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].userId + "/" + users[0].password, "alice/secret");
    EXPECT_EQ(users[1].userId + "/" + users[1].password + "/" + users[1].password2, "bob//second");
    EXPECT_EQ(users[1].refuseCode, 0x00020001u);
    // None of these may leave a server in its open mode, nor add a user.
    FailingReadBuffer failing("carol pw\ndave pw\n");
    std::istream failingStream(&failing);
    const struct {
        const char *content;  // nullptr: no such file
        std::string error;
    } bad[] = {
        {"alice secret\nlonelyname\n", path + ":2: expected NAME PASSWORD"},
        {"", "users file " + path + " names no user"},
        {"# nobody yet\n\n   \n", "users file " + path + " names no user"},
        {nullptr, "cannot read users file " + path},
    };
    for (const auto &c : bad) {
        std::remove(path.c_str());
        if (c.content) std::ofstream(path) << c.content;
        EXPECT_FALSE(kelsrv::LoadUsersFile(path, &users, &error)) << c.error;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(users.size(), 2u) << c.error;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(kelsrv::LoadUsersFile(::testing::TempDir(), &users, &error));
    EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
    EXPECT_FALSE(kelsrv::LoadUsers(failingStream, "share.txt", &users, &error));
    EXPECT_EQ(error, "reading users file share.txt failed after line 2");
    EXPECT_EQ(users.size(), 2u) << "the users read before the failure must not count";
}

// Parses the blank-separated words of line as kelsrv's arguments.
kelsrv::CommandLine Parse(const std::string &line, kelsrv::Options *options) {
    std::istringstream in(line);
    std::vector<std::string> words{"kelsrv"};
    for (std::string word; in >> word;) words.push_back(word);
    std::vector<const char *> argv;
    for (const std::string &word : words) argv.push_back(word.c_str());
    return kelsrv::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(KelsrvCommandLine, SetsEveryOptionInEitherSpelling) {
    kelsrv::Options options;
    options.log = [](const std::string &) {};
    kelsrv::CommandLine parsed = Parse(
        "-a 0.0.0.0 --port=0 --server-id 0xABCDEF --server-version=0x01020304 --description test-box "
        "--logon-data 255 -u a:b --user=c:d:e --misbehave close-after=97 --max-clients=3 --idle-timeout 0 -q "
        "--help",
        &options);
    ASSERT_EQ(parsed.exitCode, 0) << parsed.error;
    ASSERT_EQ(options.users.size(), 2u);
    EXPECT_EQ(options.address + "|" + std::to_string(options.port) + "|" + options.description + "|" +
                  std::to_string(options.logonData) + "|" + options.users[1].password2,
              "0.0.0.0|0|test-box|255|e");
    EXPECT_EQ(options.serverId, 0x53ABCDEFu);
    EXPECT_EQ(options.serverVersion, 0x01020304u);
    EXPECT_EQ(kelsrv::DescribeSettings(options),
              "2 user(s); misbehaviour close-after=97; at most 3 clients; no idle time-out");
    EXPECT_FALSE(options.log) << "-q";
    EXPECT_EQ(parsed.action, kelsrv::Action::Help);
    EXPECT_EQ(Parse("--version", &options).action, kelsrv::Action::Version);
    for (const auto &relay : {std::make_pair("--forward=[::1]:7 --record r --connect-timeout 2",
                                             "forwarding to [::1]:7 (connect time-out 2 s), recording to r"),
                              std::make_pair("--forward host.example",
                                             "forwarding to host.example:2893 "
                                             "(connect time-out 10 s)")}) {
        options = kelsrv::Options();
        ASSERT_EQ(Parse(relay.first, &options).exitCode, 0) << relay.first;
        EXPECT_EQ(kelsrv::DescribeSettings(options),
                  std::string(relay.second) + "; at most 1024 clients; idle time-out 300 s");
    }
    // The last mode given wins, "none" included; --help lists each one.
    const std::string help = kelsrv::HelpText();
    for (const char *name :
         {"none", "wrong-marker", "identify-retcode", "identify-length", "logon-length", "noskip"}) {
        options = kelsrv::Options();
        parsed = Parse(std::string("--misbehave close-after=5 --misbehave ") + name, &options);
        EXPECT_EQ(parsed.exitCode, 0) << parsed.error;
        EXPECT_EQ(kelsrv::MisbehaviourName(options), name);
        EXPECT_NE(help.find(std::string("\n  ") + name + " "), std::string::npos) << name;
    }
}

TEST(KelsrvCommandLine, SaysWhatIsWrongWithABadLine) {
    const std::string missing = ::testing::TempDir() + "kelsrv_no_such_users_file";
    const struct {
        std::string args, error;
        int exitCode = kelsrv::kExitUsage;
    } cases[] = {
        {"--bogus", "unknown option '--bogus' (see --help)"},
        {"--bogus=1", "unknown option '--bogus' (see --help)"},
        {"stray", "unexpected argument 'stray'"},
        {"--port", "option '--port' needs a value"},
        {"--quiet=yes", "option '--quiet' takes no value"},
        {"-p 65536", "bad port '65536'"},
        {"-p -1", "bad port '-1'"},
        {"--address 999.1.1.1", "bad address '999.1.1.1': an IPv4 or IPv6 address"},
        {"--address ::1::2", "bad address '::1::2'"},
        {"--server-id 0x1000000", "--server-id takes the low 24 bits"},
        {"--logon-data 256", "--logon-data takes 0 to 255"},
        {"--misbehave sulk", "unknown --misbehave mode 'sulk'"},
        {"--misbehave close-after=", "unknown --misbehave mode 'close-after='"},
        {"--description " + std::string(81, 'd'), "--description is longer than 80 bytes"},
        {"--max-clients 0", "--max-clients takes 1 to 100000"},
        {"--idle-timeout 1e3", "--idle-timeout takes 0 to 1000000 seconds"},
        {"--users-file " + missing, "cannot read users file " + missing, kelsrv::kExitUsersFile},
        {"--forward host:0", "bad --forward 'host:0': the port is 1 to 65535"},
        {"--forward ::1", "bad --forward '::1': write an IPv6 address in brackets, [ADDRESS]:PORT"},
        {"--forward [::1", "bad --forward '[::1': an IPv6 address ends with ']'"},
        {"--forward :2893", "bad --forward ':2893': no host"},
        {"--connect-timeout 3601", "--connect-timeout takes 0 to 3600 seconds"},
        {"--record r.jsonl", "--record needs --forward"},
        {"--forward host -u a:b", "--user is for kelsrv's own host; with --forward the host answers"},
        {"--replay " + missing, "cannot read record file " + missing, kelsrv::kExitRecordFile},
    };
    for (const auto &c : cases) {
        kelsrv::Options options;
        kelsrv::CommandLine parsed = Parse(c.args, &options);
        EXPECT_EQ(parsed.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(parsed.error.rfind(c.error, 0), 0u) << parsed.error;
    }
}

// The result --help names for each host return code is the one the client
// library gives (asked of the library itself).
TEST(KelsrvHelp, NamesTheResultTheLibraryGivesForEachHostCode) {
    const std::string help = kelsrv::HelpText();
    for (const kelsrv::ReturnCodeInfo &info : kelsrv::kReturnCodes) {
        char line[32];
        std::snprintf(line, sizeof line, "\n  0x%08X -> %d: ", static_cast<unsigned>(info.code),
                      info.libraryResult);
        EXPECT_NE(help.find(line), std::string::npos) << line;
        EXPECT_EQ(KelCmdErrToKelErr(info.code), info.libraryResult) << line;
    }
}

TEST(KelsrvLog, QuotedClientTextIsOneLineOfPrintableAsciiAndCut) {
    const struct {
        std::string text;
        std::size_t maxBytes;
        const char *quoted;
    } cases[] = {
        {"alice", 32, "'alice'"},
        {"", 32, "''"},
        {std::string("a\0b", 3), 32, "'a\\x00b'"},
        {"x\r\ny\tz", 32, "'x\\r\\ny\\tz'"},
        {"\x1b]0;title\x07", 32, "'\\x1b]0;title\\x07'"},
        {"it's \\", 32, "'it\\'s \\\\'"},
        {"\x7f\x80\xff", 32, "'\\x7f\\x80\\xff'"},
        {"abcdef", 4, "'abcd'..."},
        {"abcd", 4, "'abcd'"},
    };
    for (const auto &c : cases) EXPECT_EQ(kelsrv::Quoted(c.text, c.maxBytes), c.quoted) << c.quoted;
}

TEST(KelsrvLog, RepeatedFailuresMakeOneLineASecondWithTheirCount) {
    using std::chrono::milliseconds;
    const kelsrv::FailureReport::Clock::time_point t0;
    kelsrv::FailureReport report("accept");
    const struct {
        int atMs;
        const char *failure;  // nullptr: only ask for what is pending
        const char *line;
    } steps[] = {
        {0, "A (1)", "accept failed 1 time: A (1)"},
        {10, "A (1)", ""},
        {900, "B (2)", ""},
        {999, nullptr, ""},
        {1000, nullptr, "accept failed 2 times in 1.0 s: B (2)"},
        {1001, "B (2)", ""},
        {4500, nullptr, "accept failed 1 time in 3.5 s: B (2)"},
        {9000, nullptr, ""},
        {9000, "C (3)", "accept failed 1 time in 4.5 s: C (3)"},
        {9001, "C (3)", ""},
    };
    for (const auto &step : steps) {
        const auto now = t0 + milliseconds(step.atMs);
        EXPECT_EQ(step.failure ? report.Failed(step.failure, now) : report.Pending(now), step.line)
            << step.atMs;
    }
    EXPECT_EQ(report.Pending(t0 + milliseconds(9002), true), "accept failed 1 time in 0.0 s: C (3)");
    EXPECT_EQ(report.Pending(t0 + milliseconds(9003), true), "") << "nothing left to report";
}

}  // namespace
}  // namespace kelsrv_test
