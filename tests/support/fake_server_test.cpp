// What the kelapi wire tests do not show of the fake server: how a short
// receive is recorded and reported, and that it stops with a client still on.
#include "fake_server.h"

#include <memory>

#include <gtest/gtest.h>

namespace kel_test {
namespace {

class Client {
public:
    explicit Client(std::uint16_t port) : socket_(netio::Connect("127.0.0.1", port)) {}
    ~Client() { netio::Close(socket_); }
    bool Send(const Bytes &bytes) { return netio::SendAll(socket_, bytes.data(), bytes.size()); }
    Bytes ReadAll() {  // everything until the server closes
        Bytes all;
        std::uint8_t chunk[512];
        for (long n; (n = netio::ReceiveSome(socket_, chunk, sizeof chunk)) > 0;)
            all.insert(all.end(), chunk, chunk + n);
        return all;
    }
    netio::Socket socket_;
};

TEST(FakeServerScript, RecordsEachReceiveStepAndAShortOneFailsTheScript) {
    FakeServer server;
    server.Receive(3).ReceiveFrame().Receive(5).Send({1});
    ASSERT_TRUE(server.Start());
    Client client(server.Port());
    // A frame with flag 0x0A carries two words: 13 bytes.
    ASSERT_TRUE(client.Send({1, 2, 3, 0x40, 0, 0, 2, 0x0A, 0, 0, 0, 5, 0, 0, 0, 1, 7, 8, 9}));
    netio::ShutdownSend(client.socket_);
    EXPECT_FALSE(server.Wait());
    EXPECT_NE(server.Failure().find("3 of 5"), std::string::npos) << server.Failure();
    ASSERT_EQ(server.ReceivedSteps().size(), 3u);
    EXPECT_EQ(server.ReceivedStep(0), (Bytes{1, 2, 3}));
    EXPECT_EQ(server.ReceivedStep(1), (Bytes{0x40, 0, 0, 2, 0x0A, 0, 0, 0, 5, 0, 0, 0, 1}));
    EXPECT_EQ(server.ReceivedStep(2), (Bytes{7, 8, 9}));
    EXPECT_TRUE(client.ReadAll().empty()) << "steps after a failure must not run";
}

TEST(FakeServerScript, DestroyingMidScriptCutsTheConnection) {
    std::unique_ptr<Client> client;
    {
        FakeServer waiting;
        waiting.Receive(100);
        ASSERT_TRUE(waiting.Start());
        client = std::make_unique<Client>(waiting.Port());
        ASSERT_TRUE(client->Send({1}));
        // The blocked receive must be cut rather than wait for 99 more bytes.
    }
    EXPECT_TRUE(client->ReadAll().empty());
}

}  // namespace
}  // namespace kel_test
