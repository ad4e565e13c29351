#include "replay.h"

#include <cstdio>

#include "log.h"
#include "text.h"

namespace kelsrv {
namespace {

// The flag bits that announce words: their values are compared, not the bits.
constexpr std::uint8_t kWordBits = KEL_FLAG_PARM1 | KEL_FLAG_RETCODE | KEL_FLAG_PARM3 | KEL_FLAG_DATALEN;

// The logon block's user id, compared; the password fields after it are not.
constexpr std::size_t kComparedLogonBytes = 9;

std::string Byte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string Recorded(const char *field, const std::string &recorded, const std::string &got) {
    return std::string(field) + ": recorded " + recorded + ", got " + got;
}

// Serves one connection from one recorded session.
class Player {
public:
    Player(netio::Socket s, const RecordedSession &session, unsigned long number, const ConnectionLog &log,
           std::chrono::milliseconds idle)
        : socket_(s), session_(session), number_(number), log_(log), idle_(idle) {}

    // True when the session was played in full; else what differed is logged.
    bool Play() {
        for (const RecordItem &item : session_.items) {
            if (item.from == Side::Host && item.kind == RecordItem::Kind::Frame) {
                if (!SendHostFrame(item.frame)) return false;
            } else if (item.from == Side::Client && item.kind == RecordItem::Kind::Frame) {
                if (!ExpectFrame(item.frame)) return false;
            } else if (item.from == Side::Client && item.kind == RecordItem::Kind::End &&
                       item.end == "closed") {
                return ExpectEnd();
            } else {
                // The recorded host closed here, or a recorded stream was cut
                // or lost: the session cannot be followed further.
                log_(number_,
                     std::string("the recording's ") + SideName(item.from) + " side " +
                         (item.kind == RecordItem::Kind::Lost ? "stopped making sense" : item.end.c_str()) +
                         " here: closing");
                return true;
            }
        }
        return ExpectEnd();
    }

private:
    enum class Read { Frame, Closed, Failed };

    bool SendHostFrame(const Frame &frame) {
        log_(number_, FrameLine(false, frame));
        const Bytes bytes = EncodeExactly(frame);
        if (netio::SendAll(socket_, bytes.data(), bytes.size())) return true;
        log_(number_, "session " + std::to_string(session_.number) + ": the client took no more: " +
                          (netio::TimedOut() ? "nothing for " + DurationText(idle_) : netio::LastError()));
        return false;
    }

    bool ExpectFrame(const Frame &recorded) {
        ++clientFrames_;
        Frame received;
        const Read read = ReadHeader(&received);
        if (read != Read::Frame)
            return Differs(ReadFailure(read, "instead of sending it"), &recorded, nullptr);
        std::string difference = FirstDifference(recorded, received);
        if (difference.empty() && !ReadData(&received))
            return Differs(end_.empty() ? "the client closed the connection inside the frame" : end_,
                           &recorded, nullptr);
        if (difference.empty()) difference = FirstDifference(recorded, received);
        if (!difference.empty()) return Differs("differs in " + difference, &recorded, &received);
        log_(number_, FrameLine(true, received));
        return true;
    }

    bool ExpectEnd() {
        Frame received;
        const Read read = ReadHeader(&received);
        if (read == Read::Closed) return true;
        ++clientFrames_;
        if (read == Read::Frame)
            return Differs("a frame beyond the recording, which ends here", nullptr, &received);
        return Differs(ReadFailure(read, "where the recording ends"), nullptr, nullptr);
    }

    std::string ReadFailure(Read read, const char *where) const {
        if (read == Read::Closed) return std::string("the client closed the connection ") + where;
        return end_ + " " + where;
    }

    // Reads a frame's header: Closed when the stream ends before its first byte.
    Read ReadHeader(Frame *frame) {
        std::uint8_t header[kMaxFrameHeaderLen];
        std::size_t got = 0;
        if (!Receive(header, kFrameHeaderLen, &got) ||
            !Receive(header + kFrameHeaderLen, FrameLength(header[4]) - kFrameHeaderLen, &got))
            return got == 0 && end_.empty() ? Read::Closed : Read::Failed;
        frame->header = DecodeFrame(header);
        return Read::Frame;
    }

    bool ReadData(Frame *frame) {
        frame->data.resize(DataFollowing(frame->header));
        std::size_t got = 0;
        return Receive(frame->data.data(), frame->data.size(), &got);
    }

    // Reads exactly len bytes, counting them in *got; false when the stream
    // ends first, with end_ saying how unless it was closed between frames.
    bool Receive(std::uint8_t *buffer, std::size_t len, std::size_t *got) {
        for (std::size_t done = 0; done < len;) {
            const long n = netio::ReceiveSome(socket_, buffer + done, len - done);
            if (n <= 0) {
                if (n < 0)
                    end_ = netio::TimedOut() ? "no byte from the client for " + DurationText(idle_)
                                             : "the connection failed (" + netio::LastError() + ")";
                else if (*got > 0)
                    end_ = "the client closed the connection inside a frame";
                return false;
            }
            done += static_cast<std::size_t>(n);
            *got += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool Differs(const std::string &what, const Frame *recorded, const Frame *received) {
        log_(number_, "session " + std::to_string(session_.number) + ", client frame " +
                          std::to_string(clientFrames_) + ": " + what + "; closing");
        log_(number_,
             "  recorded: " + (recorded ? DescribeFrame(*recorded) : "the end of the client's frames"));
        log_(number_, "  received: " + (received ? DescribeFrame(*received) : "no frame"));
        return false;
    }

    netio::Socket socket_;
    const RecordedSession &session_;
    unsigned long number_;
    const ConnectionLog &log_;
    std::chrono::milliseconds idle_;
    unsigned long clientFrames_ = 0;
    std::string end_;  // how the client's stream ended, unless closed between frames
};

}  // namespace

std::string FirstDifference(const Frame &recorded, const Frame &received) {
    const KelCommand &r = recorded.header, &g = received.header;
    if (r.dwCommand != g.dwCommand)
        return Recorded("code", keltools::Hex32(r.dwCommand), keltools::Hex32(g.dwCommand));
    if ((r.bFlags & ~kWordBits) != (g.bFlags & ~kWordBits))
        return Recorded("flags", Byte(r.bFlags), Byte(g.bFlags));
    const struct {
        const char *name;
        std::uint32_t recorded, received;
    } kWords[] = {{"dwParm1", r.dwParm1, g.dwParm1},
                  {"dwRetCode", r.dwRetCode, g.dwRetCode},
                  {"dwParm3", r.dwParm3, g.dwParm3},
                  {"dwDataLen", r.dwDataLen, g.dwDataLen}};
    for (const auto &word : kWords)
        if (word.recorded != word.received)
            return Recorded(word.name, keltools::Hex32(word.recorded), keltools::Hex32(word.received));
    if (r.dwCommand == KEL_CMD_IDENTIFY || received.data.size() != recorded.data.size()) return "";
    const std::size_t compared = r.dwCommand == KEL_CMD_LOGON ? kComparedLogonBytes : recorded.data.size();
    for (std::size_t i = 0; i < compared && i < recorded.data.size(); ++i)
        if (recorded.data[i] != received.data[i])
            return Recorded(("data byte " + std::to_string(i)).c_str(), Byte(recorded.data[i]),
                            Byte(received.data[i]));
    return "";
}

Replay::Replay(const Options &options) : options_(options), log_(options.log) {}

void Replay::Serve(netio::Socket client, unsigned long number) {
    const std::vector<RecordedSession> &sessions = options_.replay->sessions;
    const RecordedSession &session = sessions[next_++ % sessions.size()];
    log_(number,
         "opened from " + netio::PeerName(client) + ", replaying session " + std::to_string(session.number));
    if (options_.idleTimeout.count() > 0) {
        netio::SetReceiveTimeout(client, static_cast<unsigned>(options_.idleTimeout.count()));
        netio::SetSendTimeout(client, static_cast<unsigned>(options_.idleTimeout.count()));
    }
    if (Player(client, session, number, log_, options_.idleTimeout).Play()) {
        ++full_;
        log_(number, "session " + std::to_string(session.number) + " replayed in full");
    } else {
        ++differed_;
    }
}

std::string Replay::Summary() const {
    return "replayed " + std::to_string(full_.load()) + " session(s) in full, " +
           std::to_string(differed_.load()) + " differed";
}

int Replay::ExitCode() const { return differed_ > 0 ? kExitReplayDiffered : kExitStopped; }

}  // namespace kelsrv
