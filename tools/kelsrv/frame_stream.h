// Frames as they pass by: a byte stream of one direction cut into frames
// however it arrives in pieces, and one line of text per frame, for the
// proxy's log and the replay's reports. Nothing here reads or writes a socket.
#ifndef KELSRV_FRAME_STREAM_H
#define KELSRV_FRAME_STREAM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "wire.h"

namespace kelsrv {

// The most data a frame may announce and still count as one: a frame that
// announces more is taken for bytes that are no frame at all (the tools
// never send more than 16 MiB in one frame).
constexpr std::uint32_t kMaxDecodedDataLen = 16u << 20;

// One frame as it travelled: the code, the flag byte and the words that are
// present (absent ones 0), and its data.
struct Frame {
    KelCommand header{};
    Bytes data;
};

// The number of data bytes that follow a frame on the wire: dwDataLen when
// its bit is set, except after KEL_CMD_IGNORE, which never carries data.
std::uint32_t DataFollowing(const KelCommand &header);

// The frame's bytes: the words its flag byte announces, in wire order
// (present words of value 0 included), then its data.
Bytes EncodeExactly(const Frame &frame);

// "KEL_CMD_IDENTIFY" for the library's own codes; "" for the application's.
const char *CodeName(std::uint32_t code);

// The frame on one line: code (and name), flags, the words present, the
// data length and at most the first 16 data bytes in hex, e.g.
//   0x80000100 flags 0x09 parm1 0x0000002A data 5: 68 65 6c 6c 6f
// A logon block shows its user id and never its password fields.
std::string DescribeFrame(const Frame &frame);

// Clears what a password could be read from: everything after the user id
// in the data of a KEL_CMD_LOGON frame. Other frames stay as they are.
void ClearPasswords(Frame *frame);

// Cuts one direction of a connection into frames. Once a frame announces
// more than kMaxDecodedDataLen bytes of data, the stream is lost: no frame
// can be found in it any more, and later bytes are only counted.
class FrameScanner {
public:
    using FrameSink = std::function<void(const Frame &)>;

    // Takes the next len bytes of the stream and hands every frame they
    // complete to onFrame, in order.
    void Feed(const std::uint8_t *bytes, std::size_t len, const FrameSink &onFrame);

    bool Lost() const { return !lostReason_.empty(); }
    // Why the stream was lost, e.g. "a frame 0x47455420 announces 1869837370 bytes of data".
    const std::string &LostReason() const { return lostReason_; }
    // Bytes of the frame under way: where the stream is cut if it ends now.
    std::size_t Pending() const { return headerGot_ + frame_.data.size(); }

private:
    std::uint8_t header_[kMaxFrameHeaderLen] = {};
    std::size_t headerGot_ = 0;
    bool headerDone_ = false;
    Frame frame_;
    std::string lostReason_;
};

}  // namespace kelsrv

#endif
