// The user table, the logon check and the command line of kelsrv.
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "options.h"
#include "protocol.h"
#include "users.h"

namespace kelsrv_test {
namespace {

using kelsrv::User;

kelsrv::LogonRequest Logon(const std::string &user, const std::string &password, const std::string &password2 = "") {
  kelsrv::LogonRequest request;
  request.userId = user;
  request.password = kelsrv::MakeCredential(password);
  request.hasPassword2 = !password2.empty();
  request.password2 = kelsrv::MakeCredential(password2);
  return request;
}

std::vector<User> Table() {
  std::vector<User> users(3);
  std::string error;
  EXPECT_TRUE(kelsrv::ParseUserSpec("alice:secret", &users[0], &error)) << error;
  EXPECT_TRUE(kelsrv::ParseUserSpec("bob:pw:second", &users[1], &error)) << error;
  EXPECT_TRUE(kelsrv::ParseUserSpec("carol:pw::0x00010005", &users[2], &error)) << error;
  return users;
}

TEST(KelsrvUsers, SpecGivesAllFourFields) {
  std::vector<User> users = Table();
  EXPECT_EQ(users[1].userId, "bob");
  EXPECT_EQ(users[1].password, "pw");
  EXPECT_EQ(users[1].password2, "second");
  EXPECT_EQ(users[1].refuseCode, 0u);
  EXPECT_EQ(users[2].password2, "");
  EXPECT_EQ(users[2].refuseCode, 0x00010005u);
}

TEST(KelsrvUsers, SpecsThatCouldNeverMatchAreRejected) {
  User user;
  std::string error;
  for (const char *entry : {"", "onlyname", ":pw", "ninechars:pw", "a:ninechars", "a:b:ninechars", "a:b:c:zz",
                           "a:b:c:1:extra"}) {
    error.clear();
    EXPECT_FALSE(kelsrv::ParseUserSpec(entry, &user, &error)) << entry;
    EXPECT_FALSE(error.empty()) << entry;
  }
  EXPECT_TRUE(kelsrv::ParseUserSpec("eightchr:12345678:87654321", &user, &error)) << error;
  EXPECT_TRUE(kelsrv::ParseUserSpec("nopw:", &user, &error)) << error;
  EXPECT_EQ(user.password, "");
}

TEST(KelsrvUsers, LogonCheckGivesTheCodeOfTheFirstMismatch) {
  std::vector<User> users = Table();
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("alice", "secret")), 0u);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("bob", "pw", "second")), 0u);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("", "secret")), kelsrv::kRcEmptyUser);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("dave", "secret")), kelsrv::kRcUnknownUser);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("Alice", "secret")), kelsrv::kRcUnknownUser);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("alice", "Secret")), kelsrv::kRcWrongPassword);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("alice", "secret", "extra")), kelsrv::kRcWrongPassword2);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("bob", "pw")), kelsrv::kRcWrongPassword2);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("bob", "pw", "secondx")), kelsrv::kRcWrongPassword2);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("bob", "wrong", "second")), kelsrv::kRcWrongPassword);
  EXPECT_EQ(kelsrv::CheckLogon(users, Logon("carol", "pw")), 0x00010005u);
}

TEST(KelsrvUsers, WithoutUsersAnyNonEmptyUserIsLetIn) {
  EXPECT_EQ(kelsrv::CheckLogon({}, Logon("anyone", "anything", "more")), 0u);
  EXPECT_EQ(kelsrv::CheckLogon({}, Logon("", "")), kelsrv::kRcEmptyUser);
}

class KelsrvUsersFile : public ::testing::Test {
protected:
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::string &text) { std::ofstream(path_) << text; }
  std::string path_ = ::testing::TempDir() + "kelsrv_users_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
};

TEST_F(KelsrvUsersFile, ReadsUsersAndSkipsCommentsAndBlankLines) {
  Write("# users\n\nalice secret\n  bob - second 0x00020001\n");
  std::vector<User> users;
  std::string error;
  ASSERT_TRUE(kelsrv::LoadUsersFile(path_, &users, &error)) << error;
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].userId, "alice");
  EXPECT_EQ(users[0].password, "secret");
  EXPECT_EQ(users[1].password, "");
  EXPECT_EQ(users[1].password2, "second");
  EXPECT_EQ(users[1].refuseCode, 0x00020001u);
}

TEST_F(KelsrvUsersFile, BadLineNamesFileAndLine) {
  Write("alice secret\nlonelyname\n");
  std::vector<User> users;
  std::string error;
  EXPECT_FALSE(kelsrv::LoadUsersFile(path_, &users, &error));
  EXPECT_NE(error.find(path_ + ":2:"), std::string::npos) << error;
  EXPECT_FALSE(kelsrv::LoadUsersFile(path_ + ".missing", &users, &error));
}

bool Parse(std::vector<const char *> args, kelsrv::Options *options, std::string *error, bool *help = nullptr) {
  args.insert(args.begin(), "kelsrv");
  bool ignored = false;
  return kelsrv::ParseCommandLine(static_cast<int>(args.size()), args.data(), options, help ? help : &ignored,
                                  error);
}

TEST(KelsrvCommandLine, SetsEveryOption) {
  kelsrv::Options options;
  std::string error;
  ASSERT_TRUE(Parse({"-a", "0.0.0.0", "-p", "0", "--server-id", "0xABCDEF", "--server-version", "0x01020304",
                     "--description", "test box", "--logon-data", "255", "-u", "a:b", "--user", "c:d:e",
                     "--misbehave", "close-after=97"},
                    &options, &error))
      << error;
  EXPECT_EQ(options.address, "0.0.0.0");
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.serverId, 0x53ABCDEFu);
  EXPECT_EQ(options.serverVersion, 0x01020304u);
  EXPECT_EQ(options.description, "test box");
  EXPECT_EQ(options.logonData, 255);
  ASSERT_EQ(options.users.size(), 2u);
  EXPECT_EQ(options.users[1].password2, "e");
  EXPECT_EQ(options.misbehaviour, kelsrv::Misbehaviour::CloseAfter);
  EXPECT_EQ(options.closeAfterBytes, 97u);
  EXPECT_EQ(kelsrv::MisbehaviourName(options), "close-after=97");
}

TEST(KelsrvCommandLine, EveryMisbehaviourNameRoundTrips) {
  for (const char *name : {"none", "wrong-marker", "identify-retcode", "identify-length", "logon-length", "noskip"}) {
    kelsrv::Options options;
    std::string error;
    ASSERT_TRUE(Parse({"--misbehave", name}, &options, &error)) << name << ": " << error;
    EXPECT_EQ(kelsrv::MisbehaviourName(options), name);
  }
}

TEST(KelsrvCommandLine, RejectsBadValues) {
  const std::vector<std::vector<const char *>> bad = {
      {"-p", "65536"},           {"-p", "-1"},           {"--server-id", "0x1000000"}, {"--logon-data", "256"},
      {"--misbehave", "sulk"},   {"--misbehave", "close-after="}, {"--port"},           {"stray"},
      {"--frobnicate", "1"},     {"--description", "0123456789012345678901234567890123456789012345678901234567890123456789012345678901"}};
  for (const auto &args : bad) {
    kelsrv::Options options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(KelsrvCommandLine, QuietDropsTheLogAndHelpIsReported) {
  kelsrv::Options options;
  options.log = [](const std::string &) {};
  std::string error;
  bool help = false;
  ASSERT_TRUE(Parse({"-q", "--help"}, &options, &error, &help));
  EXPECT_FALSE(options.log);
  EXPECT_TRUE(help);
}

TEST(KelsrvHelp, ListsEveryReturnCodeWithItsLibraryResult) {
  const std::string help = kelsrv::HelpText();
  const std::pair<const char *, const char *> table[] = {
      {"0x00010001", "104"}, {"0x00010002", "106"}, {"0x00010003", "107"}, {"0x00010004", "104"},
      {"0x00010005", "108"}, {"0x00020001", "200"}, {"0x00030001", "202"}, {"0x00030002", "203"},
      {"0x00030003", "204"}, {"0x00030004", "201"}, {"0x00040001", "205"}, {"0x00050001", "202"},
      {"0x00050002", "201"}, {"0x00060001", "200"}};
  for (const auto &row : table)
    EXPECT_NE(help.find(std::string(row.first) + " -> " + row.second + ":"), std::string::npos) << row.first;
}

TEST(KelsrvHelp, ListsCommandsModesAndTheListeningLine) {
  const std::string help = kelsrv::HelpText();
  for (const char *text : {"0x80000100 echo", "0x80000101 chatty", "wrong-marker", "identify-retcode",
                           "identify-length", "logon-length", "noskip", "close-after=N", "--users-file",
                           "kelsrv listening on <address>:<port>"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
}

} // namespace
} // namespace kelsrv_test
