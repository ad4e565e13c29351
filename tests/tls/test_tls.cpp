// The library over TLS: the server proven before anything of identify or
// logon leaves (refused with 101, a reason, the socket closed), the stream
// through the session, every cut of a TLS session leaving nothing behind,
// and TLS off changing nothing. Over the fake seam with an in-memory TLS
// server, and end to end against the kelsrv engine serving TLS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_session.h"
#include "fake_tls_host.h"
#include "options.h"
#include "server.h"
#include "silent_peer.h"
#include "tls_server.h"

namespace {

const std::string kCerts = KEL_TLS_CERT_DIR;
std::string Cert(const char *szName) { return kCerts + "/" + szName + ".pem"; }
std::string Key(const char *szName) { return kCerts + "/" + szName + ".key"; }

KelConnection *Con(HKELCONNECTION h) { return static_cast<KelConnection *>(h); }

// The trace texts that name TLS.
bool TraceHas(const TraceCapture &trace, const std::string &part) { return trace.Has(part); }

class TlsSeam : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakePlatform();
        g_dwKelStarted = 0xFFFFFFFFu;
    }
    void TearDown() override {
        g_Fake.peer = nullptr;  // a test that stopped early has ended its host
        if (h && Con(h)->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
        if (h) {
            EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        }
        EXPECT_EQ(0, g_Fake.nLiveBlocks);
        EXPECT_EQ(0, g_Fake.nOpenSockets);
        KelPlatformReset();
    }
    void Alloc(uint32_t dwMode, const std::string &ca, const char *szName = nullptr) {
        ASSERT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", nullptr, &h));
        ASSERT_EQ(KEL_OK, KelSetTls(h, dwMode, ca.empty() ? nullptr : ca.c_str(), szName));
    }
    HKELCONNECTION h = nullptr;
};

// The replies of a sound host to identify, logon, one echo and disconnect.
std::vector<Bytes> HostReplies() { return SoundHostReplies(); }

// Each certificate the mode refuses gives 101 with the socket closed, the
// reason naming what was wrong, and not one byte of a request at the server;
// the trace says the handshake was refused.
TEST_F(TlsSeam, RefusesAServerItCannotProveBeforeAnyRequestLeaves) {
    const struct {
        const char *szServes;  // the host's certificate and key; null: a host without TLS
        uint32_t dwMode;
        const char *szCA;  // of the test certificates; "" for none
        const char *szName;
        const char *szReason;
    } rows[] = {
        {"server", KEL_TLS_VERIFY_CA, "other-ca", nullptr,
         "TLS with 127.0.0.1:2893: the server's certificate (localhost) is not issued by a trusted CA"},
        {"self-signed", KEL_TLS_VERIFY_FULL, "ca", nullptr,
         "TLS with 127.0.0.1:2893: the server's certificate (localhost) is not issued by a trusted CA"},
        {"other-name", KEL_TLS_VERIFY_FULL, "ca", nullptr,
         "TLS with 127.0.0.1:2893: the server's certificate names elsewhere.example, not 127.0.0.1"},
        {"server", KEL_TLS_VERIFY_FULL, "ca", "db.example",
         "TLS with 127.0.0.1:2893: the server's certificate names localhost, 127.0.0.1, not db.example"},
        {"expired", KEL_TLS_VERIFY_CA, "ca", nullptr,
         "TLS with 127.0.0.1:2893: the certificate of localhost in the server's chain has expired "
         "(valid until 2020-01-02 00:00:00 UTC)"},
        {nullptr, KEL_TLS_REQUIRE, "", nullptr,
         "TLS with 127.0.0.1:2893: the server does not speak TLS: its answer to the TLS handshake is no TLS "
         "record"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.szReason);
        InstallFakePlatform();
        FakeTlsHost host(Cert(row.szServes ? row.szServes : "server"),
                         Key(row.szServes ? row.szServes : "server"));
        if (row.szServes)
            host.Start(HostReplies(), SessionRequestSizes(1100));
        else
            ScriptReceive(Concat({HostReplies()[0], HostReplies()[1]}));  // a plain host answers at once
        Alloc(row.dwMode, *row.szCA ? Cert(row.szCA) : "", row.szName);
        TraceCapture trace;
        EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
        EXPECT_EQ(row.szReason, Reason());
        EXPECT_EQ(KEL_INVALID_SOCKET, Con(h)->hSocket);
        EXPECT_EQ(KEL_LOCK_FREE, Con(h)->dwLock);
        EXPECT_EQ(0, g_Fake.nOpenSockets);
        EXPECT_TRUE(TraceHas(trace, "KelConnect TLS =  refused"));
        EXPECT_EQ(0u, host.RequestBytes());
        for (const Bytes &send : g_Fake.sends)  // TLS records only: no frame went out in the clear
            EXPECT_TRUE(send.empty() || send[0] == 22 || send[0] == 21 || send[0] == 20 || send[0] == 23);
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
        EXPECT_EQ(0, g_Fake.nLiveBlocks);
    }
}

// Settings that cannot work refuse before any socket is made.
TEST_F(TlsSeam, ACAFileThatCannotBeReadRefusesBeforeAnySocket) {
    const std::string missing = kCerts + "/no-such-ca.pem";
    Alloc(KEL_TLS_VERIFY_FULL, missing);
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
    EXPECT_EQ(0u, Reason().find("TLS with 127.0.0.1:2893: the TLS CA file " + missing + " cannot be used: "))
        << Reason();
    EXPECT_TRUE(g_Fake.setup.empty());
    EXPECT_EQ(0, g_Fake.socketFail.nCalls);
}

// verify-full with the CA, and require with a certificate nobody signed,
// connect; identify, logon, an echo and the disconnect all go through the
// session, and the trace names the protocol version.
TEST_F(TlsSeam, ConnectsExchangesAndDisconnectsThroughTheSession) {
    const struct {
        const char *szServes;
        uint32_t dwMode;
        const char *szCA;
    } rows[] = {
        {"server", KEL_TLS_VERIFY_FULL, "ca"},
        {"self-signed", KEL_TLS_REQUIRE, ""},
        {"sweep-server", KEL_TLS_VERIFY_CA, "sweep-ca"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.szServes);
        InstallFakePlatform();
        FakeTlsHost host(Cert(row.szServes), Key(row.szServes));
        host.Start(HostReplies(), SessionRequestSizes(1100));
        Alloc(row.dwMode, *row.szCA ? Cert(row.szCA) : "");
        TraceCapture trace;
        ASSERT_EQ(KEL_OK, KelConnect(h)) << Reason();
        EXPECT_TRUE(TraceHas(trace, "KelConnect TLS =  TLSv1.3"));
        EXPECT_EQ(0x53000001u, Con(h)->dwServerID);
        Bytes data = Pattern(1100, 3), reply(300);
        KelCommand cmd = Record(kEchoCommand, 0x1234, 0, 0, 1100);
        uint32_t dwGot = 0;
        size_t nBefore = g_Fake.sends.size();
        ASSERT_EQ(KEL_OK, KelExchange(h, &cmd, data.data(), kEchoReply, &cmd, reply.data(), 300, &dwGot));
        EXPECT_EQ(nBefore + 1, g_Fake.sends.size());  // frame and data in one record, past the send buffer
        EXPECT_EQ(Pattern(300, 5), reply);
        EXPECT_EQ(97u + 50u + 1113u, host.RequestBytes());
        size_t nSends = g_Fake.sends.size();
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(97u + 50u + 1113u + 5u, host.RequestBytes());
        EXPECT_EQ(nSends + 2, g_Fake.sends.size());  // the frame, then TLS's goodbye
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
    }
}

// Dropped settings leave a connection exactly as one that never had any:
// the same sends, the same seam calls, the same trace.
TEST_F(TlsSeam, TlsOffConnectsAsBeforeByteForByte) {
    auto connectOnce = [&](bool bSetThenDrop) {
        InstallFakePlatform();
        ScriptReceive(Concat({HostReplies()[0], HostReplies()[1], HostReplies()[3]}));
        EXPECT_EQ(KEL_OK, KelAllocConnection(0x0100007F, 0, "user", "pass", nullptr, &h));
        if (bSetThenDrop) {
            EXPECT_EQ(KEL_OK, KelSetTls(h, KEL_TLS_VERIFY_FULL, Cert("ca").c_str(), "x"));
            EXPECT_EQ(KEL_OK, KelSetTls(h, KEL_TLS_OFF, nullptr, nullptr));
            EXPECT_EQ(nullptr, Con(h)->lpTls);
        }
        TraceCapture trace;
        EXPECT_EQ(KEL_OK, KelConnect(h));
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        std::vector<std::string> texts = trace.Texts();
        for (std::string &text : texts)  // the handle's value is the record's address
            if (text.find("hConnection = ") != std::string::npos) text.erase(text.find(" = "));
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
        // The logon block's scrambled passwords differ on every logon.
        return std::make_tuple(Sizes(g_Fake.sends), g_Fake.sends[0], g_Fake.sends[2], g_Fake.sendMore,
                               g_Fake.setup, g_Fake.recvAsked, texts);
    };
    auto plain = connectOnce(false);
    EXPECT_EQ(std::vector<size_t>({97, 50, 5}), std::get<0>(plain));
    EXPECT_EQ(plain, connectOnce(true));
}

// Refused settings change nothing; a socket that is open keeps its session's settings.
TEST_F(TlsSeam, KelSetTlsRefusesAnUnknownModeAndAnOpenConnection) {
    Alloc(KEL_TLS_VERIFY_CA, Cert("ca"));
    KelTls *lpBefore = Con(h)->lpTls;
    const struct {
        uint32_t dwMode;
        bool bOpen;
        int32_t nExpected;
        const char *szReason;
    } rows[] = {
        {4, false, KEL_ERR_PARAM, "KelSetTls: the TLS mode is unknown (0 to 3 are known)"},
        {KEL_TLS_OFF, true, KEL_ERR_CONNECTED,
         "KelSetTls: the connection is still open: disconnect it first"},
    };
    for (const auto &row : rows) {
        Con(h)->hSocket = row.bOpen ? g_Fake.hNextSocket : KEL_INVALID_SOCKET;
        EXPECT_EQ(row.nExpected, KelSetTls(h, row.dwMode, nullptr, nullptr));
        EXPECT_EQ(row.szReason, Reason());
        EXPECT_EQ(lpBefore, Con(h)->lpTls);
    }
    Con(h)->hSocket = KEL_INVALID_SOCKET;
    EXPECT_EQ(KEL_ERR_PARAM, KelSetTls(nullptr, KEL_TLS_OFF, nullptr, nullptr));
    EXPECT_EQ(KEL_ERR_PARAM, KelSetTls(h, KEL_TLS_REQUIRE, nullptr, std::string(256, 'n').c_str()));
}

// The TLS session cut after every byte either way, by a close or a reset:
// a cut in the handshake refuses the connect (101) before any request
// reaches the server, a later one fails its step with 102, and nothing is
// left allocated or open, the disconnect included.
TEST(TlsSessionSweep, EveryCutGivesItsCodeAndLeavesNothingBehind) {
    FakeTlsHost host(Cert("sweep-server"), Key("sweep-server"));
    const std::vector<size_t> requests = SessionRequestSizes(1100);
    auto run = [&](size_t nRecvCut, size_t nSendCut, bool bReset, size_t nChunk) {
        InstallFakePlatform();
        g_dwKelStarted = 0xFFFFFFFFu;
        g_Fake.nSendCut = nSendCut;
        g_Fake.bSendCutByReset = bReset;
        g_Fake.nRecvErrorAfterScript = bReset ? -1 : 0;
        host.Start(HostReplies(), requests, nRecvCut, nChunk);
        HKELCONNECTION h = nullptr;
        int32_t nConnect = KEL_ERR_SYSTEM, nExchange = KEL_ERR_SYSTEM;
        if (KelAllocConnection(0x0100007F, 0, "QzUsr7", "Pw9Kx8", nullptr, &h) == KEL_OK &&
            KelSetTls(h, KEL_TLS_VERIFY_FULL, Cert("sweep-ca").c_str(), "localhost") == KEL_OK) {
            nConnect = KelConnect(h);
            if (nConnect == KEL_OK) {
                Bytes data = Pattern(1100, 3), reply(300);
                KelCommand cmd = Record(kEchoCommand, 0x1234, 0, 0, 1100);
                uint32_t dwGot = 0;
                nExchange = KelExchange(h, &cmd, data.data(), kEchoReply, &cmd, reply.data(), 300, &dwGot);
            }
            if (Con(h)->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
            KelFreeConnection(h);
        }
        std::string why;
        if (g_Fake.nLiveBlocks) why += " heap blocks left;";
        if (g_Fake.nOpenSockets) why += " a socket left open;";
        if (g_Fake.nUnopenedUse) why += " a socket used after its close;";
        if (nConnect == KEL_ERR_NOT_CONNECTED && host.RequestBytes()) why += " a request reached the server;";
        if (nConnect != KEL_OK && nConnect != KEL_ERR_NOT_CONNECTED && nConnect != KEL_ERR_COMM)
            why += " connect gave " + std::to_string(nConnect) + ";";
        if (nConnect == KEL_OK && nExchange != KEL_OK && nExchange != KEL_ERR_COMM)
            why += " the exchange gave " + std::to_string(nExchange) + ";";
        // Where this session's echo reply ended: the server's records vary
        // by a byte or two from one session to the next (its ticket).
        const FakeTlsHost::Marks &seen = host.Seen();
        size_t nEchoEnd = seen.replyEnds.size() < 3 ? SIZE_MAX : seen.replyEnds[2];
        return std::make_tuple(nConnect, nExchange, why, nEchoEnd);
    };
    // The sound session first: where its bytes fall either way.
    auto sound = run(SIZE_MAX, SIZE_MAX, false, 0);
    ASSERT_EQ(KEL_OK, std::get<1>(sound)) << std::get<2>(sound);
    const FakeTlsHost::Marks marks = host.Seen();
    ASSERT_EQ(4u, marks.replyEnds.size());
    const size_t nServerBytes = marks.replyEnds[2] + 8, nClientBytes = marks.requestEnds[2];
    int nSessions = 0, nReported = 0, nRefused = 0, nCut = 0;
    for (int nWay = 0; nWay < 4; ++nWay) {
        bool bClientSide = nWay & 1, bReset = nWay & 2;
        for (size_t k = 0; k < (bClientSide ? nClientBytes : nServerBytes); ++k) {
            auto r = bClientSide ? run(SIZE_MAX, k, bReset, 0) : run(k, SIZE_MAX, bReset, bReset ? 7 : 0);
            ++nSessions;
            nRefused += std::get<0>(r) == KEL_ERR_NOT_CONNECTED;
            nCut += std::get<0>(r) == KEL_ERR_COMM || std::get<1>(r) == KEL_ERR_COMM;
            // Every cut before the echo reply's end fails somewhere; one after it, nowhere.
            bool bFailed = std::get<0>(r) != KEL_OK || std::get<1>(r) != KEL_OK;
            bool bMustFail = bClientSide || k < std::get<3>(r);
            if ((!std::get<2>(r).empty() || bFailed != bMustFail) && nReported++ < 5)
                ADD_FAILURE() << (bClientSide ? "client" : "server") << "'s bytes cut after " << k
                              << (bReset ? " by a reset" : "") << ": connect " << std::get<0>(r)
                              << ", exchange " << std::get<1>(r) << ";" << std::get<2>(r);
        }
    }
    KelPlatformReset();
    EXPECT_GT(nRefused, 0);
    EXPECT_GT(nCut, 0);
    EXPECT_EQ(nSessions, 2 * (int)(nServerBytes + nClientBytes));
    EXPECT_GT(nSessions, 6000);
}

// ---- End to end: the kelsrv engine serving TLS on loopback

class TlsWire : public ::testing::Test {
protected:
    void TearDown() override {
        if (h && Con(h)->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
        if (h) {
            EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        }
    }
    uint16_t Serve(const char *szCert, kelsrv::Options options = kelsrv::Options()) {
        std::string error;
        options.port = 0;
        if (szCert) options.tls = kelsrv::LoadTls(Cert(szCert), Key(szCert), &error);
        EXPECT_TRUE(!szCert || options.tls) << error;
        EXPECT_TRUE(server.Start(options, &error)) << error;
        return server.Port();
    }
    kelsrv::Server server;
    HKELCONNECTION h = nullptr;
};

// By address (the certificate's IP address) and by name (its DNS name).
TEST_F(TlsWire, VerifyFullLogsOnByAddressAndByNameAndEchoes) {
    const uint16_t wPort = Serve("server");
    for (bool bByName : {false, true}) {
        ASSERT_EQ(KEL_OK, bByName ? KelAllocConnectionByName("localhost", wPort, "u", "p", nullptr, &h)
                                  : KelAllocConnection(kel_test::LoopbackIP(), wPort, "u", "p", nullptr, &h));
        ASSERT_EQ(KEL_OK, KelSetTls(h, KEL_TLS_VERIFY_FULL, Cert("ca").c_str(), nullptr));
        ASSERT_EQ(KEL_OK, KelConnect(h)) << Reason();
        Bytes data = Pattern(20000, 1), reply(20000);
        KelCommand cmd = Record(kEchoCommand, 0, 0, 0, 20000);
        uint32_t dwGot = 0;
        ASSERT_EQ(KEL_OK, KelExchange(h, &cmd, data.data(), kEchoReply, &cmd, reply.data(), 20000, &dwGot));
        EXPECT_EQ(data, reply);
        EXPECT_EQ(KEL_OK, KelDisconnect(h));
        EXPECT_EQ(KEL_OK, KelFreeConnection(h));
        h = nullptr;
    }
}

// A peer that takes the connection and never answers the handshake: the
// time-out ends it, and the reason says so.
TEST_F(TlsWire, AHandshakeThatTheTimeOutEndsSaysSo) {
    kel_test::SilentPeer silent;
    ASSERT_EQ(KEL_OK, KelAllocConnection(kel_test::LoopbackIP(), silent.Port(), "u", "p", nullptr, &h));
    ASSERT_EQ(KEL_OK, KelSetTls(h, KEL_TLS_REQUIRE, nullptr, nullptr));
    ASSERT_EQ(KEL_OK, KelSetTimeout(h, 200));
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
    EXPECT_EQ("TLS with 127.0.0.1:" + std::to_string(silent.Port()) + ": the TLS handshake: timed out after 200 ms",
              Reason());
    EXPECT_EQ(KEL_OK, KelFreeConnection(h));
    h = nullptr;
}

// A real server that does not speak TLS, and one that closes in the middle of a reply.
TEST_F(TlsWire, APlainServerIsRefusedAndACloseMidReplyIs102) {
    kelsrv::Server plain;
    kelsrv::Options options;
    options.port = 0;
    std::string error;
    ASSERT_TRUE(plain.Start(options, &error)) << error;
    ASSERT_EQ(KEL_OK, KelAllocConnection(kel_test::LoopbackIP(), plain.Port(), "u", "p", nullptr, &h));
    ASSERT_EQ(KEL_OK, KelSetTls(h, KEL_TLS_REQUIRE, nullptr, nullptr));
    ASSERT_EQ(KEL_OK, KelSetTimeout(h, 60000));  // the refusal must not wait for it
    EXPECT_EQ(KEL_ERR_NOT_CONNECTED, KelConnect(h));
    EXPECT_NE(std::string::npos, Reason().find(": the server does not speak TLS")) << Reason();
    EXPECT_EQ(KEL_OK, KelFreeConnection(h));
    h = nullptr;

    kelsrv::Options closing;
    closing.misbehaviour = kelsrv::Misbehaviour::CloseAfter;
    closing.closeAfterBytes = 5 + 4 + 88 + 5 + 4 + 1 + 100;  // identify, logon, 100 bytes of the echo
    const uint16_t wPort = Serve("server", closing);
    ASSERT_EQ(KEL_OK, KelAllocConnection(kel_test::LoopbackIP(), wPort, "u", "p", nullptr, &h));
    ASSERT_EQ(KEL_OK, KelSetTls(h, KEL_TLS_VERIFY_FULL, Cert("ca").c_str(), nullptr));
    ASSERT_EQ(KEL_OK, KelConnect(h)) << Reason();
    Bytes data = Pattern(1000, 1), reply(1000);
    KelCommand cmd = Record(kEchoCommand, 0, 0, 0, 1000);
    uint32_t dwGot = 0;
    EXPECT_EQ(KEL_ERR_COMM, KelExchange(h, &cmd, data.data(), kEchoReply, &cmd, reply.data(), 1000, &dwGot));
    EXPECT_EQ("receive: the server closed the connection", Reason());
}

}  // namespace
