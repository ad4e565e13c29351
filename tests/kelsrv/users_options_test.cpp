// The user table and the command line of kelsrv (the logon check itself is
// tested over the wire in server_test).
#include <cstdio>
#include <fstream>
#include <istream>
#include <streambuf>

#include <gtest/gtest.h>

#include "options.h"
#include "protocol.h"
#include "users.h"

namespace kelsrv_test {
namespace {

TEST(KelsrvUsers, SpecsThatCouldNeverMatchAreRejectedAndNoUsersLetsAnyoneIn) {
    kelsrv::User user;
    std::string error;
    for (const char *entry : {"", "onlyname", ":pw", "ninechars:pw", "a:ninechars", "a:b:ninechars",
                              "a:b:c:zz", "a:b:c:1:extra"}) {
        error.clear();
        EXPECT_FALSE(kelsrv::ParseUserSpec(entry, &user, &error)) << entry;
        EXPECT_FALSE(error.empty()) << entry;
    }
    ASSERT_TRUE(kelsrv::ParseUserSpec("nopw:", &user, &error)) << error;
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
        error.clear();
        EXPECT_FALSE(kelsrv::LoadUsersFile(path, &users, &error)) << c.error;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(users.size(), 2u) << c.error;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(kelsrv::LoadUsersFile(::testing::TempDir(), &users, &error));
    EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
    FailingReadBuffer failing("carol pw\ndave pw\n");
    std::istream in(&failing);
    EXPECT_FALSE(kelsrv::LoadUsers(in, "share.txt", &users, &error));
    EXPECT_EQ(error, "reading users file share.txt failed after line 2");
    EXPECT_EQ(users.size(), 2u) << "the users read before the failure must not count";
}

kelsrv::CommandLine Parse(std::vector<const char *> args, kelsrv::Options *options) {
    args.insert(args.begin(), "kelsrv");
    return kelsrv::ParseCommandLine(static_cast<int>(args.size()), args.data(), options);
}

TEST(KelsrvCommandLine, SetsEveryOptionInEitherSpelling) {
    kelsrv::Options options;
    options.log = [](const std::string &) {};
    kelsrv::CommandLine parsed = Parse({"-a",
                                        "0.0.0.0",
                                        "--port=0",
                                        "--server-id",
                                        "0xABCDEF",
                                        "--server-version=0x01020304",
                                        "--description",
                                        "test box",
                                        "--logon-data",
                                        "255",
                                        "-u",
                                        "a:b",
                                        "--user=c:d:e",
                                        "--misbehave",
                                        "close-after=97",
                                        "--max-clients=3",
                                        "--idle-timeout",
                                        "0",
                                        "-q",
                                        "--help"},
                                       &options);
    ASSERT_EQ(parsed.exitCode, 0) << parsed.error;
    EXPECT_EQ(options.address + "|" + std::to_string(options.port) + "|" + options.description,
              "0.0.0.0|0|test box");
    EXPECT_EQ(options.serverId, 0x53ABCDEFu);
    EXPECT_EQ(options.serverVersion, 0x01020304u);
    EXPECT_EQ(options.logonData, 255);
    ASSERT_EQ(options.users.size(), 2u);
    EXPECT_EQ(options.users[1].password2, "e");
    EXPECT_EQ(kelsrv::MisbehaviourName(options), "close-after=97");
    EXPECT_EQ(options.closeAfterBytes, 97u);
    EXPECT_EQ(options.maxClients, 3u);
    EXPECT_EQ(options.idleTimeout.count(), 0);
    EXPECT_FALSE(options.log) << "-q";
    EXPECT_EQ(parsed.action, kelsrv::Action::Help);
    EXPECT_EQ(Parse({"--version"}, &options).action, kelsrv::Action::Version);
    options = kelsrv::Options();
    EXPECT_EQ(kelsrv::DescribeSettings(options),
              "open mode: any non-empty user id logs on with any password; misbehaviour none; at most 1024 "
              "clients; idle time-out 300 s");
    for (const char *name :
         {"none", "wrong-marker", "identify-retcode", "identify-length", "logon-length", "noskip"}) {
        options = kelsrv::Options();  // the last mode given wins, "none" included
        parsed = Parse({"--misbehave", "close-after=5", "--misbehave", name}, &options);
        EXPECT_EQ(parsed.exitCode, 0) << parsed.error;
        EXPECT_EQ(kelsrv::MisbehaviourName(options), name);
    }
}

TEST(KelsrvCommandLine, SaysWhatIsWrongWithABadLine) {
    const std::string description81(81, 'd'), missing = ::testing::TempDir() + "kelsrv_no_such_users_file";
    const struct {
        std::vector<const char *> args;
        std::string error;
        int exitCode = kelsrv::kExitUsage;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus' (see --help)"},
        {{"--bogus=1"}, "unknown option '--bogus' (see --help)"},
        {{"-x", "1"}, "unknown option '-x' (see --help)"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"", "1"}, "unexpected argument ''"},
        {{"--port"}, "option '--port' needs a value"},
        {{"--quiet=yes"}, "option '--quiet' takes no value"},
        {{"-p", "65536"}, "bad port '65536'"},
        {{"-p", "-1"}, "bad port '-1'"},
        {{"--address", "999.1.1.1"}, "bad address '999.1.1.1': a dotted IPv4 address"},
        {{"--address=localhost"}, "bad address 'localhost'"},
        {{"--server-id", "0x1000000"}, "--server-id takes the low 24 bits"},
        {{"--logon-data", "256"}, "--logon-data takes 0 to 255"},
        {{"--misbehave", "sulk"}, "unknown --misbehave mode 'sulk'"},
        {{"--misbehave", "close-after="}, "unknown --misbehave mode 'close-after='"},
        {{"--description", description81.c_str()}, "--description is longer than 80 bytes"},
        {{"--max-clients", "0"}, "--max-clients takes 1 to 100000"},
        {{"--idle-timeout", "1e3"}, "--idle-timeout takes 0 to 1000000 seconds"},
        {{"--users-file", missing.c_str()}, "cannot read users file " + missing, kelsrv::kExitUsersFile},
    };
    for (const auto &c : cases) {
        kelsrv::Options options;
        kelsrv::CommandLine parsed = Parse(c.args, &options);
        EXPECT_EQ(parsed.exitCode, c.exitCode) << c.args[0];
        EXPECT_EQ(parsed.error.rfind(c.error, 0), 0u) << parsed.error;
    }
}

}  // namespace
}  // namespace kelsrv_test
