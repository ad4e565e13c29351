// The user table and the command line of kelsrv (the logon check itself is
// tested over the wire in server_test).
#include <cstdio>
#include <fstream>

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

TEST(KelsrvUsers, UsersFileSkipsCommentsAndNamesABadLine) {
    const std::string path = ::testing::TempDir() + "kelsrv_users_test.txt";
    std::ofstream(path) << "# users\n\nalice secret\n  bob - second 0x00020001\n";
    std::vector<kelsrv::User> users;
    std::string error;
    ASSERT_TRUE(kelsrv::LoadUsersFile(path, &users, &error)) << error;
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].userId + "/" + users[0].password, "alice/secret");
    EXPECT_EQ(users[1].userId + "/" + users[1].password + "/" + users[1].password2, "bob//second");
    EXPECT_EQ(users[1].refuseCode, 0x00020001u);
    std::ofstream(path) << "alice secret\nlonelyname\n";
    EXPECT_FALSE(kelsrv::LoadUsersFile(path, &users, &error));
    EXPECT_NE(error.find(path + ":2:"), std::string::npos) << error;
    std::remove(path.c_str());
    EXPECT_FALSE(kelsrv::LoadUsersFile(path, &users, &error));
}

TEST(KelsrvCommandLine, SetsEveryOptionAndRejectsBadValues) {
    bool help = false;
    auto parse = [&help](std::vector<const char *> args, kelsrv::Options *options, std::string *error) {
        args.insert(args.begin(), "kelsrv");
        return kelsrv::ParseCommandLine(static_cast<int>(args.size()), args.data(), options, &help, error);
    };
    kelsrv::Options options;
    options.log = [](const std::string &) {};
    std::string error;
    ASSERT_TRUE(parse({"-a",
                       "0.0.0.0",
                       "-p",
                       "0",
                       "--server-id",
                       "0xABCDEF",
                       "--server-version",
                       "0x01020304",
                       "--description",
                       "test box",
                       "--logon-data",
                       "255",
                       "-u",
                       "a:b",
                       "--user",
                       "c:d:e",
                       "--misbehave",
                       "close-after=97",
                       "-q",
                       "--help"},
                      &options, &error))
        << error;
    EXPECT_EQ(options.address + "|" + std::to_string(options.port) + "|" + options.description,
              "0.0.0.0|0|test box");
    EXPECT_EQ(options.serverId, 0x53ABCDEFu);
    EXPECT_EQ(options.serverVersion, 0x01020304u);
    EXPECT_EQ(options.logonData, 255);
    ASSERT_EQ(options.users.size(), 2u);
    EXPECT_EQ(options.users[1].password2, "e");
    EXPECT_EQ(kelsrv::MisbehaviourName(options), "close-after=97");
    EXPECT_EQ(options.closeAfterBytes, 97u);
    EXPECT_FALSE(options.log) << "-q";
    EXPECT_TRUE(help);
    for (const char *name :
         {"none", "wrong-marker", "identify-retcode", "identify-length", "logon-length", "noskip"}) {
        options = kelsrv::Options();  // the last mode given wins, "none" included
        EXPECT_TRUE(parse({"--misbehave", "close-after=5", "--misbehave", name}, &options, &error)) << error;
        EXPECT_EQ(kelsrv::MisbehaviourName(options), name);
    }
    const std::string description81(81, 'd');
    for (std::vector<const char *> args :
         std::vector<std::vector<const char *>>{{"-p", "65536"},
                                                {"-p", "-1"},
                                                {"--server-id", "0x1000000"},
                                                {"--logon-data", "256"},
                                                {"--misbehave", "sulk"},
                                                {"--misbehave", "close-after="},
                                                {"--port"},
                                                {"stray"},
                                                {"--frobnicate", "1"},
                                                {"--description", description81.c_str()}}) {
        error.clear();
        EXPECT_FALSE(parse(args, &options, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

}  // namespace
}  // namespace kelsrv_test
