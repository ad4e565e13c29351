// kelsrv --replay: each client is served from a recorded session, the
// sessions in turn (the first connection gets the first session, and so on,
// starting over when all were served). A client's frame must match the
// recorded one: code, flag bits beyond the word bits, words and data, except
// the identify block and the logon block's password fields. Then the host's
// frames that followed it in the recording are sent. At the first frame
// that differs, both frames and the first differing field are logged and
// the connection is closed.
#ifndef KELSRV_REPLAY_H
#define KELSRV_REPLAY_H

#include <atomic>
#include <memory>
#include <string>

#include "record.h"
#include "relay.h"

namespace kelsrv {

// The first field in which a client's frame differs from the recorded one,
// as "dwParm1: recorded 0x0000002A, got 0x0000002B"; "" when none does.
// Words are compared by value (an absent word is 0); data only when both
// frames hold theirs.
std::string FirstDifference(const Frame &recorded, const Frame &received);

class Replay : public ConnectionHandler {
public:
    // Plays options.replay, which must hold at least one session.
    explicit Replay(const Options &options);

    void Serve(netio::Socket client, unsigned long number) override;
    // "replayed N session(s) in full, M differed"
    std::string Summary() const override;
    // kExitReplayDiffered once a session differed.
    int ExitCode() const override;

private:
    const Options options_;
    ConnectionLog log_;
    std::atomic<unsigned long> next_{0};
    std::atomic<unsigned long> full_{0};
    std::atomic<unsigned long> differed_{0};
};

}  // namespace kelsrv

#endif
