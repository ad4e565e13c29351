// seam_test.h - the GoogleTest fixture over the fake seam, and what tests ask
// of the real system beyond the seam (system_probe_*.cpp).
#ifndef KEL_TESTS_SEAM_TEST_H
#define KEL_TESTS_SEAM_TEST_H

#include <gtest/gtest.h>

#include "fake_seam.h"

// The fake seam, the library counted as started (tests of the start-up clear
// the flag themselves), and the real platform back afterwards. Reopen() gives
// h, a connection that holds the fake socket as after a connect, on a fresh seam.
class SeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakePlatform();
        g_dwKelStarted = 0xFFFFFFFFu;
    }
    void TearDown() override {
        if (h) Drop(h);
        KelPlatformReset();
    }
    static KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }
    static HKELCONNECTION Open() {
        HKELCONNECTION h = nullptr;
        EXPECT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", nullptr, &h));
        Con(h)->hSocket = g_Fake.hNextSocket;
        return h;
    }
    static void Drop(HKELCONNECTION h) {
        Con(h)->hSocket = KEL_INVALID_SOCKET;
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
    }
    void Reopen() {
        if (h) Drop(h);
        InstallFakePlatform();
        h = Open();
    }
    HKELCONNECTION h = nullptr;
};

// Whether Nagle's algorithm is off on a real socket, read back from the system.
bool SocketHasNoDelay(KelSocket hSocket);

// nSize bytes of fresh memory at exactly qwAddress (a multiple of 64 KiB), or
// null where the process has no such address or it is taken.
void *MapFixedBlock(uint64_t qwAddress, size_t nSize);
void UnmapFixedBlock(void *lpBlock, size_t nSize);

#endif
