#include "fake_server.h"

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace kel_test {

Bytes EncodeFrame(const KelCommand &cmd, const Bytes &data) { return kelsrv::EncodeFrameWithData(cmd, data); }

KelCommand Frame(std::uint32_t code, std::uint32_t dataLen, std::uint32_t retCode) {
    return kelsrv::MakeCommand(code, dataLen, retCode);
}

std::uint32_t LoopbackIP() {
    const std::uint8_t address[4] = {127, 0, 0, 1};
    std::uint32_t ip;
    std::memcpy(&ip, address, sizeof ip);
    return ip;
}

FakeServer::FakeServer() { listener_ = netio::Listen("127.0.0.1", 0, &port_, 1); }

FakeServer::~FakeServer() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            if (connection_ != netio::kInvalidSocket && netio::WakeReceiver(connection_))
                connection_ = netio::kInvalidSocket;
        }
        // A thread still waiting in accept is released by a connection of our own.
        netio::Close(netio::Connect("127.0.0.1", port_));
        thread_.join();
    }
    netio::Close(listener_);
}

FakeServer &FakeServer::Add(Step step) {
    script_.push_back(std::move(step));
    return *this;
}

FakeServer &FakeServer::Receive(std::size_t n) { return Add({StepKind::Receive, n, {}}); }
FakeServer &FakeServer::ReceiveFrame() { return Add({StepKind::ReceiveFrame, 0, {}}); }
FakeServer &FakeServer::ReceiveUntilClosed() { return Add({StepKind::ReceiveUntilClosed, 0, {}}); }
FakeServer &FakeServer::Send(const Bytes &bytes) { return Add({StepKind::Send, 0, bytes}); }
FakeServer &FakeServer::SendFrame(const KelCommand &cmd, const Bytes &data) {
    return Send(EncodeFrame(cmd, data));
}
FakeServer &FakeServer::Close() { return Add({StepKind::Close, 0, {}}); }
FakeServer &FakeServer::CloseAfterSending(std::size_t n) { return Add({StepKind::CloseAfterSending, n, {}}); }

bool FakeServer::Start() {
    if (listener_ == netio::kInvalidSocket || thread_.joinable()) return false;
    thread_ = std::thread(&FakeServer::Run, this);
    return true;
}

bool FakeServer::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!finished_.wait_for(lock, timeout, [this] { return done_; })) {
        failure_ = "script still running after " + std::to_string(timeout.count()) + " ms";
        return false;
    }
    return failure_.empty();
}

std::string FakeServer::Failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

Bytes FakeServer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes all;
    for (const Bytes &step : received_) all.insert(all.end(), step.begin(), step.end());
    return all;
}

std::vector<Bytes> FakeServer::ReceivedSteps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

Bytes FakeServer::ReceivedStep(std::size_t i) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return i < received_.size() ? received_[i] : Bytes();
}

void FakeServer::Run() {
    netio::Socket s = netio::Accept(listener_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection_ = stopping_ ? netio::kInvalidSocket : s;
        peer_ = connection_;
    }
    if (peer_ == netio::kInvalidSocket) {
        netio::Close(s);
        Fail("no client connected");
    } else {
        for (std::size_t i = 0; i < script_.size() && RunStep(i, script_[i]); ++i) {
        }
    }
    Finish();
}

// Runs one step; false when the script ends here, by failure or by close.
bool FakeServer::RunStep(std::size_t index, const Step &step) {
    Bytes got;
    switch (step.kind) {
        case StepKind::Receive:
            return ReceiveStep(index, step.count, &got);
        case StepKind::ReceiveFrame:
            return ReceiveFrameStep(index, &got);
        case StepKind::ReceiveUntilClosed:
            ReceiveUntilClosedStep(&got);
            return true;
        case StepKind::Send:
            return SendStep(index, step.bytes);
        case StepKind::CloseAfterSending:
            sendLimit_ = step.count;
            return bytesSent_ < sendLimit_;
        case StepKind::Close:
            break;
    }
    return false;
}

bool FakeServer::ReceiveStep(std::size_t index, std::size_t n, Bytes *got) {
    got->assign(n, 0);
    std::size_t arrived = 0;
    bool complete = netio::ReceiveExact(peer_, got->data(), n, &arrived);
    got->resize(arrived);
    Record(*got);
    if (!complete)
        Fail("step " + std::to_string(index) + ": connection ended after " + std::to_string(arrived) +
             " of " + std::to_string(n) + " bytes");
    return complete;
}

bool FakeServer::ReceiveFrameStep(std::size_t index, Bytes *got) {
    got->assign(5, 0);
    std::size_t arrived = 0;
    bool complete = netio::ReceiveExact(peer_, got->data(), 5, &arrived);
    if (complete) {
        std::size_t words = kelsrv::FrameLength((*got)[4]) - 5;
        got->resize(5 + words);
        complete = netio::ReceiveExact(peer_, got->data() + 5, words, &arrived);
        arrived += 5;
    }
    got->resize(arrived);
    Record(*got);
    if (!complete)
        Fail("step " + std::to_string(index) + ": connection ended in a frame after " +
             std::to_string(arrived) + " bytes");
    return complete;
}

void FakeServer::ReceiveUntilClosedStep(Bytes *got) {
    std::uint8_t chunk[4096];
    long n;
    while ((n = netio::ReceiveSome(peer_, chunk, sizeof chunk)) > 0)
        got->insert(got->end(), chunk, chunk + n);
    Record(*got);
}

bool FakeServer::SendStep(std::size_t index, const Bytes &bytes) {
    std::size_t len = std::min(bytes.size(), sendLimit_ - bytesSent_);
    if (len > 0 && !netio::SendAll(peer_, bytes.data(), len)) {
        Fail("step " + std::to_string(index) + ": send failed");
        return false;
    }
    bytesSent_ += len;
    return bytesSent_ < sendLimit_;
}

void FakeServer::Record(const Bytes &got) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(got);
}

void FakeServer::Fail(const std::string &why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = stopping_ ? why + " (server stopped)" : why;
}

void FakeServer::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    netio::Close(connection_);
    connection_ = netio::kInvalidSocket;
    done_ = true;
    finished_.notify_all();
}

}  // namespace kel_test
