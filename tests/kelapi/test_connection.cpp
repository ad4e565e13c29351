// Connection records: what allocation stores, the busy flag, the default time-out.
#include <algorithm>
#include <cstring>

#include "fake_platform.h"

namespace {

class Connection : public FakePlatformTest {};

TEST_F(Connection, AllocationStoresAddressPortAndCutCredentials) {
    HKELCONNECTION h = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocConnection(0x0A00000A, 0, "abcdefghij", "12345678", nullptr, &h));
    KelConnection *lpCon = Con(h);
    EXPECT_EQ(1u, lpCon->dwType);
    EXPECT_EQ(0x0A00000Au, lpCon->dwIP);
    EXPECT_EQ(2893, lpCon->wPort);
    EXPECT_STREQ("abcdefgh", lpCon->szUserID);
    EXPECT_STREQ("12345678", lpCon->szPassword);
    EXPECT_STREQ("", lpCon->szPassword2);
    EXPECT_EQ(KEL_INVALID_SOCKET, lpCon->hSocket);
    EXPECT_EQ(0u, lpCon->dwSendLen);
    EXPECT_EQ(0u, lpCon->dwLock);
    EXPECT_EQ(0u, lpCon->dwServerID);
    EXPECT_EQ(0u, lpCon->dwServerVersion);
    EXPECT_EQ('\0', lpCon->szServerDescription[0]);
    EXPECT_EQ(0, lpCon->bLogonData);
    EXPECT_EQ(0u, lpCon->dwTimeout) << "no time-out unless the environment sets one";
    EXPECT_EQ(KEL_OK, KelFreeConnection(h));

    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 23, "", "p", "second99", &h));
    EXPECT_EQ(23, Con(h)->wPort);
    EXPECT_STREQ("", Con(h)->szUserID);
    EXPECT_STREQ("second99", Con(h)->szPassword2);
    EXPECT_EQ(KEL_OK, KelFreeConnection(h));
}

TEST_F(Connection, BusyFlagSequences) {
    HKELCONNECTION h = nullptr;
    ASSERT_EQ(KEL_OK, KelAllocConnection(1, 0, "u", "p", nullptr, &h));
    EXPECT_EQ(KEL_OK, KelUnLock(h));  // on a free flag
    EXPECT_EQ(KEL_OK, KelLock(h));
    EXPECT_EQ(0xFFFFFFFFu, Con(h)->dwLock);
    EXPECT_EQ(KEL_ERR_LOCKED, KelLock(h));
    EXPECT_EQ(KEL_OK, KelUnLock(h));
    EXPECT_EQ(KEL_OK, KelLock(h));
    // Freeing does not look at the flag.
    EXPECT_EQ(KEL_OK, KelFreeConnection(h));
}

// The process default time-out takes a whole number of milliseconds and
// nothing else.
TEST(DefaultTimeout, OnlyAWholeNumberFromOneToTheLargestIntCounts) {
    const struct {
        const char *szText;
        uint32_t dwTimeout;
    } cases[] = {{"200", 200},
                 {"1", 1},
                 {"007", 7},
                 {"2147483647", 2147483647u},
                 {"2147483648", 0},
                 {"0", 0},
                 {"", 0},
                 {"-5", 0},
                 {"+5", 0},
                 {" 200", 0},
                 {"200 ", 0},
                 {"12x", 0},
                 {"99999999999999999999", 0}};
    for (const auto &c : cases)
        EXPECT_EQ(c.dwTimeout, KelTimeoutFromText(c.szText)) << "'" << c.szText << "'";
}

}  // namespace
