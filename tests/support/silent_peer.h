// silent_peer.h - a loopback peer that never answers. Nothing accepts while
// the client runs: the system completes its connection and keeps what it
// sends. Once the client has closed, TakeReceived() accepts the connection
// and reads all of it.
#ifndef KEL_TEST_SILENT_PEER_H
#define KEL_TEST_SILENT_PEER_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "netio.h"

namespace kel_test {

class SilentPeer {
public:
    // A backlog of 0 fills the listen queue with the first connection or two.
    explicit SilentPeer(int nBacklog = 1) : listener_(netio::Listen("127.0.0.1", 0, &port_, nBacklog)) {}
    ~SilentPeer() { netio::Close(listener_); }
    SilentPeer(const SilentPeer &) = delete;
    SilentPeer &operator=(const SilentPeer &) = delete;
    bool Listening() const { return listener_ != netio::kInvalidSocket; }
    std::uint16_t Port() const { return port_; }

    std::vector<std::uint8_t> TakeReceived() {
        std::vector<std::uint8_t> all;
        netio::Socket s = netio::Accept(listener_);
        std::uint8_t chunk[4096];
        for (long n; s != netio::kInvalidSocket && (n = netio::ReceiveSome(s, chunk, sizeof chunk)) > 0;)
            all.insert(all.end(), chunk, chunk + n);
        netio::Close(s);
        return all;
    }

private:
    std::uint16_t port_ = 0;
    netio::Socket listener_;
};

// A loopback port that was free a moment ago: nothing listens there, so a
// connect to it is refused at once.
inline std::uint16_t ClosedPort() {
    std::uint16_t port = 0;
    netio::Close(netio::Listen("127.0.0.1", 0, &port));
    return port;
}

// A listener whose queue one waiting connection fills: connects to it after
// that never complete.
class FullListener {
public:
    FullListener() : filler_(netio::Connect("127.0.0.1", peer_.Port())) {}
    ~FullListener() { netio::Close(filler_); }
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;
    bool Listening() const { return peer_.Listening() && filler_ != netio::kInvalidSocket; }
    std::uint16_t Port() const { return peer_.Port(); }

private:
    SilentPeer peer_{0};
    netio::Socket filler_;
};

// 127.0.0.1 as a dwIP value (network byte order), for KelAllocConnection.
inline std::uint32_t LoopbackIP() {
    const std::uint8_t abAddress[4] = {127, 0, 0, 1};
    std::uint32_t dwIP;
    std::memcpy(&dwIP, abAddress, sizeof dwIP);
    return dwIP;
}

}  // namespace kel_test

#endif
