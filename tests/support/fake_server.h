// A scriptable fake connector server for wire tests: it listens on
// 127.0.0.1 with a free port, accepts one connection on a thread of its
// own and runs its script against it, recording every byte it receives.
//
//   FakeServer server;
//   server.Receive(97).SendFrame(reply, block).Receive(50).Close();
//   ASSERT_TRUE(server.Start());
//   ... connect a client to 127.0.0.1:server.Port() ...
//   ASSERT_TRUE(server.Wait()) << server.Failure();
//   EXPECT_EQ(server.ReceivedStep(0), expectedIdentifyBytes);
#ifndef KEL_TEST_FAKE_SERVER_H
#define KEL_TEST_FAKE_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelapi.h"
#include "netio.h"

namespace kel_test {

using Bytes = std::vector<std::uint8_t>;

// The frame of cmd as it travels: code, flag byte (the caller's bFlags with
// a bit ORed in for every non-zero word), then the non-zero words, all
// big-endian; the data, if any, after it. dwDataLen is sent as given.
Bytes EncodeFrame(const KelCommand &cmd, const Bytes &data = {});

// A record with the code and the given words; everything else zero.
KelCommand Frame(std::uint32_t code, std::uint32_t dataLen = 0, std::uint32_t retCode = 0);

// 127.0.0.1 as a dwIP value (network byte order), for KelAllocConnection.
std::uint32_t LoopbackIP();

class FakeServer {
public:
    // Listens at once, so that Port() is known before the script is written.
    FakeServer();
    // Cuts the connection if the script still runs and joins the thread.
    ~FakeServer();
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    // Script steps, run in the order given once a client has connected.
    // Each receive step records what arrived as one entry of ReceivedSteps().
    FakeServer &Receive(std::size_t n);    // exactly n bytes; fails if the peer closes first
    FakeServer &ReceiveFrame();            // one frame, sized by its flag byte
    FakeServer &ReceiveUntilClosed();      // everything until the peer closes its side
    FakeServer &Send(const Bytes &bytes);  // one send of exactly these bytes
    FakeServer &SendFrame(const KelCommand &cmd, const Bytes &data = {});  // frame and data in one send
    FakeServer &Close();  // close the connection; later steps are not run
    // From here on the connection is closed as soon as n bytes in all have
    // been sent: a send step that would pass the mark is cut there.
    FakeServer &CloseAfterSending(std::size_t n);

    // Starts the thread that accepts one connection and runs the script.
    bool Start();
    std::uint16_t Port() const { return port_; }

    // Waits for the script to end (at most timeout). True if every step ran;
    // false on failure (see Failure()) or time-out.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // A description of the step that failed, "" if none did.
    std::string Failure() const;
    // Everything received, in order.
    Bytes Received() const;
    // What each receive step got, one entry per receive step, in order.
    std::vector<Bytes> ReceivedSteps() const;
    // The bytes of receive step i; empty if there is no such step (yet).
    Bytes ReceivedStep(std::size_t i) const;

private:
    enum class StepKind { Receive, ReceiveFrame, ReceiveUntilClosed, Send, Close, CloseAfterSending };
    struct Step {
        StepKind kind;
        std::size_t count = 0;
        Bytes bytes;
    };

    FakeServer &Add(Step step);
    void Run();
    bool RunStep(std::size_t index, const Step &step);
    bool ReceiveStep(std::size_t index, std::size_t n, Bytes *got);
    bool ReceiveFrameStep(std::size_t index, Bytes *got);
    void ReceiveUntilClosedStep(Bytes *got);
    bool SendStep(std::size_t index, const Bytes &bytes);
    void Record(const Bytes &got);
    void Fail(const std::string &why);
    void Finish();

    std::vector<Step> script_;
    netio::Socket listener_ = netio::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::thread thread_;
    netio::Socket peer_ = netio::kInvalidSocket;  // the script thread's copy of connection_
    std::size_t sendLimit_ = SIZE_MAX;            // used by the script thread only
    std::size_t bytesSent_ = 0;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable finished_;
    netio::Socket connection_ = netio::kInvalidSocket;  // invalid once closed, by either side
    bool stopping_ = false;
    bool done_ = false;
    std::string failure_;
    std::vector<Bytes> received_;
};

}  // namespace kel_test

#endif
